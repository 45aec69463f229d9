#pragma once

#include <chrono>

namespace vorn {

// Sleeps for duration on the monotonic clock: a change of the wall clock
// does not move the end, and an interrupting signal does not cut it short.
void sleep_monotonic(std::chrono::nanoseconds duration);

}  // namespace vorn
