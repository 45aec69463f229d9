#include "relay/relay_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/exit.h"
#include "base/path.h"
#include "relay/forward.h"
#include "relay/relay_log.h"
#include "relay/threads.h"

namespace vorn {
namespace {

void ignore_signal(int sig) {
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    ::sigaction(sig, &action, nullptr);
}

// Handlers installed by the first copy survive the fork, and signals ignored
// by whoever started the program survive its exec too; the relay takes the
// default for every signal and then ignores only what it means to.
void take_default_dispositions() {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    // SIGKILL, SIGSTOP and the signals the C library keeps for itself refuse
    // the change; they stay as they are.
    for (int sig = 1; sig < NSIG; ++sig) (void)::sigaction(sig, &action, nullptr);
}

// Gives the relay its standard streams: /dev/null in, and the log out and for
// errors, or /dev/null where there is no log. keep holds every descriptor the
// relay goes on using, the log among them; one on 0, 1 or 2 (the program was
// started with that stream closed) is moved above them first, or the streams
// would replace it.
void take_standard_streams(const std::vector<UniqueFd*>& keep, const UniqueFd& log) {
    for (UniqueFd* fd : keep) {
        if (!*fd || fd->get() > 2) continue;
        UniqueFd moved(::fcntl(fd->get(), F_DUPFD_CLOEXEC, 3));
        if (moved) *fd = std::move(moved);
    }
    UniqueFd in(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    UniqueFd out = log ? UniqueFd() : UniqueFd(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    const int output = log ? log.get() : out.get();
    const int sources[] = {in.get(), output, output};
    for (int stream = 0; stream <= 2; ++stream) {
        if (sources[stream] >= 0 && sources[stream] != stream) ::dup2(sources[stream], stream);
    }
    // A /dev/null opened onto a closed standard stream is a standard stream
    // now, whichever file ended up there.
    for (UniqueFd* opened : {&in, &out}) {
        if (*opened && opened->get() <= 2) (void)opened->release();
    }
}

std::vector<UniqueFd*> listening_sockets(ListenerSet& listeners) {
    std::vector<UniqueFd*> out;
    for (auto& tcp : listeners.tcp) {
        for (auto& socket : tcp.sockets) out.push_back(&socket);
    }
    for (auto& unix_listener : listeners.unix_listeners) out.push_back(&unix_listener.socket);
    return out;
}

// The relay lives on long after the launch: it keeps the standard streams,
// its listeners and its log, and lets go of everything else it inherited,
// so that no pipe or file of the first copy stays open for as long as it runs.
void close_other_descriptors(const std::vector<int>& keep) {
    std::vector<int> others;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        const int own = ::dirfd(dir);
        while (const dirent* entry = ::readdir(dir)) {
            char* end = nullptr;
            const long fd = std::strtol(entry->d_name, &end, 10);
            if (end == entry->d_name || *end != '\0' || fd <= 2 || fd == own) continue;
            if (std::find(keep.begin(), keep.end(), fd) == keep.end()) {
                others.push_back(static_cast<int>(fd));
            }
        }
        ::closedir(dir);
    }
    for (int fd : others) ::close(fd);
}

// A relay carries thousands of connections, two descriptors each; take all
// that the system grants the process.
void raise_descriptor_limit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

UniqueFd open_relay_log_file(const std::optional<std::string>& home) {
    // An empty HOME names no folder; the log must not land in whatever folder
    // the launch happened to run in.
    if (!home || home->empty()) return {};
    const std::string path = join_path(*home, ".vorn-entry.log");
    return UniqueFd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
}

}  // namespace

void run_relay(ListenerSet listeners) {
    std::vector<AcceptLoop> loops;
    for (auto& tcp : listeners.tcp) {
        for (auto& socket : tcp.sockets) {
            loops.push_back({std::move(socket), ListenerKind::tcp, tcp.target_path, tcp.port});
        }
    }
    for (auto& unix_listener : listeners.unix_listeners) {
        loops.push_back({std::move(unix_listener.socket), ListenerKind::unix_socket,
                         unix_listener.path, unix_listener.target_port});
    }
    listeners = {};

    std::vector<pthread_t> started;
    for (auto& loop : loops) {
        auto thread = start_relay_thread(
            [loop = std::move(loop)]() mutable { run_accept_loop(std::move(loop)); },
            ThreadKind::joinable);
        if (thread) {
            started.push_back(*thread);
        } else {
            relay_log_line("cannot start a thread (" + error_text(thread.error()) + ")");
        }
    }
    for (pthread_t thread : started) ::pthread_join(thread, nullptr);
}

void run_relay_process(ListenerSet listeners, const std::optional<std::string>& home) {
    // Whatever the first copy had blocked stays blocked across fork; the relay
    // must stay killable by every signal it does not ignore on purpose.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    take_default_dispositions();
    ignore_signal(SIGINT);
    ignore_signal(SIGHUP);
    ignore_signal(SIGPIPE);

    UniqueFd log = open_relay_log_file(home);
    std::vector<UniqueFd*> kept = listening_sockets(listeners);
    kept.push_back(&log);
    take_standard_streams(kept, log);

    std::vector<int> keep;
    for (const UniqueFd* fd : kept) {
        if (*fd) keep.push_back(fd->get());
    }
    close_other_descriptors(keep);
    raise_descriptor_limit();

    set_up_relay_log(std::move(log));
    run_relay(std::move(listeners));
    exit_process(0);
}

}  // namespace vorn
