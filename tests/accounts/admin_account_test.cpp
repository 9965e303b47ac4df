// The head admin account: creation with the full set and an encoded password, repair of an
// existing account, refusals that leave everything as it was, and the start-up check.
#include "accounts/admin_account.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <stdlib.h>

#include "framework/file_util.h"

namespace kx {
namespace {

namespace fs = std::filesystem;
using namespace UAdminAccount;

class AdminAccount : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kx-admin-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
        fs::create_directory(root + "/Users");
        store = std::make_unique<CMyAccountStore>(root + "/Users", root + "/Trash");
    }
    void TearDown() override { fs::remove_all(root); }
    std::vector<std::uint8_t> Bytes(const std::string& login) {
        return UFileUtil::ReadWholeFile(root + "/Users/" + login + "/UserData").value_or(std::vector<std::uint8_t>{});
    }

    std::string root;
    std::unique_ptr<CMyAccountStore> store;
};

TEST_F(AdminAccount, CreatesANewAccountWithFullAccess) {
    ASSERT_TRUE(SetAdmin(*store, "admin", "pass", true));
    const auto rec = store->GetUser("admin");
    EXPECT_EQ(rec.GetName(), "administrator");
    EXPECT_EQ(rec.GetLogin(), "admin");
    EXPECT_EQ(rec.GetPassword(), "\x8F\x9E\x8C\x8C");
    EXPECT_EQ(rec.access, kFullAccessPrivs);
    EXPECT_EQ(rec.iconID, 0);
    EXPECT_EQ(Bytes("admin").size(), 734u);
}

TEST_F(AdminAccount, PasswordIsCutTo31Bytes) {
    ASSERT_TRUE(SetAdmin(*store, "root", std::string(40, 'p'), false));
    EXPECT_EQ(store->GetUser("root").GetPassword(), std::string(31, static_cast<char>(~'p')));
}

TEST_F(AdminAccount, ExistingAccountKeepsWhatIsNotAskedFor) {
    SMyUserDataFile rec;
    rec.SetLogin("Boss");
    rec.SetName("The Boss");
    rec.SetAlias("b");
    rec.SetPassword(UUserData::EncodeText("old"));
    rec.access.SetPriv(myAcc_ReadChat);
    rec.access.SetPriv(myAcc_NoAgreement);
    store->NewUser(rec);
    const auto before = Bytes("Boss");

    // No password, no reset: rewritten unchanged.
    ASSERT_TRUE(SetAdmin(*store, "boss", "", false));
    EXPECT_EQ(Bytes("Boss"), before);

    // Reset: the full set replaces the old access; password, name and login stay.
    ASSERT_TRUE(SetAdmin(*store, "boss", "", true));
    auto after = store->GetUser("boss");
    EXPECT_EQ(after.access, kFullAccessPrivs);
    EXPECT_EQ(after.GetPassword(), UUserData::EncodeText("old"));
    EXPECT_EQ(after.GetName(), "The Boss");
    EXPECT_EQ(after.GetLogin(), "Boss");
    EXPECT_FALSE(LacksFullAccess(after));

    ASSERT_TRUE(SetAdmin(*store, "boss", "new", false));
    EXPECT_EQ(store->GetUser("boss").GetPassword(), UUserData::EncodeText("new"));
    EXPECT_EQ(fs::directory_iterator(root + "/Users")->path().filename(), "Boss");
}

TEST_F(AdminAccount, FailuresReturnFalseAndChangeNothing) {
    EXPECT_FALSE(SetAdmin(*store, "", "pw", true));
    EXPECT_FALSE(SetAdmin(*store, "../evil", "pw", true));
    EXPECT_FALSE(SetAdmin(*store, std::string(32, 'a'), "pw", true));
    EXPECT_TRUE(fs::is_empty(root + "/Users"));
    EXPECT_FALSE(fs::exists(root + "/evil"));

    // A damaged record is not overwritten by a fresh one.
    ASSERT_TRUE(SetAdmin(*store, "admin", "pw", true));
    auto bytes = Bytes("admin");
    bytes[1] = 0x02;
    UFileUtil::WriteFileAtomic(root + "/Users/admin/UserData", bytes);
    EXPECT_FALSE(SetAdmin(*store, "admin", "other", true));
    EXPECT_EQ(Bytes("admin"), bytes);
}

TEST_F(AdminAccount, StartUpCheckTellsWhatTheOperatorMustDo) {
    EXPECT_EQ(CheckAdminAccount(*store, "admin"), EAdminState::kMissing);
    SMyUserDataFile rec;
    rec.SetLogin("admin");
    store->NewUser(rec);
    EXPECT_EQ(CheckAdminAccount(*store, "ADMIN"), EAdminState::kNoPassword);
    EXPECT_TRUE(LacksFullAccess(store->GetUser("admin")));
    ASSERT_TRUE(SetAdmin(*store, "admin", "pw", false));
    EXPECT_EQ(CheckAdminAccount(*store, "admin"), EAdminState::kReady);
    EXPECT_TRUE(LacksFullAccess(store->GetUser("admin")));  // no reset asked for
}

}  // namespace
}  // namespace kx
