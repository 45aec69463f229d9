#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vt {

using namespace std::chrono_literals;
using Millis = std::chrono::milliseconds;

// Path of the built vorn-entry binary.
std::string vorn_entry_bin();

// Whether the binary under test is built for another machine than these
// tests, so that the kernel runs it, and every program of its machine that it
// starts, through an emulator (qemu-user, registered with binfmt_misc). /proc
// then shows the emulator in its processes: its executable, its handlers of
// the signals that end a process, and a thread of its own.
bool under_emulation();

// Threads the emulator runs in each process of the binary under test beside
// the program's own (each takes a process ID): 0 where it runs natively.
int emulator_threads();

// The program a process runs: what /proc/PID/exe names, or, for a program
// the kernel runs through the emulator, the program's path as the kernel
// hands it to the emulator. Empty when the process is gone.
std::string program_of(pid_t pid);

// The threads of a process of the binary under test, without the
// emulator's own; -1 when the process is gone.
int program_threads(pid_t pid);

// How a process ended, and what it wrote.
struct Result {
    bool exited = false;
    int code = -1;   // exit code when exited
    int signal = 0;  // terminating signal otherwise
    bool timed_out = false;
    std::string out;
    std::string err;

    // Shell-style: the exit code, or 128 + signal.
    int status() const { return exited ? code : (signal ? 128 + signal : -1); }
};

struct Spec {
    std::vector<std::string> args;     // arguments after argv[0], arbitrary bytes
    std::optional<std::string> argv0;  // defaults to the program path
    std::string program;               // defaults to vorn_entry_bin()
    std::vector<std::string> env;      // the complete environment, KEY=VALUE
    std::string cwd;                   // empty: the test's own
    std::optional<std::string> input;  // written to stdin, then closed; none: /dev/null
    bool new_session = true;           // setsid(): no controlling terminal, own group
    std::vector<int> keep_fds;         // descriptors passed on unchanged (for fd tests)
    // The child's standard output or error is this descriptor instead of a
    // captured pipe (a pipe the test reads itself, /dev/full, ...).
    std::optional<int> stdout_fd;
    std::optional<int> stderr_fd;
    // Standard descriptors (0, 1, 2) the child starts with closed, as a shell
    // leaves them after 0<&-, >&- or 2>&-.
    std::vector<int> closed_fds;
};

// A started process with its output drained in the background. The destructor
// kills it (its process group too when it leads one) and reaps it.
class Child {
  public:
    static std::unique_ptr<Child> start(const Spec& spec);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    // Waits for the exit, up to timeout; on a time-out the process is killed.
    Result wait(Millis timeout = 30s);
    // Waits for the exit, up to timeout; nullopt if it still runs (not killed).
    std::optional<Result> try_wait(Millis timeout);
    void signal(int sig);
    // SIGKILL to the process and everything it started (kill_process_tree).
    void kill_all();

    std::string out() const;
    std::string err() const;
    bool wait_for_out(std::string_view needle, Millis timeout = 10s) const;
    bool wait_for_err(std::string_view needle, Millis timeout = 10s) const;

    struct Impl;

  private:
    Child() = default;
    pid_t pid_ = -1;
    bool reaped_ = false;
    Result result_;
    std::shared_ptr<Impl> impl_;
};

// Start, wait, collect.
Result run(const Spec& spec, Millis timeout = 30s);

// Processes that a test made but does not own through a Child (a detached
// relay process, say) are killed by PID when the test ends.
void track_pid(pid_t pid);
void kill_tracked();

// SIGKILL to a process, its group and every descendant it has now: a copy's
// command runs in a process group of its own and would outlive the copy.
void kill_process_tree(pid_t root);

// Whether a process with this PID exists (zombies count as gone).
bool process_alive(pid_t pid);

// A field of /proc/PID/stat by its number (1-based, as in proc(5)); empty
// when the process is gone.
std::string proc_stat_field(pid_t pid, int field);

// How a child of the test process ended, waited for up to timeout and
// reaped; none while it still runs. A child that cannot be waited for (reaped
// already) counts as ended, with nothing known of how.
std::optional<Result> reap_within(pid_t pid, Millis timeout);

// Runs body in a forked child of the test process with its standard error
// captured: how the child ended (what body returns is its exit status) and
// what it wrote there. For code that ends the process itself.
Result in_child(const std::function<int()>& body);

}  // namespace vt
