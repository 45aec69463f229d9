// The display form and the lossy UTF-8 decoding of arbitrary bytes.

#include <string>

#include "base/text.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const vfuzz::HeapBytes input(data, size);
    const std::string_view bytes = input.view();

    // What a message shows stays on its line whatever the bytes were.
    const std::string shown = vorn::display_form(bytes);
    VFUZZ_CHECK(vfuzz::is_one_line_text(shown));

    const bool valid = vfuzz::is_utf8(bytes);
    VFUZZ_CHECK(vorn::is_valid_utf8(bytes) == valid);

    const std::string lossy = vorn::lossy_utf8(bytes);
    VFUZZ_CHECK(vfuzz::is_utf8(lossy));
    if (valid) VFUZZ_CHECK(lossy == bytes);
    // Each replaced piece is at least one byte and becomes three.
    VFUZZ_CHECK(lossy.size() <= 3 * bytes.size());
    // Decoding again changes nothing, and the display form sees the same text.
    VFUZZ_CHECK(vorn::lossy_utf8(lossy) == lossy);
    VFUZZ_CHECK(vorn::display_form(lossy) == shown);
    // Text that is already one clean line is shown as it is.
    if (vfuzz::is_one_line_text(bytes)) VFUZZ_CHECK(shown == bytes);
    return 0;
}
