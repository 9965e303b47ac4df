// The log window's column layout on standard output, the log files' headers, lines and switches,
// the error log, and the statistics counters with their display text.
#include "server/log.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "framework/clock.h"
#include "server/stats.h"
#include "wire_session.h"

namespace kx {
namespace {

namespace fs = std::filesystem;

constexpr std::time_t kMarch5 = 1709622489;  // 2024-03-05 07:08:09 UTC
constexpr std::time_t kNewYear = 1704078000;  // 2024-01-01 03:00:00 UTC

// Fixed time zone and wall clock, and a fresh program folder.
class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        mOldTZ = tz ? std::optional<std::string>(tz) : std::nullopt;
        SetTZ("UTC");
        UClock::SetTestWallSource([this] { return mNow; });
        std::string pattern = ::testing::TempDir() + "kxlogXXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        mDir = pattern;
    }
    void TearDown() override {
        UClock::SetTestWallSource(nullptr);
        if (mOldTZ) setenv("TZ", mOldTZ->c_str(), 1); else unsetenv("TZ");
        tzset();
        fs::remove_all(mDir);
    }
    static void SetTZ(const char* tz) {
        setenv("TZ", tz, 1);
        tzset();
    }
    std::string Read(const char* name) const {
        std::ifstream in(mDir + "/" + name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    bool Exists(const char* name) const { return fs::exists(mDir + "/" + name); }

    std::time_t mNow = kMarch5;
    std::string mDir;
    std::optional<std::string> mOldTZ;
};

const SMyLogPeer kAlice{"10.0.0.7", "alice", "Alice W"};

TEST_F(LogTest, WindowLinesHaveDateWhoAndTextColumns) {
    CMyLog log(mDir);
    std::string out;
    log.SetWindowSink([&](std::string_view line) { out.append(line); });
    log.LogText("Kestrix Server", "1.9.2");
    log.Log("", "Loaded file \xD2%s\xD3", "Agreement.txt");
    log.Log(ClientWho("", "192.168.1.20"), "Connection established");
    log.Log(ClientWho("Bob", "192.168.1.20"), "Incompatible version (%4.4s%hu)", "KSTXZ",
            static_cast<unsigned short>(3));
    // A who text longer than its column is cut to 20 characters.
    log.LogText("An exceedingly long user name", "Login successful");
    // A name cannot break the line or reach the terminal as an escape sequence; Mac OS Roman
    // texts reach the terminal in UTF-8.
    log.LogText("Eve\r\n\x1B[2J", "Chat\ttext\n");
    EXPECT_EQ(out,
              "03/05/2024 07:08:09    Kestrix Server       1.9.2\n"
              "03/05/2024 07:08:09                         Loaded file \u201C" "Agreement.txt\u201D\n"
              "03/05/2024 07:08:09    192.168.1.20         Connection established\n"
              "03/05/2024 07:08:09    Bob                  Incompatible version (KSTX3)\n"
              "03/05/2024 07:08:09    An exceedingly long  Login successful\n"
              "03/05/2024 07:08:09    Eve   [2J            Chat text \n");
}

TEST_F(LogTest, WindowLineIsCutTo255BytesAndLogTextTo255) {
    CMyLog log(mDir);
    const std::string longText(400, 'x');
    std::string out;
    log.SetWindowSink([&](std::string_view line) { out.append(line); });
    log.LogText("who", longText);
    log.Log("who", "%s", longText.c_str());
    const std::string expected =
        "03/05/2024 07:08:09    who                  " + std::string(255 - 44, 'x') + "\n";
    EXPECT_EQ(out, expected + expected);
}

TEST_F(LogTest, DateColumnIsPaddedOrCutTo22) {
    EXPECT_EQ(UMyLogFormat::WindowLine("1/2/24", "", "t"), "1/2/24" + std::string(16 + 1 + 20 + 1, ' ') + "t");
    EXPECT_EQ(UMyLogFormat::WindowLine("Tuesday, 5 March 2024 07:08:09", "w", "t"),
              "Tuesday, 5 March 2024  w                    t");
}

TEST_F(LogTest, DatesUseLocalTime) {
    EXPECT_EQ(UMyLogFormat::LogDate(kMarch5), "03/05/2024 07:08:09");
    EXPECT_EQ(UMyLogFormat::ErrorLogDate(kMarch5), "03/05/24 07:08:09");
    SetTZ("EST5");
    EXPECT_EQ(UMyLogFormat::LogDate(kNewYear), "12/31/2023 22:00:00");
    EXPECT_EQ(UMyLogFormat::ErrorLogDate(kNewYear), "12/31/23 22:00:00");
}

TEST_F(LogTest, DownloadLogGetsHeaderOnceThenLines) {
    CMyLog log(mDir, SMyLogSwitches::FromOptionBits(0x02));
    log.LogDownload(kAlice, "readme.txt");
    mNow = kMarch5 + 61;
    log.LogDownload({"10.0.0.8", "guest", ""}, "Pictures");
    EXPECT_EQ(Read(kMyDownloadLogFileName),
              "Date/time\tAddress\tAccount\tName\tFile Name\r"
              "03/05/2024 07:08:09\t10.0.0.7\talice\tAlice W\treadme.txt\r"
              "03/05/2024 07:09:10\t10.0.0.8\tguest\t\tPictures\r");
    EXPECT_FALSE(Exists(kMyUploadLogFileName));
}

TEST_F(LogTest, HeaderDependsOnWhetherTheFileIsEmpty) {
    CMyLog log(mDir, SMyLogSwitches::FromOptionBits(0x04 | 0x08));
    std::ofstream(mDir + "/" + kMyUploadLogFileName, std::ios::binary).flush();  // exists, empty
    std::ofstream(mDir + "/" + kMyConnectLogFileName, std::ios::binary) << "old line\r";
    log.LogUpload(kAlice, "song.mp3");
    log.LogConnect(kAlice);
    EXPECT_EQ(Read(kMyUploadLogFileName),
              "Date/time\tAddress\tAccount\tName\tFile Name\r"
              "03/05/2024 07:08:09\t10.0.0.7\talice\tAlice W\tsong.mp3\r");
    EXPECT_EQ(Read(kMyConnectLogFileName), "old line\r03/05/2024 07:08:09\t10.0.0.7\talice\tAlice W\r");
}

TEST_F(LogTest, ConnectAndAccountLines) {
    CMyLog log(mDir, SMyLogSwitches::FromOptionBits(0x08 | 0x40));
    log.LogConnect(kAlice);
    log.LogAccountChange(kAlice, EMyAccountAction::Create, "bob");
    log.LogAccountChange(kAlice, EMyAccountAction::Delete, "carol");
    log.LogAccountChange(kAlice, EMyAccountAction::Modify, "dave");
    log.LogAccountChange(kAlice, EMyAccountAction::Rename, "erin");
    EXPECT_EQ(Read(kMyConnectLogFileName),
              "Date/time\tAddress\tAccount\tName\r"
              "03/05/2024 07:08:09\t10.0.0.7\talice\tAlice W\r");
    EXPECT_EQ(Read(kMyAccountLogFileName),
              "Date/time\tAddress\tAccount\tName\tAction\tAffected Account\r"
              "03/05/2024 07:08:09\t10.0.0.7\talice\tAlice W\tCreate\tbob\r"
              "03/05/2024 07:08:09\t10.0.0.7\talice\tAlice W\tDelete\tcarol\r"
              "03/05/2024 07:08:09\t10.0.0.7\talice\tAlice W\tModify\tdave\r"
              "03/05/2024 07:08:09\t10.0.0.7\talice\tAlice W\tRename\terin\r");
}

TEST_F(LogTest, LongFieldsAreWrittenWholeAndSeparatorsCannotBeInjected) {
    CMyLog log(mDir, SMyLogSwitches::FromOptionBits(0x02));
    const std::string name255(255, 'n');
    const std::string address200(200, '1');
    log.LogDownload({address200, "a\tb", "Mal\rlory\n"}, name255);
    EXPECT_EQ(Read(kMyDownloadLogFileName),
              "Date/time\tAddress\tAccount\tName\tFile Name\r"
              "03/05/2024 07:08:09\t" + std::string(127, '1') + "\ta b\tMal lory \t" + name255 + "\r");

    // A line longer than 1023 bytes is cut but still ends with its carriage return.
    const std::string line = UMyLogFormat::FileLine({std::string(2000, 'z'), "tail"});
    EXPECT_EQ(line, std::string(1022, 'z') + "\r");
}

TEST_F(LogTest, SwitchedOffFilesAreNotCreatedAndSwitchesApplyAtOnce) {
    CMyLog log(mDir, SMyLogSwitches::FromOptionBits(0x30 | 0x01 | 0x10 | 0x80));
    log.LogDownload(kAlice, "f");
    log.LogUpload(kAlice, "f");
    log.LogConnect(kAlice);
    log.LogAccountChange(kAlice, EMyAccountAction::Create, "bob");
    EXPECT_TRUE(fs::is_empty(mDir));

    log.SetSwitches(SMyLogSwitches::FromOptionBits(0x08));
    log.LogConnect(kAlice);
    log.LogDownload(kAlice, "f");
    log.SetSwitches({});
    log.LogConnect(kAlice);
    EXPECT_EQ(Read(kMyConnectLogFileName),
              "Date/time\tAddress\tAccount\tName\r03/05/2024 07:08:09\t10.0.0.7\talice\tAlice W\r");
    EXPECT_FALSE(Exists(kMyDownloadLogFileName));

    const SMyLogSwitches all = SMyLogSwitches::FromOptionBits(0x02 | 0x04 | 0x08 | 0x40);
    EXPECT_TRUE(all.download && all.upload && all.connect && all.account);
}

TEST_F(LogTest, ErrorLogIsAlwaysWrittenWithoutHeader) {
    CMyLog log(mDir);  // every switch off
    log.LogError("File not found.", "ID 4/103 [2] @ src/files/x.cpp #12");
    SetTZ("EST5");
    mNow = kNewYear;
    log.LogError(std::string(300, 'm'), std::string(200, 'd'));
    log.LogError("two\rlines\n", "d");
    EXPECT_EQ(Read(kMyErrorLogFileName),
              "03/05/24 07:08:09      File not found. (ID 4/103 [2] @ src/files/x.cpp #12)\r"
              "12/31/23 22:00:00      " + std::string(255, 'm') + " (" + std::string(127, 'd') + ")\r"
              "12/31/23 22:00:00      two lines  (d)\r");
}

TEST_F(LogTest, WriteFailureIsRaised) {
    CMyLog log(mDir + "/missing", SMyLogSwitches::FromOptionBits(0x02));
    try {
        log.LogError("m", "d");
        FAIL() << "no error raised";
    } catch (const SError& err) {
        EXPECT_EQ(err.type, kErrClassFileSys);
        EXPECT_EQ(err.id, kErrFileNotFound);
    }
    EXPECT_THROW(log.LogDownload(kAlice, "f"), SError);
}

TEST(Stats, PeakNeverDecreasesAndResetKeepsTotals) {
    SMyStats s;
    s.ClientAdmitted();
    s.ClientAdmitted();
    s.ClientAdmitted();
    EXPECT_EQ(s.connPeak, 0u);  // raised only when the display is refreshed
    s.UpdatePeak();
    EXPECT_EQ(s.connPeak, 3u);
    s.ClientKilled();
    s.ClientKilled();
    s.UpdatePeak();
    EXPECT_EQ(s.connCount, 1u);
    EXPECT_EQ(s.connPeak, 3u);
    s.Reset();
    s.UpdatePeak();
    EXPECT_EQ(s.connCount, 0u);
    EXPECT_EQ(s.connCounter, 3u);
    EXPECT_EQ(s.connPeak, 3u);
    // A client closed after the reset does not wrap the count around.
    s.ClientKilled();
    EXPECT_EQ(s.connCount, 0u);
    for (int i = 0; i < 4; ++i) s.ClientAdmitted();
    s.UpdatePeak();
    EXPECT_EQ(s.connPeak, 4u);
    EXPECT_EQ(s.connCounter, 7u);
}

TEST(Stats, DisplayShowsEightFiguresInOrder) {
    SMyStats s;
    for (int i = 0; i < 5; ++i) s.ClientAdmitted();
    s.UpdatePeak();
    s.ClientKilled();
    s.DownloadStarted();
    s.DownloadStarted();
    s.UploadStarted();
    EXPECT_EQ(FormatStatsLines(s, {6, 7, 8}),
              (std::vector<std::string>{"Connected: 4", "Downloading: 6", "Uploading: 7", "Waiting: 8",
                                        "Peak connections: 5", "Connection counter: 5",
                                        "Download counter: 2", "Upload counter: 1"}));
}

// Rotation as logrotate does it: the connect log is renamed while logins keep the server
// writing. The server opens the file for every line, so the lines after the rename start a
// fresh file with its header, and no line is lost or cut between the two files.
TEST(LogRotation, RenamedLogIsFollowedByAFreshFileAndNoLineIsLost) {
    test::TempDir dir;
    const unsigned short port = test::WriteOpenPrefs(dir.Path());
    SMyPrefs prefs;
    UMyPrefs::ReadPrefs(UMyPrefs::GetPrefsSpec(dir.Path()), prefs);
    prefs.mOptions.nOpts |= kMyOptConnectLog;
    UMyPrefs::WritePrefs(UMyPrefs::GetPrefsSpec(dir.Path()), prefs);
    test::WriteAccount(dir.Path(), "visitor", "pw", SMyUserAccess{});
    test::ServerProcess server(dir.Path(), false, port);
    ASSERT_TRUE(server.Start());

    const std::string live = dir / kMyConnectLogFileName, rotated = live + ".1";
    auto dataLines = [](const std::string& path) {
        const std::string text = test::ReadFileText(path);
        return static_cast<int>(std::count(text.begin(), text.end(), '\r')) - (text.empty() ? 0 : 1);
    };
    std::atomic<bool> stop{false};
    std::atomic<int> logins{0};
    std::thread writer([&] {
        // Bounded: a server that stopped writing fails the waits below, not this loop.
        for (int i = 0; i < 200 && !stop; ++i) {
            if (!test::LogInOverWire(port, "visitor", "pw", "Visitor", test::NextLoopbackSource())) break;
            ++logins;
        }
    });
    auto waitFor = [](auto condition) {
        for (int i = 0; i < 3000 && !condition(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return condition();
    };
    const bool renamed = waitFor([&] { return dataLines(live) >= 3; }) && std::rename(live.c_str(), rotated.c_str()) == 0;
    EXPECT_TRUE(renamed);
    EXPECT_TRUE(waitFor([&] { return dataLines(live) >= 3; }));
    stop = true;
    writer.join();

    const std::string header = "Date/time\tAddress\tAccount\tName\r";
    for (const std::string& path : {rotated, live}) {
        const std::string text = test::ReadFileText(path);
        EXPECT_EQ(text.substr(0, header.size()), header) << path;
        EXPECT_EQ(text.back(), '\r');
        EXPECT_EQ(std::count(text.begin(), text.end(), '\t'), 3 * (dataLines(path) + 1)) << "a line was cut: " << text;
    }
    EXPECT_EQ(dataLines(rotated) + dataLines(live), logins.load());
}

}  // namespace
}  // namespace kx
