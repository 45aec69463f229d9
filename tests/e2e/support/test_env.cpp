#include "support/test_env.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace vt {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/vorn-test-XXXXXX";
    if (!::mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
    path_ = templ;
}

TempDir::~TempDir() {
    ::nftw(
        path_.c_str(),
        [](const char* p, const struct stat* st, int flag, FTW*) {
            // Folders a test made unreadable or unwritable must still go.
            if (flag == FTW_DP && st) ::chmod(p, 0700);
            ::remove(p);
            return 0;
        },
        64, FTW_DEPTH | FTW_PHYS);
}

TestEnv::TestEnv() {
    make_dirs(home());
    const char* path = std::getenv("PATH");
    vars_["PATH"] = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
    vars_["HOME"] = home();
    vars_["VORN_ENTRY_SESSION_DIR"] = this->path("session");
    vars_["VORN_ENTRY_PASSWD"] = this->path("passwd");
    vars_["VORN_ENTRY_ROOTFS"] = dir_.path();
    vars_["VORN_CLIP_SOCK"] = this->path("clip.sock");
    vars_["VORN_CLIP_BIN"] = this->path("shims");
    vars_["LC_ALL"] = "C";
    // Where the binary under test is of another machine, the kernel runs it
    // through qemu-user, which takes its settings (QEMU_PAGESIZE, say) from
    // the environment of each program it starts.
    for (char** e = environ; *e; ++e) {
        const std::string_view entry = *e;
        const size_t eq = entry.find('=');
        if (entry.starts_with("QEMU_") && eq != std::string_view::npos) {
            vars_[std::string(entry.substr(0, eq))] = std::string(entry.substr(eq + 1));
        }
    }
    write_file(this->path("passwd"), "root:x:0:0:root:" + home() + ":/bin/sh\n");
}

std::optional<std::string> TestEnv::get(const std::string& key) const {
    auto it = vars_.find(key);
    if (it == vars_.end()) return std::nullopt;
    return it->second;
}

std::vector<std::string> TestEnv::env() const {
    std::vector<std::string> out;
    for (const auto& [k, v] : vars_) out.push_back(k + "=" + v);
    return out;
}

Spec TestEnv::spec(std::vector<std::string> args) const {
    Spec s;
    s.args = std::move(args);
    s.env = env();
    s.cwd = dir_.path();
    return s;
}

void write_file(const std::string& path, std::string_view content, mode_t mode) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
    size_t off = 0;
    while (off < content.size()) {
        const ssize_t n = ::write(fd, content.data() + off, content.size() - off);
        if (n <= 0) break;
        off += static_cast<size_t>(n);
    }
    ::fchmod(fd, mode);
    ::close(fd);
}

std::string read_file(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
    std::string out;
    char buf[65536];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    ::close(fd);
    return out;
}

bool path_exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

std::optional<std::string> link_target(const std::string& path) {
    char buf[4096];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
    if (n < 0) return std::nullopt;
    return std::string(buf, static_cast<size_t>(n));
}

std::set<std::string> names_in(const std::string& folder) {
    std::set<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return names;
    while (const dirent* e = ::readdir(dir)) {
        const std::string_view n = e->d_name;
        if (n != "." && n != "..") names.emplace(n);
    }
    ::closedir(dir);
    return names;
}

void make_dirs(const std::string& path) {
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos == path.size() || path[pos] == '/') {
            const std::string prefix = path.substr(0, pos);
            if (::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) {
                throw std::runtime_error("mkdir " + prefix + ": " + std::strerror(errno));
            }
        }
    }
}

void write_script(const std::string& path, std::string_view body) {
    write_file(path, "#!/bin/sh\n" + std::string(body), 0755);
}

int run_as_outsider(const std::function<int()>& body) {
    constexpr int kCouldNotDrop = 99;
    const Result ended = in_child([&] {
        if (::geteuid() == 0 &&
            (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
            return kCouldNotDrop;
        }
        return body();
    });
    if (!ended.exited || ended.code == kCouldNotDrop) return -1;
    return ended.code;
}

}  // namespace vt
