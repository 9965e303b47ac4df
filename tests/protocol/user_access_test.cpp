// The privilege set: bit numbering from the top bit of the first byte, the full-access set as
// bytes, and the creator rule.
#include "protocol/user_access.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/error_checks.h"

namespace kx {
namespace {

using AccessBytes = std::array<std::uint8_t, 8>;

SMyUserAccess Only(unsigned bit) {
    SMyUserAccess a;
    a.SetPriv(bit);
    return a;
}

TEST(UserAccess, BitNumberingStartsAtTheTopBitOfTheFirstByte) {
    EXPECT_EQ(Only(0).bytes, (AccessBytes{0x80, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Only(7).bytes, (AccessBytes{0x01, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Only(8).bytes, (AccessBytes{0, 0x80, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Only(27).bytes, (AccessBytes{0, 0, 0, 0x10, 0, 0, 0, 0}));
    EXPECT_EQ(Only(40).bytes, (AccessBytes{0, 0, 0, 0, 0, 0x80, 0, 0}));
    EXPECT_EQ(Only(63).bytes, (AccessBytes{0, 0, 0, 0, 0, 0, 0, 0x01}));

    SMyUserAccess a = SMyUserAccess::FromBits({3, 9, 40});
    EXPECT_TRUE(a.HasPriv(3));
    EXPECT_TRUE(a.HasPriv(9));
    EXPECT_FALSE(a.HasPriv(4));
    a.SetPriv(9, false);
    a.ClearPriv(40);
    EXPECT_EQ(a.bytes, (AccessBytes{0x10, 0, 0, 0, 0, 0, 0, 0}));
    a.Clear();
    EXPECT_TRUE(a.IsEmpty());
}

TEST(UserAccess, BitsBeyond63AreNeverHeldAndCannotBeSet) {
    SMyUserAccess a;
    a.bytes.fill(0xFF);
    EXPECT_FALSE(a.HasPriv(64));
    EXPECT_FALSE(a.HasPriv(1000));
    EXPECT_EQ(test::ErrorOf([&] { a.SetPriv(64); }), std::make_pair(1, 2)) << "bit 64 was accepted";
}

TEST(UserAccess, FullAccessSetIsThe36MeaningfulBitsWithoutNoAgreement) {
    EXPECT_EQ(kFullAccessPrivs.bytes, (AccessBytes{0xFF, 0xF3, 0xCF, 0xEF, 0xFF, 0x80, 0x00, 0x00}));
    int count = 0;
    for (unsigned b = 0; b < 64; ++b) count += kFullAccessPrivs.HasPriv(b);
    EXPECT_EQ(count, 36);
    for (unsigned b : {12u, 13u, 18u, 19u, 27u, 41u}) EXPECT_FALSE(kFullAccessPrivs.HasPriv(b)) << b;
}

TEST(UserAccess, CreatorRuleIgnoresNoAgreementOnly) {
    const SMyUserAccess nothing;
    EXPECT_FALSE(UUserAccess::ExceedsCreator(Only(myAcc_NoAgreement), nothing));
    EXPECT_TRUE(UUserAccess::ExceedsCreator(SMyUserAccess::FromBits({myAcc_NoAgreement, myAcc_ReadChat}), nothing));
    EXPECT_FALSE(UUserAccess::ExceedsCreator(kFullAccessPrivs, kFullAccessPrivs));
    // A bit outside the full set (13) is still a bit the creator must hold.
    EXPECT_TRUE(UUserAccess::ExceedsCreator(Only(13), kFullAccessPrivs));
    EXPECT_FALSE(UUserAccess::ExceedsCreator(nothing, nothing));
}

}  // namespace
}  // namespace kx
