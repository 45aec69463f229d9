#pragma once

#include <signal.h>
#include <sys/types.h>
#include <termios.h>

#include "base/unique_fd.h"

namespace vorn {

struct TerminalState {
    enum class Kind {
        foreground_with_modes,
        foreground_without_modes,
        background,
        // The copy runs inside a job that is not its own: it does not lead its
        // process group (a script without job control, a later member of a
        // pipeline, the first process of a PID namespace whose terminal
        // belongs outside it), or it leads a pipeline whose other members
        // share that group.
        shared_group,
        no_terminal,
    };
    Kind kind = Kind::no_terminal;
    UniqueFd tty;          // open in the two foreground states
    pid_t own_group = -1;  // the copy's process group, in the foreground states
    termios modes{};       // valid in foreground_with_modes

    bool foreground() const {
        return kind == Kind::foreground_with_modes || kind == Kind::foreground_without_modes;
    }
    // The command gets a process group of its own unless the copy's group is
    // a job that the terminal or a shell manages as a whole.
    bool own_process_group() const {
        return kind != Kind::background && kind != Kind::shared_group;
    }
};

TerminalState probe_terminal();

// In the child between fork and exec: its own process group unless the
// copy's group is a job managed as a whole, the terminal's foreground when the
// copy held it, nothing blocked and SIGPIPE at its default. Async-signal-safe
// calls only; results ignored.
void run_pre_exec(const TerminalState& state) noexcept;

// Whether the copy's own group is the terminal's foreground group right now
// (only ever true in the foreground states).
bool holds_terminal(const TerminalState& state);

// Makes the command's group the terminal's foreground group again, once the
// copy holds the terminal (after a shell's fg, say).
void hand_over_terminal(const TerminalState& state, pid_t command);

// Takes the terminal back for the copy and restores the saved modes, but only
// while it is still the copy's to take: held by the command's group, by the
// copy's own group, or by a group that no longer exists. A terminal that a
// shell or anyone else took in the meantime stays theirs, modes and all.
// command is the command's process ID (its group), or -1 when there is none.
void give_back_terminal(const TerminalState& state, pid_t command);

}  // namespace vorn
