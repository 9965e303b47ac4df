// Login and presence against the real server binary: the head administrator created from the
// environment logs in, receives the full privilege set, a wrong password is refused, and a second
// login of the account arrives in the first one's notices and in the user list.
#include <gtest/gtest.h>

#include <cstdlib>

#include "accounts/admin_check.h"
#include "protocol/transaction_types.h"
#include "protocol/user_data.h"
#include "support/server_process.h"
#include "support/test_client.h"

namespace kx {
namespace {

using test::Bytes;
using test::CFieldListBuilder;
using test::CTestClient;
using test::STestTransaction;

Bytes Login(const std::string& login, const std::string& password, const std::string& name) {
    return CFieldListBuilder()
        .Add(kFieldUserLogin, UUserData::Complement(login))
        .Add(kFieldUserPassword, UUserData::Complement(password))
        .AddInt(kFieldVersion, 190)
        .Add(kFieldUserName, name)
        .AddInt(kFieldIconID, 411)
        .Build();
}

// Reads until a transaction of `type` arrives (a reply when type is 0).
std::optional<STestTransaction> ReadUntil(CTestClient& c, std::uint16_t type, bool reply = false) {
    while (auto t = c.ReadTransaction(3000)) {
        if (reply ? t->hdr.isReply == 1 : (t->hdr.isReply == 0 && t->hdr.type == type)) return t;
    }
    return std::nullopt;
}

TEST(LoginWire, TwoAdministratorLoginsSeeEachOther) {
    test::TempDir dir;
    test::ServerProcess server(dir.Path());
    ::setenv(UAdminCheck::kAdminPasswordEnv, "root", 1);
    const bool started = server.Start();
    ::unsetenv(UAdminCheck::kAdminPasswordEnv);
    ASSERT_TRUE(started) << server.StdOut() << server.StdErr();

    CTestClient admin;
    ASSERT_TRUE(admin.Connect(server.Port()));
    ASSERT_EQ(admin.Establish(), 0u);
    admin.SendRequest(kTranLogin, Login("Admin", "root", "op"));
    auto reply = ReadUntil(admin, 0, true);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->hdr.error, 0u);
    auto access = ReadUntil(admin, kTranUserAccess);
    ASSERT_TRUE(access);
    // 00 01 field count, id 110, size 8, then FF F3 CF EF FF 80 00 00.
    EXPECT_EQ(access->data, (Bytes{0, 1, 0, 110, 0, 8, 0xFF, 0xF3, 0xCF, 0xEF, 0xFF, 0x80, 0, 0}));
    ASSERT_TRUE(ReadUntil(admin, kTranShowAgreement));

    // A wrong password from a second client is refused with the text.
    CTestClient other;
    ASSERT_TRUE(other.Connect(server.Port()));
    ASSERT_EQ(other.Establish(), 0u);
    other.SendRequest(kTranLogin, Login("admin", "wrong", "x"));
    reply = ReadUntil(other, 0, true);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->hdr.error, 1u);
    auto fields = test::ParseFieldList(reply->data);
    ASSERT_TRUE(fields);
    ASSERT_NE(test::FindField(*fields, kFieldErrorText), nullptr);
    EXPECT_EQ(test::FindField(*fields, kFieldErrorText)->Text(), "Incorrect login.");

    CTestClient second;
    ASSERT_TRUE(second.Connect(server.Port()));
    ASSERT_EQ(second.Establish(), 0u);
    second.SendRequest(kTranLogin, Login("admin", "root", "second"));
    ASSERT_TRUE(ReadUntil(second, kTranShowAgreement));

    auto notice = ReadUntil(admin, kTranClientUserInfo);
    ASSERT_TRUE(notice);
    fields = test::ParseFieldList(notice->data);
    ASSERT_TRUE(fields);
    EXPECT_EQ(test::FindField(*fields, kFieldUserName)->Text(), "second");
    EXPECT_EQ(test::FindField(*fields, kFieldUserFlags)->Int(), 0x12);

    const std::uint32_t id = second.SendRequest(kTranGetUserNameList, CFieldListBuilder().Build());
    auto list = second.ReadReplyTo(id);
    ASSERT_TRUE(list);
    fields = test::ParseFieldList(list->data);
    ASSERT_TRUE(fields);
    ASSERT_EQ(fields->size(), 2u);
    EXPECT_EQ((*fields)[0].data, (Bytes{0, 1, 0x01, 0x9B, 0, 0x12, 0, 2, 'o', 'p'}));
    EXPECT_EQ((*fields)[1].data, (Bytes{0, 3, 0x01, 0x9B, 0, 0x12, 0, 6, 's', 'e', 'c', 'o', 'n', 'd'}));
}

}  // namespace
}  // namespace kx
