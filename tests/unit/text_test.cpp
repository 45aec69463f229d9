#include "base/text.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "base/error.h"
#include "base/path.h"

namespace vorn {
namespace {

struct DisplayCase {
    std::string input;
    std::string expected;
};

TEST(DisplayForm, EscapesControlsAndReplacesInvalidBytes) {
    const DisplayCase cases[] = {
        {"", ""},
        {"/usr/bin/ls", "/usr/bin/ls"},
        {"a\nb", "a\\nb"},
        {"tab\there\rcr", "tab\\there\\rcr"},
        {"esc\x1b[0m", "esc\\u{1b}[0m"},
        {"del\x7f", "del\\u{7f}"},
        {std::string("nul\0x", 5), "nul\\u{0}x"},
        {"\xc2\x85next-line", "\\u{85}next-line"},  // C1 control U+0085
        {"\xc2\xa0nbsp", "\xc2\xa0nbsp"},           // U+00A0 is shown as is
        {"bad\xff", "bad\xef\xbf\xbd"},
        {"caf\xc3\xa9", "caf\xc3\xa9"},
        {"q\"u'o\\te", "q\"u'o\\te"},
        // Maximal subparts: a truncated 3-byte sequence is one replacement.
        {"\xe2\x82x", "\xef\xbf\xbdx"},
        // Overlong and surrogate forms are replaced byte by byte.
        {"\xc0\xaf", "\xef\xbf\xbd\xef\xbf\xbd"},
        {"\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
        {"\xf4\x90\x80\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
        {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(display_form(c.input), c.expected) << "input: " << c.input;
    }
}

TEST(Utf8, ValidityAndLossyDecoding) {
    EXPECT_TRUE(is_valid_utf8("plain"));
    EXPECT_TRUE(is_valid_utf8("\xf0\x9f\x98\x80"));
    EXPECT_FALSE(is_valid_utf8("\xff"));
    EXPECT_FALSE(is_valid_utf8("\xe2\x82"));
    EXPECT_FALSE(is_valid_utf8("\xed\xa0\x80"));
    // Lossy decoding keeps control characters: only display_form escapes.
    EXPECT_EQ(lossy_utf8("a\nb\xff"), "a\nb\xef\xbf\xbd");
}

TEST(ErrorText, SystemErrorsAndOwnMessages) {
    EXPECT_EQ(error_text(Error::system(2)), "No such file or directory (os error 2)");
    EXPECT_EQ(error_text(Error::system(13)), "Permission denied (os error 13)");
    EXPECT_EQ(error_text(Error::own(kNulInPath)), "file name contained an unexpected NUL byte");
}

TEST(Paths, FinalComponentAndParent) {
    struct Case {
        std::string path;
        std::optional<std::string> final;
        std::optional<std::string> parent;
    };
    const Case cases[] = {
        {"", std::nullopt, std::nullopt},
        {"/", std::nullopt, std::nullopt},
        {".", std::nullopt, ""},
        {"..", std::nullopt, ""},
        {"/usr/bin/xclip", "xclip", "/usr/bin"},
        {"/usr/bin/xclip/", "xclip", "/usr/bin"},
        {"/usr/bin/xclip/.", "xclip", "/usr/bin"},
        {"/usr//bin//xclip", "xclip", "/usr//bin"},
        {"a/..", std::nullopt, "a"},
        {"c.sock", "c.sock", ""},
        {"./c.sock", "c.sock", "."},
        {"/c.sock", "c.sock", "/"},
        {"/tmp/a/b/c.sock", "c.sock", "/tmp/a/b"},
        // "." components between the parent and the name are no part of it.
        {"a/./b", "b", "a"},
        {"/usr/.//./bin", "bin", "/usr"},
        {"/./x", "x", "/"},
    };
    for (const auto& c : cases) {
        const auto f = final_component(c.path);
        EXPECT_EQ(f ? std::optional<std::string>(std::string(*f)) : std::nullopt, c.final)
            << c.path;
        EXPECT_EQ(parent_path(c.path), c.parent) << c.path;
    }
    EXPECT_EQ(join_path("/root", ".ssh"), "/root/.ssh");
    EXPECT_EQ(join_path("/home/u/", ".ssh"), "/home/u/.ssh");
}

TEST(Paths, ComponentsAsAPathWalkerSeesThem) {
    struct Case {
        std::string path;
        std::vector<std::pair<size_t, std::string>> components;  // where each begins, and it
    };
    const Case cases[] = {
        {"", {}},
        {"/", {}},
        {"//", {}},
        {".", {{0, "."}}},
        {"./a", {{0, "."}, {2, "a"}}},
        {"a/./b", {{0, "a"}, {4, "b"}}},
        {"/./a", {{3, "a"}}},
        {"a/../b/", {{0, "a"}, {2, ".."}, {5, "b"}}},
        {"//usr///bin//", {{2, "usr"}, {8, "bin"}}},
        {"x/.", {{0, "x"}}},
        {".hidden/..x", {{0, ".hidden"}, {8, "..x"}}},
    };
    for (const auto& c : cases) {
        std::vector<std::pair<size_t, std::string>> got;
        for (const PathComponent& part : path_components(c.path)) {
            got.emplace_back(part.begin, std::string(part.name));
        }
        EXPECT_EQ(got, c.components) << c.path;
    }
}

}  // namespace
}  // namespace vorn
