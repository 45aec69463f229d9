#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string_view>

#include "base/unique_fd.h"

namespace vorn {

// However long a relay runs, its log never grows past this.
inline constexpr uint64_t kRelayLogCap = 1'048'576;

// The relay's only output: whole lines, capped at kRelayLogCap bytes. Once a
// line has not fitted, nothing more is written, so the log never ends in a
// line that only some of its writers managed to add.
class RelayLog {
  public:
    RelayLog() = default;
    RelayLog(const RelayLog&) = delete;
    RelayLog& operator=(const RelayLog&) = delete;

    // Writes line and a newline in one piece, or drops it; never fails.
    void write_line(std::string_view line);

    // Starts afresh on fd. Only while no other thread uses the log.
    void reset(UniqueFd fd);

  private:
    std::atomic<uint64_t> offered_{0};  // every byte offered, written or dropped
    std::mutex lock_;
    UniqueFd fd_;
};

// The relay process's log. Set up once, before any relay thread starts; until
// then lines go nowhere.
void set_up_relay_log(UniqueFd fd);
void relay_log_line(std::string_view line);

// "{what} ({description} (os error {code}))", put together without taking
// memory: it is how the relay tells that memory or a thread could not be had.
void relay_log_system_error(std::string_view what, int code);

}  // namespace vorn
