// Signing in over loopback: replies and refusals, guest and case-insensitive logins, logins
// completed by kTranAgreed, the agreement notice, kTranUserAccess, what the other users are told,
// the ban refusals and the connect log line.
#include <filesystem>

#include "framework/file_util.h"
#include "server/login_helpers.h"

namespace kx::test {
namespace {

class LoginTest : public LoginFixture {
    void CustomizePrefs(SMyPrefs& prefs) override { prefs.mServerName.Set("Test Server"); }
};

const SMyUserAccess kChatter = SMyUserAccess::FromBits({myAcc_ReadChat, myAcc_SendChat, myAcc_AnyName});

TEST_F(LoginTest, LoginWithNameAndIconRepliesGrantsAccessAndShowsTheAgreement) {
    MakeAccount("alice", "secret", "Alice Account", kChatter);
    std::filesystem::create_directories(mDir / "Users/alice/Files");
    auto c = Connect();
    const std::uint32_t id = c->SendRequest(kTranLogin, LoginFields("alice", "secret", "Ally", 128, 191));
    SReceived r = Drain(*c);

    ASSERT_EQ(r.all.size(), 3u);
    // The reply first: version 192, community 0, the server's name, nothing else.
    const STestTransaction& reply = r.all[0];
    EXPECT_EQ(reply.hdr.isReply, 1);
    EXPECT_EQ(reply.hdr.id, id);
    EXPECT_EQ(reply.hdr.error, 0u);
    const auto fields = Fields(reply);
    ASSERT_EQ(fields.size(), 3u);
    EXPECT_EQ(fields[0].id, kFieldVersion);
    EXPECT_EQ(fields[0].data, (Bytes{0x00, 0xC0}));
    EXPECT_EQ(fields[1].id, kFieldCommunityID);
    EXPECT_EQ(fields[1].Int(), 0);
    EXPECT_EQ(fields[2].id, kFieldServerName);
    EXPECT_EQ(fields[2].Text(), "Test Server");
    // Then the privileges, then the agreement; the user is not told about itself.
    EXPECT_EQ(r.all[1].hdr.type, kTranUserAccess);
    const auto access = Fields(r.all[1]);
    ASSERT_EQ(access.size(), 1u);
    EXPECT_EQ(access[0].id, kFieldUserAccess);
    EXPECT_EQ(access[0].data, Bytes(kChatter.bytes.begin(), kChatter.bytes.end()));
    EXPECT_EQ(r.all[2].hdr.type, kTranShowAgreement);
    EXPECT_TRUE(r.Notices(kTranClientUserInfo).empty());

    SMyClient* client = Newest();
    EXPECT_TRUE(client->hasLoggedIn);
    EXPECT_EQ(client->accountLogin, "alice");
    // The roots come from the account once, at login: its own "Files", the shared "News".
    EXPECT_EQ(client->filesRoot, mDir / "Users/alice/Files");
    EXPECT_EQ(client->newsRoot, mDir / "News");
    EXPECT_EQ(client->accountName, "Alice Account");
    EXPECT_EQ(client->realName, "Ally");
    EXPECT_EQ(client->userName, "Ally");  // myAcc_AnyName
    EXPECT_EQ(client->iconID, 128);
    EXPECT_EQ(client->vers, 191u);
    EXPECT_EQ(client->access, kChatter);
}

TEST_F(LoginTest, OtherUsersAreToldOfTheNewUserAndTheNewUserIsNot) {
    MakeAccount("alice", "a", "Alice", kChatter);
    MakeAccount("bob", "b", "Bob", SMyUserAccess{});
    auto b = ConnectAndLogIn("bob", "b", "bobby", 200);
    const std::uint16_t bobID = Newest()->userID;
    Drain(*b);
    auto waiting = Connect();  // connected but not logged in: told nothing
    auto a = ConnectAndLogIn("alice", "a", "Ally", 130);
    const std::uint16_t aliceID = Newest()->userID;

    SReceived atBob = Drain(*b);
    const auto notices = atBob.Notices(kTranClientUserInfo);
    ASSERT_EQ(notices.size(), 1u);
    const auto f = Fields(*notices[0]);
    ASSERT_EQ(f.size(), 4u);
    EXPECT_EQ(f[0].id, kFieldUserID);
    EXPECT_EQ(f[0].Int(), aliceID);
    EXPECT_EQ(f[1].id, kFieldIconID);
    EXPECT_EQ(f[1].Int(), 130);
    EXPECT_EQ(f[2].id, kFieldUserFlags);
    EXPECT_EQ(f[2].Int(), 0);
    EXPECT_EQ(f[3].id, kFieldUserName);
    EXPECT_EQ(f[3].Text(), "Ally");
    EXPECT_TRUE(Drain(*waiting).all.empty());
    EXPECT_NE(bobID, aliceID);
}

TEST_F(LoginTest, WrongPasswordAndUnknownAccountAreIncorrectLogins) {
    MakeAccount("alice", "secret", "Alice", kChatter);
    struct SCase {
        const char* login;
        const char* password;
    };
    for (SCase k : {SCase{"alice", "Secret"}, SCase{"alice", "secret "}, SCase{"alice", ""}, SCase{"nobody", "x"},
                    SCase{"../Users", "x"}}) {
        auto c = Connect();
        const std::uint32_t id = c->SendRequest(kTranLogin, LoginFields(k.login, k.password, "n", 1));
        SReceived r = Drain(*c);
        ASSERT_EQ(r.all.size(), 1u) << k.login << "/" << k.password;
        EXPECT_EQ(r.all[0].hdr.id, id);
        EXPECT_EQ(r.all[0].hdr.error, 1u);
        EXPECT_EQ(FieldText(r.all[0], kFieldErrorText), "Incorrect login.");
        SMyClient* client = Newest();
        EXPECT_FALSE(client->hasLoggedIn);
        EXPECT_NE(client->loginFailedSecs, 0u);
        EXPECT_TRUE(client->accountLogin.empty());
    }
}

TEST_F(LoginTest, AfterAFailedLoginNothingMoreIsReadAndTheConnectionClosesAfterThirtySeconds) {
    MakeAccount("alice", "secret", "Alice", kChatter);
    auto c = Connect();
    c->SendRequest(kTranLogin, LoginFields("alice", "wrong", "n", 1));
    ASSERT_EQ(Drain(*c).all.size(), 1u);
    // Even the right password is not looked at any more.
    c->SendRequest(kTranLogin, LoginFields("alice", "secret", "n", 1));
    EXPECT_TRUE(Drain(*c).all.empty());
    EXPECT_FALSE(Newest()->hasLoggedIn);
    AdvanceSeconds(29);
    Pump();
    EXPECT_EQ(mApp->Clients().size(), 1u);
    AdvanceSeconds(3);
    EXPECT_TRUE(ServerClosed(*c));
}

TEST_F(LoginTest, EmptyLoginIsTheGuestAccountWhosePasswordMustMatch) {
    {
        // No guest account: refused.
        auto c = Connect();
        c->SendRequest(kTranLogin, LoginFields("", "", "visitor", 1));
        EXPECT_EQ(OnlyErrorText(*c), "Incorrect login.");
    }
    MakeAccount("guest", "gpw", "Guest", SMyUserAccess{});
    {
        auto c = Connect();
        c->SendRequest(kTranLogin, LoginFields("", "", "visitor", 1));
        EXPECT_EQ(OnlyErrorText(*c), "Incorrect login.");
    }
    auto c = ConnectAndLogIn("", "gpw", "visitor", 1);
    EXPECT_EQ(Newest()->accountLogin, "guest");
    // Without myAcc_AnyName the account's name is shown.
    EXPECT_EQ(Newest()->userName, "Guest");
    EXPECT_EQ(Newest()->realName, "visitor");
}

TEST_F(LoginTest, UpperCaseLoginFindsTheAccountAndIsKeptInLowerCase) {
    MakeAccount("alice", "pw", "Alice", kChatter);
    auto c = ConnectAndLogIn("ALICE", "pw", "A", 1);
    EXPECT_EQ(Newest()->accountLogin, "alice");
    // A carriage return in a login becomes "-".
    MakeAccount("x-y", "pw", "XY", kChatter);
    auto d = ConnectAndLogIn("X\rY", "pw", "B", 1);
    EXPECT_EQ(Newest()->accountLogin, "x-y");
}

TEST_F(LoginTest, LoginWithoutNameOrIconCompletesOnlyWithAgreed) {
    MakeAccount("alice", "pw", "Alice", kChatter);
    MakeAccount("bob", "b", "Bob", SMyUserAccess{});
    auto b = ConnectAndLogIn("bob", "b", "bobby", 1);
    Drain(*b);

    auto a = Connect();
    SMyClient* alice = Newest();
    // A name but icon 0 does not complete the login.
    a->SendRequest(kTranLogin, LoginFields("alice", "pw", "Ally", 0));
    SReceived r = Drain(*a);
    ASSERT_EQ(r.all.size(), 2u);
    EXPECT_EQ(r.all[0].hdr.error, 0u);
    EXPECT_EQ(r.all[1].hdr.type, kTranShowAgreement);
    EXPECT_FALSE(alice->hasLoggedIn);
    EXPECT_EQ(alice->accountLogin, "alice");
    EXPECT_TRUE(Drain(*b).all.empty());

    const Bytes agreed = CFieldListBuilder()
                             .Add(kFieldUserName, "Ally")
                             .AddInt(kFieldIconID, 140)
                             .AddInt(kFieldOptions, 0x03)
                             .Build();
    const std::uint32_t id = a->SendRequest(kTranAgreed, agreed);
    r = Drain(*a);
    ASSERT_EQ(r.all.size(), 2u);
    EXPECT_EQ(r.all[0].hdr.id, id);
    EXPECT_EQ(r.all[0].hdr.error, 0u);
    EXPECT_EQ(r.all[0].data, (Bytes{0, 0}));
    EXPECT_EQ(r.all[1].hdr.type, kTranUserAccess);
    EXPECT_TRUE(alice->hasLoggedIn);
    EXPECT_EQ(alice->iconID, 140);
    EXPECT_TRUE(alice->bRefusePrivateMsg);
    EXPECT_TRUE(alice->bRefusePrivateChat);

    SReceived atBob = Drain(*b);
    const auto notices = atBob.Notices(kTranClientUserInfo);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(FieldInt(*notices[0], kFieldUserFlags), 0x04 | 0x08);
    EXPECT_EQ(FieldText(*notices[0], kFieldUserName), "Ally");

    // Once complete, another kTranAgreed is an unknown request.
    a->SendRequest(kTranAgreed, agreed);
    EXPECT_EQ(OnlyErrorText(*a), "Unknown transaction type!");
}

TEST_F(LoginTest, AgreedWithoutASuccessfulLoginIsRefusedAndWaitsLikeAFailedLogin) {
    auto c = Connect();
    c->SendRequest(kTranAgreed, CFieldListBuilder().Add(kFieldUserName, "x").AddInt(kFieldIconID, 1).Build());
    SReceived r = Drain(*c);
    ASSERT_EQ(r.all.size(), 1u);
    EXPECT_EQ(r.all[0].hdr.error, 1u);
    EXPECT_EQ(FieldText(r.all[0], kFieldErrorText), "Cannot read account \xD2\xD3.");
    EXPECT_FALSE(Newest()->hasLoggedIn);
    EXPECT_NE(Newest()->loginFailedSecs, 0u);
    AdvanceSeconds(32);
    EXPECT_TRUE(ServerClosed(*c));
}

TEST_F(LoginTest, AgreedWhenTheAccountVanishedAfterLoginIsRefused) {
    MakeAccount("alice", "pw", "Alice", kChatter);
    auto c = Connect();
    c->SendRequest(kTranLogin, LoginFields("alice", "pw"));
    Drain(*c);
    mApp->Accounts().DeleteUser("alice");
    c->SendRequest(kTranAgreed, CFieldListBuilder().Add(kFieldUserName, "x").AddInt(kFieldIconID, 1).Build());
    EXPECT_EQ(OnlyErrorText(*c), "Cannot read account \xD2" "alice\xD3.");
    EXPECT_NE(Newest()->loginFailedSecs, 0u);
}

TEST_F(LoginTest, AgreementNoticeCarriesTheTextOrNothingOrTheNoAgreementFlag) {
    MakeAccount("plain", "pw", "Plain", kChatter);
    SMyUserAccess skip = kChatter;
    skip.SetPriv(myAcc_NoAgreement);
    MakeAccount("skip", "pw", "Skip", skip);

    auto agreementOf = [&](const std::string& login) {
        auto c = Connect();
        c->SendRequest(kTranLogin, LoginFields(login, "pw", "n", 1));
        SReceived r = Drain(*c);
        const auto n = r.Notices(kTranShowAgreement);
        EXPECT_EQ(n.size(), 1u);
        return n.empty() ? std::vector<STestField>{} : Fields(*n[0]);
    };
    // No Agreement.txt: a notice without fields.
    EXPECT_TRUE(agreementOf("plain").empty());

    WriteFileText(mDir / "Agreement.txt", "Be nice.\r\nNo spam.\nThanks\r");
    mApp->LoadAgreement(true);
    auto f = agreementOf("plain");
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].id, kFieldData);
    EXPECT_EQ(f[0].Text(), "Be nice.\rNo spam.\rThanks\r");

    f = agreementOf("skip");
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].id, kFieldNoServerAgreement);
    EXPECT_EQ(f[0].Int(), 1);
}

TEST_F(LoginTest, BannedAddressesAreRefusedBeforeTheLoginIsRead) {
    MakeAccount("alice", "pw", "Alice", kChatter);
    const SIPAddress loopback = ToIPAddress(0x7F000001);
    auto c = Connect();  // admitted before the ban
    mApp->Bans().AddTempBan(loopback);
    c->SendRequest(kTranLogin, LoginFields("alice", "pw", "n", 1));
    SReceived r = Drain(*c);
    ASSERT_EQ(r.all.size(), 1u);
    EXPECT_EQ(r.all[0].hdr.error, 1u);
    EXPECT_EQ(FieldText(r.all[0], kFieldErrorText), "You are temporarily banned on this server.");
    EXPECT_NE(Newest()->loginFailedSecs, 0u);
    EXPECT_TRUE(Newest()->accountLogin.empty());

    auto d = Connect();
    mApp->Bans().AddPermBan(loopback, loopback, "test");
    // The permanent ban is looked at first, and nothing of the request matters.
    d->SendRequest(kTranLogin, CFieldListBuilder().Build());
    EXPECT_EQ(OnlyErrorText(*d), "You are permanently banned on this server.");
}

TEST_F(LoginTest, TemporaryBanEndsAfterThirtyMinutes) {
    MakeAccount("alice", "pw", "Alice", kChatter);
    mApp->Bans().AddTempBan(ToIPAddress(0x7F000001));
    AdvanceSeconds(1799);
    {
        auto c = Connect();
        c->SendRequest(kTranLogin, LoginFields("alice", "pw", "n", 1));
        EXPECT_EQ(OnlyErrorText(*c), "You are temporarily banned on this server.");
    }
    AdvanceSeconds(1);
    auto c = ConnectAndLogIn("alice", "pw", "n", 1);
}

TEST_F(LoginTest, DamagedAccountRecordIsReportedWithTheErrorTexts) {
    const std::string folder = mDir / "Users/bob";
    UFileUtil::EnsureDirectory(folder);
    WriteFileText(folder + "/UserData", std::string(733, '\0'));
    auto c = Connect();
    c->SendRequest(kTranLogin, LoginFields("bob", "x", "n", 1));
    SReceived r = Drain(*c);
    ASSERT_EQ(r.all.size(), 1u);
    const std::string text = FieldText(r.all[0], kFieldErrorText);
    const std::string head = "Cannot read account \xD2" "bob\xD3:\r" + UError::GetMessage(SError(1, 8)) + "\rID 1/8";
    EXPECT_EQ(text.substr(0, head.size()), head) << text;
    // The detail text is cut to 31 characters.
    const std::string detail = text.substr(text.rfind('\r') + 1);
    EXPECT_LE(detail.size(), 31u);
    EXPECT_EQ(detail.substr(0, 6), "ID 1/8");
    EXPECT_NE(Newest()->loginFailedSecs, 0u);
}

class ConnectLogTest : public LoginFixture {
    void CustomizePrefs(SMyPrefs& prefs) override { prefs.mOptions.nOpts |= kMyOptConnectLog; }
};

TEST_F(ConnectLogTest, CompletedLoginsWriteOneLineEachAndIncompleteOnesNone) {
    MakeAccount("alice", "pw", "Alice", kChatter);
    auto a = ConnectAndLogIn("alice", "pw", "Ally", 1);
    auto b = Connect();
    b->SendRequest(kTranLogin, LoginFields("alice", "pw"));  // waits for kTranAgreed
    Drain(*b);
    auto bad = Connect();
    bad->SendRequest(kTranLogin, LoginFields("alice", "nope", "x", 1));
    Drain(*bad);

    const std::string log = ReadFileText(mDir / "Connect Log.txt");
    const std::string header = "Date/time\tAddress\tAccount\tName\r";
    ASSERT_EQ(log.substr(0, header.size()), header);
    const std::string line = log.substr(header.size());
    // "MM/DD/YYYY HH:MM:SS", then the address, the account and the shown name.
    ASSERT_EQ(line.size(), 19u + std::string("\t127.0.0.1\talice\tAlly\r").size()) << line;
    EXPECT_EQ(line.substr(19), "\t127.0.0.1\talice\tAlly\r");

    b->SendRequest(kTranAgreed, CFieldListBuilder().Add(kFieldUserName, "Second").AddInt(kFieldIconID, 1).Build());
    Drain(*b);
    const std::string log2 = ReadFileText(mDir / "Connect Log.txt");
    EXPECT_EQ(log2.substr(log2.size() - std::string("\t127.0.0.1\talice\tSecond\r").size()),
              "\t127.0.0.1\talice\tSecond\r");
}

}  // namespace
}  // namespace kx::test
