#include "main/launch.h"

#include "main/message.h"

namespace vorn {

void launch(const LaunchOptions&, const PathValue&) { end_with_launch_message(70, "not built yet"); }

}  // namespace vorn
