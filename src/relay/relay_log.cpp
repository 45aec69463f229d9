#include "relay/relay_log.h"

#include <string>

#include "base/io.h"

namespace vorn {
namespace {

RelayLog& process_log() {
    // Never destroyed: relay threads may still log while the process ends.
    static RelayLog* log = new RelayLog;
    return *log;
}

}  // namespace

void RelayLog::write_line(std::string_view line) {
    std::string text;
    text.reserve(line.size() + 1);
    text.append(line);
    text.push_back('\n');
    const uint64_t before = offered_.fetch_add(text.size(), std::memory_order_relaxed);
    if (before + text.size() > kRelayLogCap) return;
    std::lock_guard hold(lock_);
    if (fd_) (void)write_all(fd_.get(), text);
}

void RelayLog::reset(UniqueFd fd) {
    std::lock_guard hold(lock_);
    fd_ = std::move(fd);
    offered_.store(0, std::memory_order_relaxed);
}

void set_up_relay_log(UniqueFd fd) {
    process_log().reset(std::move(fd));
}

void relay_log_line(std::string_view line) {
    process_log().write_line(line);
}

}  // namespace vorn
