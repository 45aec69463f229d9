#pragma once

#include <signal.h>
#include <sys/types.h>
#include <termios.h>

#include "base/unique_fd.h"

namespace vorn {

struct TerminalState {
    enum class Kind { foreground_with_modes, foreground_without_modes, background, no_terminal };
    Kind kind = Kind::no_terminal;
    UniqueFd tty;          // open in the two foreground states
    pid_t own_group = -1;  // the copy's process group, in the foreground states
    termios modes{};       // valid in foreground_with_modes

    bool foreground() const {
        return kind == Kind::foreground_with_modes || kind == Kind::foreground_without_modes;
    }
    // The command gets a process group of its own in every state but background.
    bool own_process_group() const { return kind != Kind::background; }
};

TerminalState probe_terminal();

// Everything the child needs between fork and exec, made before the fork.
struct PreExec {
    bool make_own_group = false;
    bool take_foreground = false;
    int tty_fd = -1;
    sigset_t ttou_only;
    sigset_t empty;
};

PreExec make_pre_exec(const TerminalState& state);

// In the child after fork: async-signal-safe calls only; results ignored.
void run_pre_exec(const PreExec& pre_exec) noexcept;

// Takes the terminal back for the copy and restores the saved modes.
void give_back_terminal(const TerminalState& state);

}  // namespace vorn
