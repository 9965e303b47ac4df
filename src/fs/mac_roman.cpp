// Mac OS Roman <-> UTF-8 conversion of file names, and quoted names (see mac_roman.h).
#include "fs/mac_roman.h"

#include <array>
#include <cstdint>

namespace kx::UMacRoman {

namespace {

// Unicode characters of the Mac OS Roman bytes 0x80..0xFF (0xDB is the euro sign; 0xF0 the
// private-use character Apple assigns to its logo).
constexpr std::array<char16_t, 128> kHighChars = {
    0x00C4, 0x00C5, 0x00C7, 0x00C9, 0x00D1, 0x00D6, 0x00DC, 0x00E1, 0x00E0, 0x00E2, 0x00E4, 0x00E3, 0x00E5,
    0x00E7, 0x00E9, 0x00E8, 0x00EA, 0x00EB, 0x00ED, 0x00EC, 0x00EE, 0x00EF, 0x00F1, 0x00F3, 0x00F2, 0x00F4,
    0x00F6, 0x00F5, 0x00FA, 0x00F9, 0x00FB, 0x00FC, 0x2020, 0x00B0, 0x00A2, 0x00A3, 0x00A7, 0x2022, 0x00B6,
    0x00DF, 0x00AE, 0x00A9, 0x2122, 0x00B4, 0x00A8, 0x2260, 0x00C6, 0x00D8, 0x221E, 0x00B1, 0x2264, 0x2265,
    0x00A5, 0x00B5, 0x2202, 0x2211, 0x220F, 0x03C0, 0x222B, 0x00AA, 0x00BA, 0x03A9, 0x00E6, 0x00F8, 0x00BF,
    0x00A1, 0x00AC, 0x221A, 0x0192, 0x2248, 0x2206, 0x00AB, 0x00BB, 0x2026, 0x00A0, 0x00C0, 0x00C3, 0x00D5,
    0x0152, 0x0153, 0x2013, 0x2014, 0x201C, 0x201D, 0x2018, 0x2019, 0x00F7, 0x25CA, 0x00FF, 0x0178, 0x2044,
    0x20AC, 0x2039, 0x203A, 0xFB01, 0xFB02, 0x2021, 0x00B7, 0x201A, 0x201E, 0x2030, 0x00C2, 0x00CA, 0x00C1,
    0x00CB, 0x00C8, 0x00CD, 0x00CE, 0x00CF, 0x00CC, 0x00D3, 0x00D4, 0xF8FF, 0x00D2, 0x00DA, 0x00DB, 0x00D9,
    0x0131, 0x02C6, 0x02DC, 0x00AF, 0x02D8, 0x02D9, 0x02DA, 0x00B8, 0x02DD, 0x02DB, 0x02C7,
};

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Decodes one UTF-8 character at `pos`, advancing it. Returns false for malformed input
// (overlong forms, surrogates, truncated sequences, values past U+10FFFF); `pos` then moves on
// by one byte.
bool DecodeUtf8(std::string_view s, std::size_t& pos, char32_t& out) {
    const auto b0 = static_cast<std::uint8_t>(s[pos]);
    int extra;
    char32_t c;
    if (b0 < 0x80) {
        out = b0;
        ++pos;
        return true;
    } else if ((b0 & 0xE0) == 0xC0) {
        extra = 1;
        c = b0 & 0x1F;
    } else if ((b0 & 0xF0) == 0xE0) {
        extra = 2;
        c = b0 & 0x0F;
    } else if ((b0 & 0xF8) == 0xF0) {
        extra = 3;
        c = b0 & 0x07;
    } else {
        ++pos;
        return false;
    }
    if (pos + extra >= s.size()) {
        ++pos;
        return false;
    }
    for (int i = 1; i <= extra; ++i) {
        const auto b = static_cast<std::uint8_t>(s[pos + i]);
        if ((b & 0xC0) != 0x80) {
            ++pos;
            return false;
        }
        c = (c << 6) | (b & 0x3F);
    }
    static constexpr char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (c < kMin[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        ++pos;
        return false;
    }
    pos += extra + 1;
    out = c;
    return true;
}

// The Mac OS Roman byte of a character, or -1.
int ToMacByte(char32_t c) {
    if (c < 0x80) return static_cast<int>(c);
    for (std::size_t i = 0; i < kHighChars.size(); ++i)
        if (kHighChars[i] == c) return static_cast<int>(0x80 + i);
    return -1;
}

}  // namespace

std::string ToUtf8(std::string_view macRoman) {
    std::string out;
    out.reserve(macRoman.size() * 2);
    for (char ch : macRoman) {
        const auto b = static_cast<std::uint8_t>(ch);
        AppendUtf8(out, b < 0x80 ? char32_t(b) : char32_t(kHighChars[b - 0x80]));
    }
    return out;
}

bool FromUtf8(std::string_view utf8, std::string& out) {
    out.clear();
    std::size_t pos = 0;
    while (pos < utf8.size()) {
        char32_t c;
        if (!DecodeUtf8(utf8, pos, c)) return false;
        const int b = ToMacByte(c);
        if (b < 0) return false;
        out += static_cast<char>(b);
    }
    return true;
}

std::string FromUtf8Lossy(std::string_view utf8) {
    std::string out;
    std::size_t pos = 0;
    while (pos < utf8.size()) {
        char32_t c;
        const int b = DecodeUtf8(utf8, pos, c) ? ToMacByte(c) : -1;
        out += b < 0 ? '-' : static_cast<char>(b);
    }
    return out;
}

std::string Quoted(std::string_view name) {
    std::string out;
    out.reserve(name.size() + 2);
    out += '\xD2';
    out += name;
    out += '\xD3';
    return out;
}

}  // namespace kx::UMacRoman
