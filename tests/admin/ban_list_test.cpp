// Temporary bans on an injected clock (30-minute expiry, 32 at most), range matching of the
// permanent list, the sweep over connected clients and the texts the bans produce.
#include "admin/ban_list.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "framework/clock.h"

namespace kx {
namespace {

namespace fs = std::filesystem;

struct FakeClock {
    std::uint64_t ms = 5000000;
    FakeClock() { UClock::SetTestSource([this] { return ms; }); }
    ~FakeClock() { UClock::SetTestSource(nullptr); }
    void AdvanceSeconds(std::uint64_t s) { ms += s * 1000; }
};

struct TempDir {
    fs::path path;
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "kx-banlist-XXXXXX").string();
        path = mkdtemp(tmpl.data());
    }
    ~TempDir() { fs::remove_all(path); }
};

SIPAddress A(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) { return SIPAddress{{a, b, c, d}}; }

TEST(BanList, TemporaryBanLasts1800Seconds) {
    FakeClock clock;
    CMyBanLists bans("");
    const std::uint32_t t = UClock::UpSeconds();
    bans.AddTempBan(A(1, 2, 3, 4));
    ASSERT_EQ(bans.TempBans().size(), 1u);
    EXPECT_EQ(bans.TempBans()[0].timeout, t + 1800);
    EXPECT_EQ(bans.TempBans()[0].nAddrFirst, A(1, 2, 3, 4));
    EXPECT_EQ(bans.TempBans()[0].nAddrLast, A(1, 2, 3, 4));
    EXPECT_EQ(bans.TempBans()[0].nActive, 1);
    EXPECT_TRUE(bans.TempBans()[0].description.IsEmpty());
    EXPECT_FALSE(bans.IsTempBanned(A(1, 2, 3, 5)));

    clock.AdvanceSeconds(1799);
    EXPECT_TRUE(bans.IsTempBanned(A(1, 2, 3, 4)));
    EXPECT_EQ(bans.TempBans().size(), 1u);
    clock.AdvanceSeconds(1);
    EXPECT_FALSE(bans.IsTempBanned(A(1, 2, 3, 4)));
    EXPECT_TRUE(bans.TempBans().empty());  // removed at the first check at its time
}

TEST(BanList, RemoveOldTempBansDropsOnlyExpiredOnes) {
    FakeClock clock;
    CMyBanLists bans("");
    bans.AddTempBan(A(1, 0, 0, 1));
    clock.AdvanceSeconds(100);
    bans.AddTempBan(A(1, 0, 0, 2));
    clock.AdvanceSeconds(100);
    bans.AddTempBan(A(1, 0, 0, 3));
    clock.AdvanceSeconds(1700);  // the first two have expired (at 1800 and 1900)
    bans.RemoveOldTempBans();
    ASSERT_EQ(bans.TempBans().size(), 1u);
    EXPECT_EQ(bans.TempBans()[0].nAddrFirst, A(1, 0, 0, 3));
}

TEST(BanList, The33rdTemporaryBanReplacesTheOldest) {
    FakeClock clock;
    CMyBanLists bans("");
    for (std::uint8_t i = 1; i <= 33; ++i) bans.AddTempBan(A(10, 0, 0, i));
    EXPECT_EQ(bans.TempBans().size(), kMaxTempBans);
    EXPECT_FALSE(bans.IsTempBanned(A(10, 0, 0, 1)));
    for (std::uint8_t i = 2; i <= 33; ++i) EXPECT_TRUE(bans.IsTempBanned(A(10, 0, 0, i))) << int(i);
    EXPECT_EQ(bans.TempBans().front().nAddrFirst, A(10, 0, 0, 2));
    EXPECT_EQ(bans.TempBans().back().nAddrFirst, A(10, 0, 0, 33));
}

TEST(BanList, PermanentRangesMatchInclusively) {
    TempDir dir;
    CMyBanLists bans(dir.path.string());
    BanRecord block;
    block.IPrangeFromString("10.0.0.0/8");
    BanRecord span;
    span.IPrangeFromString("192.168.0.250-192.168.1.5");
    BanList list = {block, span};
    bans.WritePermBanInfo(list);

    EXPECT_FALSE(bans.IsPermBanned(A(9, 255, 255, 255)));
    EXPECT_TRUE(bans.IsPermBanned(A(10, 0, 0, 0)));
    EXPECT_TRUE(bans.IsPermBanned(A(10, 0, 0, 255)));
    EXPECT_FALSE(bans.IsPermBanned(A(10, 0, 1, 0)));
    EXPECT_FALSE(bans.IsPermBanned(A(192, 168, 0, 249)));
    EXPECT_TRUE(bans.IsPermBanned(A(192, 168, 0, 250)));
    EXPECT_TRUE(bans.IsPermBanned(A(192, 168, 1, 0)));  // compared as numbers, not byte by byte
    EXPECT_TRUE(bans.IsPermBanned(A(192, 168, 1, 5)));
    EXPECT_FALSE(bans.IsPermBanned(A(192, 168, 1, 6)));
    EXPECT_EQ(bans.PermBans()[0].IPrangeToString(), "10.0.0.0/8");

    // A fresh start reads the same bans back from the file.
    CMyBanLists restarted(dir.path.string());
    restarted.ReadPermBanList();
    EXPECT_TRUE(restarted.IsPermBanned(A(192, 168, 1, 0)));
    EXPECT_EQ(restarted.PermBans().size(), 2u);
}

TEST(BanList, SweepDisconnectsPermanentlyBannedClients) {
    TempDir dir;
    CMyBanLists bans(dir.path.string());
    bans.AddPermBan(A(10, 0, 0, 0), A(10, 0, 0, 255), "raid");

    struct Client {
        std::string name;
        SIPAddress address;
    };
    const std::vector<Client> clients = {
        {"alice", A(10, 0, 0, 7)}, {"bob", A(11, 0, 0, 7)}, {"", A(10, 0, 0, 200)}};
    std::vector<std::string> log;
    const std::size_t n = bans.DisconnectPermBan(
        clients, [](const Client& c) { return c.address; },
        [&](const Client& c) { log.push_back(PermBanDisconnectLogText(c.name.empty() ? "10.0.0.200" : c.name)); });
    EXPECT_EQ(n, 2u);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0], "Disconnect & permanent ban \xD2" "alice\xD3");
    EXPECT_EQ(log[1], "Disconnect & permanent ban \xD2" "10.0.0.200\xD3");
}

TEST(BanList, BansAreDatedWithLocalTime) {
    const char* oldTz = std::getenv("TZ");
    const std::string savedTz = oldTz ? oldTz : "";
    setenv("TZ", "UTC", 1);
    tzset();
    UClock::SetTestWallSource([] { return std::time_t(1614834367); });  // 2021-03-04 05:06:07 UTC
    FakeClock clock;
    CMyBanLists bans("");
    bans.AddTempBan(A(1, 1, 1, 1));
    EXPECT_EQ(bans.TempBans()[0].psDateTime.View(), "03/04/2021 05:06:07");
    UClock::SetTestWallSource(nullptr);
    if (oldTz) setenv("TZ", savedTz.c_str(), 1); else unsetenv("TZ");
    tzset();
}

}  // namespace
}  // namespace kx
