// The client's account commands against the real server: an account created, shown, changed
// and removed, with the record on disk checked, a rename, and the refusals of an ordinary account.
#include <gtest/gtest.h>

#include "client/client_fixture.h"
#include "protocol/user_data.h"

namespace kx {
namespace {

using test::SClientResult;

class CliAccounts : public test::ClientFixture {};

TEST_F(CliAccounts, AddShowSetAndRemoveAnAccount) {
    test::WriteFileText(dir / "newpw", "s3cret\n");
    SClientResult add = Admin({"account", "add", "Bob", "--name", "Bob B", "--new-password-file", dir / "newpw",
                               "--access", "0060000000000000"});
    ASSERT_EQ(add.exitCode, 0) << add.err;
    CMyAccountStore store(dir / "Users", dir / "Trash");
    SMyUserDataFile rec = store.GetUser("bob");
    EXPECT_EQ(rec.GetName(), "Bob B");
    EXPECT_EQ(rec.GetPassword(), UUserData::EncodeText("s3cret"));
    EXPECT_TRUE(rec.access.HasPriv(myAcc_ReadChat));
    EXPECT_TRUE(rec.access.HasPriv(myAcc_SendChat));

    SClientResult show = Admin({"--json", "account", "show", "bob"});
    EXPECT_EQ(show.out, "{\"login\":\"bob\",\"name\":\"Bob B\",\"password\":true,\"access\":\"0060000000000000\"}\n");
    SClientResult list = Admin({"account", "ls"});
    EXPECT_NE(list.out.find("user\tUser\t0060080000800000\t(no password)\n"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("Bob\tBob B\t0060000000000000\n"), std::string::npos) << list.out;

    // A change keeps what it does not name, the password included.
    ASSERT_EQ(Admin({"account", "set", "bob", "--name", "Robert"}).exitCode, 0);
    rec = store.GetUser("bob");
    EXPECT_EQ(rec.GetName(), "Robert");
    EXPECT_EQ(rec.GetPassword(), UUserData::EncodeText("s3cret"));
    EXPECT_TRUE(rec.access.HasPriv(myAcc_SendChat));
    SClientResult asBob = test::RunClientBinary({"--login", "bob", host, "users"}, "", {{"KESTRIX_PASSWORD", "s3cret"}});
    EXPECT_EQ(asBob.exitCode, 0) << asBob.err;

    SClientResult again = Admin({"account", "add", "bob"});
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_EQ(again.err,
              "kestrix: Cannot create account \xE2\x80\x9C" "bob\xE2\x80\x9D because there is already an account with that login.\n");
    ASSERT_EQ(Admin({"account", "rm", "bob"}).exitCode, 0);
    EXPECT_FALSE(store.ExistsUser("bob"));
    EXPECT_EQ(Admin({"account", "add", "x", "--access", "12"}).exitCode, 2);
}

TEST_F(CliAccounts, RenameKeepsTheRecordUnderTheNewLogin) {
    CMyAccountStore store(dir / "Users", dir / "Trash");
    SMyUserDataFile carol;
    carol.SetName("Carol");
    carol.SetLogin("carol");
    carol.SetPassword(UUserData::EncodeText("pw1"));
    carol.access = SMyUserAccess::FromBits({myAcc_ReadChat, myAcc_SendChat, myAcc_ReadNews});
    store.NewUser(carol);

    SClientResult rename = Admin({"account", "rename", "carol", "caroline"});
    ASSERT_EQ(rename.exitCode, 0) << rename.err;
    EXPECT_FALSE(store.ExistsUser("carol"));
    const SMyUserDataFile rec = store.GetUser("caroline");
    EXPECT_EQ(rec.GetName(), "Carol");
    EXPECT_EQ(rec.GetPassword(), UUserData::EncodeText("pw1"));
    EXPECT_EQ(rec.access.bytes, carol.access.bytes);
    SClientResult list = Admin({"account", "ls"});
    EXPECT_NE(list.out.find("caroline\tCarol\t0060080000000000\n"), std::string::npos) << list.out;
    EXPECT_EQ(list.out.find("carol\t"), std::string::npos) << list.out;
    SClientResult asCaroline =
        test::RunClientBinary({"--login", "caroline", host, "users"}, "", {{"KESTRIX_PASSWORD", "pw1"}});
    EXPECT_EQ(asCaroline.exitCode, 0) << asCaroline.err;

    // A login that is taken leaves both accounts as they were.
    SClientResult taken = Admin({"account", "rename", "caroline", "user"});
    EXPECT_EQ(taken.exitCode, 1);
    EXPECT_EQ(taken.err, "kestrix: Error saving list of accounts.\n");
    EXPECT_EQ(store.GetUser("user").GetName(), "User");
    EXPECT_TRUE(store.ExistsUser("caroline"));
    SClientResult ghost = Admin({"account", "rename", "ghost", "spirit"});
    EXPECT_EQ(ghost.exitCode, 1);
    EXPECT_EQ(ghost.err, "kestrix: No account with login \xE2\x80\x9Cghost\xE2\x80\x9D.\n");
    EXPECT_EQ(Admin({"account", "rename", "caroline"}).exitCode, 2);
}

TEST_F(CliAccounts, AnOrdinaryAccountIsRefused) {
    SClientResult list = test::RunClientBinary({"--login", "user", host, "account", "ls"});
    EXPECT_EQ(list.exitCode, 1);
    EXPECT_EQ(list.err, "kestrix: You are not allowed to administer accounts.\n");
    SClientResult add = test::RunClientBinary({"--login", "user", host, "account", "add", "z"});
    EXPECT_EQ(add.exitCode, 1);
    EXPECT_EQ(add.err, "kestrix: You are not allowed to create new accounts.\n");
}

}  // namespace
}  // namespace kx
