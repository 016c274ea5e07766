#pragma once
// The helper threads of a parse: the second thread's scan and the warm-up of the memory the last stages
// write.

#include "parse_scratch.h"

#include <atomic>
#include <cstddef>
#include <memory>
#include <system_error>
#include <thread>

namespace zelmar::parsing {

// A helper thread of a labelling (the second thread's scan, the warm-up), ended in every case, also on the
// way out of an exception. Under load it may get no processor before the calling thread needs what it does;
// that thread then takes the work back rather than wait, and the helper, when it comes to run, finds the work
// taken and touches nothing else (which is why what the two share lives on the heap).
class ShareThread {
public:
    ShareThread() = default;
    ShareThread(const ShareThread&) = delete;
    ShareThread& operator=(const ShareThread&) = delete;
    ~ShareThread() { end(false); }

    // work(stop) runs on the second thread unless the share is taken first; false when no thread could be
    // had.
    template <typename Work> bool start(Work work) {
        try {
            thread_ = std::thread([handover = handover_, work]() mutable {
                int notBegun = 0;
                if (handover->state.compare_exchange_strong(notBegun, begun))
                    work(handover->stop);
            });
            return true;
        } catch (const std::system_error&) {
            return false;
        }
    }

    // True when the share is the calling thread's: the helper had not begun it (or there is none), and now
    // never will. A begun helper goes on.
    bool takeBackUnlessBegun() {
        if (!thread_.joinable())
            return true;
        int notBegun = 0;
        if (!handover_->state.compare_exchange_strong(notBegun, takenBack))
            return false;
        thread_.detach();
        return true;
    }

    // Waits for all the work with waitForAll; otherwise stops it after its current row, or takes the share
    // at once when it has not begun.
    void end(bool waitForAll) {
        if (!thread_.joinable())
            return;
        int notBegun = 0;
        if (waitForAll) {
            thread_.join();
        } else if (handover_->state.compare_exchange_strong(notBegun, takenBack)) {
            thread_.detach();
        } else {
            handover_->stop.store(true, std::memory_order_relaxed);
            thread_.join();
        }
    }

private:
    static constexpr int begun = 1;
    static constexpr int takenBack = 2;
    struct Handover {
        std::atomic<int> state{0};
        std::atomic<bool> stop{false};
    };
    std::shared_ptr<Handover> handover_ = std::make_shared<Handover>();
    std::thread thread_;
};

// Pages in the memory that the calling thread's last steps write into (the pair set, the link and region
// tables, the tree), sized for about the given number of regions, until told to stop.
void warmUp(Scratch& scratch, std::size_t regions, const std::atomic<bool>& stop) noexcept;

} // namespace zelmar::parsing
