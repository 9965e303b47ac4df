// The console of the real server binary: commands typed on a pipe into its standard input,
// the end of that input, SIGHUP, and the command-line equivalents for unattended set-up.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>

#include "accounts/account_store.h"
#include "admin/ban_file.h"
#include "news/news_database.h"
#include "protocol/transaction_types.h"
#include "protocol/user_data.h"
#include "server/pref_file.h"
#include "support/server_process.h"
#include "support/test_client.h"

namespace kx::test {
namespace {

SMyPrefs ReadPref(const TempDir& dir) {
    SMyPrefs p;
    UMyPrefs::ReadPrefs(UMyPrefs::GetPrefsSpec(dir.Path()), p);
    return p;
}

std::unique_ptr<CTestClient> Establish(unsigned short port) {
    auto c = std::make_unique<CTestClient>();
    EXPECT_TRUE(c->Connect(port)) << c->LastError();
    EXPECT_TRUE(c->SendRaw(EstablishRequest("KSTX", 2)));
    auto reply = c->ReadExact(8);
    EXPECT_TRUE(reply && std::string(reply->begin(), reply->begin() + 4) == "TRTP");
    return c;
}

// Runs the binary with `args` and returns its exit code.
int RunBinary(const std::string& args, const TempDir& dir) {
    const std::string cmd = std::string(KX_SERVER_BINARY) + " --dir " + dir.Path() + " " + args + " >" +
                            (dir / "cli.out") + " 2>" + (dir / "cli.err") + " </dev/null";
    const int st = std::system(cmd.c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

TEST(ConsoleProcess, CommandsOnAPipeThenEndOfInputAndSighupKeepServing) {
    TempDir dir;
    ServerProcess server(dir.Path());
    server.UseStdinPipe();
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WriteStdin("stats\nbogus\n"));
    EXPECT_TRUE(server.WaitForOutput("Connected: 0\nDownloading: 0\nUploading: 0\nWaiting: 0\n"));
    EXPECT_TRUE(server.WaitForOutput("Unknown command \"bogus\""));

    server.CloseStdin();
    ASSERT_TRUE(server.Signal(SIGHUP));
    auto c = Establish(server.Port());
    EXPECT_TRUE(server.IsRunning());
    c.reset();
    const int status = server.Stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(server.StdErr().find("ERROR"), std::string::npos) << server.StdErr();
}

TEST(ConsoleProcess, ConsoleBanDisconnectsAConnectedClientWithItsNotice) {
    TempDir dir;
    ServerProcess server(dir.Path());
    server.UseStdinPipe();
    ASSERT_TRUE(server.Start());
    auto c = Establish(server.Port());
    ASSERT_TRUE(server.WriteStdin("ban add 127.0.0.1 testing\n"));
    auto t = c->ReadTransaction(5000);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->hdr.type, kTranServerMsg);
    auto fields = ParseFieldList(t->data);
    ASSERT_TRUE(fields && FindField(*fields, kFieldData));
    EXPECT_EQ(FindField(*fields, kFieldData)->Text(), "You are permanently banned on this server.");
    EXPECT_TRUE(c->WaitClosed(5000));
    EXPECT_TRUE(server.WaitForOutput("Ban added: 127.0.0.1. 1 client(s) disconnected."));
    EXPECT_FALSE(ReadFileText(dir / "Banned").empty());
}

TEST(ConsoleProcess, FarewellQuitOnAPipeWaitsForTheLastClient) {
    TempDir dir;
    for (const char* folder : {"Users", "Trash"}) std::filesystem::create_directories(dir / folder);
    CMyAccountStore store(dir / "Users", dir / "Trash");
    SMyUserDataFile rec;
    rec.SetLogin("visitor");
    rec.SetName("Visitor");
    rec.SetPassword(UUserData::EncodeText("pw"));
    store.NewUser(rec);

    ServerProcess server(dir.Path());
    server.UseStdinPipe();
    ASSERT_TRUE(server.Start());
    auto c = Establish(server.Port());
    const std::uint32_t id = c->SendRequest(kTranLogin, test::LoginFields("visitor", "pw", "Visitor", 128));
    auto reply = c->ReadReplyTo(id);
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->hdr.error, 0u);

    ASSERT_TRUE(server.WriteStdin("quit See you tomorrow\n"));
    bool sawFarewell = false;
    while (auto t = c->ReadTransaction(3000)) {
        if (t->hdr.type != kTranServerQuitting) continue;
        auto fields = ParseFieldList(t->data);
        ASSERT_TRUE(fields && FindField(*fields, kFieldData));
        EXPECT_EQ(FindField(*fields, kFieldData)->Text(), "See you tomorrow");
        sawFarewell = true;
        break;
    }
    EXPECT_TRUE(sawFarewell);
    int status = -1;
    EXPECT_FALSE(server.WaitExit(500, &status)) << "quit before the last client left";
    c->Close();
    ASSERT_TRUE(server.WaitExit(60000, &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(ConsoleProcess, PortChangedOnTheConsoleAppliesAtTheNextStart) {
    TempDir dir;
    ServerProcess server(dir.Path());
    server.UseStdinPipe();
    ASSERT_TRUE(server.Start());
    const unsigned short newPort = FindFreeBasePort();
    ASSERT_TRUE(server.WriteStdin("set port " + std::to_string(newPort) + "\nquit\n"));
    int status = -1;
    ASSERT_TRUE(server.WaitExit(60000, &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(server.StdOut().find("will only take effect after the server is restarted."), std::string::npos);
    EXPECT_EQ(ReadPref(dir).mOptions.nBasePortNum, newPort);

    ServerProcess again(dir.Path(), false, newPort);
    ASSERT_TRUE(again.Start());
    Establish(newPort);
}

TEST(ConsoleProcess, SetAndOptionsOnTheCommandLine) {
    TempDir dir;
    EXPECT_EQ(RunBinary("--set name=Night\\ Owl --set port=7000 --set connect-log=on", dir), 0);
    SMyPrefs p = ReadPref(dir);
    EXPECT_EQ(p.mServerName.Str(), "Night Owl");
    EXPECT_EQ(p.mOptions.nBasePortNum, 7000);
    EXPECT_NE(p.mOptions.nOpts & kMyOptConnectLog, 0u);

    // One bad value and nothing at all is written.
    EXPECT_EQ(RunBinary("--set port=7100 --set max-downloads=none", dir), 2);
    EXPECT_EQ(ReadFileText(dir / "cli.err"),
              "kestrix-server: bad value for max-downloads: a number from 1 to 65535. Nothing changed.\n");
    EXPECT_EQ(ReadPref(dir).mOptions.nBasePortNum, 7000);

    EXPECT_EQ(RunBinary("--options", dir), 0);
    const std::string shown = ReadFileText(dir / "cli.out");
    EXPECT_NE(shown.find("name = Night Owl\n"), std::string::npos);
    EXPECT_NE(shown.find("port = 7000\n"), std::string::npos);
    EXPECT_NE(shown.find("connect-log = on\n"), std::string::npos);
    EXPECT_NE(access((dir / "Users").c_str(), F_OK), 0);  // no server was started

    // The extended options go to "kestrix.conf", keeping what the operator wrote there; a bad
    // line is named with its number and never stops anything.
    WriteFileText(dir / "kestrix.conf", "# mine\ntls_prot = 1\n");
    EXPECT_EQ(RunBinary("--set tls_port=7104 --set tls=off", dir), 0);
    EXPECT_EQ(ReadFileText(dir / "cli.err"), "kestrix-server: kestrix.conf line 2: unknown option \"tls_prot\"; ignored\n");
    EXPECT_EQ(ReadFileText(dir / "kestrix.conf"), "# mine\ntls_prot = 1\ntls_port = 7104\ntls = off\n");
    EXPECT_EQ(RunBinary("--set tls_port=0", dir), 2);
    EXPECT_NE(ReadFileText(dir / "cli.err").find("bad value for tls_port: a port number from 1 to 65535. Nothing changed."),
              std::string::npos);
    EXPECT_EQ(RunBinary("--options", dir), 0);
    EXPECT_NE(ReadFileText(dir / "cli.out").find("tls = off\ntls_port = 7104\ntls_transfer_port = (default: port + 5)\n"),
              std::string::npos);
}

// --check on a sound folder, then on the same folder with each kind of damage in turn: one line
// naming the file per problem, exit status 1, and nothing changed on disk.
TEST(ConsoleProcess, CheckNamesEveryDamagedFileAndChangesNothing) {
    TempDir dir;
    ASSERT_EQ(RunBinary("--check", dir), 0);
    EXPECT_EQ(ReadFileText(dir / "cli.out"), dir.Path() + ": no problems found\n");
    EXPECT_NE(access((dir / "Users").c_str(), F_OK), 0);  // nothing created

    ASSERT_EQ(RunBinary("--set name=Checked --set local-banner=on --set banner-file=banner.gif", dir), 0);
    WriteFileText(dir / "banner.gif", "GIF89a");
    for (const char* folder : {"Users", "Trash", "News/Bundle"}) std::filesystem::create_directories(dir / folder);
    CMyAccountStore store(dir / "Users", dir / "Trash");
    SMyUserDataFile rec;
    rec.SetLogin("alice");
    store.NewUser(rec);
    BanRecord ban;
    ban.IPrangeFromString("10.0.0.0/8");
    UBanFile::WritePermBanFile(dir / "Banned", {ban, ban});
    const std::string category = dir / "News/Bundle/General.knz";
    UMyNewsDatabase::CreateNewGroup(category, "General", "");
    UMyNewsDatabase::AddArticle(category, 0, "Hello", "alice", 0);
    ASSERT_EQ(RunBinary("--check", dir), 0) << ReadFileText(dir / "cli.out");

    // Each damage: (file, bytes written to it), and the line --check prints.
    const std::string userData = dir / "Users/alice/UserData";
    const std::string banned = ReadFileText(dir / "Banned");
    const std::string news = ReadFileText(category);
    std::string badVersion = ReadFileText(userData);
    badVersion[1] = 2;
    std::string freeBlock = news;
    freeBlock[512] = static_cast<char>(0xDF);  // block 3, the article's item block, marked free
    const struct {
        std::string file, bytes, line;
    } cases[] = {
        {"pref", "short", "pref: not a readable options file (too short, unknown version or damaged texts); "
                          "the server would start with the default options and overwrite it on quit"},
        {"Banned", banned.substr(0, banned.size() - 3), "Banned: damaged after 1 ban(s); the bans after that would not apply"},
        {"Banned", std::string("\0\3\0\0\0\1", 6), "Banned: unknown version; no ban would apply"},
        {"Banned", std::string("\0\2\0", 3), "Banned: too short for a ban file; no ban would apply"},
        {"Banned", std::string("\0\2\0\0\0\0", 6), "Banned: states no bans; the server would delete it"},
        {"Users/alice/UserData", ReadFileText(userData).substr(1), "Users/alice/UserData: not an account record (not 734 bytes long)"},
        {"Users/alice/UserData", badVersion, "Users/alice/UserData: an account record of an unknown version"},
        {"Users/bob/UserData", ReadFileText(userData), "Users/bob/UserData: holds the login \"alice\", not its folder's name"},
        {"News/Bundle/General.knz", "KXNZ", "News/Bundle/General.knz: shorter than its header"},
        {"News/Bundle/General.knz", freeBlock, "News/Bundle/General.knz: article 1 uses block 3, which the bitmap marks free"},
        {"banner.gif", "", "banner.gif: the local banner is switched on but the file is missing"},
        {"Files", "a file", "Files: not a folder"},
        {"kestrix.conf", "tls = maybe\nmetrics = localhost:80\n",
         "kestrix.conf: line 1: bad value for tls (on or off); ignored\n"
         "kestrix.conf: line 2: bad value for metrics (off, or HOST:PORT with HOST an IPv4 address (127.0.0.1, "
         "0.0.0.0 for every interface)); ignored"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const std::string path = dir / c.file;
        const std::string before = ReadFileText(path);
        const bool existed = std::filesystem::exists(path);
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        if (c.file == "banner.gif") std::filesystem::remove(path);
        else WriteFileText(path, c.bytes);
        const auto stamp = std::filesystem::last_write_time(dir.Path());
        EXPECT_EQ(RunBinary("--check", dir), 1);
        EXPECT_EQ(ReadFileText(dir / "cli.out"), c.line + "\n");
        EXPECT_EQ(ReadFileText(path), c.file == "banner.gif" ? "" : c.bytes);  // not repaired, not deleted
        EXPECT_EQ(std::filesystem::last_write_time(dir.Path()), stamp);
        if (existed) WriteFileText(path, before);
        else std::filesystem::remove_all(std::filesystem::path(path).parent_path() == dir.Path() ? path
                                         : std::filesystem::path(path).parent_path().string());
    }
    // A certificate that does not load, or a key that is missing: TLS would stay off.
    std::filesystem::create_directories(dir / "TLS");
    WriteFileText(dir / "TLS/cert.pem", "not a certificate");
    EXPECT_EQ(RunBinary("--check", dir), 1);
    EXPECT_EQ(ReadFileText(dir / "cli.out"), "TLS/cert.pem: cannot read \"" + dir.Path() +
                                                 "/TLS/key.pem\": No such file or directory; TLS would stay off\n");
    WriteFileText(dir / "TLS/key.pem", "not a key");
    EXPECT_EQ(RunBinary("--check", dir), 1);
    const std::string certLine = ReadFileText(dir / "cli.out");
    EXPECT_EQ(certLine.rfind("TLS/cert.pem: cannot load the certificate \"" + dir.Path() + "/TLS/cert.pem\": ", 0), 0u)
        << certLine;
    EXPECT_TRUE(certLine.ends_with("; TLS would stay off\n")) << certLine;
    std::filesystem::remove_all(dir / "TLS");

    // Several problems at once: a line for each.
    WriteFileText(dir / "pref", "short");
    WriteFileText(userData, "x");
    EXPECT_EQ(RunBinary("--check", dir), 1);
    const std::string out = ReadFileText(dir / "cli.out");
    EXPECT_NE(out.find("pref: "), std::string::npos);
    EXPECT_NE(out.find("Users/alice/UserData: "), std::string::npos);
}

}  // namespace
}  // namespace kx::test
