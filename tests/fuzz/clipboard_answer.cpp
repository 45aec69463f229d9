// The clipboard service's answer line, as the fetch parses it.

#include <string>
#include <variant>

#include "base/text.h"
#include "clipboard/fetch.h"
#include "fuzz_support.h"

namespace {

// The characters with the Unicode White_Space property.
bool is_white_space(uint32_t cp) {
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
           cp == 0x205F || cp == 0x3000;
}

uint32_t last_code_point(std::string_view text) {
    uint32_t last = 0;
    vfuzz::each_code_point(text, [&](uint32_t cp) { last = cp; });
    return last;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const vfuzz::HeapBytes input(data, size);
    const std::string_view line = input.view();

    // The fetch only parses lines it has found to be UTF-8; others are read
    // here too, for what the address sanitizer can tell about them.
    const vorn::Answer answer = vorn::parse_answer(line);
    if (!vfuzz::is_utf8(line)) return 0;

    const std::string_view text = vorn::trim_trailing_white_space(line);
    VFUZZ_CHECK(text.data() == line.data() && text.size() <= line.size());
    VFUZZ_CHECK(vfuzz::is_utf8(text));
    VFUZZ_CHECK(text.empty() || !is_white_space(last_code_point(text)));
    bool only_white_space = true;
    vfuzz::each_code_point(line.substr(text.size()), [&](uint32_t cp) {
        only_white_space = only_white_space && is_white_space(cp);
    });
    VFUZZ_CHECK(only_white_space);

    // "OK " and a size: an optional "+", digits, a value within 64 bits.
    std::string_view digits = text.starts_with("OK ") ? text.substr(3) : std::string_view();
    if (digits.starts_with('+')) digits.remove_prefix(1);
    const bool is_ok = text.starts_with("OK ") && vfuzz::all_digits(digits) &&
                       vfuzz::at_most(digits, "18446744073709551615");

    if (const auto* err = std::get_if<vorn::AnswerErr>(&answer)) {
        VFUZZ_CHECK(text.starts_with("ERR ") && err->text == text.substr(4));
    } else if (const auto* ok = std::get_if<vorn::AnswerOk>(&answer)) {
        VFUZZ_CHECK(!text.starts_with("ERR ") && is_ok);
        VFUZZ_CHECK(std::to_string(ok->size) == vfuzz::significant_digits(digits));
    } else {
        VFUZZ_CHECK(!text.starts_with("ERR ") && !is_ok);
    }
    return 0;
}
