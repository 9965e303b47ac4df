// Login and presence against the real server binary: the head administrator created from the
// environment logs in, receives the full privilege set, a wrong password is refused, and a second
// login of the account arrives in the first one's notices and in the user list. Logins whose log
// line cannot be written reset the server, which serves on.
#include <gtest/gtest.h>

#include <cstdlib>

#include "accounts/admin_check.h"
#include "protocol/transaction_types.h"
#include "protocol/user_data.h"
#include "server/wire_session.h"

namespace kx {
namespace {

using test::Bytes;
using test::CFieldListBuilder;
using test::CTestClient;
using test::STestTransaction;

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
    admin.SendRequest(kTranLogin, test::LoginFields("Admin", "root", "op", 411));
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
    other.SendRequest(kTranLogin, test::LoginFields("admin", "wrong", "x", 411));
    reply = ReadUntil(other, 0, true);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->hdr.error, 1u);
    EXPECT_EQ(test::ReplyOf(*reply).Text(kFieldErrorText), "Incorrect login.");

    CTestClient second;
    ASSERT_TRUE(second.Connect(server.Port()));
    ASSERT_EQ(second.Establish(), 0u);
    second.SendRequest(kTranLogin, test::LoginFields("admin", "root", "second", 411));
    ASSERT_TRUE(ReadUntil(second, kTranShowAgreement));

    auto notice = ReadUntil(admin, kTranClientUserInfo);
    ASSERT_TRUE(notice);
    const test::STestReply info = test::ReplyOf(*notice);
    EXPECT_EQ(info.Text(kFieldUserName), "second");
    EXPECT_EQ(info.Int(kFieldUserFlags), 0x12);

    const std::uint32_t id = second.SendRequest(kTranGetUserNameList, CFieldListBuilder().Build());
    auto list = second.ReadReplyTo(id);
    ASSERT_TRUE(list);
    auto fields = test::ParseFieldList(list->data);
    ASSERT_TRUE(fields);
    ASSERT_EQ(fields->size(), 2u);
    EXPECT_EQ((*fields)[0].data, (Bytes{0, 1, 0x01, 0x9B, 0, 0x12, 0, 2, 'o', 'p'}));
    EXPECT_EQ((*fields)[1].data, (Bytes{0, 3, 0x01, 0x9B, 0, 0x12, 0, 6, 's', 'e', 'c', 'o', 'n', 'd'}));
}

// The connect log is switched on and a folder stands where its file should be, so every login
// is an error. 110 clients connect first (an admission clears the error count), then all log
// in: the 101st error arrives while a request is being served, and the reset that follows must
// wait until no client record is in use any more. Every client is dropped, the reset is logged,
// and the server serves on.
TEST(LoginWire, TooManyErrorsWhileClientsAreServedResetTheServerWhichServesOn) {
    test::TempDir dir;
    const std::string program = dir / "Server";
    const unsigned short port = test::WriteOpenPrefs(program);
    SMyPrefs prefs;
    ASSERT_TRUE(UMyPrefs::ReadPrefs(UMyPrefs::GetPrefsSpec(program), prefs));
    prefs.mOptions.nOpts |= kMyOptConnectLog;
    UMyPrefs::WritePrefs(UMyPrefs::GetPrefsSpec(program), prefs);
    UFileUtil::EnsureDirectory(program + "/Connect Log.txt");
    test::WriteAccount(program, "member", "pw", SMyUserAccess{});
    test::ServerProcess server(program, false, port);
    ASSERT_TRUE(server.Start()) << server.StdOut() << server.StdErr();

    constexpr int kClients = 110;
    std::vector<std::unique_ptr<CTestClient>> clients;
    for (int i = 0; i < kClients; ++i) {
        auto c = std::make_unique<CTestClient>(10000);
        c->SetSourceAddress(test::NextLoopbackSource());
        ASSERT_TRUE(c->Connect(port) && c->Establish() == std::optional<std::uint32_t>(0)) << i << c->LastError();
        clients.push_back(std::move(c));
    }
    for (int i = 0; i < kClients; ++i)
        ASSERT_NE(clients[i]->SendRequest(kTranLogin, test::LoginFields("member", "pw", "c" + std::to_string(i), 411)), 0u);

    EXPECT_TRUE(server.WaitForOutput("SERVER RESET - too many errors", 20000)) << server.StdErr();
    for (auto& c : clients) EXPECT_TRUE(c->WaitClosed());
    ASSERT_TRUE(server.IsRunning()) << server.StdErr();
    EXPECT_NE(server.StdErr().find("Too many errors! Resetting..."), std::string::npos);
    auto after = test::LogInOverWire(port, "member", "pw", "after", test::NextLoopbackSource());
    EXPECT_TRUE(after);
    EXPECT_EQ(server.StdErr().find("ERROR: AddressSanitizer"), std::string::npos) << server.StdErr();
    EXPECT_EQ(server.StdErr().find("runtime error"), std::string::npos) << server.StdErr();
}

}  // namespace
}  // namespace kx
