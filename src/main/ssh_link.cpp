#include "main/ssh_link.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "base/io.h"
#include "base/path.h"

namespace vorn {
namespace {

// Splits on sep; n separators give n + 1 pieces, so the text after the last
// separator is a piece too, even when it is empty.
std::vector<std::string_view> split(std::string_view text, char sep) {
    std::vector<std::string_view> pieces;
    for (;;) {
        const size_t at = text.find(sep);
        if (at == std::string_view::npos) {
            pieces.push_back(text);
            return pieces;
        }
        pieces.push_back(text.substr(0, at));
        text.remove_prefix(at + 1);
    }
}

bool is_usable_absolute(const std::string& path) {
    // A NUL byte would cut the path short at the system call and name
    // another file than the one meant.
    return !path.empty() && path.front() == '/' && !has_nul(path);
}

}  // namespace

SshLinkInputs ssh_link_inputs(const Environment& env) {
    SshLinkInputs inputs;
    if (env.passwd && !env.passwd->empty()) inputs.passwd_file = *env.passwd;
    if (env.rootfs && !env.rootfs->empty()) inputs.image_root = *env.rootfs;
    inputs.home = env.home;
    return inputs;
}

std::optional<std::string> root_home_from_passwd(std::string_view content) {
    for (const std::string_view line : split(content, '\n')) {
        const auto fields = split(line, ':');
        if (fields.size() >= 7 && fields[2] == "0") return std::string(fields[5]);
    }
    return std::nullopt;
}

bool same_path(std::string_view a, std::string_view b) {
    if (a == b) return true;
    if (a.starts_with('/') != b.starts_with('/')) return false;
    return std::ranges::equal(path_components(a), path_components(b), {}, &PathComponent::name,
                              &PathComponent::name);
}

void make_ssh_link(const SshLinkInputs& inputs) {
    if (!inputs.home || !is_usable_absolute(*inputs.home)) return;
    const std::string& home = *inputs.home;

    const auto passwd = read_file(inputs.passwd_file);
    if (!passwd) return;
    const auto root_home = root_home_from_passwd(*passwd);
    if (!root_home || !is_usable_absolute(*root_home)) return;
    if (same_path(*root_home, home)) return;

    struct stat root_home_stat, image_root_stat;
    if (::stat(root_home->c_str(), &root_home_stat) != 0 || !S_ISDIR(root_home_stat.st_mode)) {
        return;
    }
    // A root home on a volume of its own outlives this container, and a link
    // left there would dangle in the next one.
    if (has_nul(inputs.image_root) || ::stat(inputs.image_root.c_str(), &image_root_stat) != 0 ||
        root_home_stat.st_dev != image_root_stat.st_dev) {
        return;
    }

    const std::string link_path = join_path(*root_home, ".ssh");
    struct stat existing;
    if (::lstat(link_path.c_str(), &existing) == 0 || errno != ENOENT) return;

    const std::string home_ssh = join_path(home, ".ssh");
    bool made_home_ssh = false;
    if (::mkdir(home_ssh.c_str(), 0700) == 0) {
        made_home_ssh = true;
    } else if (errno != EEXIST) {
        return;
    }

    struct stat home_ssh_stat;
    if (::stat(home_ssh.c_str(), &home_ssh_stat) == 0 && S_ISDIR(home_ssh_stat.st_mode) &&
        ::symlink(home_ssh.c_str(), link_path.c_str()) == 0) {
        return;
    }
    // An empty folder nobody asked for is all that would be left.
    if (made_home_ssh) ::rmdir(home_ssh.c_str());
}

}  // namespace vorn
