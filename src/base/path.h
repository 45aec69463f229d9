#pragma once

#include <sys/types.h>

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"

namespace vorn {

// One component of a path, and the offset in the path where it begins.
struct PathComponent {
    size_t begin;
    std::string_view name;
};

// The components a path walker sees: repeated and trailing slashes and "."
// components vanish, except a "." that starts a relative path. ".." stays,
// since a/../b names b only when a is a folder and not a link.
std::vector<PathComponent> path_components(std::string_view path);

// The last component of a path, ignoring repeated and trailing slashes and
// "." components; none when that component is "..", or when there is no
// component at all ("", "/", ".").
std::optional<std::string_view> final_component(std::string_view path);

// The path without its last component, when that component is a name, "." or
// ".."; trailing slashes of the result are dropped (but "/" stays "/"). None
// for "" and "/". A single relative name has the empty parent.
std::optional<std::string> parent_path(std::string_view path);

// a + "/" + b, without doubling a slash that a already ends in.
std::string join_path(std::string_view a, std::string_view b);

// mkdir -p: creates path and every missing folder above it with mode (before
// the umask). Folders that exist already are fine.
std::expected<void, Error> make_dirs(const std::string& path, mode_t mode);

}  // namespace vorn
