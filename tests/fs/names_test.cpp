// Mac OS Roman names, the extension table of type/creator codes, and the date-time stamp.
#include <gtest/gtest.h>

#include "fs/date_stamp.h"
#include "fs/file_types.h"
#include "fs/mac_roman.h"

namespace kx {
namespace {

TEST(MacRomanNames, ConvertsBothWays) {
    EXPECT_EQ(UMacRoman::ToUtf8("caf\x8E.txt"), "caf\xC3\xA9.txt");  // é
    std::string mac;
    ASSERT_TRUE(UMacRoman::FromUtf8("caf\xC3\xA9.txt", mac));
    EXPECT_EQ(mac, "caf\x8E.txt");
    // Every byte survives the round trip.
    std::string all;
    for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
    ASSERT_TRUE(UMacRoman::FromUtf8(UMacRoman::ToUtf8(all), mac));
    EXPECT_EQ(mac, all);
    // Curly quotes, euro sign, Apple's private-use character.
    EXPECT_EQ(UMacRoman::ToUtf8("\xD2\xD3\xDB\xF0"), "\xE2\x80\x9C\xE2\x80\x9D\xE2\x82\xAC\xEF\xA3\xBF");
    // The messages quote names with the curly quotes, the name's bytes as they are.
    EXPECT_EQ(UMacRoman::Quoted("caf\x8E"), "\xD2" "caf\x8E\xD3");
    EXPECT_EQ(UMacRoman::Quoted(""), "\xD2\xD3");
}

TEST(MacRomanNames, NamesWithoutAMacRomanFormAreRefused) {
    std::string mac;
    EXPECT_FALSE(UMacRoman::FromUtf8("\xE6\x97\xA5.txt", mac));        // a CJK character
    EXPECT_FALSE(UMacRoman::FromUtf8("cafe\xCC\x81.txt", mac));       // decomposed é (combining mark)
    EXPECT_FALSE(UMacRoman::FromUtf8("bad\xFF", mac));                // not UTF-8
    EXPECT_FALSE(UMacRoman::FromUtf8("\xC0\xAF", mac));               // overlong "/"
    EXPECT_FALSE(UMacRoman::FromUtf8("\xED\xA0\x80", mac));           // surrogate
    EXPECT_FALSE(UMacRoman::FromUtf8("ab\xC3", mac));                 // truncated
    EXPECT_EQ(UMacRoman::FromUtf8Lossy("\xE6\x97\xA5-caf\xC3\xA9\xFF"), "--caf\x8E-");
}

TEST(FileTypeCodes, ComeFromTheExtension) {
    auto codes = [](const char* name) {
        std::uint32_t t, c;
        UFileTypes::GetCodes(name, t, c);
        return std::make_pair(t, c);
    };
    EXPECT_EQ(codes("notes.txt"), std::make_pair(MakeCode("TEXT"), MakeCode("ttxt")));
    EXPECT_EQ(codes("NOTES.TxT"), std::make_pair(MakeCode("TEXT"), MakeCode("ttxt")));
    EXPECT_EQ(codes("a.b.Mp3"), std::make_pair(MakeCode("MP3 "), MakeCode("MAmp")));
    EXPECT_EQ(codes("up.kpf"), std::make_pair(MakeCode("KXft"), MakeCode("KXLC")));
    EXPECT_EQ(codes("x.c"), std::make_pair(MakeCode("TEXT"), MakeCode("CWIE")));
    EXPECT_EQ(codes("x.zip"), std::make_pair(MakeCode("ZIP "), MakeCode("ZIP ")));
    EXPECT_EQ(codes("x.dat"), std::make_pair(MakeCode("BINA"), MakeCode("hDmp")));
    EXPECT_EQ(codes("x.jpeg"), std::make_pair(MakeCode("BINA"), MakeCode("dosa")));  // 4 characters
    EXPECT_EQ(codes("README"), std::make_pair(MakeCode("BINA"), MakeCode("dosa")));
    EXPECT_EQ(codes("trailing."), std::make_pair(MakeCode("BINA"), MakeCode("dosa")));
    EXPECT_EQ(codes("x.xyz"), std::make_pair(MakeCode("BINA"), MakeCode("dosa")));
    EXPECT_EQ(MakeCode("fldr"), 0x666C6472u);
}

TEST(DateTimeStamp, KnownUtcDates) {
    // 2001-01-01 00:00:00 UTC
    EXPECT_EQ(UDateTime::FromTime(978307200), (SDateTimeStamp{2001, 0, 0}));
    // 2004-03-01 12:34:56 UTC: day 61 of a leap year.
    EXPECT_EQ(UDateTime::FromTime(1078144496), (SDateTimeStamp{2004, 0, 60 * 86400 + 12 * 3600 + 34 * 60 + 56}));
    // 2023-12-31 23:59:59 UTC, with milliseconds.
    struct timespec ts {1704067199, 789000000};
    EXPECT_EQ(UDateTime::FromTimespec(ts), (SDateTimeStamp{2023, 789, 364 * 86400 + 86399}));
    EXPECT_EQ(UDateTime::ToWire(SDateTimeStamp{2001, 0x0102, 0x01020304}),
              (std::array<std::uint8_t, 8>{0x07, 0xD1, 0x01, 0x02, 0x01, 0x02, 0x03, 0x04}));
    // Unconvertible: before year 0.
    EXPECT_EQ(UDateTime::FromTime(-70000000000LL), (SDateTimeStamp{1997, 0, 0}));
}

}  // namespace
}  // namespace kx
