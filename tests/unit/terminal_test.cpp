#include "main/terminal.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/process.h"

namespace vorn {
namespace {

TEST(TerminalState, DecidesTheCommandsGroupAndForeground) {
    using Kind = TerminalState::Kind;
    struct Case {
        Kind kind;
        bool own_group;
        bool take_foreground;
    };
    const Case cases[] = {
        {Kind::foreground_with_modes, true, true}, {Kind::foreground_without_modes, true, true},
        {Kind::background, false, false},          {Kind::shared_group, false, false},
        {Kind::no_terminal, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.kind));
        TerminalState state;
        state.kind = c.kind;
        if (state.foreground()) state.tty = UniqueFd(::open("/dev/null", O_RDWR | O_CLOEXEC));
        EXPECT_EQ(state.own_process_group(), c.own_group);

        EXPECT_EQ(state.foreground(), c.take_foreground);
    }
}

// What the child does before its exec, where no terminal is held: its own
// group or the copy's, and in either case nothing blocked and SIGPIPE at its
// default, whatever the copy had.
TEST(RunPreExec, LeavesTheCommandUnblockedAndInTheRightGroup) {
    using Kind = TerminalState::Kind;
    for (const Kind kind : {Kind::no_terminal, Kind::background, Kind::shared_group}) {
        SCOPED_TRACE(static_cast<int>(kind));
        const pid_t parent_group = ::getpgrp();
        const int failed = vt::in_child([&] {
                               sigset_t blocked;
                               sigfillset(&blocked);
                               ::sigprocmask(SIG_BLOCK, &blocked, nullptr);
                               ::signal(SIGPIPE, SIG_IGN);
                               TerminalState state;
                               state.kind = kind;
                               run_pre_exec(state);
                               sigset_t now;
                               ::sigprocmask(SIG_SETMASK, nullptr, &now);
                               for (int sig = 1; sig < NSIG; ++sig) {
                                   if (sigismember(&now, sig) == 1) return 10;
                               }
                               struct sigaction pipe_action {};
                               ::sigaction(SIGPIPE, nullptr, &pipe_action);
                               if (pipe_action.sa_handler != SIG_DFL) return 11;
                               const pid_t expected_group =
                                   state.own_process_group() ? ::getpid() : parent_group;
                               return ::getpgrp() == expected_group ? 0 : 12;
                           }).status();
        EXPECT_EQ(failed, 0);
    }
}

}  // namespace
}  // namespace vorn
