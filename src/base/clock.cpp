#include "base/clock.h"

#include <time.h>

#include <cerrno>

namespace vorn {

void sleep_monotonic(std::chrono::nanoseconds duration) {
    // An absolute end, so that sleeps cut short by signals add up to no drift.
    timespec end;
    ::clock_gettime(CLOCK_MONOTONIC, &end);
    const auto ns = duration.count() + end.tv_nsec;
    end.tv_sec += static_cast<time_t>(ns / 1'000'000'000);
    end.tv_nsec = static_cast<long>(ns % 1'000'000'000);
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &end, nullptr) == EINTR) {
    }
}

}  // namespace vorn
