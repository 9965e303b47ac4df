// The record an account request describes: sizes cut to the record's capacities, the login
// decoded and the password kept encoded, the keep-the-password marker, and the texts' quotes.
#include "accounts/account_request_fields.h"

#include <gtest/gtest.h>

#include "protocol/transaction_types.h"

namespace kx {
namespace {

void Add(TFieldDataObj f, std::uint16_t id, std::string_view bytes) {
    UFieldData::AddField(f, id, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

TEST(AccountRequestFields, RecordTakesAtMostEachCapacityAndDecodesOnlyTheLogin) {
    StFieldData f;
    Add(f, kFieldUserName, std::string(80, 'n'));
    Add(f, kFieldUserAlias, std::string(65, 'a'));
    Add(f, kFieldUserLogin, UUserData::EncodeText(std::string(40, 'L')));
    Add(f, kFieldUserPassword, std::string(33, '\x9F'));
    Add(f, kFieldUserAccess, "\x80\x01\x02\x03\x04\x05\x06\x07\x08\x09");  // 10 bytes: 8 taken
    const SMyUserDataFile rec = UAccountRequest::RecordFromFields(f);
    EXPECT_EQ(rec.GetName(), std::string(64, 'n'));
    EXPECT_EQ(rec.GetAlias(), std::string(64, 'a'));
    EXPECT_EQ(rec.GetLogin(), std::string(32, 'L'));
    EXPECT_EQ(rec.GetPassword(), std::string(32, '\x9F'));
    EXPECT_EQ(rec.access.bytes, (std::array<std::uint8_t, 8>{0x80, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(rec.version, 1);
    EXPECT_EQ(rec.iconID, 0);
}

TEST(AccountRequestFields, ShortOrMissingAccessLeavesZeros) {
    StFieldData f;
    Add(f, kFieldUserAccess, "\xFF\xFF");
    EXPECT_EQ(UAccountRequest::RecordFromFields(f).access.bytes, (std::array<std::uint8_t, 8>{0xFF, 0xFF}));
    StFieldData empty;
    const SMyUserDataFile rec = UAccountRequest::RecordFromFields(empty);
    EXPECT_TRUE(rec.access.IsEmpty());
    EXPECT_EQ(rec.loginSize, 0);
    EXPECT_EQ(rec.passwordSize, 0);
}

TEST(AccountRequestFields, OnlyASingleZeroByteKeepsThePassword) {
    auto keeps = [](std::string_view password, bool present = true) {
        StFieldData f;
        if (present) Add(f, kFieldUserPassword, password);
        return UAccountRequest::KeepsPassword(f);
    };
    EXPECT_TRUE(keeps(std::string_view("\0", 1)));
    EXPECT_FALSE(keeps(std::string_view("\0\0", 2)));
    EXPECT_FALSE(keeps("\xFF"));
    EXPECT_FALSE(keeps("", false));

    SMyUserDataFile stored;
    stored.SetPassword(std::string(32, 'p'));
    SMyUserDataFile rec;
    UAccountRequest::CopyKeptPassword(rec, stored);
    EXPECT_EQ(rec.GetPassword(), std::string(31, 'p'));
}

TEST(AccountRequestFields, TextsQuoteWithMacRomanQuotes) {
    EXPECT_EQ(UAccountRequest::NoAccountText("bob"), "No account with login \xD2" "bob\xD3.");
    EXPECT_EQ(UAccountRequest::RenameLogText(UAccountRequest::RenameAffected("a", "b")),
              "Rename account \xD2" "a\xD3 \xD2" "b\xD3");
}

}  // namespace
}  // namespace kx
