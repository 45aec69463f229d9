// The one decimal parser behind ports, process IDs, sizes and offsets.
#include "base/number.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace vorn {
namespace {

constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();
constexpr int64_t kI32Min = std::numeric_limits<int32_t>::min();
constexpr int64_t kI32Max = std::numeric_limits<int32_t>::max();

TEST(Number, DigitsAndUnsigned) {
    const struct {
        std::string_view text;
        uint64_t max;
        std::optional<uint64_t> digits;  // parse_digits
        std::optional<uint64_t> plus;    // parse_unsigned
    } cases[] = {
        {"0", 10, 0, 0},
        {"7", 10, 7, 7},
        {"10", 10, 10, 10},
        {"11", 10, std::nullopt, std::nullopt},
        {"5", 4, std::nullopt, std::nullopt},
        {"0", 0, 0, 0},
        {"1", 0, std::nullopt, std::nullopt},
        {"000000000000000000000000042", 42, 42, 42},
        {"+42", 100, std::nullopt, 42},
        {"++42", 100, std::nullopt, std::nullopt},
        {"+", 100, std::nullopt, std::nullopt},
        {"", 100, std::nullopt, std::nullopt},
        {"-1", 100, std::nullopt, std::nullopt},
        {"1 ", 100, std::nullopt, std::nullopt},
        {" 1", 100, std::nullopt, std::nullopt},
        {"0x10", 100, std::nullopt, std::nullopt},
        {"1/", 100, std::nullopt, std::nullopt},
        {"1:", 100, std::nullopt, std::nullopt},
        {"18446744073709551615", kU64Max, kU64Max, kU64Max},
        {"18446744073709551616", kU64Max, std::nullopt, std::nullopt},
        {"99999999999999999999", kU64Max, std::nullopt, std::nullopt},
        {"65535", 65535, 65535, 65535},
        {"65536", 65535, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parse_digits(c.text, c.max), c.digits) << c.text << " max " << c.max;
        EXPECT_EQ(parse_unsigned(c.text, c.max), c.plus) << c.text << " max " << c.max;
    }
}

TEST(Number, Signed) {
    const struct {
        std::string_view text;
        int64_t min, max;
        std::optional<int64_t> value;
    } cases[] = {
        {"1", kI32Min, kI32Max, 1},
        {"+7", kI32Min, kI32Max, 7},
        {"-5", kI32Min, kI32Max, -5},
        {"-0", kI32Min, kI32Max, 0},
        {"2147483647", kI32Min, kI32Max, kI32Max},
        {"-2147483648", kI32Min, kI32Max, kI32Min},
        {"2147483648", kI32Min, kI32Max, std::nullopt},
        {"-2147483649", kI32Min, kI32Max, std::nullopt},
        {"-", kI32Min, kI32Max, std::nullopt},
        {"+-1", kI32Min, kI32Max, std::nullopt},
        {"--1", kI32Min, kI32Max, std::nullopt},
        {"", kI32Min, kI32Max, std::nullopt},
        {"-9223372036854775808", std::numeric_limits<int64_t>::min(),
         std::numeric_limits<int64_t>::max(), std::numeric_limits<int64_t>::min()},
        {"9223372036854775807", std::numeric_limits<int64_t>::min(),
         std::numeric_limits<int64_t>::max(), std::numeric_limits<int64_t>::max()},
        {"9223372036854775808", std::numeric_limits<int64_t>::min(),
         std::numeric_limits<int64_t>::max(), std::nullopt},
        // Bounds that leave out zero or a sign.
        {"-1", 0, 10, std::nullopt},
        {"-0", 1, 10, std::nullopt},
        {"0", 1, 10, std::nullopt},
        {"3", -10, -2, std::nullopt},
        {"-1", -10, -2, std::nullopt},
        {"-2", -10, -2, -2},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parse_signed(c.text, c.min, c.max), c.value)
            << c.text << " in [" << c.min << ", " << c.max << "]";
    }
}

}  // namespace
}  // namespace vorn
