#pragma once

#include <chrono>
#include <functional>

namespace vt {

// Checks cond until it holds or the deadline passes; returns its last value.
bool wait_until(const std::function<bool()>& cond,
                std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace vt
