// The terminal hand-over on real pseudo-terminals: terminal_helper plays the
// copy (probe, pre-exec steps, give-back) and, as its command, reports what
// the command sees.

#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/process.h"
#include "support/pty.h"
#include "support/terminal_helper.h"
#include "support/test_env.h"
#include "support/wait.h"

namespace vt {
namespace {

constexpr const char* kPrompt = "vt-prompt$ ";

std::string quoted(const std::string& word) {
    std::string out = "'";
    for (char c : word) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'";
}

// What to type at a shell prompt to run the program of spec with its arguments.
std::string command_line(const Spec& spec) {
    std::string line = quoted(spec.program);
    for (const auto& arg : spec.args) line += " " + quoted(arg);
    return line;
}

class TerminalHandOver : public testing::Test {
  protected:
    TempDir dir;
    std::string copy_report = dir / "copy.report";
    std::string command_report = dir / "command.report";

    std::vector<std::string> env() const {
        return {"PATH=/usr/bin:/bin", "HOME=" + dir.path(), "LC_ALL=C", "TERM=dumb",
                std::string("PS1=") + kPrompt};
    }

    Spec copy_spec(std::vector<std::string> flags, std::vector<std::string> command) const {
        Spec spec;
        spec.program = terminal_helper_bin();
        spec.args = helper_copy_args(copy_report, std::move(flags), std::move(command));
        spec.env = env();
        spec.cwd = dir.path();
        return spec;
    }

    // An interactive shell with job control, waiting at its prompt.
    std::unique_ptr<PtyChild> start_shell() const {
        Spec spec;
        spec.program = "/bin/bash";
        spec.args = {"--norc", "--noprofile", "-i"};
        spec.env = env();
        spec.cwd = dir.path();
        auto shell = PtyChild::start(spec);
        EXPECT_TRUE(shell->wait_for(kPrompt)) << shell->screen();
        return shell;
    }

    // Ends what the test started even when a broken hand-over left it
    // stopped or in a group of its own.
    void track(const Report& report, const std::string& key) {
        if (auto pid = report.number(key)) track_pid(static_cast<pid_t>(*pid));
    }
};

// The command sees a clean start whatever the copy blocked or ignored.
void expect_clean_signals(const Report& command) {
    EXPECT_EQ(command.number("blocked"), 0) << command.raw();
    EXPECT_EQ(command.text("sigpipe"), "default") << command.raw();
}

struct ForegroundCase {
    const char* name;
    bool under_shell;  // a job of an interactive shell rather than the session leader
};
void PrintTo(const ForegroundCase& c, std::ostream* os) {
    *os << c.name;
}

class ForegroundHandOver : public TerminalHandOver,
                           public testing::WithParamInterface<ForegroundCase> {};

TEST_P(ForegroundHandOver, CommandOwnsTheTerminalWhileItRunsAndTheCopyGetsItBack) {
    const auto spec = copy_spec({"--hold"}, helper_command(command_report, true));
    std::unique_ptr<PtyChild> pty;
    if (GetParam().under_shell) {
        pty = start_shell();
        pty->type(command_line(spec) + "\n");
    } else {
        pty = PtyChild::start(spec);
    }

    ASSERT_TRUE(pty->wait_for("command ready")) << pty->screen();
    const Report copy_early = Report::read(copy_report);
    track(copy_early, "pid");
    const Report command = Report::read(command_report);
    track(command, "pid");
    const auto copy_pid = copy_early.number("pid");
    const auto command_pid = command.number("pid");
    ASSERT_TRUE(copy_pid && command_pid) << copy_early.raw() << command.raw();

    EXPECT_EQ(copy_early.text("state"), "foreground_with_modes");
    EXPECT_EQ(copy_early.number("fg_before"), copy_early.number("pgrp"));
    EXPECT_EQ(command.number("pgrp"), command_pid) << "the command leads a group of its own";
    EXPECT_EQ(command.number("fg"), command_pid) << "the command is the foreground group";
    EXPECT_EQ(pty->foreground_group(), *command_pid);
    EXPECT_EQ(command.number("sid"), copy_early.number("sid"));
    expect_clean_signals(command);

    pty->type("\n");
    ASSERT_TRUE(pty->wait_for("copy back")) << pty->screen();
    const Report copy = Report::read(copy_report);
    EXPECT_EQ(copy.number("child_exit"), 0) << copy.raw();
    EXPECT_FALSE(copy.has("child_stopped")) << copy.raw();
    EXPECT_EQ(copy.number("fg_after"), copy.number("pgrp")) << copy.raw();
    EXPECT_EQ(pty->foreground_group(), copy.number("pgrp"));

    pty->type("\n");
    if (GetParam().under_shell) {
        ASSERT_TRUE(pty->wait_for(kPrompt, 10s, pty->screen().find("copy back")));
        // The shell takes its terminal back from the ended job as usual.
        EXPECT_TRUE(wait_until([&] { return pty->foreground_group() == pty->pid(); }));
        pty->type("exit\n");
    }
    EXPECT_EQ(pty->wait().status(), 0) << pty->screen();
}

INSTANTIATE_TEST_SUITE_P(Terminal, ForegroundHandOver,
                         testing::Values(ForegroundCase{"SessionLeader", false},
                                         ForegroundCase{"ShellJob", true}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST_F(TerminalHandOver, CtrlCReachesTheCommandAndNotTheCopy) {
    // The helper leaves SIGINT at its default, so a copy that stayed in the
    // foreground group would die with its command.
    auto pty = PtyChild::start(copy_spec({"--hold"}, helper_command(command_report, true)));
    ASSERT_TRUE(pty->wait_for("command ready")) << pty->screen();
    track(Report::read(command_report), "pid");

    pty->type("\x03");
    ASSERT_TRUE(pty->wait_for("copy back")) << pty->screen();
    const Report copy = Report::read(copy_report);
    EXPECT_EQ(copy.number("child_signal"), SIGINT) << copy.raw();
    EXPECT_EQ(pty->foreground_group(), pty->pid());
    pty->type("\n");
    EXPECT_EQ(pty->wait().status(), 0) << pty->screen();
}

struct ModesCase {
    const char* name;
    std::vector<std::string> flags;
    bool restored;
};
void PrintTo(const ModesCase& c, std::ostream* os) {
    *os << c.name;
}

class ModesAfterHandOver : public TerminalHandOver,
                           public testing::WithParamInterface<ModesCase> {};

TEST_P(ModesAfterHandOver, ModesTheCommandChangedAreBackOnlyWhenTheyWereSaved) {
    std::vector<std::string> flags = GetParam().flags;
    flags.push_back("--hold");
    auto pty = PtyChild::start(
        copy_spec(flags, {"/bin/sh", "-c", "stty raw -echo && exec \"$0\" command \"$1\" --hold",
                          terminal_helper_bin(), command_report}));
    ASSERT_TRUE(pty->wait_for("command ready")) << pty->screen();
    track(Report::read(command_report), "pid");
    const Report copy_early = Report::read(copy_report);
    const termios during = terminal_modes(pty->master());
    ASSERT_EQ(during.c_lflag & (ECHO | ICANON), 0u) << "stty did not change the modes";

    pty->type("\n");
    ASSERT_TRUE(pty->wait_for("copy back")) << pty->screen();
    const Report copy = Report::read(copy_report);
    EXPECT_EQ(copy.number("child_exit"), 0) << copy.raw();
    EXPECT_EQ(pty->foreground_group(), pty->pid()) << "the group is handed back in either case";
    const termios after = terminal_modes(pty->master());
    if (GetParam().restored) {
        EXPECT_EQ(copy_early.text("state"), "foreground_with_modes");
        EXPECT_NE(after.c_lflag & ECHO, 0u);
        EXPECT_NE(after.c_lflag & ICANON, 0u);
        EXPECT_EQ(copy.number("after_lflag"), copy_early.number("before_lflag")) << copy.raw();
        EXPECT_EQ(copy.number("after_iflag"), copy_early.number("before_iflag")) << copy.raw();
        EXPECT_EQ(copy.number("after_oflag"), copy_early.number("before_oflag")) << copy.raw();
    } else {
        EXPECT_EQ(copy_early.text("state"), "foreground_without_modes");
        EXPECT_EQ(after.c_lflag, during.c_lflag);
        EXPECT_EQ(after.c_iflag, during.c_iflag);
        EXPECT_EQ(after.c_oflag, during.c_oflag);
    }
    pty->type("\n");
    EXPECT_EQ(pty->wait().status(), 0) << pty->screen();
}

INSTANTIATE_TEST_SUITE_P(Terminal, ModesAfterHandOver,
                         testing::Values(ModesCase{"Saved", {}, true},
                                         ModesCase{"NotSaved", {"--forget-modes"}, false}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST_F(TerminalHandOver, BackgroundCopyLeavesTheTerminalAlone) {
    auto shell = start_shell();
    const Spec spec = copy_spec({}, helper_command(command_report, false));
    shell->type(command_line(spec) + " &\n");

    track(wait_for_report(copy_report, "child"), "pid");
    const Report copy = wait_for_report(copy_report, "done");
    track(copy, "child");
    const Report command = Report::read(command_report);
    ASSERT_TRUE(copy.has("done")) << copy.raw() << shell->screen();
    const pid_t shell_group = shell->pid();

    EXPECT_EQ(copy.text("state"), "background");
    EXPECT_EQ(copy.number("tty_kept"), 0) << "a background copy keeps no terminal descriptor";
    EXPECT_EQ(copy.number("fg_before"), shell_group);
    EXPECT_NE(copy.number("pgrp"), shell_group) << "the shell runs the job in a group of its own";
    EXPECT_EQ(command.number("pgrp"), copy.number("pgrp"))
        << "the command stays in the copy's group";
    EXPECT_EQ(command.number("fg"), shell_group) << "the command did not take the terminal";
    EXPECT_EQ(copy.number("child_exit"), 0) << copy.raw();
    EXPECT_FALSE(copy.has("child_stopped")) << copy.raw();
    EXPECT_EQ(copy.number("fg_after"), shell_group) << "the give-back did nothing";
    EXPECT_EQ(shell->foreground_group(), shell_group);
    expect_clean_signals(command);

    shell->type("exit\n");
    EXPECT_FALSE(shell->wait().timed_out) << shell->screen();
}

TEST_F(TerminalHandOver, WithoutTerminalTheCommandStillLeadsItsOwnGroup) {
    Spec spec = copy_spec({}, helper_command(command_report, false));
    spec.new_session = true;
    const Result result = run(spec);
    ASSERT_EQ(result.status(), 0) << result.err;

    const Report copy = Report::read(copy_report);
    const Report command = Report::read(command_report);
    track(copy, "child");
    EXPECT_EQ(copy.text("state"), "no_terminal") << copy.raw();
    EXPECT_EQ(copy.number("tty_kept"), 0);
    EXPECT_EQ(copy.number("fg_before"), -1);
    EXPECT_EQ(copy.number("child_exit"), 0) << copy.raw();
    EXPECT_EQ(command.number("pgrp"), command.number("pid")) << command.raw();
    EXPECT_NE(command.number("pgrp"), copy.number("pgrp"));
    EXPECT_EQ(command.number("sid"), copy.number("sid"));
    EXPECT_EQ(command.number("fg"), -1);
    expect_clean_signals(command);
}

}  // namespace
}  // namespace vt
