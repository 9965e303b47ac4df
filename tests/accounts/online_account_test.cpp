// Bringing a connected client in step with its rewritten account: what is copied, and when the
// client must be told (its access) and the user list updated (access or shown name).
#include "accounts/online_account.h"

#include <gtest/gtest.h>

namespace kx {
namespace {

SMyOnlineAccountState Client() {
    SMyOnlineAccountState c;
    c.access.SetPriv(myAcc_ReadChat);
    c.accountName = "Bob";
    c.accountLogin = "bob";
    c.userName = "Bob";
    c.realName = "Bobby";
    return c;
}

SMyUserDataFile Rec(std::string_view name) {
    SMyUserDataFile rec;
    rec.SetLogin("Bob");
    rec.SetName(name);
    rec.access.SetPriv(myAcc_ReadChat);
    return rec;
}

TEST(OnlineAccount, AliasOrPasswordChangesNotifyNobody) {
    auto client = Client();
    auto rec = Rec("Bob");
    rec.SetAlias("other alias");
    rec.SetPassword("\x01");
    auto change = UpdateOnlineAccount(client, rec);
    EXPECT_FALSE(change.accessChanged);
    EXPECT_FALSE(change.changed);
    EXPECT_EQ(client.accountLogin, "bob");  // held in lower case, whatever the record's case
}

TEST(OnlineAccount, NewAccessIsSentAndShownNameFollowsAnyName) {
    auto client = Client();
    auto rec = Rec("Bob");
    rec.access.SetPriv(myAcc_AnyName);
    auto change = UpdateOnlineAccount(client, rec);
    EXPECT_TRUE(change.accessChanged);
    EXPECT_TRUE(change.changed);
    EXPECT_EQ(client.access, rec.access);
    EXPECT_EQ(client.userName, "Bobby");

    rec.access.ClearPriv(myAcc_AnyName);
    change = UpdateOnlineAccount(client, rec);
    EXPECT_TRUE(change.accessChanged);
    EXPECT_EQ(client.userName, "Bob");
}

TEST(OnlineAccount, RenamedAccountRenamesTheClientWithoutAnyName) {
    auto client = Client();
    const std::string longName(40, 'N');
    auto change = UpdateOnlineAccount(client, Rec(longName));
    EXPECT_FALSE(change.accessChanged);
    EXPECT_TRUE(change.changed);
    EXPECT_EQ(client.userName, std::string(31, 'N'));
    EXPECT_EQ(client.accountName, std::string(31, 'N'));
    EXPECT_FALSE(UpdateOnlineAccount(client, Rec(longName)).changed);
}

}  // namespace
}  // namespace kx
