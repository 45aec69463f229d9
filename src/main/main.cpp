#include <signal.h>
#include <unistd.h>

#include <string_view>
#include <variant>
#include <vector>

#include "base/exit.h"
#include "base/io.h"
#include "clipboard/fetch.h"
#include "clipboard/shims.h"
#include "main/check.h"
#include "main/cli.h"
#include "main/copies.h"
#include "main/environment.h"
#include "main/launch.h"
#include "main/session_folder.h"

using namespace vorn;

int main(int argc, char** argv) {
    // A reader that has gone away must be an error that the program sees and
    // reports, never a signal that ends it halfway (the command gets the
    // default back before its exec).
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, nullptr);
    hold_closed_standard_streams();

    std::vector<std::string_view> args;
    args.reserve(argc > 0 ? static_cast<size_t>(argc - 1) : 0);
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);

    const Environment env = read_environment(environ);

    if (argc > 0) {
        if (const auto shim = shim_name(argv[0])) {
            exit_process(run_shim(*shim, args, clipboard_socket_path(env.clip_sock)));
        }
    }

    auto mode = parse_command_line(args);
    if (!mode) end_with_usage_error(mode.error());

    // Exactly one mode runs, and each ends the process itself.
    struct Run {
        const Environment& env;
        void operator()(const CheckMode& check) const { check_command(check.command, env.path); }
        void operator()(const HangupMode& hangup) const {
            const SessionFolder folder =
                SessionFolder::open_if_own(session_folder_path(env.session_dir));
            exit_process(hang_up(folder, hangup.copy_id) ? 0 : 1);
        }
        void operator()(const LaunchOptions& options) const { launch(options, env); }
    };
    std::visit(Run{env}, *mode);
}
