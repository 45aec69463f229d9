#include "main/launch.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <expected>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/io.h"
#include "base/path.h"
#include "base/text.h"
#include "main/copies.h"
#include "main/message.h"
#include "main/session_folder.h"
#include "main/ssh_link.h"
#include "main/supervise.h"
#include "main/terminal.h"
#include "relay/listeners.h"

namespace vorn {
namespace {

constexpr std::string_view kDefaultShimFolder = "/opt/vorn/bin";

struct Program {
    std::string path;
    // The command's argv; its first word is also the name the launcher's
    // messages give the command.
    std::vector<std::string> argv;

    const std::string& name() const { return argv.front(); }
};

// --shell: bash, else sh. A shell that exists but cannot run is named in the
// message only when no shell at all is usable.
Program resolve_shell(const LaunchOptions& options, const PathValue& path_value) {
    const Resolution bash = resolve_command("bash", path_value);
    Resolution chosen = bash;
    if (bash.kind != Resolution::Kind::found) {
        const Resolution sh = resolve_command("sh", path_value);
        if (sh.kind == Resolution::Kind::found) {
            chosen = sh;
        } else if (bash.kind == Resolution::Kind::not_executable) {
            end_with_launch_message(126, not_runnable_message(bash.path));
        } else if (sh.kind == Resolution::Kind::not_executable) {
            end_with_launch_message(126, not_runnable_message(sh.path));
        } else {
            end_with_launch_message(
                127, "the image has no shell (bash or sh), so --shell cannot open one.");
        }
    }
    const auto name = final_component(chosen.path);
    std::vector<std::string> argv{std::string(name.value_or(chosen.path))};
    argv.insert(argv.end(), options.command.begin(), options.command.end());
    return {chosen.path, std::move(argv)};
}

Program resolve_program(const LaunchOptions& options, const PathValue& path_value) {
    if (options.shell) return resolve_shell(options, path_value);
    const std::string& word = options.command.front();
    const Resolution resolution = resolve_command(word, path_value);
    if (resolution.kind != Resolution::Kind::found) {
        exit_unresolvable(resolution, word, path_value);
    }
    return {resolution.path, options.command};
}

void start_relay(const LaunchOptions& options, const Environment& env) {
    auto listeners = set_up_listeners(options.tcp_specs, options.unix_specs);
    if (!listeners) end_with_launch_message(125, listeners.error());
    auto started = start_relay_process(std::move(*listeners), env.home);
    if (!started) {
        end_with_launch_message(
            125, "cannot start the connections to the Mac (" + error_text(started.error()) + ").");
    }
}

bool is_variable(std::string_view entry, std::string_view name) {
    return entry.size() > name.size() && entry.starts_with(name) && entry[name.size()] == '=';
}

std::vector<std::string> command_environment(const LaunchOptions& options, const Environment& own) {
    std::vector<std::string> env;
    for (const std::string_view e : own.entries) {
        if (is_variable(e, "VORN_ENTRY_SESSION_DIR") || is_variable(e, "VORN_ENTRY_PASSWD") ||
            is_variable(e, "VORN_ENTRY_ROOTFS")) {
            continue;
        }
        if (options.clipboard && is_variable(e, "PATH")) continue;
        env.emplace_back(e);
    }
    if (options.clipboard) {
        std::string path = "PATH=";
        path.append(own.clip_bin ? std::string_view(*own.clip_bin) : kDefaultShimFolder);
        path.push_back(':');
        path.append(effective_path(own.path));
        env.push_back(std::move(path));
    }
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    out.reserve(strings.size() + 1);
    for (auto& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

// Forks and execs the command. Its process ID, or the error number with
// which the start failed.
std::expected<pid_t, int> start_command(Program& program, std::vector<std::string>& env_strings,
                                        const TerminalState& terminal) {
    // Everything the child uses is made before the fork: between fork and
    // exec only async-signal-safe calls are made.
    auto argv = pointers(program.argv);
    auto envp = pointers(env_strings);
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) return std::unexpected(errno);
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int error = errno;
        ::close(report[0]);
        ::close(report[1]);
        return std::unexpected(error);
    }
    if (pid == 0) {
        run_pre_exec(terminal);
        ::execve(program.path.c_str(), argv.data(), envp.data());
        const int e = errno;
        (void)!::write(report[1], &e, sizeof e);
        ::_exit(127);
    }
    ::close(report[1]);
    int exec_error = 0;
    const ssize_t n = read_retry(report[0], &exec_error, sizeof exec_error);
    ::close(report[0]);
    if (n == sizeof exec_error) {
        (void)retry_on_eintr([pid] { return ::waitpid(pid, nullptr, 0); });
        return std::unexpected(exec_error);
    }
    return pid;
}

}  // namespace

void launch(const LaunchOptions& options, const Environment& env) {
    const PathValue& path_value = env.path;
    Program program = resolve_program(options, path_value);
    if (const auto fault = inspect_program(program.path, path_value)) {
        end_with_launch_message(126, fault_message(program.path, *fault));
    }

    const std::string folder_path = session_folder_path(env.session_dir);
    SessionFolder folder;
    UniqueFd session_lock;
    if (options.join) {
        JoinedSession joined = join_session(folder_path, options.copy_id);
        folder = std::move(joined.folder);
        session_lock = std::move(joined.lock);
    }

    if (!options.tcp_specs.empty() || !options.unix_specs.empty()) start_relay(options, env);

    if (!options.join) {
        if (auto prepared = prepare_session_folder(folder_path)) {
            folder = std::move(prepared->folder);
            session_lock = std::move(prepared->lock);
        } else {
            launch_message("cannot create the session folder " + display_form(folder_path) + " (" +
                           error_text(prepared.error()) +
                           "), so no other copy can join this session.");
            // Without a lock no copy can join, but a folder of this user that
            // is there still takes the marker of the session's end.
            folder = SessionFolder::open_if_own(folder_path);
        }
        make_ssh_link(ssh_link_inputs(env));
    }

    std::vector<std::string> env_strings = command_environment(options, env);

    const TerminalState terminal = probe_terminal();
    set_up_signals();

    const auto started = start_command(program, env_strings, terminal);
    if (!started) {
        if (options.join) folder.remove_copy_file(::getpid());
        // The child may have taken the terminal's foreground before its exec
        // failed; it goes back as it would after any command.
        give_back_terminal(terminal, -1);
        exit_start_failure(program.path, started.error(), path_value);
    }
    const pid_t command = *started;

    const WatchResult watched = watch_command({.command = command,
                                               .own_process_group = terminal.own_process_group(),
                                               .joined = options.join,
                                               .copy_id = options.copy_id,
                                               .folder = folder,
                                               .terminal = &terminal});
    give_back_terminal(terminal, command);
    if (options.join) {
        finish_joined_copy(folder, program.name(), watched.status);
    } else {
        finish_first_copy(folder, std::move(session_lock), program.name(), watched.status,
                          watched.grace_start);
    }
}

}  // namespace vorn
