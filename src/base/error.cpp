#include "base/error.h"

#include <string.h>

namespace vorn {

std::string error_description(int code) {
    // strerrordesc_np is thread-safe and never consults the locale.
    if (const char* text = ::strerrordesc_np(code)) return text;
    return "Unknown error " + std::to_string(code);
}

std::string error_text(const Error& error) {
    if (!error.is_system()) return error.message;
    return error_description(error.code) + " (os error " + std::to_string(error.code) + ")";
}

}  // namespace vorn
