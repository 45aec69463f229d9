#pragma once

#include "main/check.h"
#include "main/cli.h"
#include "main/environment.h"

namespace vorn {

// Runs the command in a session; never returns.
[[noreturn]] void launch(const LaunchOptions& options, const Environment& env);

}  // namespace vorn
