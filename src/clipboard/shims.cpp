#include "clipboard/shims.h"

#include <unistd.h>

namespace vorn {

int run_shim(std::string_view, std::span<const std::string_view>) {
    (void)!::write(2, "not built yet\n", 14);
    return 70;
}

}  // namespace vorn
