#include "main/environment.h"

#include <utility>

namespace vorn {

Environment read_environment(const char* const* envp) {
    Environment env;
    const std::pair<std::string_view, std::optional<std::string>*> variables[] = {
        {"PATH", &env.path},
        {"HOME", &env.home},
        {"VORN_ENTRY_SESSION_DIR", &env.session_dir},
        {"VORN_ENTRY_PASSWD", &env.passwd},
        {"VORN_ENTRY_ROOTFS", &env.rootfs},
        {"VORN_CLIP_BIN", &env.clip_bin},
        {"VORN_CLIP_SOCK", &env.clip_sock},
    };
    for (const char* const* entry = envp; entry && *entry; ++entry) {
        const std::string_view text(*entry);
        env.entries.push_back(text);
        const size_t eq = text.find('=');
        if (eq == std::string_view::npos) continue;
        const std::string_view name = text.substr(0, eq);
        for (const auto& [wanted, value] : variables) {
            if (name == wanted && !*value) *value = std::string(text.substr(eq + 1));
        }
    }
    return env;
}

}  // namespace vorn
