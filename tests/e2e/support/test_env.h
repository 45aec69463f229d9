#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "support/process.h"

namespace vt {

// A private temporary folder, removed with everything in it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

  private:
    std::string path_;
};

// One test's world: a temporary folder with every variable the program reads
// pointed into it, so that nothing touches /run, /root or the real HOME.
//   session/      VORN_ENTRY_SESSION_DIR (not created: the first copy makes it)
//   home/         HOME (created)
//   passwd        VORN_ENTRY_PASSWD: root's home is home/, so no ssh link is made
//   rootfs        VORN_ENTRY_ROOTFS: the temporary folder itself
//   clip.sock     VORN_CLIP_SOCK
//   shims/        VORN_CLIP_BIN (not created)
// The QEMU_* variables of the tests' own environment pass on, for an
// emulated binary under test.
class TestEnv {
  public:
    TestEnv();

    const TempDir& dir() const { return dir_; }
    std::string path(std::string_view name) const { return dir_ / name; }
    std::string session_dir() const { return vars_.at("VORN_ENTRY_SESSION_DIR"); }
    std::string home() const { return path("home"); }

    void set(const std::string& key, const std::string& value) { vars_[key] = value; }
    void unset(const std::string& key) { vars_.erase(key); }
    std::optional<std::string> get(const std::string& key) const;

    // The environment for a child, KEY=VALUE.
    std::vector<std::string> env() const;

    // A spec running vorn-entry with these arguments in this environment.
    Spec spec(std::vector<std::string> args) const;

  private:
    TempDir dir_;
    std::map<std::string, std::string> vars_;
};

// File helpers for building test trees.
void write_file(const std::string& path, std::string_view content, mode_t mode = 0644);
std::string read_file(const std::string& path);
bool path_exists(const std::string& path);  // lstat
// Where a symbolic link points (a /proc/PID/fd entry too); none for anything
// that is not a link.
std::optional<std::string> link_target(const std::string& path);
// The names in a folder, "." and ".." left out; none when it cannot be listed.
std::set<std::string> names_in(const std::string& folder);
void make_dirs(const std::string& path);
// A script "#!/bin/sh\n" + body with mode 0755.
void write_script(const std::string& path, std::string_view body);

// Runs body in a child process as an outsider to the files the test made:
// as user and group 65534 when the test runs as root, as itself otherwise.
// Returns what body returned (0 to 98), or -1 when the child could not
// become the outsider or did not exit normally.
int run_as_outsider(const std::function<int()>& body);

}  // namespace vt
