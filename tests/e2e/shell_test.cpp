// The program as people use it from an interactive bash with job control, in
// a private tmux server: foreground and background jobs, Ctrl-C and Ctrl-Z,
// stopped jobs with fg and bg, scripts without job control, pipelines, a
// second terminal that joins, and a PID namespace. What must hold throughout:
// the user's shell keeps its terminal, and what the program does to a job is
// what the shell would show for the command run without it.

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/process.h"
#include "support/test_env.h"
#include "support/tmux.h"
#include "support/wait.h"

namespace vt {
namespace {

// Both shells (the pane's and one started through the program) read this; a
// shell started with VT_PROMPT=in shows "in$ ".
constexpr const char* kBashrc =
    "PS1=\"${VT_PROMPT:-vt}\\$ \"\n"
    "PS2='> '\n"
    "unset PROMPT_COMMAND HISTFILE\n"
    "set +o histexpand\n";

class Shell : public testing::Test {
  protected:
    void SetUp() override {
        if (const std::string why = tmux_missing(); !why.empty()) GTEST_SKIP() << why;
        make_dirs(env.path("bin"));
        ASSERT_EQ(::symlink(vorn_entry_bin().c_str(), env.path("bin/vorn-entry").c_str()), 0);
        write_file(env.home() + "/.bashrc", kBashrc);
        env.set("PATH", env.path("bin") + ":" + env.get("PATH").value_or("/usr/bin:/bin"));
        env.set("LESSHISTFILE", "-");
        tmux = std::make_unique<Tmux>(env.dir().path(), env.env(), "exec bash -i");
        pane = tmux->first_pane();
        shell = tmux->shell_pid(pane);
        ASSERT_GT(shell, 1);
    }

    // The process ID that the pane printed after key, waited for.
    pid_t printed_pid(const std::string& key, const std::string& in = "") {
        const std::string where = in.empty() ? pane : in;
        pid_t pid = -1;
        wait_until([&] { return (pid = number_after(tmux->history(where), key)) > 1; }, 20s);
        if (pid > 1) track_pid(pid);
        return pid;
    }

    // Runs script through the program at the prompt and returns the command
    // (which prints "cmd=$$" first) and the copy, once the command holds the
    // terminal; both are ended by the test's end.
    std::pair<pid_t, pid_t> start_copy_in_foreground(const std::string& script) {
        tmux->line(pane, "vorn-entry -- sh -c '" + script + "'");
        const pid_t command = printed_pid("cmd=");
        EXPECT_GT(command, 1) << tmux->history(pane);
        if (command <= 1) return {-1, -1};
        const std::string parent = proc_stat_field(command, 4);
        const pid_t copy = parent.empty() ? -1 : static_cast<pid_t>(std::stol(parent));
        EXPECT_GT(copy, 1);
        if (copy > 1) track_pid(copy);
        EXPECT_TRUE(wait_until([&] { return foreground(shell) == command; }));
        return {command, copy};
    }

    // The foreground process group of the shell's terminal.
    pid_t foreground(pid_t process) const {
        const std::string field = proc_stat_field(process, 8);
        return field.empty() ? -1 : static_cast<pid_t>(std::stol(field));
    }

    // Whether a shell has its terminal (after its last job is gone).
    bool holds_terminal(pid_t shell_pid) const {
        return wait_until([&] { return foreground(shell_pid) == shell_pid; });
    }

    static bool stopped(pid_t pid) { return proc_stat_field(pid, 3) == "T"; }

    // The shell answers a line only while it has its terminal.
    void expect_shell_answers(const std::string& where, const std::string& word) {
        // The typed line shows the word split by quotes; only the answer shows it whole.
        tmux->line(where, "echo " + word.substr(0, 1) + "\"\"" + word.substr(1));
        EXPECT_TRUE(tmux->wait_for(where, word)) << tmux->history(where);
        EXPECT_TRUE(process_alive(tmux->shell_pid(where)));
    }

    void expect_status(const std::string& where, const std::string& key, int status) {
        tmux->line(where, "echo \"" + key + "=$?\"");
        EXPECT_TRUE(tmux->wait_for(where, key + "=" + std::to_string(status)))
            << tmux->history(where);
    }

    TestEnv env;
    std::unique_ptr<Tmux> tmux;
    std::string pane;
    pid_t shell = -1;
};

// A script without job control that starts the program in the background and
// then returns, or reads a line: the copy runs inside the script's job and
// never takes the terminal, so the script reads its line and the user's
// shell, which has the terminal back once the script ended, keeps it after
// the command ended.
TEST_F(Shell, BackgroundCopyOfAScriptLeavesTheTerminalToTheShell) {
    struct Case {
        const char* name;
        const char* after;   // what the script does after starting the copy
        const char* answer;  // typed for the script's read, or nothing
        const char* said;    // what the script prints when it is done
    };
    const Case cases[] = {
        {"returns", "sleep 0.3\necho started\n", nullptr, "started"},
        {"reads", "read x\necho \"script got $x\"\n", "typed-word", "script got typed-word"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string script = env.path(std::string(c.name) + ".sh");
        const std::string pid_file = env.path(std::string(c.name) + ".copy");
        write_script(script,
                     "vorn-entry -- sleep 2 &\necho \"copy=$!\" > " + pid_file + "\n" + c.after);
        tmux->line(pane, script);
        ASSERT_TRUE(wait_until([&] { return path_exists(pid_file); }, 20s));
        pid_t copy = -1;
        ASSERT_TRUE(
            wait_until([&] { return (copy = number_after(read_file(pid_file), "copy=")) > 1; }));
        track_pid(copy);
        if (c.answer) tmux->line(pane, c.answer);
        EXPECT_TRUE(tmux->wait_for(pane, c.said)) << tmux->history(pane);
        // The moment the copy would give the terminal back.
        ASSERT_TRUE(wait_until([&] { return !process_alive(copy); }, 20s));
        expect_shell_answers(pane, std::string("alive-after-") + c.name);
        EXPECT_TRUE(holds_terminal(shell));
    }
}

// Ctrl-Z on a script without job control that runs the program in the
// foreground stops the whole job, the copy included, as it stops the script
// and its command without the program; fg resumes all of it, and the command
// reads the line typed next.
TEST_F(Shell, CtrlZOnAScriptStopsItsWholeJobAndFgResumesIt) {
    const std::string script = env.path("reader.sh");
    write_script(script,
                 "\"$@\" sh -c 'echo \"reader=$$\"; read x; echo \"got $x\"'\n"
                 "echo script-done\n");
    struct Case {
        const char* name;
        const char* prefix;
    };
    int round = 0;
    for (const Case& c : {Case{"plain", ""}, Case{"through the program", " vorn-entry --"}}) {
        SCOPED_TRACE(c.name);
        const int stops = occurrences(tmux->history(pane), "Stopped");
        const int readers = occurrences(tmux->history(pane), "reader=");
        tmux->line(pane, script + c.prefix);
        ASSERT_TRUE(tmux->wait_for(pane, "reader=", readers + 1)) << tmux->history(pane);
        tmux->keys(pane, "C-z");
        ASSERT_TRUE(tmux->wait_for(pane, "Stopped", stops + 1)) << tmux->history(pane);
        ASSERT_TRUE(holds_terminal(shell));
        tmux->line(pane, "fg");
        ASSERT_TRUE(wait_until([&] { return foreground(shell) != shell; }));
        const std::string typed = "after-stop-" + std::to_string(round);
        tmux->line(pane, typed);
        EXPECT_TRUE(tmux->wait_for(pane, "got " + typed)) << tmux->history(pane);
        expect_status(pane, "status-" + std::to_string(round++), 0);
        EXPECT_TRUE(holds_terminal(shell));
    }
    EXPECT_EQ(tmux->history(pane).find("[launch]"), std::string::npos) << tmux->history(pane);
}

// A copy stopped from outside while its command has the terminal: the shell
// takes the terminal back and, after bg, keeps it; the command ending in the
// background must not take it from the shell.
TEST_F(Shell, CopyResumedInTheBackgroundDoesNotTakeTheTerminalBack) {
    const std::string go = env.path("go");
    const auto [command, copy] =
        start_copy_in_foreground("echo \"cmd=$$\"; while [ ! -e " + go + " ]; do sleep 0.05; done");
    ASSERT_GT(copy, 1);

    ASSERT_EQ(::kill(copy, SIGSTOP), 0);
    ASSERT_TRUE(tmux->wait_for(pane, "Stopped")) << tmux->history(pane);
    ASSERT_TRUE(wait_until([&] { return foreground(shell) == shell; }));
    tmux->line(pane, "bg");
    ASSERT_TRUE(wait_until([&] { return !stopped(copy); }));

    write_file(go, "");
    ASSERT_TRUE(wait_until([&] { return !process_alive(copy); }, 20s));
    expect_shell_answers(pane, "still-here");
    EXPECT_TRUE(holds_terminal(shell));
}

// The same stop, then fg: the shell gives the terminal to the copy's group;
// once the command reads, the copy hands the terminal on to it again, and
// the line typed reaches the command.
TEST_F(Shell, CopyResumedInTheForegroundHandsTheTerminalToItsCommandAgain) {
    const std::string go = env.path("go");
    const auto [command, copy] = start_copy_in_foreground(
        "echo \"cmd=$$\"; while [ ! -e " + go + " ]; do sleep 0.05; done; read x; echo \"got $x\"");
    ASSERT_GT(copy, 1);

    ASSERT_EQ(::kill(copy, SIGSTOP), 0);
    ASSERT_TRUE(tmux->wait_for(pane, "Stopped")) << tmux->history(pane);
    ASSERT_TRUE(wait_until([&] { return foreground(shell) == shell; }));
    tmux->line(pane, "fg");
    ASSERT_TRUE(wait_until([&] { return foreground(shell) == copy && !stopped(copy); }));

    write_file(go, "");
    EXPECT_TRUE(wait_until([&] { return foreground(shell) == command; }))
        << "the command did not get the terminal back";
    tmux->line(pane, "typed-again");
    EXPECT_TRUE(tmux->wait_for(pane, "got typed-again")) << tmux->history(pane);
    expect_status(pane, "status", 0);
    EXPECT_TRUE(holds_terminal(shell));
}

// Without the program, `cat &` stops for terminal input, shows as stopped,
// and fg lets it read. Through the program the job does the same.
TEST_F(Shell, CommandStoppedForTerminalInputStopsTheJobAndFgResumesIt) {
    struct Case {
        const char* name;
        const char* command;
    };
    for (const Case& c : {Case{"plain", "cat"}, Case{"through the program", "vorn-entry -- cat"}}) {
        SCOPED_TRACE(c.name);
        const std::string key = std::string("job-") + (c.command[0] == 'c' ? "a" : "b") + "=";
        tmux->line(pane, std::string(c.command) + " & echo \"" + key + "$!\"");
        const pid_t job = printed_pid(key);
        ASSERT_GT(job, 1) << tmux->history(pane);
        ASSERT_TRUE(wait_until([&] { return stopped(job); })) << "the job does not show a stop";
        const int stops_before = occurrences(tmux->history(pane), "Stopped");
        tmux->line(pane, "jobs");
        ASSERT_TRUE(tmux->wait_for(pane, "Stopped", stops_before + 1)) << tmux->history(pane);

        tmux->line(pane, "fg");
        // Typed any sooner, the line could meet the terminal still without
        // echo, as the shell's line editor had it.
        ASSERT_TRUE(wait_until([&] { return foreground(shell) == job && !stopped(job); }));
        const std::string typed = std::string("line-for-") + key.substr(0, 5);
        tmux->line(pane, typed);
        // The terminal's echo, then cat's answer.
        EXPECT_TRUE(tmux->wait_for(pane, typed, 2)) << tmux->history(pane);
        tmux->keys(pane, "C-d");
        expect_status(pane, "status-" + key.substr(4, 1), 0);
        EXPECT_TRUE(wait_until([&] { return !process_alive(job); }));
        EXPECT_TRUE(holds_terminal(shell));
    }
}

// A background command that stops itself for terminal output, with no
// terminal signal sent to the copy: the copy stops the job all the same, and
// fg resumes the command.
TEST_F(Shell, BackgroundCommandThatStopsItselfStopsTheJob) {
    tmux->line(pane,
               "vorn-entry -- sh -c 'kill -TTOU $$; echo \"res\"\"umed\"' & echo \"copy=$!\"");
    const pid_t copy = printed_pid("copy=");
    ASSERT_GT(copy, 1) << tmux->history(pane);
    ASSERT_TRUE(wait_until([&] { return stopped(copy); })) << "the job does not show a stop";
    tmux->line(pane, "jobs");
    ASSERT_TRUE(tmux->wait_for(pane, "Stopped")) << tmux->history(pane);
    tmux->line(pane, "fg");
    EXPECT_TRUE(tmux->wait_for(pane, "resumed")) << tmux->history(pane);
    expect_status(pane, "status", 0);
    EXPECT_TRUE(holds_terminal(shell));
}

// The program as the first process of a PID namespace on the user's
// terminal, where its process group (0 from inside) belongs to the parent
// namespace: the terminal stays with that group, so once the command ended
// and the session stays open for a joined copy, Ctrl-C still reaches the copy.
TEST_F(Shell, FirstProcessOfAPidNamespaceKeepsCtrlC) {
    if (::geteuid() != 0) GTEST_SKIP() << "a PID namespace needs root";
    const std::string unshare = find_on_path("unshare");
    if (unshare.empty()) GTEST_SKIP() << "unshare is not installed";
    Spec probe;
    probe.program = unshare;
    probe.args = {"--pid", "--fork", "--mount-proc", "true"};
    if (const Result r = run(probe); r.status() != 0) {
        GTEST_SKIP() << "no PID namespace here: " << r.err;
    }

    tmux->line(pane,
               "unshare --pid --fork --mount-proc vorn-entry -- sh -c "
               "'echo \"ns-pid=$$\"; read x; exit 3'");
    // The command is the next process of the namespace after the program and
    // the emulator's threads, where it runs emulated.
    const std::string command_pid = "ns-pid=" + std::to_string(2 + emulator_threads());
    ASSERT_TRUE(tmux->wait_for(pane, command_pid)) << tmux->history(pane);
    auto joined =
        Child::start(env.spec({"--join", "--", "sh", "-c", "echo joined-ready; exec sleep 60"}));
    ASSERT_TRUE(joined->wait_for_out("joined-ready"));

    tmux->line(pane, "x");
    ASSERT_TRUE(tmux->wait_for(pane, "The session stays open while")) << tmux->history(pane);
    tmux->keys(pane, "C-c");
    ASSERT_TRUE(tmux->wait_for(pane, "Press Ctrl-C again to end the session"))
        << tmux->history(pane);
    tmux->keys(pane, "C-c");
    ASSERT_TRUE(tmux->wait_for(pane, "Ending the session")) << tmux->history(pane);
    tmux->keys(pane, "C-c");
    expect_status(pane, "status", 3);
    EXPECT_TRUE(holds_terminal(shell));
}

// vim inside a bash that runs through the program: Ctrl-Z in vim stops vim as
// a job of that bash, with the terminal's modes back to the shell's; fg and
// :wq finish the edit, and once that bash exits the modes are the ones the
// user's shell had.
TEST_F(Shell, VimInABashThroughTheProgramSuspendsAndResumes) {
    std::string vim;
    for (const char* name : {"vim", "vim.tiny", "vi"}) {
        if (vim.empty()) vim = find_on_path(name);
    }
    if (vim.empty()) GTEST_SKIP() << "vim is not installed";

    tmux->line(pane, "stty -g > " + env.path("outer-before"));
    tmux->line(pane, "VT_PROMPT=in vorn-entry -- bash");
    ASSERT_TRUE(tmux->wait_for(pane, "\nin$")) << tmux->history(pane);
    tmux->line(pane, "stty -g > " + env.path("inner-before"));
    const std::string file = env.path("edited.txt");
    tmux->line(pane, vim + " -u NONE -i NONE -N " + file);
    ASSERT_TRUE(tmux->wait_for_screen(pane, "~\n~\n")) << tmux->screen(pane);
    tmux->type(pane, "ihello from vim");
    tmux->keys(pane, "Escape");
    tmux->keys(pane, "C-z");
    ASSERT_TRUE(tmux->wait_for(pane, "Stopped")) << tmux->history(pane);
    tmux->line(pane, "stty -g > " + env.path("inner-stopped"));
    tmux->line(pane, "fg");
    ASSERT_TRUE(tmux->wait_for_screen(pane, "hello from vim")) << tmux->screen(pane);
    tmux->type(pane, ":wq");
    tmux->keys(pane, "Enter");
    // vim may have read ahead what was typed before it ended.
    ASSERT_TRUE(tmux->wait_for_prompt(pane, "in$")) << tmux->screen(pane);
    tmux->line(pane, "stty -g > " + env.path("inner-after"));
    tmux->line(pane, "exit");
    expect_status(pane, "outer", 0);
    tmux->line(pane, "stty -g > " + env.path("outer-after"));
    ASSERT_TRUE(wait_until([&] {
        return path_exists(env.path("outer-after")) && !read_file(env.path("outer-after")).empty();
    }));

    EXPECT_EQ(read_file(file), "hello from vim\n");
    const std::string inner = read_file(env.path("inner-before"));
    EXPECT_FALSE(inner.empty());
    EXPECT_EQ(read_file(env.path("inner-stopped")), inner);
    EXPECT_EQ(read_file(env.path("inner-after")), inner);
    EXPECT_EQ(read_file(env.path("outer-after")), read_file(env.path("outer-before")));
    EXPECT_TRUE(holds_terminal(shell));
}

// Ctrl-Z on a command that has the terminal: the program says it cannot
// suspend it, and the command goes on in the foreground, where Ctrl-C ends it.
TEST_F(Shell, CtrlZOnAForegroundCommandSaysSoAndItGoesOn) {
    tmux->line(pane, "vorn-entry -- sleep 30");
    pid_t command = -1;
    ASSERT_TRUE(wait_until(
        [&] {
            command = foreground(shell);
            return command != shell && proc_stat_field(command, 2) == "(sleep)";
        },
        20s))
        << tmux->history(pane);
    tmux->keys(pane, "C-z");
    ASSERT_TRUE(tmux->wait_for(
        pane, "[launch] Ctrl-Z cannot suspend a client in the container, so it goes on running."))
        << tmux->history(pane);
    EXPECT_TRUE(wait_until([&] { return proc_stat_field(command, 3) == "S"; }))
        << "the command stayed stopped";
    EXPECT_EQ(foreground(shell), command);
    EXPECT_EQ(tmux->history(pane).find("Stopped"), std::string::npos) << tmux->history(pane);
    tmux->keys(pane, "C-c");
    expect_status(pane, "status", 130);
}

TEST_F(Shell, ForegroundCommandReadsTheTerminal) {
    tmux->line(pane, "vorn-entry -- sh -c 'read x; echo \"got $x\"'");
    ASSERT_TRUE(wait_until([&] { return foreground(shell) != shell; }, 20s));
    tmux->line(pane, "typed-word");
    EXPECT_TRUE(tmux->wait_for(pane, "got typed-word")) << tmux->history(pane);
    expect_status(pane, "status", 0);
}

// A first copy in one terminal and a joined copy in another: Ctrl-C in the
// joined copy's terminal ends only its command; Ctrl-C in the first copy's
// terminal ends its command, and twice more ends the session, which hangs
// up the joined copy in the other terminal.
TEST_F(Shell, FirstAndJoinedCopyInTwoPanesEachTakeCtrlC) {
    const std::string second = tmux->new_pane();
    tmux->line(pane, "vorn-entry -- sleep 60");
    ASSERT_TRUE(wait_until([&] { return proc_stat_field(foreground(shell), 2) == "(sleep)"; }, 20s))
        << tmux->history(pane);
    const pid_t second_shell = tmux->shell_pid(second);

    for (int round = 0; round < 2; ++round) {
        const std::string key = "joined" + std::to_string(round) + "=";
        tmux->line(second, "vorn-entry --join -- sh -c 'echo \"" + key + "$$\"; exec sleep 60'");
        const pid_t command = printed_pid(key, second);
        ASSERT_GT(command, 1) << tmux->history(second);
        ASSERT_TRUE(wait_until([&] { return foreground(second_shell) == command; }));
        if (round == 0) {
            tmux->keys(second, "C-c");
            expect_status(second, "joined-a", 130);
        }
    }

    tmux->keys(pane, "C-c");
    ASSERT_TRUE(tmux->wait_for(
        pane, "[launch] sleep exited. The session stays open while 1 other copy runs."))
        << tmux->history(pane);
    tmux->keys(pane, "C-c");
    ASSERT_TRUE(tmux->wait_for(pane, "Press Ctrl-C again")) << tmux->history(pane);
    tmux->keys(pane, "C-c");
    ASSERT_TRUE(tmux->wait_for(pane, "Ending the session")) << tmux->history(pane);
    EXPECT_TRUE(tmux->wait_for(
        second, "[launch] the session ended in another terminal, so this copy of sh stopped."))
        << tmux->history(second);
    expect_status(second, "joined-b", 129);
    expect_status(pane, "first", 130);
    EXPECT_TRUE(holds_terminal(shell));
    EXPECT_TRUE(holds_terminal(second_shell));
}

// In a pipeline the program shares its process group with the other members,
// first or later; it leaves the terminal to that group, so less in the same
// pipeline pages and quits as it would without the program, while the
// producer still runs. Ctrl-C then ends the producer, as without the program.
TEST_F(Shell, PipelineMembersKeepTheTerminal) {
    if (find_on_path("less").empty()) GTEST_SKIP() << "less is not installed";
    const std::string producer = "sh -c 'seq 1 500; exec sleep 60'";
    struct Case {
        const char* name;
        std::string line;
    };
    const Case cases[] = {
        {"plain", producer + " | less"},
        {"first member", "vorn-entry -- " + producer + " | less"},
        {"later member", producer + " | vorn-entry -- less"},
    };
    int round = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        tmux->line(pane, c.line);
        ASSERT_TRUE(tmux->wait_for_screen(pane, "\n40\n")) << tmux->screen(pane);
        // less answers keys only while its group has the terminal.
        tmux->type(pane, " ");
        EXPECT_TRUE(tmux->wait_for_screen(pane, "\n90\n")) << tmux->screen(pane);
        tmux->type(pane, "q");
        // less leaves its screen as it quits; keys typed sooner would be its.
        ASSERT_TRUE(
            wait_until([&] { return tmux->screen(pane).find("\n90\n") == std::string::npos; }, 20s))
            << tmux->screen(pane);
        tmux->keys(pane, "C-c");
        expect_status(pane, "status-" + std::to_string(round++), 0);
        EXPECT_TRUE(holds_terminal(shell));
    }
}

}  // namespace
}  // namespace vt
