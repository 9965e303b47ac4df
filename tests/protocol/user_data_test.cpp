// The 734-byte account record: every field at its offset in both directions, damaged files
// refused, sizes from a damaged file never read past their fields, and the complement coding.
#include "protocol/user_data.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/error_checks.h"

namespace kx {
namespace {

std::vector<std::uint8_t> HandBuiltRecord() {
    std::vector<std::uint8_t> b(734, 0);
    b[0] = 0x00; b[1] = 0x01;                     // version
    b[2] = 0xFF; b[3] = 0xFE;                     // iconID -2
    const std::uint8_t access[8] = {0xFF, 0xF3, 0xCF, 0xEF, 0xFF, 0x80, 0x00, 0x01};
    std::copy(access, access + 8, b.begin() + 4);
    b[12] = 0x01; b[13] = 0x02;                   // maxSimulDownloads 258
    b[14] = 0xAA; b[525] = 0xBB;                  // reserved bytes, kept as found
    b[526] = 0x00; b[527] = 0x07;                 // nameScript
    b[528] = 0x00; b[529] = 0x03;                 // nameSize
    b[530] = 'J'; b[531] = 'o'; b[532] = 'e'; b[533] = 'Z';  // 'Z' lies past the size
    b[594] = 0x12; b[595] = 0x34;                 // aliasScript
    b[596] = 0x00; b[597] = 0x40;                 // aliasSize 64 (full)
    for (int i = 0; i < 64; ++i) b[598 + i] = static_cast<std::uint8_t>('a' + i % 26);
    b[662] = 0; b[663] = 0;                       // loginScript
    b[664] = 0x00; b[665] = 0x04;                 // loginSize
    b[666] = 'j'; b[667] = 'o'; b[668] = 'e'; b[669] = '1';
    b[698] = 0; b[699] = 0;                       // passwordScript
    b[700] = 0x00; b[701] = 0x02;                 // passwordSize
    b[702] = 0x9E; b[703] = 0x9D;                 // "ab" complemented
    b[733] = 0xCC;                                // last byte of the password area
    return b;
}

void ExpectError(const std::vector<std::uint8_t>& bytes, int type, int id) {
    EXPECT_EQ(test::ErrorOf([&] { UUserData::Decode(bytes); }), std::make_pair(type, id)) << bytes.size() << " bytes";
}

TEST(UserData, DecodesEveryFieldAndEncodesTheSameBytes) {
    const auto bytes = HandBuiltRecord();
    const SMyUserDataFile rec = UUserData::Decode(bytes);
    EXPECT_EQ(rec.version, 1);
    EXPECT_EQ(rec.iconID, -2);
    EXPECT_EQ(rec.access.bytes, (std::array<std::uint8_t, 8>{0xFF, 0xF3, 0xCF, 0xEF, 0xFF, 0x80, 0x00, 0x01}));
    EXPECT_TRUE(rec.access.HasPriv(63));
    EXPECT_EQ(rec.maxSimulDownloads, 258);
    EXPECT_EQ(rec.rsvd[0], 0xAA);
    EXPECT_EQ(rec.rsvd[511], 0xBB);
    EXPECT_EQ(rec.nameScript, 7);
    EXPECT_EQ(rec.GetName(), "Joe");
    EXPECT_EQ(rec.aliasScript, 0x1234);
    EXPECT_EQ(rec.GetAlias().size(), 64u);
    EXPECT_EQ(rec.GetAlias().substr(0, 3), "abc");
    EXPECT_EQ(rec.GetLogin(), "joe1");
    EXPECT_EQ(rec.GetPassword(), "\x9E\x9D");
    EXPECT_EQ(UUserData::DecodeText(rec.GetPassword()), "ab");
    EXPECT_TRUE(rec.IsWellFormed());

    const auto out = UUserData::Encode(rec);
    EXPECT_EQ(std::vector<std::uint8_t>(out.begin(), out.end()), bytes);
}

TEST(UserData, EncodesAFreshRecordAtTheDocumentedOffsets) {
    SMyUserDataFile rec;
    rec.access.SetPriv(myAcc_SendPrivMsg);
    rec.SetName("administrator");
    rec.SetAlias("al");
    rec.SetLogin("admin");
    rec.SetPassword(UUserData::EncodeText("pw"));
    const auto b = UUserData::Encode(rec);
    ASSERT_EQ(b.size(), 734u);
    EXPECT_EQ(b[0], 0x00);
    EXPECT_EQ(b[1], 0x01);
    EXPECT_EQ(b[9], 0x80);  // access byte 5
    EXPECT_EQ(b[529], 13);
    EXPECT_EQ(std::string(b.begin() + 530, b.begin() + 543), "administrator");
    EXPECT_EQ(b[597], 2);
    EXPECT_EQ(b[598], 'a');
    EXPECT_EQ(b[665], 5);
    EXPECT_EQ(std::string(b.begin() + 666, b.begin() + 671), "admin");
    EXPECT_EQ(b[701], 2);
    EXPECT_EQ(b[702], 0x8F);  // ~'p'
    EXPECT_EQ(b[703], 0x88);  // ~'w'
    std::size_t nonZero = 0;
    for (auto v : b) nonZero += v != 0;
    EXPECT_EQ(nonZero, 1u /*version*/ + 1 /*access*/ + 1 + 13 + 1 + 2 + 1 + 5 + 1 + 2);
}

TEST(UserData, WrongSizeOrVersionIsRefused) {
    auto bytes = HandBuiltRecord();
    ExpectError(std::vector<std::uint8_t>(bytes.begin(), bytes.end() - 1), 1, 8);  // 733 bytes
    auto longer = bytes;
    longer.push_back(0);
    ExpectError(longer, 1, 8);
    ExpectError({}, 1, 8);
    auto swapped = bytes;
    swapped[0] = 0x01;
    swapped[1] = 0x00;
    ExpectError(swapped, 1, 7);
    auto zero = bytes;
    zero[1] = 0x00;
    ExpectError(zero, 1, 7);
}

TEST(UserData, OversizedLengthsFromADamagedFileStayInsideTheirFields) {
    auto bytes = HandBuiltRecord();
    bytes[528] = 0xFF; bytes[529] = 0xFF;  // nameSize 65535
    bytes[664] = 0x00; bytes[665] = 0x21;  // loginSize 33
    bytes[700] = 0x01; bytes[701] = 0x00;  // passwordSize 256
    const SMyUserDataFile rec = UUserData::Decode(bytes);
    EXPECT_EQ(rec.GetName().size(), 64u);
    EXPECT_EQ(rec.GetLogin().size(), 32u);
    EXPECT_EQ(rec.GetPassword().size(), 32u);
    EXPECT_FALSE(rec.IsWellFormed());
    const auto out = UUserData::Encode(rec);  // still written back as found
    EXPECT_EQ(std::vector<std::uint8_t>(out.begin(), out.end()), bytes);
}

TEST(UserData, SettersCutToCapacityAndClearOldBytes) {
    SMyUserDataFile rec;
    rec.SetLogin(std::string(40, 'x'));
    EXPECT_EQ(rec.loginSize, 32);
    rec.SetName("longer name");
    rec.SetName("ab");
    EXPECT_EQ(rec.nameSize, 2);
    EXPECT_EQ(rec.nameData[2], 0);
    rec.SetPassword("");
    EXPECT_EQ(rec.passwordSize, 0);
    EXPECT_EQ(rec.GetPassword(), "");
}

TEST(UserData, ComplementCodingIsItsOwnInverse) {
    EXPECT_EQ(UUserData::EncodeText("admin"), "\x9E\x9B\x92\x96\x91");
    EXPECT_EQ(UUserData::EncodeText(std::string("\x00\xFF", 2)), std::string("\xFF\x00", 2));
    const std::string any = "Guest 1\r\xD2";
    EXPECT_EQ(UUserData::DecodeText(UUserData::EncodeText(any)), any);
    EXPECT_EQ(UUserData::EncodeText(""), "");
}

}  // namespace
}  // namespace kx
