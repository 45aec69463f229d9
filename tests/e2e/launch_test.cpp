// Running a command through the real binary: statuses, argv, environment,
// --shell, --clipboard, descriptors, signals and the terminal.
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "support/process.h"
#include "support/pty.h"
#include "support/test_env.h"
#include "support/wait.h"

namespace {

using namespace std::chrono_literals;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        out.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return out;
}

bool has_line(const std::string& text, const std::string& line) {
    for (const auto& l : lines(text)) {
        if (l == line) return true;
    }
    return false;
}

// The first whole number in the text; -1 when there is none. Never 0 or 1:
// a test must not signal init by accident.
pid_t first_pid(const std::string& text) {
    size_t i = text.find_first_of("0123456789");
    if (i == std::string::npos) return -1;
    const pid_t pid = static_cast<pid_t>(std::stoi(text.substr(i)));
    return pid > 1 ? pid : -1;
}

// The number right after `key` (as in "copy=1234"), skipping places where the
// key is followed by anything else, such as the echo of the typed command.
pid_t pid_after(const std::string& text, const std::string& key) {
    for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1)) {
        const size_t start = at + key.size();
        size_t end = start;
        while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
        if (end > start && end < text.size()) return first_pid(text.substr(start, end - start));
    }
    return -1;
}

TEST(Launch, ExitStatusIsTheCommandStatus) {
    struct Case {
        std::string script;
        int status;
    };
    const Case cases[] = {
        {"exit 0", 0},          {"exit 3", 3},          {"exit 255", 255},
        {"kill -KILL $$", 137}, {"kill -TERM $$", 143},
    };
    vt::TestEnv env;
    for (const auto& c : cases) {
        const auto r = vt::run(env.spec({"--", "sh", "-c", c.script}));
        EXPECT_EQ(r.status(), c.status) << c.script << "\n" << r.err;
        EXPECT_EQ(r.err, "") << c.script;
    }
}

TEST(Launch, ArgumentsReachTheCommandUnchanged) {
    vt::TestEnv env;
    const auto r =
        vt::run(env.spec({"--", "printf", "[%s]", "--tcp", "1=x", "\xff\xfe", "a b", ""}));
    EXPECT_EQ(r.status(), 0) << r.err;
    EXPECT_EQ(r.out, "[--tcp][1=x][\xff\xfe][a b][]");
}

TEST(Launch, Argv0IsTheWordAsTyped) {
    vt::TestEnv env;
    vt::make_dirs(env.path("bin"));
    ASSERT_EQ(::symlink("/bin/bash", env.path("bin/mysh").c_str()), 0);
    env.set("PATH", env.path("bin") + ":/usr/bin:/bin");
    for (std::string word : {"bash", "mysh"}) {
        const auto r = vt::run(env.spec({"--", word, "-c", "echo \"$0\""}));
        EXPECT_EQ(r.status(), 0) << r.err;
        EXPECT_EQ(r.out, word + "\n");
    }
}

TEST(Launch, EnvironmentLosesOnlyTheEntryVariables) {
    vt::TestEnv env;
    env.set("KEEP_ME", "yes=really");
    env.set("VORN_CLIP_SOCK", "/some/where");
    const auto r = vt::run(env.spec({"--", "env"}));
    ASSERT_EQ(r.status(), 0) << r.err;
    EXPECT_TRUE(has_line(r.out, "KEEP_ME=yes=really")) << r.out;
    EXPECT_TRUE(has_line(r.out, "VORN_CLIP_SOCK=/some/where")) << r.out;
    EXPECT_TRUE(has_line(r.out, "HOME=" + env.home())) << r.out;
    EXPECT_TRUE(has_line(r.out, "PATH=" + *env.get("PATH"))) << r.out;
    for (const char* gone :
         {"VORN_ENTRY_SESSION_DIR=", "VORN_ENTRY_PASSWD=", "VORN_ENTRY_ROOTFS="}) {
        EXPECT_EQ(r.out.find(gone), std::string::npos) << gone;
    }
}

TEST(Launch, ClipboardPutsTheShimFolderFirstOnPath) {
    const std::string default_path = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
    struct Case {
        std::optional<std::string> shim_folder;
        std::optional<std::string> path;
        std::string expected;
    };
    const Case cases[] = {
        {std::nullopt, std::nullopt, "/opt/vorn/bin:" + default_path},
        {"", std::nullopt, ":" + default_path},
        {"/shims", "/usr/bin:/bin", "/shims:/usr/bin:/bin"},
        {"/shims", "", "/shims:"},
    };
    for (const auto& c : cases) {
        vt::TestEnv env;
        if (c.shim_folder)
            env.set("VORN_CLIP_BIN", *c.shim_folder);
        else
            env.unset("VORN_CLIP_BIN");
        if (c.path)
            env.set("PATH", *c.path);
        else
            env.unset("PATH");
        // With an empty PATH the search looks in the current folder only.
        ASSERT_EQ(::symlink("/usr/bin/env", env.path("env").c_str()), 0);
        const auto r =
            vt::run(env.spec({"--clipboard", "--", c.path == "" ? "env" : "/usr/bin/env"}));
        ASSERT_EQ(r.status(), 0) << r.err;
        EXPECT_TRUE(has_line(r.out, "PATH=" + c.expected)) << r.out;
    }
    vt::TestEnv env;
    const auto r = vt::run(env.spec({"--", "/usr/bin/env"}));
    EXPECT_TRUE(has_line(r.out, "PATH=" + *env.get("PATH"))) << "no --clipboard: PATH unchanged";
}

TEST(Launch, ShellOpensBashElseSh) {
    struct Case {
        std::string name;
        std::vector<std::pair<std::string, std::string>> links;  // name -> target
        std::vector<std::string> plain_files;                    // no execute bit
        int status;
        std::string out;
        std::string err;
    };
    vt::TestEnv env;
    const std::string bin = env.path("bin");
    const Case cases[] = {
        {"bash", {{"bash", "/bin/bash"}, {"sh", "/bin/sh"}}, {}, 0, "bash:a b\n", ""},
        {"only sh", {{"sh", "/bin/sh"}}, {}, 0, "sh:a b\n", ""},
        {"bash not executable", {{"sh", "/bin/sh"}}, {"bash"}, 0, "sh:a b\n", ""},
        {"neither executable",
         {},
         {"bash", "sh"},
         126,
         "",
         "[launch] " + bin +
             "/bash has no execute bit. Run chmod 755 on it in the Containerfile.\n"},
        {"only sh, not executable",
         {},
         {"sh"},
         126,
         "",
         "[launch] " + bin + "/sh has no execute bit. Run chmod 755 on it in the Containerfile.\n"},
        {"no shell",
         {},
         {},
         127,
         "",
         "[launch] the image has no shell (bash or sh), so --shell cannot open one.\n"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove_all(bin);
        vt::make_dirs(bin);
        for (const auto& [name, target] : c.links) {
            ASSERT_EQ(::symlink(target.c_str(), (bin + "/" + name).c_str()), 0);
        }
        for (const auto& name : c.plain_files)
            vt::write_file(bin + "/" + name, "#!/bin/sh\n", 0644);
        env.set("PATH", bin);
        const auto r = vt::run(env.spec(
            {"--shell", "--", "-c",
             "[ -n \"$BASH_VERSION\" ] && echo \"bash:$0 $1\" || echo \"sh:$0 $1\"", "a", "b"}));
        EXPECT_EQ(r.status(), c.status) << c.name << "\n" << r.err;
        EXPECT_EQ(r.out, c.out) << c.name;
        EXPECT_EQ(r.err, c.err) << c.name;
    }
}

TEST(Launch, ShellWithoutWordsReadsItsInput) {
    vt::TestEnv env;
    auto spec = env.spec({"--shell", "--"});
    spec.input = "echo from-stdin; exit 5\n";
    const auto r = vt::run(spec);
    EXPECT_EQ(r.status(), 5) << r.err;
    EXPECT_EQ(r.out, "from-stdin\n");
}

TEST(Launch, CommandInheritsOnlyTheStandardStreams) {
    vt::TestEnv env;
    // A listener and a joinable session both open descriptors in the copy.
    auto child = vt::Child::start(env.spec({"--", "sh", "-c", "echo $$; exec sleep 60"}));
    ASSERT_TRUE(child->wait_for_out("\n"));
    const pid_t pid = first_pid(child->out());
    // Right after the exec, sleep's dynamic loader still holds the C library
    // open for a moment; a descriptor inherited from the copy never goes away.
    std::vector<std::string> fds;
    const bool only_standard = vt::wait_until([&] {
        fds.clear();
        std::error_code ec;
        const auto exe = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec);
        if (ec || exe.filename() != "sleep") return false;
        for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec),
             end;
             !ec && it != end; it.increment(ec)) {
            fds.push_back(it->path().filename());
        }
        std::sort(fds.begin(), fds.end());
        return fds == std::vector<std::string>{"0", "1", "2"};
    });
    EXPECT_TRUE(only_standard) << "descriptors of sleep: " << ::testing::PrintToString(fds);
    child->signal(SIGTERM);
    EXPECT_EQ(child->wait().status(), 143);
}

TEST(Launch, StartFailuresExplainAndExit126) {
    vt::TestEnv env;
    // A file with an execute bit that the system cannot execute.
    vt::write_file(env.path("garbage"), "\x01\x02\x03 not a program\n", 0755);
    const auto r = vt::run(env.spec({"--", "./garbage"}));
    EXPECT_EQ(r.status(), 126);
    EXPECT_EQ(r.err, "[launch] cannot run ./garbage (Exec format error (os error 8)).\n");
}

// A signal sent to the copy reaches the command's whole process group: the
// grandchild (sleep) is gone too.
TEST(Launch, TerminateAndInterruptReachTheWholeGroup) {
    const std::pair<int, int> cases[] = {
        {SIGINT, 130}, {SIGQUIT, 131}, {SIGTERM, 143}, {SIGHUP, 129}};
    for (const auto& [sig, status] : cases) {
        vt::TestEnv env;
        auto child = vt::Child::start(
            env.spec({"--", "sh", "-c", "sh -c 'echo $$; exec sleep 60'; echo survived"}));
        ASSERT_TRUE(child->wait_for_out("\n"));
        const pid_t grandchild = first_pid(child->out());
        ASSERT_TRUE(vt::wait_until([&] {
            std::error_code ec;
            return std::filesystem::read_symlink("/proc/" + std::to_string(grandchild) + "/exe", ec)
                       .filename() == "sleep";
        }));
        child->signal(sig);
        const auto r = child->wait();
        EXPECT_EQ(r.status(), status) << strsignal(sig) << r.err;
        EXPECT_EQ(r.out.find("survived"), std::string::npos);
        EXPECT_TRUE(vt::wait_until([&] { return !vt::process_alive(grandchild); }))
            << strsignal(sig) << " did not reach the grandchild";
    }
}

TEST(Launch, StoppedCommandIsContinuedWithOneNotice) {
    vt::TestEnv env;
    const auto r =
        vt::run(env.spec({"--", "sh", "-c", "kill -STOP $$; kill -TSTP $$; echo resumed; exit 9"}));
    EXPECT_EQ(r.status(), 9);
    EXPECT_EQ(r.out, "resumed\n");
    EXPECT_EQ(r.err,
              "[launch] Ctrl-Z cannot suspend a client in the container, so it goes on running.\n");
}

TEST(Launch, TerminalInputStopStays) {
    vt::TestEnv env;
    auto child =
        vt::Child::start(env.spec({"--", "sh", "-c", "echo $$; kill -TTIN $$; echo woke"}));
    ASSERT_TRUE(child->wait_for_out("\n"));
    const pid_t pid = first_pid(child->out());
    auto state = [&] { return vt::proc_stat_field(pid, 3); };
    ASSERT_TRUE(vt::wait_until([&] { return state() == "T"; }));
    // Nothing continues it: it is still stopped a moment later.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(state(), "T");
    EXPECT_EQ(child->out().find("woke"), std::string::npos);
    ::kill(pid, SIGKILL);
    EXPECT_EQ(child->wait().status(), 137);
}

// On a terminal: the command is the foreground group while it runs; then the
// terminal and its modes go back to what the copy found. The copy is a job of
// a shell with job control (set -m), as at an interactive prompt; a shell
// that keeps the terminal's modes a job left behind shows whether the copy
// restored them.
TEST(LaunchOnTerminal, CommandIsForegroundAndModesAreRestored) {
    vt::TestEnv env;
    auto spec = env.spec({});
    spec.program = "/bin/bash";
    const std::string vorn = vt::vorn_entry_bin();
    spec.args = {"-c",
                 "set -m; " + vorn +
                     " -- sh -c 'echo cmd=$$; stty raw -echo; read x'; echo after=$?; read y"};
    auto pty = vt::PtyChild::start(spec);
    pid_t command = -1;
    ASSERT_TRUE(vt::wait_until([&] { return (command = pid_after(pty->screen(), "cmd=")) > 1; }));
    EXPECT_TRUE(vt::wait_until([&] { return pty->foreground_group() == command; }));
    termios modes{};
    ASSERT_TRUE(vt::wait_until([&] {
        ::tcgetattr(pty->master(), &modes);
        return (modes.c_lflag & ECHO) == 0;
    }));
    pty->type("\n");  // raw mode: no CR to LF mapping
    ASSERT_TRUE(pty->wait_for("after=0"));
    EXPECT_EQ(pty->foreground_group(), pty->pid());
    ::tcgetattr(pty->master(), &modes);
    EXPECT_NE(modes.c_lflag & ECHO, 0u);
    EXPECT_NE(modes.c_lflag & ICANON, 0u);
    pty->type("\n");
    EXPECT_EQ(pty->wait().status(), 0);
}

TEST(LaunchOnTerminal, CtrlCReachesTheCommandAndTheCopySurvives) {
    vt::TestEnv env;
    auto spec = env.spec({"--", "sh", "-c",
                          "trap 'echo caught; exit 7' INT; echo ready; while :; do sleep 1; done"});
    auto pty = vt::PtyChild::start(spec);
    ASSERT_TRUE(pty->wait_for("ready"));
    pty->type("\x03");
    const auto r = pty->wait();
    EXPECT_EQ(r.status(), 7) << r.out;
    EXPECT_NE(r.out.find("caught"), std::string::npos) << r.out;
}

TEST(LaunchOnTerminal, FailedStartGivesTheTerminalBack) {
    vt::TestEnv env;
    vt::write_file(env.path("garbage"), "\x01\x02 not a program\n", 0755);
    auto spec = env.spec({});
    spec.program = "/bin/sh";
    spec.args = {"-c",
                 vt::vorn_entry_bin() + " -- ./garbage; echo status=$?; read y; echo read-ok"};
    auto pty = vt::PtyChild::start(spec);
    ASSERT_TRUE(pty->wait_for("status=126"));
    EXPECT_EQ(pty->foreground_group(), pty->pid());
    pty->type("\n");
    EXPECT_TRUE(pty->wait_for("read-ok"));
    EXPECT_EQ(pty->wait().status(), 0);
}

// In the background of a job-control shell the copy leaves SIGINT to the
// terminal but still passes SIGTERM on.
TEST(LaunchOnTerminal, BackgroundCopyForwardsTerminateButNotInterrupt) {
    vt::TestEnv env;
    auto spec = env.spec({});
    spec.program = "/bin/bash";
    spec.args = {"--norc", "--noprofile", "-i"};
    env.set("PS1", "$ ");
    spec.env = env.env();
    auto pty = vt::PtyChild::start(spec);
    const std::string pidfile = env.path("cmd.pid");
    pty->type(vt::vorn_entry_bin() + " -- sh -c 'echo $$ > " + pidfile +
              "; exec sleep 60' & echo copy=$!\n");
    pid_t copy = -1;
    ASSERT_TRUE(vt::wait_until([&] { return (copy = pid_after(pty->screen(), "copy=")) > 1; }));
    ASSERT_TRUE(vt::wait_until(
        [&] { return vt::path_exists(pidfile) && !vt::read_file(pidfile).empty(); }));
    const pid_t command = first_pid(vt::read_file(pidfile));
    ASSERT_TRUE(vt::wait_until([&] {
        std::error_code ec;
        return std::filesystem::read_symlink("/proc/" + std::to_string(command) + "/exe", ec)
                   .filename() == "sleep";
    }));
    ASSERT_EQ(vt::program_of(copy), vt::vorn_entry_bin());
    vt::track_pid(command);
    vt::track_pid(copy);
    // The command stays in the copy's group: it did not get a group of its own.
    EXPECT_EQ(::getpgid(command), ::getpgid(copy));
    ::kill(copy, SIGINT);
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(vt::process_alive(command)) << "SIGINT was forwarded from the background";
    ::kill(copy, SIGTERM);
    EXPECT_TRUE(vt::wait_until([&] { return !vt::process_alive(command); }));
    EXPECT_TRUE(vt::wait_until([&] { return !vt::process_alive(copy); }));
}

}  // namespace
