// The command-line client against the real server binary: login and its refusals, the exit
// codes, users and messages, the message board, the file tree and disconnecting a user, each
// checked through the client's output and the server's program folder.
#include <gtest/gtest.h>

#include <filesystem>

#include "client/client_fixture.h"

namespace kx {
namespace {

namespace fs = std::filesystem;
using test::RunClientBinary;
using test::SClientResult;

class CliE2E : public test::ClientFixture {};

TEST(CliArgs, HelpDocumentsTheExitCodesAndBadArgumentsGetTheirOwn) {
    SClientResult help = RunClientBinary({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("Usage: kestrix [options] HOST[:PORT] COMMAND [ARGS]"), std::string::npos);
    EXPECT_NE(help.out.find("  2  bad argument\n"), std::string::npos);
    EXPECT_NE(help.out.find("  3  cannot connect, or the connection was lost\n"), std::string::npos);
    EXPECT_NE(help.out.find("  4  the server refused the login\n"), std::string::npos);

    EXPECT_EQ(RunClientBinary({}).exitCode, 2);
    EXPECT_EQ(RunClientBinary({"localhost"}).exitCode, 2);
    SClientResult unknown = RunClientBinary({"localhost", "dance"});
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_EQ(unknown.err, "kestrix: Unknown command dance\nTry kestrix --help\n");
    // A password is never taken from the command line.
    EXPECT_EQ(RunClientBinary({"--password", "x", "localhost", "users"}).exitCode, 2);
    EXPECT_EQ(RunClientBinary({"--password-file", "/nonexistent/pw", "localhost", "users"}).exitCode, 2);
    EXPECT_EQ(RunClientBinary({"localhost:notaport", "users"}).exitCode, 2);

    // TLS options: exit code 5 documented, nonsense refused before any connection.
    EXPECT_NE(help.out.find("  5  the server's certificate was refused"), std::string::npos);
    SClientResult both = RunClientBinary({"--tls", "--tunnel", "localhost", "users"});
    EXPECT_EQ(both.exitCode, 2);
    EXPECT_EQ(both.err, "kestrix: --tls and --tunnel cannot be combined\nTry kestrix --help\n");
    EXPECT_EQ(RunClientBinary({"--tls", "--fingerprint", "SHA256:AB:CD", "localhost", "users"}).exitCode, 2);
    EXPECT_EQ(RunClientBinary({"--trust-new", "localhost", "users"}).exitCode, 2);
}

TEST(CliArgs, NoServerIsAConnectionFailure) {
    const unsigned short port = test::FindFreeBasePort();
    SClientResult r = RunClientBinary({"127.0.0.1:" + std::to_string(port), "users"});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_NE(r.err.find("Cannot connect to 127.0.0.1:" + std::to_string(port)), std::string::npos);
}

TEST_F(CliE2E, RefusedLoginsExitWithTheirOwnCodeAndTheServersText) {
    SClientResult wrong = RunClientBinary({"--login", "admin", host, "users"}, "", {{"KESTRIX_PASSWORD", "nope"}});
    EXPECT_EQ(wrong.exitCode, 4);
    EXPECT_EQ(wrong.err, "kestrix: Incorrect login.\n");
    // No guest account exists here.
    EXPECT_EQ(RunClientBinary({host, "users"}).exitCode, 4);
    // The environment variable works as well as the file.
    SClientResult ok = RunClientBinary({"--login", "admin", "--name", "envuser", host, "users"}, "",
                                       {{"KESTRIX_PASSWORD", "secret"}});
    EXPECT_EQ(ok.exitCode, 0) << ok.err;
    EXPECT_NE(ok.out.find("\tenvuser (admin)\n"), std::string::npos) << ok.out;
}

TEST_F(CliE2E, UsersInfoAndMessagesReachAnotherUser) {
    SClientResult users = Admin({"--json", "users"}, "", "me");
    ASSERT_EQ(users.exitCode, 0) << users.err;
    EXPECT_EQ(users.out.rfind("[{\"id\":", 0), 0u) << users.out;
    EXPECT_NE(users.out.find(",\"icon\":1,\"flags\":18,\"name\":\"me\"}]\n"), std::string::npos) << users.out;

    test::ClientProcess chat({"--login", "admin", "--password-file", dir / "pw", "--name", "listener", host, "chat"});
    ASSERT_TRUE(chat.WaitForOutput("* Connected. Type /me TEXT, /msg USER TEXT or /quit.\n"))
        << chat.Output();
    SClientResult list = Admin({"users"});
    ASSERT_NE(list.out.find("\tlistener (admin)\n"), std::string::npos) << list.out;

    SClientResult info = Admin({"--json", "info", "listener"});
    ASSERT_EQ(info.exitCode, 0) << info.err;
    EXPECT_EQ(info.out.rfind("{\"name\":\"listener\",\"text\":", 0), 0u) << info.out;
    EXPECT_NE(info.out.find("admin"), std::string::npos);

    EXPECT_EQ(Admin({"msg", "listener", "psst"}, "", "sender").exitCode, 0);
    EXPECT_TRUE(chat.WaitForOutput("[msg from sender] psst\n")) << chat.Output();
    EXPECT_EQ(Admin({"broadcast", "all hands"}, "", "boss").exitCode, 0);
    EXPECT_TRUE(chat.WaitForOutput("[broadcast from boss] all hands\n")) << chat.Output();

    SClientResult nobody = Admin({"msg", "ghost", "hi"});
    EXPECT_EQ(nobody.exitCode, 1);
    EXPECT_EQ(nobody.err, "kestrix: No user named ghost is online.\n");
    SClientResult badID = Admin({"msg", "#60000", "hi"});
    EXPECT_EQ(badID.exitCode, 1);
    EXPECT_EQ(badID.err, "kestrix: Couldn't send your message because the client is not connected to this server.\n");
    chat.Write("/quit\n");
    EXPECT_EQ(chat.Wait(), 0);
}

TEST_F(CliE2E, BoardPostsFromArgumentsAndStandardInput) {
    ASSERT_EQ(Admin({"post", "first post"}, "", "poster").exitCode, 0);
    SClientResult fromStdin = Admin({"post", "-"}, "line one\nline two\n", "poster");
    ASSERT_EQ(fromStdin.exitCode, 0) << fromStdin.err;
    // Line feeds became carriage returns on the server's board.
    const std::string board = test::ReadFileText(dir / "MessageBoard.txt");
    EXPECT_NE(board.find("line one\rline two"), std::string::npos);
    EXPECT_NE(board.find("first post"), std::string::npos);

    SClientResult read = Admin({"board"});
    ASSERT_EQ(read.exitCode, 0);
    EXPECT_NE(read.out.find("line one\nline two"), std::string::npos) << read.out;
    EXPECT_LT(read.out.find("line one"), read.out.find("first post"));  // newest first
    SClientResult json = Admin({"--json", "board"});
    EXPECT_EQ(json.out.rfind("{\"text\":\"", 0), 0u);
    EXPECT_NE(json.out.find("line one\\nline two"), std::string::npos) << json.out;
    EXPECT_EQ(Admin({"post", "-"}, "\n").exitCode, 2);
}

// The server bans an address that opens more than ten connections within 30 seconds, and every
// command is one connection: each test here stays below that.
TEST_F(CliE2E, FileTreeCommandsChangeTheFolder) {
    SClientResult ls = Admin({"--json", "ls"});
    ASSERT_EQ(ls.exitCode, 0) << ls.err;
    EXPECT_NE(ls.out.find("{\"name\":\"Docs\",\"folder\":true,\"type\":\"fldr\",\"creator\":\"\",\"items\":0}"),
              std::string::npos) << ls.out;
    EXPECT_NE(ls.out.find("{\"name\":\"readme.txt\",\"folder\":false,\"type\":\"TEXT\""), std::string::npos) << ls.out;
    EXPECT_NE(ls.out.find(",\"size\":11}"), std::string::npos);

    ASSERT_EQ(Admin({"mkdir", "Docs/Sub"}).exitCode, 0);
    EXPECT_TRUE(fs::is_directory(dir / "Files/Docs/Sub"));
    ASSERT_EQ(Admin({"mv", "readme.txt", "Docs/Sub"}).exitCode, 0);
    EXPECT_EQ(test::ReadFileText(dir / "Files/Docs/Sub/readme.txt"), "hello world");
    ASSERT_EQ(Admin({"rename", "Docs/Sub/readme.txt", "notes.txt"}).exitCode, 0);
    EXPECT_TRUE(fs::exists(dir / "Files/Docs/Sub/notes.txt"));
    ASSERT_EQ(Admin({"alias", "Docs/Sub/notes.txt", "/"}).exitCode, 0);
    EXPECT_TRUE(fs::is_symlink(dir / "Files/notes.txt.lnk"));

}

TEST_F(CliE2E, FileInfoDeletionAndTheServersRefusals) {
    fs::create_directories(dir / "Files/Docs/Sub");
    test::WriteFileText(dir / "Files/Docs/Sub/notes.txt", "hello world");
    SClientResult sub = Admin({"ls", "/Docs/Sub"});
    EXPECT_EQ(sub.out, "notes.txt\t11\n");
    SClientResult stat = Admin({"stat", "Docs/Sub/notes.txt"});
    ASSERT_EQ(stat.exitCode, 0);
    EXPECT_NE(stat.out.find("Name: notes.txt\n"), std::string::npos) << stat.out;
    EXPECT_NE(stat.out.find("Size: 11\n"), std::string::npos);
    SClientResult statDir = Admin({"--json", "stat", "Docs"});
    EXPECT_EQ(statDir.out, "{\"name\":\"Docs\",\"kind\":\"Folder\",\"creator\":\"n/a\"}\n");

    ASSERT_EQ(Admin({"rm", "Docs/Sub/notes.txt"}).exitCode, 0);
    EXPECT_FALSE(fs::exists(dir / "Files/Docs/Sub/notes.txt"));

    SClientResult missing = Admin({"stat", "nothing.txt"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.err, "kestrix: Cannot get info because there is no file/folder named \xE2\x80\x9Cnothing.txt\xE2\x80\x9D.\n");
    SClientResult noFolder = Admin({"ls", "Nowhere"});
    EXPECT_EQ(noFolder.exitCode, 1);
    EXPECT_EQ(noFolder.err, "kestrix: Cannot get file list because the specified folder could not be found.\n");
    EXPECT_EQ(Admin({"rename", "Docs", "a/b"}).exitCode, 2);
    EXPECT_EQ(Admin({"rm"}).exitCode, 2);
}

TEST_F(CliE2E, KickEndsTheOthersSession) {
    test::ClientProcess chat({"--login", "user", "--name", "victim", host, "chat"});
    ASSERT_TRUE(chat.WaitForOutput("* Connected.")) << chat.Output();
    EXPECT_EQ(Admin({"kick", "victim", "--ban", "maybe"}).exitCode, 2);
    EXPECT_EQ(Admin({"kick", "victim", "--ban", "temp", "why"}).exitCode, 2);
    // The administrator is protected from being disconnected.
    SClientResult protectedUser = Admin({"kick", "op"}, "", "op");
    EXPECT_EQ(protectedUser.exitCode, 1);
    EXPECT_EQ(protectedUser.err, "kestrix: You are not allowed to disconnect user \xE2\x80\x9Cop\xE2\x80\x9D (user is protected).\n");

    // Without the any-name privilege the account's own name is shown.
    SClientResult kick = Admin({"kick", "User"});
    ASSERT_EQ(kick.exitCode, 0) << kick.err;
    // The chat ends with the lost connection's code.
    EXPECT_EQ(chat.Wait(), 3);
    EXPECT_NE(chat.Output().find("kestrix: The connection to the server was lost.\n"), std::string::npos) << chat.Output();
    // An ordinary account may not disconnect anybody.
    SClientResult refused = RunClientBinary({"--login", "user", host, "kick", "#1"});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.err, "kestrix: You are not allowed to disconnect users.\n");
}

TEST_F(CliE2E, KickWithAPermanentBanKeepsTheAddressOut) {
    test::ClientProcess chat({"--login", "user", "--name", "victim", host, "chat"});
    ASSERT_TRUE(chat.WaitForOutput("* Connected.")) << chat.Output();
    SClientResult kick = Admin({"kick", "User", "--ban", "perm", "flooding the chat"});
    ASSERT_EQ(kick.exitCode, 0) << kick.err;
    EXPECT_EQ(chat.Wait(), 3);
    EXPECT_NE(chat.Output().find("[server] You are permanently banned on this server.\n"), std::string::npos)
        << chat.Output();

    // One active record for 127.0.0.1 alone, with the reason.
    const std::string banned = test::ReadFileText(dir / "Banned");
    ASSERT_GE(banned.size(), 6u + 43u);
    EXPECT_EQ(banned.substr(0, 6), std::string("\0\2\0\0\0\1", 6));
    EXPECT_EQ(banned.substr(6, 9), std::string("\1\x7f\0\0\1\x7f\0\0\1", 9));
    EXPECT_EQ(banned.substr(banned.size() - 18), "\x11" "flooding the chat");
    // Everybody at that address is refused now, the administrator included.
    SClientResult again = Admin({"users"});
    EXPECT_EQ(again.exitCode, 4);
    EXPECT_EQ(again.err, "kestrix: You are permanently banned on this server.\n");
}

}  // namespace
}  // namespace kx
