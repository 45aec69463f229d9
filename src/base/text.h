#pragma once

#include <string>
#include <string_view>

namespace vorn {

// Bytes decoded as UTF-8 with every maximal invalid subsequence replaced by
// U+FFFD, the way lossy decoders commonly do it.
std::string lossy_utf8(std::string_view bytes);

bool is_valid_utf8(std::string_view bytes);

// The text without its trailing Unicode White_Space (the carriage return and
// line feed among it). The text must be valid UTF-8; trimming stops at an
// ill-formed sequence.
std::string_view trim_trailing_white_space(std::string_view text);

// The one-line text shown for a byte string in a message: lossy UTF-8, with
// tab, line feed and carriage return as \t \n \r and every other control
// character as \u{hex}. No raw control character survives.
std::string display_form(std::string_view bytes);

}  // namespace vorn
