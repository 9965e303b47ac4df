// The processing pass in-process: handshakes, admission limits, the request-rate rule, the
// pre-login rule, unknown types, the error count with its reset at the end of the pass, and the
// time rules on an injected clock.
#include "server/app_fixture.h"

#include <algorithm>

#include "framework/file_util.h"
#include "protocol/transaction_types.h"

namespace kx::test {
namespace {

class ProcessClientsTest : public AppFixture {};

TEST_F(ProcessClientsTest, StartUpCreatesFoldersAndMessageBoard) {
    for (const char* name : {"Users", "Files", "News"}) EXPECT_TRUE(UFileUtil::IsDirectory(mDir / name)) << name;
    EXPECT_TRUE(UFileUtil::Exists(mDir / "MessageBoard.txt"));
    EXPECT_EQ(mApp->ListenPort(), mPort);
}

TEST_F(ProcessClientsTest, HandshakeAdmitsClientsWithIncreasingIDs) {
    auto a = ConnectClient();
    auto b = ConnectClient();
    ASSERT_TRUE(PumpUntil([&] { return mApp->Clients().size() == 2; }));
    EXPECT_EQ(mApp->Clients().front()->userID, 1);
    EXPECT_EQ(mApp->Clients().back()->userID, 2);
    EXPECT_EQ(mApp->Stats().connCount, 2u);
    EXPECT_EQ(mApp->Stats().connCounter, 2u);
}

TEST_F(ProcessClientsTest, WrongSubProtocolIsRefusedWithCodeOne) {
    CTestClient c(2000);
    ASSERT_TRUE(c.Connect(mPort));
    ASSERT_TRUE(c.SendRaw(EstablishRequest("ABCD", 2)));
    Pump();
    auto reply = c.ReadExact(8, 2000);
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, (Bytes{'T', 'R', 'T', 'P', 0, 0, 0, 1}));
    EXPECT_TRUE(ServerClosed(c));
    EXPECT_TRUE(mApp->Clients().empty());
}

TEST_F(ProcessClientsTest, UnknownProtocolIsClosedWithoutReply) {
    CTestClient c(2000);
    ASSERT_TRUE(c.Connect(mPort));
    ASSERT_TRUE(c.SendRaw(EstablishRequest("KSTX", 2, 1, "XXXX")));
    std::size_t discarded = 99;
    bool closed = false;
    PumpUntil([&] { return closed = c.WaitClosed(1, &discarded); });
    EXPECT_TRUE(closed);
    EXPECT_EQ(discarded, 0u);
}

TEST_F(ProcessClientsTest, SubVersionThreeBecomesATransferConnectionNotAClient) {
    auto c = ConnectClient(3);
    Pump();
    EXPECT_TRUE(mApp->Clients().empty());
    EXPECT_EQ(mApp->Stats().connCounter, 0u);
}

TEST_F(ProcessClientsTest, RequestOtherThanLoginBeforeLoginClosesTheConnection) {
    auto c = ConnectClient();
    ASSERT_TRUE(PumpUntil([&] { return mApp->Clients().size() == 1; }));
    ASSERT_NE(c->SendRequest(kTranGetUserNameList, CFieldListBuilder().Build()), 0u);
    std::size_t discarded = 99;
    bool closed = false;
    PumpUntil([&] { return closed = c->WaitClosed(1, &discarded); });
    EXPECT_TRUE(closed);
    EXPECT_EQ(discarded, 0u);  // no reply at all
    EXPECT_TRUE(PumpUntil([&] { return mApp->Clients().empty(); }));
}

TEST_F(ProcessClientsTest, UnknownTypeAfterLoginGetsTheErrorAndTheConnectionStays) {
    auto c = ConnectClient();
    ASSERT_TRUE(PumpUntil([&] { return mApp->Clients().size() == 1; }));
    LogInNewest();
    for (std::uint16_t type : {std::uint16_t(999), kTranLogin, kTranAgreed}) {
        const std::uint32_t id = c->SendRequest(type, CFieldListBuilder().Build());
        Pump();
        auto reply = c->ReadReplyTo(id, 2000);
        ASSERT_TRUE(reply) << type;
        EXPECT_EQ(reply->hdr.isReply, 1);
        EXPECT_EQ(reply->hdr.type, 0);
        EXPECT_EQ(reply->hdr.error, 1u);
        EXPECT_EQ(ReplyOf(*reply).ErrorText(), "Unknown transaction type!");
    }
    EXPECT_EQ(mApp->Clients().size(), 1u);
}

TEST_F(ProcessClientsTest, The122ndRequestInAMinuteDisconnectsAndBans) {
    auto c = ConnectClient();
    ASSERT_TRUE(PumpUntil([&] { return mApp->Clients().size() == 1; }));
    LogInNewest();
    std::uint32_t lastID = 0;
    for (int i = 0; i < 121; ++i) lastID = c->SendRequest(999, CFieldListBuilder().Build());
    // All 121 are answered.
    Pump(50);
    int answered = 0;
    while (answered < 121) {
        auto t = c->ReadTransaction(2000);
        if (!t) break;
        if (t->hdr.isReply) ++answered;
        if (t->hdr.id == lastID) break;
        Pump(1);
    }
    EXPECT_EQ(answered, 121);
    EXPECT_FALSE(mApp->Bans().IsTempBanned(ToIPAddress(0x7F000001)));
    c->SendRequest(999, CFieldListBuilder().Build());
    EXPECT_TRUE(ServerClosed(*c));
    EXPECT_TRUE(PumpUntil([&] { return mApp->Clients().empty(); }));
    EXPECT_TRUE(mApp->Bans().IsTempBanned(ToIPAddress(0x7F000001)));
}

TEST_F(ProcessClientsTest, RequestWindowRestartsAfterSixtySeconds) {
    auto c = ConnectClient();
    ASSERT_TRUE(PumpUntil([&] { return mApp->Clients().size() == 1; }));
    LogInNewest();
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 100; ++i) c->SendRequest(999, CFieldListBuilder().Build());
        Pump(50);
        while (c->ReadTransaction(50)) Pump(1);
        AdvanceSeconds(61);
    }
    Pump();
    EXPECT_EQ(mApp->Clients().size(), 1u);
}

class PerAddressLimitTest : public AppFixture {
    void CustomizePrefs(SMyPrefs& prefs) override { prefs.mOptions.nMaxConnectionsIP = 2; }
};

TEST_F(PerAddressLimitTest, ConnectionPastTheLimitIsClosedAfterItsHandshakeReply) {
    auto a = ConnectClient();
    auto b = ConnectClient();
    ASSERT_TRUE(PumpUntil([&] { return mApp->Clients().size() == 2; }));
    auto c = ConnectClient();  // still gets its accepted handshake reply
    EXPECT_TRUE(ServerClosed(*c));
    EXPECT_EQ(mApp->Clients().size(), 2u);
}

class NoAddressLimitTest : public AppFixture {
    void CustomizePrefs(SMyPrefs& prefs) override { prefs.mOptions.nMaxConnectionsIP = 0; }
};

TEST_F(NoAddressLimitTest, TwelfthQuickConnectionIsBannedAndAnotherAddressStartsANewRun) {
    std::vector<std::unique_ptr<CTestClient>> clients;
    for (int i = 0; i < 11; ++i) clients.push_back(ConnectClient());
    ASSERT_TRUE(PumpUntil([&] { return mApp->Clients().size() == 11; }));
    EXPECT_FALSE(mApp->Bans().IsTempBanned(ToIPAddress(0x7F000001)));
    auto twelfth = ConnectClient();
    EXPECT_TRUE(ServerClosed(*twelfth));
    EXPECT_EQ(mApp->Clients().size(), 11u);
    EXPECT_TRUE(mApp->Bans().IsTempBanned(ToIPAddress(0x7F000001)));
}

TEST_F(ProcessClientsTest, SilentClientBeforeLoginIsDroppedAfterSixtySeconds) {
    auto c = ConnectClient();
    ASSERT_TRUE(PumpUntil([&] { return mApp->Clients().size() == 1; }));
    AdvanceSeconds(60);
    Pump();
    EXPECT_EQ(mApp->Clients().size(), 1u);
    AdvanceSeconds(2);
    EXPECT_TRUE(ServerClosed(*c));
    EXPECT_TRUE(PumpUntil([&] { return mApp->Clients().empty(); }));
}

TEST_F(ProcessClientsTest, SilentLoggedInClientIsMarkedAwayAndStays) {
    auto c = ConnectClient();
    ASSERT_TRUE(PumpUntil([&] { return mApp->Clients().size() == 1; }));
    SMyClient* client = LogInNewest();
    // Any request re-files the client under the logged-in rule.
    const std::uint32_t id = c->SendRequest(999, CFieldListBuilder().Build());
    Pump();
    ASSERT_TRUE(c->ReadReplyTo(id, 2000));
    AdvanceSeconds(599);
    Pump();
    EXPECT_FALSE(client->isAway);
    AdvanceSeconds(3);
    EXPECT_TRUE(PumpUntil([&] { return client->isAway; }));
    EXPECT_EQ(mApp->Clients().size(), 1u);
    // The next request brings it back.
    c->SendRequest(999, CFieldListBuilder().Build());
    EXPECT_TRUE(PumpUntil([&] { return !client->isAway; }));
}

TEST_F(ProcessClientsTest, FailedLoginWaitsThirtySecondsThenDisconnects) {
    auto c = ConnectClient();
    ASSERT_TRUE(PumpUntil([&] { return mApp->Clients().size() == 1; }));
    SMyClient* client = mApp->Clients().back().get();
    mApp->MarkLoginFailed(client);
    AdvanceSeconds(30);
    Pump();
    EXPECT_EQ(mApp->Clients().size(), 1u);
    AdvanceSeconds(2);
    EXPECT_TRUE(ServerClosed(*c));
}

TEST_F(ProcessClientsTest, TemporaryBanLastsThirtyMinutes) {
    mApp->AddTempBan(0x0A000001);
    EXPECT_TRUE(mApp->Bans().IsTempBanned(ToIPAddress(0x0A000001)));
    AdvanceSeconds(1799);
    EXPECT_TRUE(mApp->Bans().IsTempBanned(ToIPAddress(0x0A000001)));
    AdvanceSeconds(2);
    EXPECT_FALSE(mApp->Bans().IsTempBanned(ToIPAddress(0x0A000001)));
}

TEST_F(ProcessClientsTest, ClosedClientIsKilledAndTheOthersAreTold) {
    auto a = ConnectClient();
    auto b = ConnectClient();
    ASSERT_TRUE(PumpUntil([&] { return mApp->Clients().size() == 2; }));
    for (const auto& c : mApp->Clients()) c->hasLoggedIn = true;
    const std::uint16_t goneID = mApp->Clients().front()->userID;
    a->Close();
    ASSERT_TRUE(PumpUntil([&] { return mApp->Clients().size() == 1; }));
    auto notice = b->ReadTransaction(2000);
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->hdr.type, kTranClientLeft);
    EXPECT_EQ(notice->hdr.isReply, 0);
    EXPECT_EQ(ReplyOf(*notice).Int(kFieldUserID), goneID);
    EXPECT_EQ(mApp->Stats().connCount, 1u);
}

TEST_F(ProcessClientsTest, SavedPermanentBanDisconnectsCoveredClientsWithTheNotice) {
    auto c = ConnectClient();
    ASSERT_TRUE(PumpUntil([&] { return mApp->Clients().size() == 1; }));
    mApp->Bans().AddPermBan(ToIPAddress(0x7F000000), ToIPAddress(0x7F0000FF), "test");
    EXPECT_TRUE(UFileUtil::Exists(mDir / "Banned"));
    mApp->DisconnectPermBan();
    Pump();
    auto notice = c->ReadTransaction(2000);
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->hdr.type, kTranServerMsg);
    EXPECT_EQ(ReplyOf(*notice).Text(kFieldData), "You are permanently banned on this server.");
    EXPECT_TRUE(ServerClosed(*c));
    EXPECT_TRUE(PumpUntil([&] { return mApp->Clients().empty(); }));
}

TEST_F(ProcessClientsTest, ErrorWindowCountsAndResetsAfterAHundred) {
    auto c = ConnectClient();
    ASSERT_TRUE(PumpUntil([&] { return mApp->Clients().size() == 1; }));
    SError err(kErrClassFileSys, kErrFileNotFound);
    for (int i = 0; i < 100; ++i) mApp->Error(err);
    EXPECT_EQ(mApp->ErrorCount(), 100);
    EXPECT_EQ(mApp->ResetCount(), 0);
    mApp->Error(err);  // the 101st within the window
    // Not while the error is being handled (a client's request may still be running): once
    // the pass is over, and then every client is dropped.
    EXPECT_EQ(mApp->ResetCount(), 0);
    EXPECT_EQ(mApp->Clients().size(), 1u);
    EXPECT_TRUE(PumpUntil([&] { return mApp->ResetCount() == 1; }));
    EXPECT_TRUE(mApp->Clients().empty());
    EXPECT_TRUE(ServerClosed(*c));
    // A new window after 300 seconds starts at one.
    AdvanceSeconds(301);
    mApp->Error(err);
    EXPECT_EQ(mApp->ErrorCount(), 1);
    const std::string log = ReadFileText(mDir / "Error Log.txt");
    EXPECT_NE(log.find("ID 4/103"), std::string::npos);

    // The eleventh reset without a client admitted in between ends the program.
    EXPECT_EXIT(
        {
            for (int reset = 1; reset <= 11; ++reset) {
                for (int i = 0; i < 101; ++i) mApp->Error(err);
                mApp->ProcessPass();
            }
        },
        ::testing::ExitedWithCode(EXIT_FAILURE), "Too many resets! Terminating");
}

TEST_F(ProcessClientsTest, NewRefNumNeverHasAZeroHighHalf) {
    for (int i = 0; i < 70000; ++i) EXPECT_NE(mApp->NewRefNum() >> 16, 0u);
}

TEST_F(ProcessClientsTest, QuitWritesTheOptionsFile) {
    std::remove((mDir / "pref").c_str());
    mApp->mServerName = "Renamed";
    mApp->Quit();
    SMyPrefs prefs;
    EXPECT_TRUE(UMyPrefs::ReadPrefs(mDir / "pref", prefs));
    EXPECT_EQ(prefs.mServerName.Str(), "Renamed");
    EXPECT_EQ(prefs.mOptions.nBasePortNum, mPort);
}

}  // namespace
}  // namespace kx::test
