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
        EXPECT_EQ(r.err,
                  c.shim + ": the image did not arrive (Bad file descriptor (os error 9))\n");
        EXPECT_EQ(service.requests(), std::vector<std::string>{c.request}) << c.shim;
    }
    // xsel never asks the service; its refusal goes to standard error as ever.
    vt::TestEnv env;
    vt::FakeClipboard service(*env.get("VORN_CLIP_SOCK"), {{"OK 1\nx"}});
    auto spec = env.spec({"-o", "-b"});
    spec.argv0 = "xsel";
    spec.closed_fds = {1};
    const auto r = vt::run(spec);
    EXPECT_EQ(r.status(), 1);
    EXPECT_EQ(r.err,
              "xsel: only images pass from the Mac clipboard into the container, not text.\n");
    EXPECT_EQ(service.connections(), 0);
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
        if (line.starts_with(key + ":"))
            return std::stoull(line.substr(key.size() + 1), nullptr, 16);
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
    spec.args = {"-c",
                 "trap '' TERM QUIT; exec \"$0\" \"$@\"",
                 vt::vorn_entry_bin(),
                 "--tcp",
                 std::to_string(port) + "=" + env.path("host.sock"),
                 "--",
                 "true"};
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
    ASSERT_TRUE(vt::wait_until([&] { return vt::program_threads(relay) >= 2; }));

    EXPECT_EQ(signal_mask(relay, "SigIgn"), bit(SIGINT) | bit(SIGHUP) | bit(SIGPIPE));
    for (int sig : {SIGTERM, SIGQUIT, SIGINT, SIGHUP, SIGCHLD, SIGTSTP}) {
        // An emulator catches the signals that end a process, to end the
        // program it runs as they would; what they do shows below.
        if (vt::under_emulation() && (sig == SIGTERM || sig == SIGQUIT)) continue;
        EXPECT_EQ(signal_mask(relay, "SigCgt") & bit(sig), 0u) << strsignal(sig);
    }
    ASSERT_EQ(::kill(relay, SIGTERM), 0);
    int status = 0;
    ASSERT_TRUE(vt::wait_until([&] { return ::waitpid(relay, &status, WNOHANG) == relay; }))
        << "the relay outlived SIGTERM";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
}

// --- --check against the launch -------------------------------------------

std::string file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A copy of a dynamic program of this machine whose program loader is not
// in the image: the loader's name is overwritten in place.
std::optional<std::string> program_with_missing_loader() {
    for (const char* candidate : {"/bin/true", "/usr/bin/true", "/bin/sh"}) {
        std::string bytes = file_bytes(candidate);
        if (bytes.size() < sizeof(Elf64_Ehdr)) continue;
        Elf64_Ehdr eh;
        std::memcpy(&eh, bytes.data(), sizeof eh);
        if (eh.e_ident[EI_CLASS] != ELFCLASS64 || eh.e_phentsize != sizeof(Elf64_Phdr)) continue;
        for (size_t i = 0; i < eh.e_phnum; ++i) {
            Elf64_Phdr ph;
            const size_t at = eh.e_phoff + i * sizeof ph;
            if (at + sizeof ph > bytes.size()) break;
            std::memcpy(&ph, bytes.data() + at, sizeof ph);
            if (ph.p_type != PT_INTERP || ph.p_offset + ph.p_filesz > bytes.size()) continue;
            // "/lib64/ld-linux-x86-64.so.2" becomes "/xxxxxxxxxxxxxxxxxxxxxxxxxx".
            for (size_t k = 1; k + 1 < ph.p_filesz; ++k) bytes[ph.p_offset + k] = 'x';
            return bytes;
        }
    }
    return std::nullopt;
}

// The same program marked as one of the other architecture this program is
// built for.
std::string program_of_another_architecture() {
    std::string bytes = file_bytes("/bin/true");
#if defined(__x86_64__)
    const uint16_t other = EM_AARCH64;
#else
    const uint16_t other = EM_X86_64;
#endif
    std::memcpy(bytes.data() + offsetof(Elf64_Ehdr, e_machine), &other, sizeof other);
    return bytes;
}

std::string random_bytes(size_t size) {
    std::string out;
    uint32_t x = 2463534242u;
    while (out.size() < size) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out.push_back(static_cast<char>(x & 0xFF));
    }
    out[0] = 'Z';  // neither "#!" nor the ELF magic
    return out;
}

struct Row {
    std::string word;
    int status;           // of both, or of the launch when the program runs
    std::string message;  // both refuse with it; empty: the program runs
    bool other_handlers_may_run_it = false;
};

const std::string kLoaderMissing =
    ", because its #! interpreter or its program loader is not in the image.\n";

TEST(Edges, CheckRefusesExactlyWhatTheLaunchRefuses) {
    vt::TestEnv env;
    const std::string d = env.dir().path();
    std::vector<Row> rows;

    if (auto missing_loader = program_with_missing_loader()) {
        vt::write_file(env.path("dyn"), *missing_loader, 0755);
        rows.push_back({"./dyn", 126, "[launch] cannot run ./dyn" + kLoaderMissing});
        vt::write_file(env.path("via-dyn"), "#!" + d + "/dyn\n", 0755);
        rows.push_back({"./via-dyn", 126, "[launch] cannot run ./via-dyn" + kLoaderMissing});
    }
    vt::write_file(env.path("other-arch"), program_of_another_architecture(), 0755);
    rows.push_back({"./other-arch", 126,
                    "[launch] cannot run ./other-arch (Exec format error (os error 8)).\n", true});
    vt::write_file(env.path("random"), random_bytes(4096), 0755);
    rows.push_back({"./random", 126,
                    "[launch] cannot run ./random (Exec format error (os error 8)).\n", true});
    vt::write_file(env.path("empty"), "", 0755);
    rows.push_back(
        {"./empty", 126, "[launch] cannot run ./empty (Exec format error (os error 8)).\n", true});
    vt::write_file(env.path("bare"), "#!\necho hi\n", 0755);
    rows.push_back(
        {"./bare", 126, "[launch] cannot run ./bare (Exec format error (os error 8)).\n", true});
    vt::write_file(env.path("crlf"), "#!/bin/sh\r\nexit 0\r\n", 0755);
    rows.push_back({"./crlf", 126,
                    "[launch] ./crlf has a #! line that ends in a carriage return, from Windows "
                    "line endings. Convert the file to Unix line endings.\n"});
    vt::write_file(env.path("no-interp"), "#!/no/such/interp\n", 0755);
    rows.push_back({"./no-interp", 126,
                    "[launch] ./no-interp names /no/such/interp in its #! line, which is not in "
                    "the image.\n"});
    vt::write_file(env.path("env-words"), "#!/usr/bin/env vorn-no-tool --fast\n", 0755);
    rows.push_back({"./env-words", 126,
                    "[launch] ./env-words has \"vorn-no-tool --fast\" after env in its #! line, "
                    "and env receives it as one command name. Write #!/usr/bin/env -S "
                    "vorn-no-tool --fast to pass it as separate words.\n"});
    // From chainN the kernel hands over 7 - N times: /bin/sh is the last.
    // It follows five hand-overs and refuses a sixth.
    for (int i = 1; i < 6; ++i) {
        vt::write_file(env.path("chain" + std::to_string(i)),
                       "#!" + d + "/chain" + std::to_string(i + 1) + "\n", 0755);
    }
    vt::write_file(env.path("chain6"), "#!/bin/sh\nexit 4\n", 0755);
    rows.push_back({"./chain1", 126,
                    "[launch] cannot run ./chain1 (Too many levels of symbolic links (os error "
                    "40)).\n"});
    rows.push_back({"./chain2", 4, ""});
    vt::make_dirs(env.path("dir"));
    rows.push_back({"./dir", 127,
                    "[launch] ./dir is not an executable file in this image. The image needs the "
                    "command it runs.\n"});
    vt::write_file(env.path("plain"), "#!/bin/sh\n", 0644);
    rows.push_back({"./plain", 126,
                    "[launch] ./plain has no execute bit. Run chmod 755 on it in the "
                    "Containerfile.\n"});
    vt::write_file(env.path("true"), file_bytes("/bin/true"), 0755);
    rows.push_back({"./true", 0, ""});
    if (::geteuid() == 0) {
        // The superuser may run a file with any execute bit, the others' one too.
        vt::write_file(env.path("others-only"), "#!/bin/sh\nexit 3\n", 0001);
        rows.push_back({"./others-only", 3, ""});
    }

    for (const Row& row : rows) {
        const auto check = vt::run(env.spec({"--check", row.word}));
        const auto launch = vt::run(env.spec({"--", row.word}));
        const bool launch_refused = launch.err.starts_with("[launch] ");
        if (row.other_handlers_may_run_it && !launch_refused) {
            // A handler the system registers for other formats (binfmt_misc)
            // runs it; --check must not refuse it then either.
            EXPECT_EQ(check.status(), 0) << row.word << check.err;
            continue;
        }
        EXPECT_EQ(launch.status(), row.status) << row.word << launch.err;
        if (row.message.empty()) {
            EXPECT_EQ(check.status(), 0) << row.word << check.err;
            EXPECT_EQ(check.out, row.word + "\n");
            EXPECT_EQ(check.err, "");
            EXPECT_EQ(launch.err, "") << row.word;
            continue;
        }
        EXPECT_EQ(check.status(), row.status) << row.word;
        EXPECT_EQ(check.out, "") << row.word;
        EXPECT_EQ(check.err, row.message);
        EXPECT_EQ(launch.err, row.message);
    }
}

// What --check says of programs made for this test alone, so that it holds
// under an emulator too, where the host's own programs are of another
// machine: the program itself, and a copy of it marked for the other
// architecture it is built for. The binary's own header tells its machine,
// which need not be the tests'.
TEST(Edges, CheckJudgesProgramsOfThisMachineAndOfAnother) {
    vt::TestEnv env;
    const std::string self = vt::vorn_entry_bin();
    std::string other = file_bytes(self);
    ASSERT_GT(other.size(), sizeof(Elf64_Ehdr));
    uint16_t machine = 0;
    std::memcpy(&machine, other.data() + offsetof(Elf64_Ehdr, e_machine), sizeof machine);
    ASSERT_TRUE(machine == EM_X86_64 || machine == EM_AARCH64) << machine;
    const uint16_t other_machine = machine == EM_X86_64 ? EM_AARCH64 : EM_X86_64;
    std::memcpy(other.data() + offsetof(Elf64_Ehdr, e_machine), &other_machine,
                sizeof other_machine);
    vt::write_file(env.path("other"), other, 0755);

    const auto native = vt::run(env.spec({"--check", self}));
    EXPECT_EQ(native.status(), 0) << native.err;
    EXPECT_EQ(native.out, self + "\n");

    std::ifstream status("/proc/sys/fs/binfmt_misc/status");
    std::string handlers;
    status >> handlers;
    if (handlers != "enabled") {
        const auto foreign = vt::run(env.spec({"--check", "./other"}));
        EXPECT_EQ(foreign.status(), 126);
        EXPECT_EQ(foreign.out, "");
        EXPECT_EQ(foreign.err, "[launch] cannot run ./other (Exec format error (os error 8)).\n");
    }
}

// A file system mounted noexec refuses every execute bit: the message names
// the mount, not chmod. The mount lives in a mount namespace of its own.
TEST(Edges, NoexecFileSystemIsNamedInsteadOfTheExecuteBit) {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a file system needs root";
    vt::TestEnv env;
    const std::string mnt = env.path("mnt");
    vt::make_dirs(mnt);
    const std::string script = R"(
m=$1 b=$2
mount -t tmpfs -o noexec tmpfs "$m" || exit 99
cp /bin/true "$m/prog" && chmod 755 "$m/prog" && : > "$m/plain" && chmod 644 "$m/plain" || exit 98
run() { err=$("$@" 2>&1 >/dev/null); echo "$?|$err"; }
run "$b" --check "$m/prog"
run "$b" -- "$m/prog"
run env PATH="$m" "$b" --check prog
run env PATH="$m" "$b" -- prog
run "$b" --check "$m/plain"
)";
    auto spec = env.spec({"--mount", "sh", "-c", script, "sh", mnt, vt::vorn_entry_bin()});
    spec.program = "/usr/bin/unshare";
    const auto r = vt::run(spec);
    if (r.status() == 99 || (r.status() != 0 && r.out.empty())) {
        GTEST_SKIP() << "no private mount here: " << r.err;
    }
    const std::string noexec = "126|[launch] cannot run " + mnt +
                               "/prog, because the file system that holds it is "
                               "mounted noexec.\n";
    EXPECT_EQ(r.out, noexec + noexec + noexec + noexec + "126|[launch] " + mnt +
                         "/plain has no execute bit. Run chmod 755 on it in the Containerfile.\n");
}

}  // namespace
