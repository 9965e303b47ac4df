// The byte codec every format goes through: big-endian bytes in and out (and the two
// little-endian fields), and a reader that refuses to run past the end without taking anything.
#include "framework/byte_codec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kx {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(ByteCodec, IntegersTravelMostSignificantByteFirst) {
    std::uint8_t b[8] = {};
    PutBE16(b, 0x0102);
    EXPECT_EQ(Bytes(b, b + 2), (Bytes{0x01, 0x02}));
    PutBE32(b, 0xA1B2C3D4);
    EXPECT_EQ(Bytes(b, b + 4), (Bytes{0xA1, 0xB2, 0xC3, 0xD4}));
    PutBE64(b, 0x0102030405060708ull);
    EXPECT_EQ(Bytes(b, b + 8), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(GetBE16(b + 6), 0x0708);
    EXPECT_EQ(GetBE32(b + 4), 0x05060708u);
    EXPECT_EQ(GetBE64(b), 0x0102030405060708ull);
    // A four-character code written as text reads as the same number.
    EXPECT_EQ(GetBE32("FILP"), 0x46494C50u);
    PutLE32(b, 0x11223344);
    EXPECT_EQ(Bytes(b, b + 4), (Bytes{0x44, 0x33, 0x22, 0x11}));
    EXPECT_EQ(GetLE32(b), 0x11223344u);

    Bytes v;
    AppendBE16(v, 0xFFFE);
    AppendBE32(v, 7);
    EXPECT_EQ(v, (Bytes{0xFF, 0xFE, 0, 0, 0, 7}));
    std::string s;
    AppendBE16(s, 0x4142);
    EXPECT_EQ(s, "AB");
}

TEST(ByteCodec, ReaderTakesWholeFieldsOrNothing) {
    const Bytes data = {0x00, 0x02, 0xDE, 0xAD, 0xBE, 0x03, 'a', 'b'};
    CByteReader r(data);
    std::uint16_t u16 = 0;
    std::uint32_t u32 = 0x12345678;
    ASSERT_TRUE(r.U16(u16));
    EXPECT_EQ(u16, 2);
    EXPECT_FALSE(r.Skip(7));
    ASSERT_TRUE(r.Skip(3));
    EXPECT_FALSE(r.U32(u32));  // three bytes left
    EXPECT_EQ(u32, 0x12345678u);
    EXPECT_EQ(r.Offset(), 5u);
    std::span<const std::uint8_t> text;
    EXPECT_FALSE(r.LenText(text));  // announces 3, holds 2
    EXPECT_EQ(r.Left(), 3u);
    std::uint8_t len = 0;
    ASSERT_TRUE(r.U8(len));
    ASSERT_TRUE(r.Bytes(2, text));
    EXPECT_EQ(std::string(text.begin(), text.end()), "ab");
    EXPECT_FALSE(r.U8(len));
    EXPECT_EQ(r.Left(), 0u);
}

}  // namespace
}  // namespace kx
