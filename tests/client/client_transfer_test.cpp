// File and folder transfers of the command-line client against the real server binary: a
// download and an upload killed half-way and resumed by running the command again, the waiting
// queue, a folder tree up and down with partial items resumed and finished ones skipped, and
// refusals with the server's own words and the exit codes.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "client/client_fixture.h"
#include "client/client_session.h"
#include "client/client_transfer.h"
#include "server/pref_file.h"

namespace kx {
namespace {

namespace fs = std::filesystem;
using test::ReadFileText;
using test::RunClientBinary;
using test::SClientResult;
using test::WriteFileText;

std::uintmax_t SizeOr0(const std::string& path) {
    std::error_code ec;
    const auto n = fs::file_size(path, ec);
    return ec ? 0 : n;
}

// Polls until the file holds at least one byte (a transfer is under way).
bool WaitForBytes(const std::string& path) {
    for (int i = 0; i < 1000; ++i) {
        if (SizeOr0(path) > 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

class CliTransfer : public test::ClientFixture {
protected:
    // Restarts the server allowing one download at a time, so a second one waits in the queue.
    void RestartWithOneDownload() {
        server.reset();
        const unsigned short port = test::FindFreeBasePort();
        SMyPrefs prefs = SMyPrefs::Defaults();
        prefs.mOptions.nBasePortNum = port;
        prefs.mOptions.nMaxDownloads = 1;
        UMyPrefs::WritePrefs(UMyPrefs::GetPrefsSpec(dir.Path()), prefs);
        server = std::make_unique<test::ServerProcess>(dir.Path(), false, port);
        ASSERT_TRUE(server->Start());
        host = "127.0.0.1:" + std::to_string(port);
    }

    std::vector<std::string> AdminArgs(const std::string& name) {
        return {"--login", "admin", "--password-file", dir / "pw", "--name", name, host};
    }
};

TEST_F(CliTransfer, KilledDownloadResumesByteIdenticalAndAQueuedOneSaysWhereItWaits) {
    RestartWithOneDownload();
    const std::string big = test::PatternBytes(600000, 1);
    WriteFileText(dir / "Files/big.bin", big);
    const std::string dl = dir / "dl";
    fs::create_directories(dl);

    std::vector<std::string> slow = AdminArgs("slow");
    slow.insert(slow.end(), {"--limit-rate", "40000", "get", "big.bin", dl});
    test::ClientProcess first(slow);
    ASSERT_TRUE(WaitForBytes(dl + "/big.bin.kpf")) << first.Output();

    // The only download slot is taken: the next one waits and is told its place.
    std::vector<std::string> second = AdminArgs("second");
    second.insert(second.end(), {"get", "readme.txt", dl + "/hello.txt"});
    test::ClientProcess queued(second);
    ASSERT_TRUE(queued.WaitForOutput("readme.txt: waiting in the server's download queue, position 1\n"))
        << queued.Output();
    first.Kill();
    EXPECT_TRUE(queued.WaitForOutput("readme.txt: leaving the download queue, the download starts\n"))
        << queued.Output();
    EXPECT_EQ(queued.Wait(), 0) << queued.Output();
    EXPECT_EQ(ReadFileText(dl + "/hello.txt"), "hello world");
    EXPECT_FALSE(fs::exists(dl + "/hello.txt.kpf"));

    // The killed download left its data in the partial file; running it again resumes there.
    const std::string held = ReadFileText(dl + "/big.bin.kpf");
    ASSERT_GT(held.size(), 0u);
    ASSERT_LT(held.size(), big.size());
    EXPECT_EQ(held, big.substr(0, held.size()));
    std::vector<std::string> again = AdminArgs("again");
    again.insert(again.end(), {"--json", "get", "big.bin", dl});
    SClientResult resumed = RunClientBinary(again);
    ASSERT_EQ(resumed.exitCode, 0) << resumed.err;
    EXPECT_EQ(resumed.out, "{\"remote\":\"big.bin\",\"local\":" + JsonString(dl + "/big.bin") +
                               ",\"size\":600000,\"resumedAt\":" + std::to_string(held.size()) + "}\n");
    EXPECT_NE(resumed.err.find("big.bin: 600000 of 600000 bytes (100%)"), std::string::npos) << resumed.err;
    EXPECT_TRUE(ReadFileText(dl + "/big.bin") == big);
    EXPECT_FALSE(fs::exists(dl + "/big.bin.kpf"));

    // A finished file is never overwritten (nothing goes to the server), and a refusal is shown
    // in the server's words without leaving a partial file behind.
    SClientResult exists = RunClientBinary({host, "get", "big.bin", dl});
    EXPECT_EQ(exists.exitCode, 2);
    EXPECT_EQ(exists.err, "kestrix: " + dl + "/big.bin already exists\nTry kestrix --help\n");
    std::vector<std::string> missing = AdminArgs("missing");
    missing.insert(missing.end(), {"get", "Docs/nothere.txt", dl});
    SClientResult refused = RunClientBinary(missing);
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.err, "kestrix: Cannot download because there is no file named \xE2\x80\x9Cnothere.txt\xE2\x80\x9D.\n");
    EXPECT_FALSE(fs::exists(dl + "/nothere.txt.kpf"));
}

TEST_F(CliTransfer, KilledUploadResumesFromWhatTheServerKeptAndAFinishedOneIsRefused) {
    fs::create_directories(dir / "Files/Uploads");
    const std::string data = test::PatternBytes(500000, 2);
    const std::string local = dir / "up.bin";
    WriteFileText(local, data);

    std::vector<std::string> slow = AdminArgs("slow");
    slow.insert(slow.end(), {"--limit-rate", "40000", "put", local, "Uploads"});
    test::ClientProcess first(slow);
    ASSERT_TRUE(WaitForBytes(dir / "Files/Uploads/up.bin.kpf")) << first.Output();
    first.Kill();
    ASSERT_TRUE(server->WaitForOutput("Upload aborted")) << server->StdOut();
    const std::string held = ReadFileText(dir / "Files/Uploads/up.bin.kpf");
    ASSERT_GT(held.size(), 0u);
    ASSERT_LT(held.size(), data.size());

    std::vector<std::string> again = AdminArgs("again");
    again.insert(again.end(), {"put", local, "Uploads/"});
    SClientResult resumed = RunClientBinary(again);
    ASSERT_EQ(resumed.exitCode, 0) << resumed.err;
    EXPECT_EQ(resumed.out, "Uploaded " + local + " to Uploads/up.bin (500000 bytes, resumed at " +
                               std::to_string(held.size()) + ")\n");
    EXPECT_TRUE(ReadFileText(dir / "Files/Uploads/up.bin") == data);
    EXPECT_FALSE(fs::exists(dir / "Files/Uploads/up.bin.kpf"));

    std::vector<std::string> twice = AdminArgs("twice");
    twice.insert(twice.end(), {"put", local, "Uploads"});
    SClientResult refused = RunClientBinary(twice);
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.err,
              "kestrix: Cannot accept upload because there is already a file named \xE2\x80\x9Cup.bin\xE2\x80\x9D. Try "
              "choosing a different name.\n");
    EXPECT_EQ(RunClientBinary({host, "put", dir / "no-such-file", "Uploads"}).exitCode, 2);
}

TEST_F(CliTransfer, FolderRoundTripSkipsFinishedItemsAndResumesPartialOnes) {
    // "grüße.txt" travels in Mac OS Roman on the wire.
    const std::string src = TreeWithLeftovers(200000, "gr\xC3\xBC\xC3\x9F" "e.txt", "greetings");
    const std::string up = dir / "Files/Uploads/Tree";
    std::vector<std::string> put = AdminArgs("put");
    put.insert(put.end(), {"--json", "putdir", src, "Uploads"});
    SClientResult sent = RunClientBinary(put);
    ASSERT_EQ(sent.exitCode, 0) << sent.err;
    EXPECT_EQ(sent.out, "{\"from\":" + JsonString(src) +
                            ",\"to\":\"Uploads/Tree\",\"files\":3,\"folders\":3,\"skipped\":1,\"resumed\":1}\n");
    EXPECT_EQ(test::FileTree(up), test::FileTree(src));

    // The same on the way down.
    const std::string out = dir / "out";
    std::vector<std::string> get = AdminArgs("get");
    get.insert(get.end(), {"--json", "getdir", "Uploads/Tree", out});
    SClientResult got = RunClientBinary(get);
    ASSERT_EQ(got.exitCode, 0) << got.err;
    EXPECT_EQ(got.out, "{\"from\":\"Uploads/Tree\",\"to\":" + JsonString(out + "/Tree") +
                           ",\"files\":3,\"folders\":3,\"skipped\":1,\"resumed\":1}\n");
    EXPECT_EQ(test::FileTree(out + "/Tree"), test::FileTree(src));
}

TEST_F(CliTransfer, RefusalsCreateNothingAndBadArgumentsNeverReachTheServer) {
    const std::string src = dir / "src/Tree";
    fs::create_directories(src);
    WriteFileText(src + "/a.txt", "alpha");
    SClientResult noRight = RunClientBinary({"--login", "user", host, "putdir", src});
    EXPECT_EQ(noRight.exitCode, 1);
    EXPECT_EQ(noRight.err, "kestrix: You are not allowed to upload folders.\n");
    EXPECT_FALSE(fs::exists(dir / "Files/Tree"));

    const std::string out = dir / "out";
    fs::create_directories(out);
    std::vector<std::string> get = AdminArgs("get");
    get.insert(get.end(), {"getdir", "Docs/Missing", out});
    SClientResult missing = RunClientBinary(get);
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.err, "kestrix: Cannot download because there is no folder named \xE2\x80\x9CMissing\xE2\x80\x9D.\n");
    EXPECT_TRUE(fs::is_empty(out));

    EXPECT_EQ(RunClientBinary({"--limit-rate", "0", host, "get", "readme.txt"}).exitCode, 2);
    EXPECT_EQ(RunClientBinary({host, "getdir", "Docs", dir / "no-such-folder"}).exitCode, 2);
    EXPECT_EQ(RunClientBinary({host, "putdir", dir / "no-such-folder"}).exitCode, 2);
    EXPECT_EQ(RunClientBinary({host, "get"}).exitCode, 2);
}

// Names from the server become local names that stay inside the folder they are put in.
TEST(CliTransferNames, ServerNamesCannotClimbOutOfTheirFolder) {
    EXPECT_EQ(UClientLocal::LocalName(".."), "--");
    EXPECT_EQ(UClientLocal::LocalName("."), "-");
    EXPECT_EQ(UClientLocal::LocalName(""), "-");
    EXPECT_EQ(UClientLocal::LocalName("a/../b"), "a-..-b");
    EXPECT_EQ(UClientLocal::LocalName(std::string("x\0y", 3)), "x-y");
    EXPECT_EQ(UClientLocal::LocalName("gr\x9F\xA7" "e.txt"), "gr\xC3\xBC\xC3\x9F" "e.txt");  // Mac OS Roman to UTF-8
    EXPECT_EQ(UClientLocal::LocalName("...hidden"), "...hidden");
}

}  // namespace
}  // namespace kx
