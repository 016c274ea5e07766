#include "held_jog.h"

namespace zelmar {

namespace {
// Often enough to follow grbl's five reports a second.
constexpr int tickMs = 50;
} // namespace

HeldJog::HeldJog(QObject* parent) : QObject(parent) {
    pace_.setInterval(tickMs);
    connect(&pace_, &QTimer::timeout, this, &HeldJog::tick);
    connect(&sending_, &MachineSetup::done, this, [this] {
        if (cancelOnAnswer_ && link_)
            link_->cancelJog();
        cancelOnAnswer_ = false;
    });
    connect(&sending_, &MachineSetup::failed, this, [this](const SetupFailure& failure) {
        held_ = false;
        cancelOnAnswer_ = false;
        pace_.stop();
        emit failed(failure);
    });
}

std::optional<std::int64_t> HeldJog::reported() const {
    if (!link_ || !link_->status() || !link_->status()->hasPosition)
        return std::nullopt;
    const GrblStatus& s = *link_->status();
    return segment_.axis == 0 ? s.x : segment_.axis == 1 ? s.y : s.z;
}

void HeldJog::hold(GrblLink& link, const HeldJogSegment& segment) {
    lease_.start();
    if (held_ && link_ == &link && segment_ == segment)
        return;
    link_ = &link;
    segment_ = segment;
    held_ = true;
    cancelOnAnswer_ = false;
    start_ = reported().value_or(0);
    sent_ = 0;
    pace_.start();
    tick();
}

void HeldJog::release() {
    if (!held_)
        return;
    held_ = false;
    pace_.stop();
    if (link_)
        link_->cancelJog();
    cancelOnAnswer_ = sending_.running();
}

void HeldJog::tick() {
    if (!held_)
        return;
    if (!link_ || lease_.elapsed() > leaseMs)
        return release();
    if (sending_.running())
        return;
    // Travel still queued, as far as the reports tell: without one, all that was sent.
    const std::optional<std::int64_t> at = reported();
    const std::int64_t done = at ? *at - start_ : 0;
    const std::int64_t ahead = segment_.length > 0 ? sent_ - done : done - sent_;
    const std::int64_t length = segment_.length > 0 ? segment_.length : -segment_.length;
    if (ahead >= 2 * length)
        return;
    sent_ += segment_.length;
    sending_.run(*link_, {segment_.step});
}

} // namespace zelmar
