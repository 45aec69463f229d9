#pragma once

// What the fuzz targets share: property checks that stop the run, inputs
// held in heap blocks of their exact size, and a UTF-8 reader of their own
// to judge the program's text helpers against.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace vfuzz {

// abort() rather than a trap instruction: libFuzzer keeps the input of either,
// and the replay under ctest then names the broken property before it stops.
[[noreturn]] inline void property_failed(const char* what, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: property does not hold: %s\n", file, line, what);
    std::fflush(stderr);
    std::abort();
}

#define VFUZZ_CHECK(condition) \
    ((condition) ? (void)0 : ::vfuzz::property_failed(#condition, __FILE__, __LINE__))

// Bytes in a heap block of exactly their size (none for an empty piece), so
// that the address sanitizer reports a parser that reads one byte too far.
class HeapBytes {
  public:
    HeapBytes(const uint8_t* data, size_t size) : size_(size), bytes_(new char[size]) {
        if (size != 0) std::memcpy(bytes_.get(), data, size);
    }
    std::string_view view() const { return {bytes_.get(), size_}; }

  private:
    size_t size_;
    std::unique_ptr<char[]> bytes_;
};

// The input cut at every NUL byte, the way a command line reaches a program:
// n NUL bytes give n + 1 pieces, empty ones included.
inline std::vector<HeapBytes> split_on_nul(const uint8_t* data, size_t size) {
    std::vector<HeapBytes> pieces;
    size_t start = 0;
    for (size_t i = 0; i <= size; ++i) {
        if (i == size || data[i] == 0) {
            pieces.emplace_back(data + start, i - start);
            start = i + 1;
        }
    }
    return pieces;
}

inline std::vector<std::string_view> views(const std::vector<HeapBytes>& pieces) {
    std::vector<std::string_view> out;
    out.reserve(pieces.size());
    for (const HeapBytes& piece : pieces) out.push_back(piece.view());
    return out;
}

// Decodes UTF-8 by its definition (code point ranges, no overlong forms, no
// surrogates, nothing above U+10FFFF) and hands each code point to visit.
// False as soon as the bytes are not UTF-8.
template <typename Visit>
bool each_code_point(std::string_view s, Visit visit) {
    size_t i = 0;
    while (i < s.size()) {
        const auto b0 = static_cast<unsigned char>(s[i]);
        size_t length;
        uint32_t cp;
        uint32_t least;
        if (b0 < 0x80) {
            length = 1;
            cp = b0;
            least = 0;
        } else if ((b0 & 0xE0) == 0xC0) {
            length = 2;
            cp = b0 & 0x1Fu;
            least = 0x80;
        } else if ((b0 & 0xF0) == 0xE0) {
            length = 3;
            cp = b0 & 0x0Fu;
            least = 0x800;
        } else if ((b0 & 0xF8) == 0xF0) {
            length = 4;
            cp = b0 & 0x07u;
            least = 0x10000;
        } else {
            return false;
        }
        if (s.size() - i < length) return false;
        for (size_t k = 1; k < length; ++k) {
            const auto b = static_cast<unsigned char>(s[i + k]);
            if ((b & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (b & 0x3Fu);
        }
        if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        visit(cp);
        i += length;
    }
    return true;
}

inline bool is_utf8(std::string_view s) {
    return each_code_point(s, [](uint32_t) {});
}

// C0, DEL and C1: what must never reach a terminal raw.
inline bool is_control(uint32_t cp) {
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F);
}

// Valid UTF-8 without a single control character: text that stays on its line.
inline bool is_one_line_text(std::string_view s) {
    bool clean = true;
    const bool valid = each_code_point(s, [&](uint32_t cp) { clean = clean && !is_control(cp); });
    return valid && clean;
}

// A decimal number's digits without their leading zeros ("0" for zero).
inline std::string_view significant_digits(std::string_view digits) {
    while (digits.size() > 1 && digits.front() == '0') digits.remove_prefix(1);
    return digits;
}

inline bool all_digits(std::string_view s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

// Whether the digits (without leading zeros) are at most the limit's digits.
inline bool at_most(std::string_view digits, std::string_view limit) {
    digits = significant_digits(digits);
    return digits.size() < limit.size() || (digits.size() == limit.size() && digits <= limit);
}

}  // namespace vfuzz
