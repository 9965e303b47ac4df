// The console's commands on an in-process server: their answers and their effects on clients,
// on "pref", on "Banned" and on the accounts.
#include <gtest/gtest.h>

#include "accounts/admin_account.h"
#include "admin/ban_file.h"
#include "framework/file_util.h"
#include "protocol/transaction_types.h"
#include "server/app_fixture.h"

namespace kx::test {
namespace {

class ConsoleCommandsTest : public AppFixture {
protected:
    std::string Run(const std::string& line) { return mApp->ConsoleCommand(line); }

    SMyPrefs ReadPrefFile() {
        SMyPrefs p;
        UMyPrefs::ReadPrefs(UMyPrefs::GetPrefsSpec(mDir.Path()), p);
        return p;
    }

    // The next notice the client receives, with its kFieldData text.
    std::optional<std::pair<std::uint16_t, std::string>> Notice(CTestClient& c) {
        Pump();
        auto t = c.ReadTransaction(2000);
        if (!t) return std::nullopt;
        auto fields = ParseFieldList(t->data);
        if (!fields) return std::nullopt;
        const STestField* data = FindField(*fields, kFieldData);
        return std::make_pair(t->hdr.type, data ? data->Text() : std::string("(none)"));
    }
};

TEST_F(ConsoleCommandsTest, StatsShowTheEightFigures) {
    auto c = ConnectClient();
    ASSERT_TRUE(PumpUntil([&] { return mApp->Clients().size() == 1; }));
    EXPECT_EQ(Run("stats"),
              "Connected: 1\nDownloading: 0\nUploading: 0\nWaiting: 0\nPeak connections: 1\n"
              "Connection counter: 1\nDownload counter: 0\nUpload counter: 0\n");
    EXPECT_EQ(Run("   "), "");
    EXPECT_EQ(Run("# a comment"), "");
    EXPECT_EQ(Run("frobnicate now"), "Unknown command \"frobnicate\"; \"help\" lists the commands.\n");
    EXPECT_NE(Run("help").find("ban add RANGE [REASON]"), std::string::npos);
}

TEST_F(ConsoleCommandsTest, BroadcastReachesLoggedInClientsOnly) {
    auto in = ConnectClient();
    auto out = ConnectClient();
    ASSERT_TRUE(PumpUntil([&] { return mApp->Clients().size() == 2; }));
    mApp->Clients().front()->hasLoggedIn = true;
    EXPECT_EQ(Run("broadcast"), "Nothing to broadcast: give the text after \"broadcast\".\n");
    EXPECT_EQ(Run("broadcast Back in 5 min \xE2\x80\x94 caf\xC3\xA9"), "Sent to 1 client.\n");
    auto n = Notice(*in);
    ASSERT_TRUE(n);
    EXPECT_EQ(n->first, kTranServerMsg);
    EXPECT_EQ(n->second, "Back in 5 min \xD1 caf\x8E");  // Mac OS Roman em dash and é
    EXPECT_TRUE(out->ExpectSilence(100));
    EXPECT_EQ(Run("broadcast \xE4\xB8\xAD"),
              "Nothing sent: the text holds characters that clients cannot show (Mac OS Roman only).\n");
}

TEST_F(ConsoleCommandsTest, QuitAtOnceWritesTheOptions) {
    mApp->mServerName = "Renamed";
    EXPECT_EQ(Run("quit"), "Quitting.\n");
    EXPECT_TRUE(mApp->HasQuit());
    EXPECT_EQ(ReadPrefFile().mServerName.Str(), "Renamed");
}

TEST_F(ConsoleCommandsTest, FarewellQuitEndsWhenTheLastClientLeaves) {
    EXPECT_EQ(Run("cancel"), "No quit is under way.\n");
    auto c = ConnectClient();
    ASSERT_TRUE(PumpUntil([&] { return mApp->Clients().size() == 1; }));
    LogInNewest();
    EXPECT_EQ(Run("quit Maintenance, back soon"),
              "Farewell sent. The server quits when the last client has left (\"cancel\" keeps it running).\n");
    auto n = Notice(*c);
    ASSERT_TRUE(n);
    EXPECT_EQ(n->first, kTranServerQuitting);
    EXPECT_EQ(n->second, "Maintenance, back soon");
    EXPECT_TRUE(mApp->IsQuitting());
    EXPECT_FALSE(mApp->HasQuit());

    // A newcomer is turned away while the farewell is under way.
    CTestClient late(2000);
    ASSERT_TRUE(late.Connect(mPort));
    EXPECT_TRUE(ServerClosed(late));

    c->Close();
    EXPECT_TRUE(PumpUntil([&] { return mApp->HasQuit(); }));
}

TEST_F(ConsoleCommandsTest, CancelKeepsTheServerRunning) {
    auto c = ConnectClient();
    ASSERT_TRUE(PumpUntil([&] { return mApp->Clients().size() == 1; }));
    LogInNewest();
    Run("quit bye");
    EXPECT_EQ(Run("cancel"), "Quit cancelled.\n");
    c->Close();
    PumpUntil([&] { return mApp->Clients().empty(); });
    Pump();
    EXPECT_FALSE(mApp->HasQuit());
}

TEST_F(ConsoleCommandsTest, SetChangesOptionsAndThePortWaitsForTheNextStart) {
    const std::uint16_t oldPort = mPort;
    const unsigned short newPort = FindFreeBasePort();
    const std::string answer = Run("set port " + std::to_string(newPort));
    EXPECT_EQ(answer,
              "Changes of the Server IP or Port Number will only take effect after the server is restarted.\n"
              "Options saved.\n");
    EXPECT_EQ(mApp->ListenPort(), oldPort);
    EXPECT_EQ(ReadPrefFile().mOptions.nBasePortNum, newPort);

    EXPECT_EQ(Run("set max-connections-ip=2"), "Options saved.\n");
    EXPECT_EQ(mApp->Options().nMaxConnectionsIP, 2);  // at once
    EXPECT_EQ(Run("set max-connections-ip lots"),
              "bad value for max-connections-ip: a number from 0 to 65535 (0 = no limit). Nothing changed.\n");
    EXPECT_EQ(ReadPrefFile().mOptions.nMaxConnectionsIP, 2);
    EXPECT_NE(Run("options").find("max-connections-ip = 2\n"), std::string::npos);

    // Extended options: checked, written to "kestrix.conf", listed; a new certificate path is
    // tried at once and, when it cannot be loaded, the one in use stays.
    EXPECT_EQ(Run("set tls_port 70000"), "bad value for tls_port: a port number from 1 to 65535. Nothing changed.\n");
    EXPECT_EQ(Run("set tls_port=6004"),
              "Changes of tls_port take effect after the server is restarted.\nOptions saved.\n");
    const std::string fingerprint = mApp->TlsFingerprint();
    ASSERT_FALSE(fingerprint.empty());
    EXPECT_EQ(Run("set tls_certificate missing.pem"),
              "The certificate is loaded again for new connections (see the log).\nOptions saved.\n");
    EXPECT_EQ(mApp->TlsFingerprint(), fingerprint);
    EXPECT_EQ(ReadFileText(mDir / "kestrix.conf"), "tls_port = 6004\ntls_certificate = missing.pem\n");
    EXPECT_NE(Run("options").find("tls_port = 6004\ntls_transfer_port = (default: port + 5)\n"), std::string::npos);

    // The next start listens on the new port.
    mApp.reset();
    mApp = std::make_unique<CMyApplication>(mDir.Path());
    mApp->StartUp();
    EXPECT_EQ(mApp->ListenPort(), newPort);
    mPort = newPort;
    auto c = ConnectClient();
    EXPECT_TRUE(PumpUntil([&] { return mApp->Clients().size() == 1; }));
}

TEST_F(ConsoleCommandsTest, RegistrationNeedsANameAndATracker) {
    EXPECT_EQ(Run("set tracker-registration on"),
              "Tracker registration stays off: it needs a server name and at least one tracker.\nOptions saved.\n");
    EXPECT_EQ(mApp->Options().nOpts & kMyOptTracker, 0u);
    Run("set name Console Test");
    Run("set tracker1 127.0.0.1:9");
    EXPECT_EQ(Run("set tracker-registration on"), "Options saved.\n");
    EXPECT_TRUE(mApp->IsTrackerRunning());
    // Emptied: registration goes off.
    EXPECT_EQ(Run("set name"),
              "Tracker registration stays off: it needs a server name and at least one tracker.\nOptions saved.\n");
    EXPECT_FALSE(mApp->IsTrackerRunning());
    EXPECT_EQ(ReadPrefFile().mOptions.nOpts & kMyOptTracker, 0u);
}

TEST_F(ConsoleCommandsTest, BanAddedFromTheConsoleDisconnectsACoveredClient) {
    auto c = ConnectClient();
    ASSERT_TRUE(PumpUntil([&] { return mApp->Clients().size() == 1; }));
    EXPECT_EQ(Run("bans"), "No permanent bans.\n");
    EXPECT_EQ(Run("ban add junk-127.0.0.1"),
              "not an address range: use a.b.c.d, a.b.c.d-e.f.g.h, a.b.c.d+n or a.b.c.d/n. Nothing changed.\n");
    EXPECT_EQ(Run("ban add 127.0.0.9-127.0.0.1"), "the first address of the range is above the last. Nothing changed.\n");
    EXPECT_EQ(Run("ban add 10.0.0.0/8 spam"), "Ban added: 10.0.0.0/8. 0 client(s) disconnected.\n");
    TakeLogWindow();
    EXPECT_EQ(Run("ban add 127.0.0.0+5 local"), "Ban added: 127.0.0.0+5. 1 client(s) disconnected.\n");
    const std::string logged = TakeLogWindow();
    EXPECT_NE(logged.find("127.0.0.1"), std::string::npos);
    EXPECT_NE(logged.find("Disconnect & permanent ban \u201C" "127.0.0.1\u201D"), std::string::npos);

    auto n = Notice(*c);
    ASSERT_TRUE(n);
    EXPECT_EQ(n->first, kTranServerMsg);
    EXPECT_EQ(n->second, "You are permanently banned on this server.");
    EXPECT_TRUE(ServerClosed(*c));

    BanList onDisk;
    UBanFile::ReadPermBanInfo(mDir / "Banned", onDisk);
    ASSERT_EQ(onDisk.size(), 2u);
    EXPECT_EQ(onDisk[1].IPrangeToString(), "127.0.0.0+5");
    EXPECT_EQ(onDisk[1].description.Str(), "local");

    // Deactivated: kept in the file, no longer applied.
    EXPECT_EQ(Run("ban deactivate 2"), "Ban 127.0.0.0+5 deactivated.\n");
    EXPECT_FALSE(mApp->Bans().IsPermBanned(ToIPAddress(0x7F000001)));
    const std::string list = Run("bans");
    EXPECT_EQ(list.substr(0, 24), "1. active    10.0.0.0/8 ");
    EXPECT_NE(list.find("2. inactive  127.0.0.0+5  "), std::string::npos);
    EXPECT_EQ(Run("ban activate 2"), "Ban 127.0.0.0+5 activated.\n");
    EXPECT_TRUE(mApp->Bans().IsPermBanned(ToIPAddress(0x7F000001)));

    EXPECT_EQ(Run("ban remove 3"), "Give the number of a ban as \"bans\" lists it (1 to 2). Nothing changed.\n");
    EXPECT_EQ(Run("ban remove 1"), "Ban 10.0.0.0/8 removed.\n");
    EXPECT_EQ(Run("ban remove 1"), "Ban 127.0.0.0+5 removed.\n");
    EXPECT_EQ(Run("bans"), "No permanent bans.\n");
    EXPECT_FALSE(UFileUtil::Exists(mDir / "Banned"));
    EXPECT_TRUE(UFileUtil::Exists(mDir / "Banned.bak"));
}

TEST_F(ConsoleCommandsTest, HeadAdministratorAccount) {
    EXPECT_EQ(Run("admin"),
              "Head administrator: admin (the account does not exist: \"admin create admin PASSWORD\" creates it).\n");
    EXPECT_EQ(Run("admin create bad/name pw"),
              "Invalid Login: You have used invalid characters in your account login. It has been changed to a "
              "valid alternative. Try \"bad-name\". Nothing changed.\n");
    EXPECT_FALSE(mApp->Accounts().ExistsUser("bad-name"));
    EXPECT_EQ(Run("admin create Boss " + std::string(32, 'p')),
              "Please select a password that is no longer than 31 characters.\n");
    EXPECT_EQ(Run("admin create Boss secret"), "Account Boss created; it is now the head administrator.\n");
    SMyUserDataFile rec = mApp->Accounts().GetUser("Boss");
    EXPECT_FALSE(UAdminAccount::LacksFullAccess(rec));
    EXPECT_EQ(ReadPrefFile().mAdminLogin.Str(), "Boss");
    EXPECT_EQ(Run("admin"), "Head administrator: Boss.\n");

    // Privileges taken away elsewhere come back with a reset; the password stays.
    rec.access = SMyUserAccess{};
    mApp->Accounts().SetUser(rec);
    const auto passwordBefore = mApp->Accounts().GetUser("Boss").passwordSize;
    EXPECT_EQ(Run("admin reset"), "Full privileges of Boss restored.\n");
    rec = mApp->Accounts().GetUser("Boss");
    EXPECT_FALSE(UAdminAccount::LacksFullAccess(rec));
    EXPECT_EQ(rec.passwordSize, passwordBefore);

    EXPECT_EQ(Run("admin select nobody"), "There is no account nobody. Nothing changed.\n");
    EXPECT_EQ(Run("admin create admin pw"), "Account admin created; it is now the head administrator.\n");
    EXPECT_EQ(Run("admin select Boss"), "Head administrator is now Boss.\n");
    EXPECT_EQ(mApp->mAdminLogin, "Boss");
}

// A new head administrator login gets the start-up check: an account without a password, or
// none at all, is reported in the log as it would be at start-up.
TEST_F(ConsoleCommandsTest, ChangedHeadAdministratorIsCheckedAsAtStartUp) {
    SMyUserDataFile rec;
    rec.SetLogin("nopw");
    rec.SetName("nopw");
    rec.access = kFullAccessPrivs;
    mApp->Accounts().NewUser(rec);
    TakeLogWindow();
    EXPECT_EQ(Run("admin select nopw"), "Head administrator is now nopw.\n");
    Pump();
    Run("set admin-login ghost");
    Pump();
    const std::string log = TakeLogWindow();
    EXPECT_NE(log.find("The head administrator account \"nopw\" has no password: to set one, start the server from a "
                       "terminal or set KESTRIX_ADMIN_PASSWORD."),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("No head administrator account \"ghost\": to create it, start the server from a terminal or set "
                       "KESTRIX_ADMIN_PASSWORD."),
              std::string::npos)
        << log;
    EXPECT_EQ(ReadPrefFile().mAdminLogin.Str(), "ghost");
}

}  // namespace
}  // namespace kx::test
