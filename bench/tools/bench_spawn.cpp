// Runs a program many times, one run after the other, and tells how long each
// run took from the spawn to the reaped exit, and the largest resident size
// any run reached.
//
//   bench_spawn [--runs N] [--stdin FILE] [--stdout FILE] -- PROGRAM [ARGS...]
//
// Prints one line: runs, total seconds, median, mean and minimum microseconds
// per run, and the peak resident size in KiB (ru_maxrss of the children).
// Standard input and output come from /dev/null unless given; standard error
// is passed through. A run that does not exit with status 0 ends the tool
// with status 1.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <vector>

#include "common.h"

extern char** environ;

namespace {

using namespace bench;

}  // namespace

int main(int argc, char** argv) {
    uint64_t runs = 1;
    std::string stdin_path = "/dev/null";
    std::string stdout_path = "/dev/null";
    int i = 1;
    for (; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (i + 1 >= argc) die("missing value after " + std::string(arg));
        if (arg == "--runs") {
            runs = parse_count(argv[++i]);
        } else if (arg == "--stdin") {
            stdin_path = argv[++i];
        } else if (arg == "--stdout") {
            stdout_path = argv[++i];
        } else {
            die("unknown option " + std::string(arg));
        }
    }
    if (i >= argc || runs == 0)
        die("usage: bench_spawn [--runs N] [--stdin F] [--stdout F] -- PROGRAM ...");
    char** child_argv = argv + i;

    // Opened anew for each run, so that every run reads its input from the start.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, stdin_path.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, stdout_path.c_str(), O_WRONLY, 0);

    std::vector<int64_t> samples;
    samples.reserve(runs);
    long peak_kib = 0;
    const double start = now_seconds();
    for (uint64_t run = 0; run < runs; ++run) {
        const int64_t t0 = now_ns();
        pid_t pid = -1;
        const int e = ::posix_spawn(&pid, child_argv[0], &actions, nullptr, child_argv, environ);
        if (e != 0) {
            errno = e;
            die_errno(std::string("spawn ") + child_argv[0]);
        }
        int status = 0;
        rusage usage{};
        while (::wait4(pid, &status, 0, &usage) < 0) {
            if (errno != EINTR) die_errno("wait4");
        }
        samples.push_back(now_ns() - t0);
        peak_kib = std::max(peak_kib, usage.ru_maxrss);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            die(std::string(child_argv[0]) + " ended with wait status " + std::to_string(status) +
                " in run " + std::to_string(run + 1));
        }
    }
    const double total = now_seconds() - start;
    posix_spawn_file_actions_destroy(&actions);

    double sum = 0;
    for (int64_t s : samples) sum += static_cast<double>(s);
    std::sort(samples.begin(), samples.end());
    std::printf("%llu %.9f %.3f %.3f %.3f %ld\n", static_cast<unsigned long long>(runs), total,
                static_cast<double>(samples[samples.size() / 2]) / 1e3,
                sum / static_cast<double>(samples.size()) / 1e3,
                static_cast<double>(samples.front()) / 1e3, peak_kib);
    return 0;
}
