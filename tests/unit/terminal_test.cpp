#include "main/terminal.h"

#include <fcntl.h>

#include <gtest/gtest.h>

namespace vorn {
namespace {

TEST(PreExec, FollowsTheTerminalState) {
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

        const PreExec pre_exec = make_pre_exec(state);
        EXPECT_EQ(pre_exec.make_own_group, c.own_group);
        EXPECT_EQ(pre_exec.take_foreground, c.take_foreground);
        EXPECT_EQ(pre_exec.tty_fd, c.take_foreground ? state.tty.get() : -1);
        for (int sig = 1; sig < NSIG; ++sig) {
            EXPECT_EQ(sigismember(&pre_exec.ttou_only, sig), sig == SIGTTOU ? 1 : 0) << sig;
            EXPECT_EQ(sigismember(&pre_exec.empty, sig), 0) << sig;
        }
    }
}

}  // namespace
}  // namespace vorn
