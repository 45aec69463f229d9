#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vorn {

// Decimal numbers as every part reads them: ASCII digits only (no blanks, no
// other signs, no base prefix), any number of leading zeros, and a value that
// overflows the bound is refused rather than cut.

// One or more digits and nothing else, at most max.
std::optional<uint64_t> parse_digits(std::string_view text, uint64_t max);

// The same after an optional "+".
std::optional<uint64_t> parse_unsigned(std::string_view text, uint64_t max);

// The same after an optional "+" or "-", within [min, max].
std::optional<int64_t> parse_signed(std::string_view text, int64_t min, int64_t max);

}  // namespace vorn
