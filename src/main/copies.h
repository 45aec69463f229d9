#pragma once

#include <sys/types.h>

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/unique_fd.h"

namespace vorn {

enum class JoinRefusal { session_ending, folder_gone, hung_up };

// Registers this process as a joined copy: shared lock on copies.lock, copy
// file "copy-{pid}" holding the copy ID. On success returns the locked
// descriptor; every refusal closes what it opened and leaves no copy file.
std::expected<UniqueFd, JoinRefusal> try_join(const std::string& folder,
                                              const std::optional<std::string>& copy_id,
                                              pid_t own_pid);

// try_join, and on a refusal its message and exit status (75, or 129 silently).
UniqueFd join_session(const std::string& folder, const std::optional<std::string>& copy_id);

// The number in a copy file's name "copy-{pid}": a signed 32-bit decimal with
// an optional sign. None for a name that is not a copy file's; a number of 0
// or below names no process, and its file is stale.
std::optional<int32_t> copy_file_pid(std::string_view name);

// The joined copies that still run; copy files of gone processes are removed.
std::vector<pid_t> list_live_copies(const std::string& folder);

// --hangup: writes the hangup marker, then SIGHUP to every live copy whose copy
// file holds exactly copy_id. True when one matched.
bool hang_up(const std::string& folder, std::string_view copy_id);

}  // namespace vorn
