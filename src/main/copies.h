#pragma once

#include <sys/types.h>

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/unique_fd.h"
#include "main/session_folder.h"

namespace vorn {

enum class JoinRefusal { session_ending, folder_gone, hung_up };

// A joined copy's session: its folder and copies.lock, held shared.
struct JoinedSession {
    SessionFolder folder;
    UniqueFd lock;
};

// Registers this process as a joined copy: shared lock on copies.lock, copy
// file "copy-{pid}" holding the copy ID. Every refusal closes what it opened
// and leaves no copy file.
std::expected<JoinedSession, JoinRefusal> try_join(const std::string& path,
                                                   const std::optional<std::string>& copy_id,
                                                   pid_t own_pid);

// try_join, and on a refusal its message and exit status (75, or 129 silently).
JoinedSession join_session(const std::string& path, const std::optional<std::string>& copy_id);

// The number in a copy file's name "copy-{pid}": a signed 32-bit decimal with
// an optional sign. None for a name that is not a copy file's; a number of 0
// or below names no process, and its file is stale.
std::optional<int32_t> copy_file_pid(std::string_view name);

// The joined copies that still run; copy files of gone processes are removed.
// An absent folder (one that is not this user's) has none, and its copy
// files are neither trusted nor cleaned up.
std::vector<pid_t> list_live_copies(const SessionFolder& folder);

// --hangup: writes the hangup marker, then SIGHUP to every live copy whose copy
// file holds exactly copy_id. True when one matched; never for an absent folder.
bool hang_up(const SessionFolder& folder, std::string_view copy_id);

}  // namespace vorn
