#pragma once

#include <sys/types.h>

#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.h"

namespace vorn {

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
