#pragma once

#include "main/check.h"
#include "main/cli.h"

namespace vorn {

// Runs the command in a session; never returns.
[[noreturn]] void launch(const LaunchOptions& options, const PathValue& path_value);

}  // namespace vorn
