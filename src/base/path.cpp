#include "base/path.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "base/io.h"

namespace vorn {

std::vector<PathComponent> path_components(std::string_view path) {
    std::vector<PathComponent> out;
    size_t pos = 0;
    while (pos < path.size()) {
        const size_t end = std::min(path.find('/', pos), path.size());
        const std::string_view piece = path.substr(pos, end - pos);
        if (!piece.empty() && !(piece == "." && pos != 0)) out.push_back({pos, piece});
        pos = end + 1;
    }
    return out;
}

std::optional<std::string_view> final_component(std::string_view path) {
    const auto parts = path_components(path);
    if (parts.empty()) return std::nullopt;
    const std::string_view last = parts.back().name;
    if (last == "." || last == "..") return std::nullopt;
    return last;
}

std::optional<std::string> parent_path(std::string_view path) {
    const auto parts = path_components(path);
    if (parts.empty()) return std::nullopt;
    std::string_view rest = path.substr(0, parts.back().begin);
    while (rest.size() > 1 && rest.back() == '/') rest.remove_suffix(1);
    // Dropped "." components between the parent and the last name leave "x/."
    // behind; trim them so the parent names the folder itself.
    while (rest.size() >= 2 && rest.substr(rest.size() - 2) == "/.") {
        // "/." is the root itself.
        rest.remove_suffix(rest.size() == 2 ? 1 : 2);
        while (rest.size() > 1 && rest.back() == '/') rest.remove_suffix(1);
    }
    return std::string(rest);
}

std::string join_path(std::string_view a, std::string_view b) {
    std::string out(a);
    if (!out.empty() && out.back() != '/') out.push_back('/');
    out.append(b);
    return out;
}

std::expected<void, Error> make_dirs(const std::string& path, mode_t mode) {
    if (has_nul(path)) return std::unexpected(Error::own(kNulInPath));
    if (path.empty()) return {};
    if (::mkdir(path.c_str(), mode) == 0) return {};
    int err = errno;
    if (err == EEXIST) {
        struct stat st;
        if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return {};
        return std::unexpected(Error::system(EEXIST));
    }
    if (err != ENOENT) return std::unexpected(Error::system(err));
    if (auto parent = parent_path(path); parent && !parent->empty() && *parent != path) {
        if (auto made = make_dirs(*parent, mode); !made) return made;
    }
    if (::mkdir(path.c_str(), mode) == 0) return {};
    err = errno;
    if (err == EEXIST) {
        struct stat st;
        if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return {};
    }
    return std::unexpected(Error::system(err));
}

}  // namespace vorn
