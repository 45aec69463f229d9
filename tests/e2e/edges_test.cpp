// The program at the edges of its surroundings, through the real binary:
// readers that have gone, standard streams that were closed, a FIFO where a
// session file belongs, a relay started by a copy whose parent ignores
// SIGTERM, and --check judging exactly what the launch would meet.
#include <elf.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "support/fake_clipboard.h"
#include "support/process.h"
#include "support/sockets.h"
#include "support/test_env.h"
#include "support/wait.h"

namespace {

using namespace std::chrono_literals;

// A pipe whose reader has gone before anything is written to it.
class ReaderlessPipe {
  public:
    ReaderlessPipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        ::close(fds[0]);
        write_end_ = fds[1];
    }
    ~ReaderlessPipe() { ::close(write_end_); }
    ReaderlessPipe(const ReaderlessPipe&) = delete;
    ReaderlessPipe& operator=(const ReaderlessPipe&) = delete;
    int write_end() const { return write_end_; }

  private:
    int write_end_ = -1;
};

const std::string kCtrlZNotice =
    "[launch] Ctrl-Z cannot suspend a client in the container, so it goes on running.\n";

TEST(Edges, CheckIntoAPipeWithoutReaderStillAnswers) {
    vt::TestEnv env;
    for (int run = 0; run < 20; ++run) {
        ReaderlessPipe out;
        auto spec = env.spec({"--check", "sh"});
        spec.stdout_fd = out.write_end();
        const auto r = vt::run(spec);
        ASSERT_TRUE(r.exited) << "run " << run << " ended by signal " << r.signal;
        ASSERT_EQ(r.code, 0) << "run " << run;
    }
    // The same in a shell pipeline, where the reader may leave before the
    // answer or after it: the status of the left side, once per run.
    auto spec = env.spec({});
    spec.program = "/bin/sh";
    spec.args = {"-c",
                 "exec 3>&1; for i in $(seq 20); do { \"$0\" --check sh; echo $? >&3; } | true; "
                 "done",
                 vt::vorn_entry_bin()};
    const auto r = vt::run(spec);
    EXPECT_EQ(r.status(), 0) << r.err;
    std::string twenty_zeros;
    for (int i = 0; i < 20; ++i) twenty_zeros += "0\n";
    EXPECT_EQ(r.out, twenty_zeros);
}

TEST(Edges, CtrlZNoticeIntoAPipeWithoutReaderStillContinuesTheCommand) {
    vt::TestEnv env;
    ReaderlessPipe err;
    auto spec = env.spec({"--", "sh", "-c", "kill -STOP $$; exit 7"});
    spec.stderr_fd = err.write_end();
    const auto r = vt::run(spec);
    EXPECT_TRUE(r.exited) << "ended by signal " << r.signal;
    EXPECT_EQ(r.code, 7);
}

TEST(Edges, ShimWithStandardOutputClosedFailsAndSendsNothingMore) {
    constexpr uint64_t kSize = 4ull << 20;
    struct Case {
        std::string shim;
        std::vector<std::string> args;
        std::string request;
    };
    const Case cases[] = {
        {"xclip", {"-selection", "clipboard", "-t", "image/png", "-o"}, "IMAGE image/png\n"},
        {"wl-paste", {"-t", "image/png"}, "IMAGE image/png\n"},
        {"wl-paste", {"--list-types"}, "TYPES\n"},
    };
    for (const auto& c : cases) {
        vt::TestEnv env;
        vt::FakeClipboard service(*env.get("VORN_CLIP_SOCK"),
                                  {{"OK " + std::to_string(kSize) + "\n"}, kSize});
        auto spec = env.spec(c.args);
        spec.argv0 = c.shim;
        spec.closed_fds = {1};
        const auto r = vt::run(spec);
        EXPECT_TRUE(r.exited) << c.shim;
        EXPECT_EQ(r.code, 1) << c.shim;
        EXPECT_EQ(r.err, c.shim + ": the image did not arrive (Bad file descriptor (os error 9))\n");
        EXPECT_EQ(service.requests(), std::vector<std::string>{c.request}) << c.shim;
    }
}

// Which of the descriptors 0, 1 and 2 the command has open, written to the
// file $1; then, given a second argument, a stop that makes the copy write
// its Ctrl-Z notice.
const std::string kListOpenStreams =
    "open=; for f in 0 1 2; do [ -e /proc/$$/fd/$f ] && open=$open$f; done; "
    "echo \"streams $open\" > \"$1\"; [ -z \"$2\" ] || kill -STOP $$; exit 7";

TEST(Edges, ClosedStandardStreamsStayClosedAndSessionFilesKeepTheirContent) {
    const std::vector<int> closings[] = {{0, 2}, {1}, {0, 1, 2}, {2}};
    for (const auto& closed : closings) {
        std::string name;
        for (int fd : closed) name += std::to_string(fd);
        vt::TestEnv env;

        // The same command without the program, for what it should see.
        auto direct = env.spec({"-c", kListOpenStreams, "sh", env.path("direct")});
        direct.program = "/bin/sh";
        direct.closed_fds = closed;
        ASSERT_EQ(vt::run(direct).status(), 7);

        auto spec =
            env.spec({"--", "sh", "-c", kListOpenStreams, "sh", env.path("launched"), "stop"});
        spec.closed_fds = closed;
        const auto r = vt::run(spec);
        EXPECT_EQ(r.status(), 7) << "closed " << name;
        EXPECT_EQ(vt::read_file(env.path("launched")), vt::read_file(env.path("direct")))
            << "closed " << name;
        EXPECT_EQ(vt::read_file(env.session_dir() + "/copies.lock"), "") << "closed " << name;
        EXPECT_EQ(vt::read_file(env.session_dir() + "/ended"), "") << "closed " << name;
    }
}

TEST(Edges, FifoAtTheSessionLockNeverHoldsUpAJoin) {
    vt::TestEnv env;
    const std::string folder = env.session_dir();
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(::mkfifo((folder + "/copies.lock").c_str(), 0600), 0);
    const auto r = vt::run(env.spec({"--join", "--", "true"}), 10s);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status(), 75);
    EXPECT_EQ(r.err, "[launch] this copy cannot join the session, because its session folder " +
                         folder + " is gone. End the session and launch again.\n");
    // Nothing left behind, and the FIFO is still what it was.
    EXPECT_EQ(vt::count_entries(folder), 1);
    struct stat st;
    ASSERT_EQ(::lstat((folder + "/copies.lock").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

unsigned long long signal_mask(pid_t pid, const std::string& key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.starts_with(key + ":")) return std::stoull(line.substr(key.size() + 1), nullptr, 16);
    }
    return ~0ull;
}

unsigned long long bit(int sig) {
    return 1ull << (sig - 1);
}

// Ignored signals survive exec: a copy started by a parent that ignores
// SIGTERM still starts a relay that SIGTERM ends.
TEST(Edges, RelayStartedByACopyEndsOnSigterm) {
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    vt::TestEnv env;
    const uint16_t port = vt::free_port();
    auto spec = env.spec({});
    spec.program = "/bin/sh";
    spec.args = {"-c", "trap '' TERM QUIT; exec \"$0\" \"$@\"", vt::vorn_entry_bin(), "--tcp",
                 std::to_string(port) + "=" + env.path("host.sock"), "--", "true"};
    const auto copy = vt::run(spec);
    ASSERT_EQ(copy.status(), 0) << copy.err;

    std::optional<ino_t> inode;
    std::vector<pid_t> holders;
    ASSERT_TRUE(vt::wait_until([&] {
        inode = vt::tcp_listener_inode(port);
        if (inode) holders = vt::pids_holding(*inode);
        return holders.size() == 1;
    }));
    const pid_t relay = holders[0];
    vt::track_pid(relay);
    const std::string tasks = "/proc/" + std::to_string(relay) + "/task";
    ASSERT_TRUE(vt::wait_until([&] { return vt::count_entries(tasks) >= 2; }));

    EXPECT_EQ(signal_mask(relay, "SigIgn"), bit(SIGINT) | bit(SIGHUP) | bit(SIGPIPE));
    for (int sig : {SIGTERM, SIGQUIT, SIGINT, SIGHUP, SIGCHLD, SIGTSTP}) {
        EXPECT_EQ(signal_mask(relay, "SigCgt") & bit(sig), 0u) << strsignal(sig);
    }
    ASSERT_EQ(::kill(relay, SIGTERM), 0);
    int status = 0;
    ASSERT_TRUE(vt::wait_until([&] { return ::waitpid(relay, &status, WNOHANG) == relay; }))
        << "the relay outlived SIGTERM";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
}

}  // namespace
