#pragma once
// The wait cursor over work that keeps the window from answering: loading a picture, parsing it. It appears
// only once the work has gone on for a while, so quick work never makes the cursor flicker.

#include <chrono>
#include <functional>

namespace zelmar {

inline constexpr std::chrono::milliseconds busyCursorDelay{100};

// Runs work and returns when it is done, rethrowing what it threw. The work runs on a helper thread while
// this one waits, so the cursor can change once `delay` has passed in the middle of it; this thread handles
// no events meanwhile, so to the rest of the program the call is as if the work ran here. The work must not
// touch widgets.
void runShowingBusyCursor(const std::function<void()>& work,
                          std::chrono::milliseconds delay = busyCursorDelay);

// True while runShowingBusyCursor shows the wait cursor; safe to ask from any thread (the work's included).
bool busyCursorShown();

} // namespace zelmar
