// Port texts and copy IDs, judged against their rules written out once more.

#include <string>

#include "fuzz_support.h"
#include "main/cli.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const vfuzz::HeapBytes input(data, size);
    const std::string_view text = input.view();

    // An optional single "+", then digits worth 1 to 65535, leading zeros allowed.
    const auto port = vorn::parse_port(text);
    std::string_view digits = text;
    if (digits.starts_with('+')) digits.remove_prefix(1);
    const bool is_port = vfuzz::all_digits(digits) && vfuzz::at_most(digits, "65535") &&
                         vfuzz::significant_digits(digits) != "0";
    VFUZZ_CHECK(port.has_value() == is_port);
    if (port) {
        VFUZZ_CHECK(*port >= 1);
        VFUZZ_CHECK(std::to_string(*port) == vfuzz::significant_digits(digits));
    }

    // 1 to 64 characters, each 0-9 or a-f.
    const bool is_id = !text.empty() && text.size() <= 64 &&
                       text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
    VFUZZ_CHECK(vorn::is_copy_id(text) == is_id);
    return 0;
}
