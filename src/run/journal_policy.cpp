#include "journal_policy.h"

#include <QtConcurrent/QtConcurrentRun>

namespace zelmar {

JournalPolicy::JournalPolicy(QObject* parent) : QObject(parent) {
    connect(&sync_, &QFutureWatcher<bool>::finished, this, &JournalPolicy::onSynced);
}

JournalPolicy::~JournalPolicy() {
    cancel();
}

void JournalPolicy::attach(JournalWriter* journal) {
    cancel();
    journal_ = journal;
}

void JournalPolicy::beforeWrite(const Sent& sent, std::function<void()> write) {
    if (!journal_) {
        write();
        return;
    }
    switch (sent.kind) {
    case Sent::Kind::Plan:
        journal_->sent(sent.move, sent.moves);
        break;
    case Sent::Kind::Lift:
        journal_->liftSent(sent.depth);
        break;
    case Sent::Kind::Plunge:
        journal_->plungeSent(sent.depth);
        break;
    }
    write_ = std::move(write);
    writeNeeds_ = written_ + 1;
    if (!writeAndSync())
        write_ = nullptr;
}

void JournalPolicy::acknowledged(std::int64_t move, std::int32_t moves) {
    if (!journal_)
        return;
    journal_->acknowledged(move, moves);
    writeAndSync();
}

void JournalPolicy::liftOrPlungeDone(bool lift) {
    if (!journal_)
        return;
    lift ? journal_->liftDone() : journal_->plungeDone();
    writeAndSync();
}

void JournalPolicy::notWritten(Sent::Kind kind) {
    if (!journal_)
        return;
    kind == Sent::Kind::Plan ? journal_->unsent() : journal_->answered(false);
    settle();
}

void JournalPolicy::doneDry(std::int64_t move) {
    if (journal_)
        journal_->doneDry(move);
}

bool JournalPolicy::answered(bool carriedOut) {
    if (!journal_)
        return true;
    journal_->answered(carriedOut);
    return settle();
}

bool JournalPolicy::ended() {
    if (!journal_)
        return true;
    journal_->ended();
    return settle();
}

bool JournalPolicy::settle() {
    if (!journal_)
        return true;
    const bool earlier = !sync_.isRunning() || (sync_.waitForFinished(), sync_.result());
    if (!journal_->commit() || !earlier)
        return false;
    syncing_ = synced_ = written_;
    if (write_) // its record is on the disk now too
        QMetaObject::invokeMethod(this, &JournalPolicy::onSynced, Qt::QueuedConnection);
    return true;
}

void JournalPolicy::cancel() {
    write_ = nullptr;
    sync_.waitForFinished(); // the helper reads the journal's file: it must be done before the file may go
}

bool JournalPolicy::writeAndSync() {
    if (!journal_->write()) {
        write_ = nullptr;
        emit failed();
        return false;
    }
    ++written_;
    if (!sync_.isRunning())
        startSync();
    return true;
}

void JournalPolicy::startSync() {
    syncing_ = written_;
    const int fd = journal_->fileDescriptor();
    sync_.setFuture(QtConcurrent::run([fd] { return JournalWriter::syncFile(fd); }));
}

void JournalPolicy::onSynced() {
    if (!journal_)
        return;
    if (syncing_ > synced_ && !sync_.isRunning()) { // not settled meanwhile
        if (!sync_.result()) {
            write_ = nullptr;
            emit failed();
            return;
        }
        synced_ = syncing_;
        if (written_ > synced_)
            startSync(); // what was written meanwhile
    }
    if (write_ && synced_ >= writeNeeds_) {
        std::function<void()> write = std::move(write_);
        write_ = nullptr;
        write();
    }
}

} // namespace zelmar
