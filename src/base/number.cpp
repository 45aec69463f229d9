#include "base/number.h"

namespace vorn {

std::optional<uint64_t> parse_digits(std::string_view text, uint64_t max) {
    if (text.empty()) return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<uint64_t>(c - '0');
        if (digit > max || value > (max - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::optional<uint64_t> parse_unsigned(std::string_view text, uint64_t max) {
    if (text.starts_with('+')) text.remove_prefix(1);
    return parse_digits(text, max);
}

std::optional<int64_t> parse_signed(std::string_view text, int64_t min, int64_t max) {
    const bool negative = text.starts_with('-');
    if (negative || text.starts_with('+')) text.remove_prefix(1);
    // The magnitude of the lowest number is one more than that of the highest,
    // so the digits are read as an unsigned magnitude before the sign goes on.
    uint64_t limit = 0;
    if (negative && min < 0) limit = uint64_t{0} - static_cast<uint64_t>(min);
    if (!negative && max > 0) limit = static_cast<uint64_t>(max);
    const auto magnitude = parse_digits(text, limit);
    if (!magnitude) return std::nullopt;
    const int64_t value = !negative         ? static_cast<int64_t>(*magnitude)
                          : *magnitude == 0 ? 0
                                            : -static_cast<int64_t>(*magnitude - 1) - 1;
    if (value < min || value > max) return std::nullopt;
    return value;
}

}  // namespace vorn
