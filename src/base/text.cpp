#include "base/text.h"

#include <cstdint>

namespace vorn {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the well-formed UTF-8 sequence at the start of s, or 0 when it is
// ill-formed; *consumed then tells how many bytes make up the maximal subpart
// to be replaced (at least 1).
size_t sequence_length(std::string_view s, size_t* consumed, uint32_t* code_point) {
    const auto b0 = static_cast<unsigned char>(s[0]);
    if (b0 < 0x80) {
        *code_point = b0;
        return 1;
    }
    size_t need;
    unsigned char lo = 0x80, hi = 0xBF;
    uint32_t cp;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        cp = b0 & 0x0F;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        cp = b0 & 0x07;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        *consumed = 1;
        return 0;
    }
    size_t i = 1;
    for (; i <= need; ++i) {
        if (i >= s.size()) break;
        const auto b = static_cast<unsigned char>(s[i]);
        if (b < lo || b > hi) break;
        cp = (cp << 6) | (b & 0x3F);
        lo = 0x80;
        hi = 0xBF;
    }
    if (i == need + 1) {
        *code_point = cp;
        return i;
    }
    *consumed = i;
    return 0;
}

template <typename Emit>
void decode(std::string_view bytes, Emit emit) {
    size_t pos = 0;
    while (pos < bytes.size()) {
        size_t consumed = 0;
        uint32_t cp = 0;
        const size_t len = sequence_length(bytes.substr(pos), &consumed, &cp);
        if (len == 0) {
            emit(0xFFFD, kReplacement);
            pos += consumed;
        } else {
            emit(cp, bytes.substr(pos, len));
            pos += len;
        }
    }
}

// The characters with the Unicode White_Space property.
bool is_white_space(uint32_t cp) {
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
           cp == 0x205F || cp == 0x3000;
}

bool is_continuation_byte(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

void append_hex(std::string& out, uint32_t value) {
    static constexpr char kDigits[] = "0123456789abcdef";
    char buf[8];
    int n = 0;
    do {
        buf[n++] = kDigits[value & 0xF];
        value >>= 4;
    } while (value != 0);
    while (n > 0) out.push_back(buf[--n]);
}

}  // namespace

std::string lossy_utf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    decode(bytes, [&](uint32_t, std::string_view piece) { out.append(piece); });
    return out;
}

bool is_valid_utf8(std::string_view bytes) {
    size_t pos = 0;
    while (pos < bytes.size()) {
        size_t consumed = 0;
        uint32_t cp = 0;
        const size_t len = sequence_length(bytes.substr(pos), &consumed, &cp);
        if (len == 0) return false;
        pos += len;
    }
    return true;
}

std::string_view trim_trailing_white_space(std::string_view text) {
    while (!text.empty()) {
        size_t start = text.size() - 1;
        while (start > 0 && is_continuation_byte(text[start])) --start;
        size_t consumed = 0;
        uint32_t cp = 0;
        if (sequence_length(text.substr(start), &consumed, &cp) == 0 || !is_white_space(cp)) break;
        text.remove_suffix(text.size() - start);
    }
    return text;
}

std::string display_form(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    decode(bytes, [&](uint32_t cp, std::string_view piece) {
        if (cp == '\t') {
            out.append("\\t");
        } else if (cp == '\n') {
            out.append("\\n");
        } else if (cp == '\r') {
            out.append("\\r");
        } else if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) {
            out.append("\\u{");
            append_hex(out, cp);
            out.push_back('}');
        } else {
            out.append(piece);
        }
    });
    return out;
}

}  // namespace vorn
