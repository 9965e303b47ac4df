// UText::Format: every conversion and modifier, width and precision (given or taken from the
// arguments), and the promise never to write past the capacity.
#include "framework/text_format.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/error_checks.h"

namespace kx {
namespace {

// Formats into a buffer with guard bytes after `capacity` and checks they are untouched.
template <class... A>
std::string FmtN(std::size_t capacity, const char* format, const A&... args) {
    std::string buf(capacity + 8, '\x7F');
    const std::size_t n = UText::Format(buf.data(), capacity, format, args...);
    EXPECT_LE(n, capacity);
    EXPECT_EQ(buf.substr(capacity), std::string(8, '\x7F')) << "wrote past the capacity";
    return buf.substr(0, n);
}

template <class... A>
std::string Fmt(const char* format, const A&... args) {
    return FmtN(256, format, args...);
}

const unsigned char kPName[] = "\x05" "Alice";

TEST(TextFormat, Texts) {
    EXPECT_EQ(Fmt("[%s]", "abc"), "[abc]");
    EXPECT_EQ(Fmt("[%#s]", kPName), "[Alice]");
    EXPECT_EQ(Fmt("[%.2s]", "abc"), "[ab]");
    EXPECT_EQ(Fmt("[%5s]", "abc"), "[  abc]");
    EXPECT_EQ(Fmt("[%-5s]", "abc"), "[abc  ]");
    EXPECT_EQ(Fmt("[%#13.13s]", kPName), "[        Alice]");
    EXPECT_EQ(Fmt("[%#-22.22s]", kPName), "[Alice                 ]");
    EXPECT_EQ(Fmt("[%#-3.3s]", kPName), "[Ali]");
    EXPECT_EQ(Fmt("[%s|%s]", std::string("str"), std::string_view("view")), "[str|view]");
    EXPECT_EQ(Fmt("[%s]", nullptr), "[]");

    // A cut text need not be terminated: nothing past the precision is read.
    const char unterminated[3] = {'x', 'y', 'z'};
    EXPECT_EQ(Fmt("[%.3s]", unterminated), "[xyz]");

    // The length byte, not a NUL, ends a length-prefixed text.
    const unsigned char withNul[] = {3, 'a', 0, 'b'};
    EXPECT_EQ(Fmt("%#s", withNul), std::string("a\0b", 3));
}

TEST(TextFormat, Integers) {
    EXPECT_EQ(Fmt("%d %i %u", -42, 17, 4000000000u), "-42 17 4000000000");
    EXPECT_EQ(Fmt("%x %X", 0xBEEFu, 0xbeef), "beef BEEF");
    EXPECT_EQ(Fmt("%c%c", 'o', 107), "ok");
    EXPECT_EQ(Fmt("%d", INT32_MIN), "-2147483648");
    EXPECT_EQ(Fmt("%u", -1), "4294967295");
    EXPECT_EQ(Fmt("[%5d|%-5d|%05d|%+d|% d]", 42, 42, -42, 42, 42), "[   42|42   |-0042|+42| 42]");
    EXPECT_EQ(Fmt("[%.3d|%6.3x|%.0d]", 7, 10, 0), "[007|   00a|]");
}

TEST(TextFormat, SizeModifiers) {
    EXPECT_EQ(Fmt("%hi", 65535), "-1");
    EXPECT_EQ(Fmt("%hu", 70000), "4464");
    EXPECT_EQ(Fmt("%hx", -1), "ffff");
    EXPECT_EQ(Fmt("%hhu", 300), "44");
    EXPECT_EQ(Fmt("ID %hi/%hi", std::int16_t{4}, std::int16_t{103}), "ID 4/103");
    EXPECT_EQ(Fmt("%li %lu", -5L, 123456789UL), "-5 123456789");
    EXPECT_EQ(Fmt("%lx", -1), "ffffffff");  // a 32-bit argument stays 32 bits
    EXPECT_EQ(Fmt("%lu", std::uint64_t{5000000000}), "5000000000");
    EXPECT_EQ(Fmt("%llx", std::int64_t{-1}), "ffffffffffffffff");
    EXPECT_EQ(Fmt("%u", std::uint64_t{5000000000}), "705032704");  // no modifier: 32 bits
    EXPECT_EQ(Fmt("%lc", 'A'), "A");
}

TEST(TextFormat, StarTakesWidthAndPrecisionFromTheArguments) {
    EXPECT_EQ(Fmt("[%*d]", 4, 7), "[   7]");
    EXPECT_EQ(Fmt("[%*d]", -4, 7), "[7   ]");
    EXPECT_EQ(Fmt("[%.*s]", 2, "abcdef"), "[ab]");
    EXPECT_EQ(Fmt("[%*.*s]", 5, 2, "abcdef"), "[   ab]");
    EXPECT_EQ(Fmt("[%#-*.*s]", 8, 3, kPName), "[Ali     ]");
    EXPECT_EQ(Fmt("[%.*s]", -1, "abc"), "[abc]");  // negative precision: none
}

TEST(TextFormat, LiteralsAndBadDirectives) {
    EXPECT_EQ(Fmt("100%%"), "100%");
    EXPECT_EQ(Fmt("a%qb"), "a%qb");
    EXPECT_EQ(Fmt("tail %5"), "tail %5");
    EXPECT_EQ(Fmt(""), "");
    EXPECT_EQ(Fmt("no args"), "no args");

    // A missing or mismatched argument writes nothing for its conversion.
    test::CDebugCapture diag;
    EXPECT_EQ(Fmt("[%d|%s]", "text", 5), "[|]");
    EXPECT_EQ(Fmt("[%s][%d]", "only"), "[only][]");
    EXPECT_EQ(Fmt("[%*d]", "w", 5), "[]");
    EXPECT_NE(diag.Text().find("UText::Format() - missing or mismatched argument for \"%d\""), std::string::npos);
}

TEST(TextFormat, NeverWritesPastCapacity) {
    EXPECT_EQ(FmtN(0, "abc"), "");
    EXPECT_EQ(FmtN(4, "abcdef"), "abcd");
    EXPECT_EQ(FmtN(4, "%s", "abcdef"), "abcd");
    EXPECT_EQ(FmtN(5, "ab%d", 123456), "ab123");
    EXPECT_EQ(FmtN(3, "%10s", "x"), "   ");
    EXPECT_EQ(FmtN(3, "%-10s|", "x"), "x  ");
    EXPECT_EQ(FmtN(6, "%#-22.22s", kPName), "Alice ");
    EXPECT_EQ(FmtN(2, "%%%%%%"), "%%");
    EXPECT_EQ(FmtN(7, "%*d", 100000, 1), "       ");
    EXPECT_EQ(UText::Format(nullptr, 10, "abc"), 0u);

    // No terminator: the byte after the text is left alone.
    char buf[8];
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(UText::Format(buf, sizeof buf, "%#s: %lu", kPName, 3UL), 8u);
    EXPECT_EQ(std::string(buf, 8), "Alice: 3");
}

TEST(TextFormat, FormatString) {
    EXPECT_EQ(UText::FormatString("%s has %u file%s", "Bob", 3u, "s"), "Bob has 3 files");
    EXPECT_EQ(UText::FormatString("%300s", "x").size(), 300u);
    EXPECT_EQ(UText::FormatString("%*d", 1000000, 1).size(), 65535u);  // wild widths are bounded
}

}  // namespace
}  // namespace kx
