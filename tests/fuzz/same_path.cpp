// The path equality that keeps the ssh link from linking a folder to itself:
// up to three paths, cut from the input at NUL bytes.

#include <string>

#include "fuzz_support.h"
#include "main/ssh_link.h"

namespace {

std::string doubled_slashes(std::string_view path) {
    std::string out;
    for (const char c : path) {
        out.push_back(c);
        if (c == '/') out.push_back('/');
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto pieces = vfuzz::split_on_nul(data, size);
    const std::string_view a = pieces[0].view();
    const std::string_view b = pieces.size() > 1 ? pieces[1].view() : std::string_view();
    const std::string_view c = pieces.size() > 2 ? pieces[2].view() : std::string_view();
    const std::string text_a(a);

    VFUZZ_CHECK(vorn::same_path(a, a));
    const bool ab = vorn::same_path(a, b);
    VFUZZ_CHECK(ab == vorn::same_path(b, a));
    if (ab && vorn::same_path(b, c)) VFUZZ_CHECK(vorn::same_path(a, c));

    // Repeated slashes do not count.
    VFUZZ_CHECK(vorn::same_path(a, doubled_slashes(a)));
    if (!a.empty()) {
        // Nor do a trailing slash and a "." that does not start the path...
        VFUZZ_CHECK(vorn::same_path(a, text_a + "/"));
        VFUZZ_CHECK(vorn::same_path(a, text_a + "/."));
        // ...but one more name does, and so does "..".
        VFUZZ_CHECK(!vorn::same_path(a, text_a + "/x"));
        VFUZZ_CHECK(!vorn::same_path(a, text_a + "/.."));
    }
    // A relative path never names the same as an absolute one.
    if (!a.starts_with('/') && a != "/") VFUZZ_CHECK(!vorn::same_path(a, "/" + text_a));
    return 0;
}
