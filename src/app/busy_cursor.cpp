#include "busy_cursor.h"

#include <QCursor>
#include <QGuiApplication>

#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

namespace zelmar {
namespace {

std::atomic<bool> shown{false};

} // namespace

void runShowingBusyCursor(const std::function<void()>& work, std::chrono::milliseconds delay) {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    std::exception_ptr failure;
    std::thread worker([&] {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        const std::lock_guard lock(mutex);
        done = true;
        finished.notify_one();
    });

    bool cursorSet = false;
    {
        std::unique_lock lock(mutex);
        if (!finished.wait_for(lock, delay, [&] { return done; })) {
            lock.unlock();
            // The window system is told at once; no event needs handling for the cursor to change.
            QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
            cursorSet = true;
            shown.store(true, std::memory_order_release);
            lock.lock();
            finished.wait(lock, [&] { return done; });
        }
    }
    worker.join();
    if (cursorSet) {
        shown.store(false, std::memory_order_release);
        QGuiApplication::restoreOverrideCursor();
    }
    if (failure)
        std::rethrow_exception(failure);
}

bool busyCursorShown() {
    return shown.load(std::memory_order_acquire);
}

} // namespace zelmar
