// A copy as one job among others, on pseudo-terminals and pipes: whose
// terminal it is inside a job it does not lead, stops and continues of the
// command, a terminal that hangs up, ending a session that stays open, and
// what the command inherits.

#include <signal.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "support/process.h"
#include "support/pty.h"
#include "support/terminal_helper.h"
#include "support/test_env.h"
#include "support/tmux.h"
#include "support/wait.h"

namespace vt {
namespace {

std::vector<std::string> open_descriptors(pid_t pid) {
    std::vector<std::string> fds;
    std::error_code ec;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        fds.push_back(entry.path().filename());
    }
    std::sort(fds.begin(), fds.end());
    return fds;
}

bool runs_program(pid_t pid, const std::string& name) {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec);
    return !ec && exe.filename() == name;
}

// A copy on a pseudo-terminal whose command prints its process ID and then
// becomes sleep; the command's ID once it is sleep, or -1.
pid_t start_sleeping_command(std::unique_ptr<PtyChild>& pty, TestEnv& env) {
    pty = PtyChild::start(env.spec({"--", "sh", "-c", "echo \"cmd=$$\"; exec sleep 60"}));
    pid_t command = -1;
    if (!wait_until([&] { return (command = number_after(pty->screen(), "cmd=")) > 1; })) {
        return -1;
    }
    track_pid(command);
    return wait_until([&] { return runs_program(command, "sleep"); }) ? command : -1;
}

// The copy (terminal_helper standing in for it) inside a job it does not lead,
// or leading a pipeline: it leaves the command in that group and the
// terminal with whoever holds it, before and after.
TEST(JobProbe, CopyInsideAnotherJobLeavesTheTerminalAlone) {
    struct Case {
        const char* name;
        const char* shell;
        const char* script;  // %s is the copy's command line
    };
    const Case cases[] = {
        {"script without job control", "/bin/sh", "%s; echo copy-done; read y"},
        {"first member of a pipeline", "/bin/bash", "set -m; %s | cat; echo copy-done; read y"},
        {"later member of a pipeline", "/bin/bash", "set -m; true | %s; echo copy-done; read y"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string copy_report = dir / "copy.report",
                          command_report = dir / "command.report";
        std::string copy_line = terminal_helper_bin() + " copy " + copy_report + " -- " +
                                terminal_helper_bin() + " command " + command_report;
        std::string script = c.script;
        script.replace(script.find("%s"), 2, copy_line);

        Spec spec;
        spec.program = c.shell;
        spec.args = {"-c", script};
        spec.env = {"PATH=/usr/bin:/bin", "HOME=" + dir.path(), "LC_ALL=C", "TERM=dumb"};
        auto pty = PtyChild::start(spec);
        ASSERT_TRUE(pty->wait_for("copy-done")) << pty->screen();
        const Report copy = Report::read(copy_report);
        const Report command = Report::read(command_report);
        if (auto pid = copy.number("child")) track_pid(static_cast<pid_t>(*pid));

        EXPECT_EQ(copy.text("state"), "shared_group") << copy.raw();
        EXPECT_EQ(copy.number("tty_kept"), 0);
        EXPECT_EQ(command.number("pgrp"), copy.number("pgrp")) << "the command stays in the job";
        EXPECT_EQ(command.number("fg"), copy.number("fg_before")) << "the terminal was handed on";
        EXPECT_EQ(copy.number("fg_after"), copy.number("fg_before"));
        EXPECT_EQ(copy.number("child_exit"), 0) << copy.raw();
        pty->type("\n");
        EXPECT_EQ(pty->wait().status(), 0) << pty->screen();
    }
}

// Under a launcher that makes the copy the foreground job and never takes
// the terminal back itself, the copy gives it back to its own group when the
// command's group still holds it, when that group has no process left (the
// command ended, or its start failed after it took the terminal), and not
// only when the command's last process is gone.
TEST(JobTerminal, GivesTheTerminalBackFromTheCommandsGroup) {
    struct Case {
        const char* name;
        std::vector<std::string> command;
        int status;
    };
    const Case cases[] = {
        {"command ended", {"sh", "-c", "echo \"cmd=$$\""}, 0},
        {"a process of the command's group lives on",
         {"sh", "-c", "echo \"cmd=$$\"; sleep 60 >/dev/null 2>&1 &"},
         0},
        {"start failed", {"./garbage"}, 126},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestEnv env;
        write_file(env.path("garbage"), "\x01\x02\x03 not a program\n", 0755);
        const std::string report_path = env.path("launch.report");
        Spec spec = env.spec({"launch", report_path, "--", vorn_entry_bin(), "--"});
        spec.program = terminal_helper_bin();
        spec.args.insert(spec.args.end(), c.command.begin(), c.command.end());
        auto pty = PtyChild::start(spec);
        const Report report = wait_for_report(report_path, "done", 20s);
        if (c.command.front() == "sh") {
            EXPECT_TRUE(pty->wait_for("cmd=")) << pty->screen();
        }
        const pid_t command = number_after(pty->screen(), "cmd=");
        if (command > 1) {
            ::kill(-command, SIGKILL);  // the sleep left behind
        }
        ASSERT_TRUE(report.has("done")) << report.raw() << pty->screen();
        EXPECT_EQ(report.number("child_exit"), c.status) << pty->screen();
        EXPECT_EQ(report.number("fg_after"), report.number("child")) << report.raw();
        EXPECT_EQ(pty->wait().status(), 0);
    }
}

// The command inherits none of the copy's descriptors, the terminal's
// included, which a copy in the foreground keeps open.
TEST(JobTerminal, CommandDoesNotInheritTheTerminalDescriptor) {
    TestEnv env;
    std::unique_ptr<PtyChild> pty;
    const pid_t command = start_sleeping_command(pty, env);
    ASSERT_GT(command, 1) << pty->screen();
    EXPECT_GT(open_descriptors(pty->pid()).size(), 3u) << "the copy holds no terminal descriptor";
    // Right after the exec, sleep's dynamic loader still holds the C library
    // open for a moment; a descriptor inherited from the copy never goes away.
    std::vector<std::string> fds;
    EXPECT_TRUE(wait_until([&] {
        fds = open_descriptors(command);
        return fds == std::vector<std::string>{"0", "1", "2"};
    })) << "descriptors of the command: "
        << testing::PrintToString(fds);
    pty->signal(SIGTERM);
    EXPECT_EQ(pty->wait().status(), 143);
}

// Ctrl-Z stops the command's whole group, a pipeline included; the copy
// continues that group as a whole, so the pipeline reads and answers.
TEST(JobTerminal, CtrlZOnAPipelineContinuesTheWholeGroup) {
    TestEnv env;
    auto pty = PtyChild::start(
        env.spec({"--", "sh", "-c", "(echo pipeline-ready; read x; echo \"got $x\") | cat"}));
    ASSERT_TRUE(pty->wait_for("pipeline-ready")) << pty->screen();
    pty->type("\x1a");
    ASSERT_TRUE(pty->wait_for(
        "[launch] Ctrl-Z cannot suspend a client in the container, so it goes on running."))
        << pty->screen();
    pty->type("word\n");
    EXPECT_TRUE(pty->wait_for("got word")) << pty->screen();
    EXPECT_EQ(pty->wait().status(), 0) << pty->screen();
}

// The terminal goes away while the command runs: the command and the copy
// get SIGHUP, and the copy ends with the command's 129 instead of trying to
// give a dead terminal back.
TEST(JobTerminal, HangupWhileTheCommandRunsEndsTheCopyWith129) {
    TestEnv env;
    std::unique_ptr<PtyChild> pty;
    const pid_t command = start_sleeping_command(pty, env);
    ASSERT_GT(command, 1) << pty->screen();
    pty->hang_up();
    const auto r = pty->try_wait(20s);
    ASSERT_TRUE(r.has_value()) << "the copy did not end after the hang-up";
    EXPECT_EQ(r->status(), 129);
    EXPECT_TRUE(wait_until([&] { return !process_alive(command); }));
}

// A command stopped for terminal input by a copy that no shell could
// resume stays stopped; a terminate signal still ends it, since the copy
// continues it after passing the signal on.
TEST(JobStops, TerminateEndsACommandStoppedForTerminalInput) {
    TestEnv env;
    auto child =
        Child::start(env.spec({"--", "sh", "-c", "echo \"cmd=$$\"; kill -TTIN $$; echo woke"}));
    pid_t command = -1;
    ASSERT_TRUE(wait_until([&] { return (command = number_after(child->out(), "cmd=")) > 1; }));
    track_pid(command);
    ASSERT_TRUE(wait_until([&] { return proc_stat_field(command, 3) == "T"; }));
    EXPECT_NE(proc_stat_field(child->pid(), 3), "T") << "a copy nobody can resume stopped";
    child->signal(SIGTERM);
    const auto r = child->wait(20s);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status(), 143);
    EXPECT_EQ(r.out.find("woke"), std::string::npos);
}

// A session that stays open for a joined copy ends at once on SIGQUIT,
// SIGHUP or SIGTERM, without the second Ctrl-C: the joined copy is hung up,
// and the first copy exits with its own command's status.
TEST(JobSession, StayingOpenEndsOnQuitHangupAndTerminate) {
    for (const int sig : {SIGQUIT, SIGHUP, SIGTERM}) {
        SCOPED_TRACE(strsignal(sig));
        TestEnv env;
        auto first =
            PtyChild::start(env.spec({"--", "sh", "-c", "echo first-ready; read x; exit 4"}));
        ASSERT_TRUE(first->wait_for("first-ready"));
        auto joined = Child::start(
            env.spec({"--join", "--", "sh", "-c", "echo joined-ready; exec sleep 60"}));
        ASSERT_TRUE(joined->wait_for_out("joined-ready"));
        first->type("\n");
        ASSERT_TRUE(first->wait_for(
            "[launch] sh exited. The session stays open while 1 other copy runs.\r\n"));
        first->signal(sig);
        ASSERT_TRUE(
            first->wait_for("[launch] Ending the session, which gives the other copy 5 "
                            "seconds to exit. Press Ctrl-C to end it at once.\r\n"))
            << first->screen();
        const auto j = joined->wait(20s);
        EXPECT_EQ(j.status(), 129);
        EXPECT_EQ(j.err,
                  "[launch] the session ended in another terminal, so this copy of sh stopped.\n");
        EXPECT_EQ(first->wait(20s).status(), 4);
    }
}

// A joined copy whose command cannot start leaves no copy file behind, so
// the session does not wait for it or count it.
TEST(JobSession, JoinedCopyWhoseStartFailsRemovesItsCopyFile) {
    TestEnv env;
    write_file(env.path("garbage"), "\x01\x02\x03 not a program\n", 0755);
    auto first = Child::start(env.spec({"--", "sh", "-c", "echo first-ready; exec sleep 60"}));
    ASSERT_TRUE(first->wait_for_out("first-ready"));
    const auto r = run(env.spec({"--join", "--", "./garbage"}));
    EXPECT_EQ(r.status(), 126);
    EXPECT_EQ(r.err, "[launch] cannot run ./garbage (Exec format error (os error 8)).\n");
    for (const auto& entry : std::filesystem::directory_iterator(env.session_dir())) {
        EXPECT_NE(entry.path().filename().string().rfind("copy-", 0), 0u)
            << "the failed copy left " << entry.path();
    }
    first->signal(SIGTERM);
    EXPECT_EQ(first->wait().status(), 143);
}

}  // namespace
}  // namespace vt
