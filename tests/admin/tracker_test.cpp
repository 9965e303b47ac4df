// Tracker registration: the announcement datagram byte for byte, the row rules, and the running
// server announcing itself to UDP sockets on 127.0.0.1 that stand in for trackers.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "admin/tracker.h"
#include "server/app_fixture.h"

namespace kx::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(TrackerDatagram, MatchesTheNineteenByteLayout) {
    const Bytes common = UTracker::BuildCommon(5500, 3, 0x11223344, "Test", "");
    const Bytes d = UTracker::BuildDatagram(common, "");
    const Bytes expected = {0x00, 0x01, 0x15, 0x7C, 0x00, 0x03, 0x00, 0x00, 0x44, 0x33,
                            0x22, 0x11, 0x04, 0x54, 0x65, 0x73, 0x74, 0x00, 0x00};
    EXPECT_EQ(d, expected);
}

TEST(TrackerDatagram, UsersAreTheLowSixteenBitsAndTextsAreCut) {
    const std::string name(40, 'n'), desc(200, 'd'), pass(50, 'p');
    const Bytes d = UTracker::BuildDatagram(UTracker::BuildCommon(0xABCD, 0x12345, 0xA1B2C3D4, name, desc), pass);
    ASSERT_EQ(d.size(), 15u + 31 + 127 + 31);
    EXPECT_EQ(d[2], 0xAB);
    EXPECT_EQ(d[3], 0xCD);
    EXPECT_EQ(d[4], 0x23);
    EXPECT_EQ(d[5], 0x45);
    EXPECT_EQ((Bytes{d[8], d[9], d[10], d[11]}), (Bytes{0xD4, 0xC3, 0xB2, 0xA1}));
    EXPECT_EQ(d[12], 31);
    EXPECT_EQ(d[12 + 32], 127);
    EXPECT_EQ(d[12 + 32 + 128], 31);
    EXPECT_EQ(d.back(), 'p');
}

TEST(TrackerRows, AddressIsCleanedAndGetsThePortRule) {
    SMyTrackInfo e;
    e.login.Set("keep");
    UTracker::ApplyRow(e, "  tracker.example.org  trailing", "secret");
    EXPECT_EQ(e.Name(), "tracker.example.org");
    EXPECT_EQ(e.addr.port, kDefaultTrackerPort);
    EXPECT_EQ(e.addr.type, kInternetNameAddressType);
    EXPECT_EQ(e.passwd.View(), "secret");
    EXPECT_EQ(e.login.View(), "keep");

    UTracker::ApplyRow(e, "host\x01name:5600", std::string(40, 'x'));
    EXPECT_EQ(e.Name(), "hostxname:5600");
    EXPECT_EQ(e.addr.port, 0);  // taken from the name when sending
    EXPECT_EQ(e.passwd.Length(), 31u);

    UTracker::ApplyRow(e, "   ", "");
    EXPECT_TRUE(e.Name().empty());
    SMyTrackList list{};
    EXPECT_FALSE(UTracker::HasAnyTracker(list));
    list[4].SetName("x");
    EXPECT_TRUE(UTracker::HasAnyTracker(list));
}

// A UDP socket on 127.0.0.1 playing a tracker.
class CFakeTracker {
public:
    CFakeTracker() {
        mFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(mFd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        socklen_t len = sizeof a;
        getsockname(mFd, reinterpret_cast<sockaddr*>(&a), &len);
        mPort = ntohs(a.sin_port);
    }
    ~CFakeTracker() { close(mFd); }
    std::uint16_t Port() const { return mPort; }
    std::string Address() const { return "127.0.0.1:" + std::to_string(mPort); }
    // One datagram if there is one now.
    std::optional<Bytes> Take() {
        std::uint8_t buf[2048];
        const ssize_t n = recv(mFd, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0) return std::nullopt;
        return Bytes(buf, buf + n);
    }

private:
    int mFd = -1;
    std::uint16_t mPort = 0;
};

class TrackerAppTest : public AppFixture {
protected:
    void CustomizePrefs(SMyPrefs& prefs) override {
        prefs.mServerName.Set(mName);
        prefs.mServerDesc.Set(mDesc);
        prefs.mTrackerPassID = 0x11223344;
        if (mEnabled) prefs.mOptions.nOpts |= kMyOptTracker;
        for (std::size_t i = 0; i < mRows.size(); ++i) {
            UTracker::ApplyRow(prefs.mTrackInfo[i], mRows[i].first, mRows[i].second);
        }
    }

    // The next datagram the tracker receives while the server runs, if one comes.
    std::optional<Bytes> Receive(CFakeTracker& t, int maxMs = 3000) {
        std::optional<Bytes> got;
        PumpUntil([&] { return (got = t.Take()).has_value(); }, maxMs);
        return got;
    }

    Bytes Expected(std::uint16_t users, const std::string& pass) const {
        return UTracker::BuildDatagram(UTracker::BuildCommon(mPort, users, 0x11223344, mName, mDesc), pass);
    }

    std::string mName = "Test";
    std::string mDesc;
    bool mEnabled = true;
    std::vector<std::pair<std::string, std::string>> mRows;
    CFakeTracker mTracker1, mTracker2;
};

class TrackerStartTest : public TrackerAppTest {
protected:
    void SetUp() override {
        mRows = {{mTracker1.Address(), ""}};
        AppFixture::SetUp();
    }
};

TEST_F(TrackerStartTest, FirstAnnouncementAtStartUpThenEveryFiveMinutes) {
    auto first = Receive(mTracker1);
    ASSERT_TRUE(first.has_value());
    const Bytes layout = {0x00, 0x01, static_cast<std::uint8_t>(mPort >> 8), static_cast<std::uint8_t>(mPort),
                          0x00, 0x00, 0x00, 0x00, 0x44, 0x33, 0x22, 0x11, 0x04, 0x54, 0x65, 0x73, 0x74, 0x00, 0x00};
    EXPECT_EQ(*first, layout);
    EXPECT_TRUE(mApp->IsTrackerRunning());

    // Three clients connected: the next cycle announces 3 users, the documented example bytes
    // apart from the port.
    mApp->TimeRules().loginIdle = 100000;  // they stay while the clock moves on
    auto c1 = ConnectClient();
    auto c2 = ConnectClient();
    auto c3 = ConnectClient();
    ASSERT_EQ(mApp->Stats().connCount, 3u);
    AdvanceSeconds(299);
    Pump();
    EXPECT_FALSE(mTracker1.Take().has_value());
    AdvanceSeconds(1);
    auto second = Receive(mTracker1);
    ASSERT_TRUE(second.has_value());
    Bytes withThree = layout;
    withThree[5] = 0x03;
    EXPECT_EQ(*second, withThree);
    EXPECT_FALSE(mTracker1.Take().has_value());  // one datagram per tracker per cycle
}

class TrackerTwoTest : public TrackerAppTest {
protected:
    void SetUp() override {
        mDesc = "A description";
        mRows = {{"", ""}, {mTracker1.Address(), "alpha"}, {"", ""}, {mTracker2.Address(), ""}};
        AppFixture::SetUp();
    }
};

TEST_F(TrackerTwoTest, TwoTrackersDifferOnlyInThePassword) {
    auto a = Receive(mTracker1);
    auto b = Receive(mTracker2);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(*a, Expected(0, "alpha"));
    EXPECT_EQ(*b, Expected(0, ""));
    ASSERT_EQ(a->size(), b->size() + 5);
    EXPECT_TRUE(std::equal(b->begin(), b->end() - 1, a->begin()));
}

class TrackerDisabledTest : public TrackerAppTest {
protected:
    void SetUp() override {
        mEnabled = false;
        mRows = {{mTracker1.Address(), ""}};
        AppFixture::SetUp();
    }
};

TEST_F(TrackerDisabledTest, NothingIsSentWhenRegistrationIsOff) {
    EXPECT_FALSE(mApp->IsTrackerRunning());
    AdvanceSeconds(300);
    EXPECT_FALSE(Receive(mTracker1, 200).has_value());
    mApp->UpdateTracker();  // called directly, it still checks the switch
    EXPECT_FALSE(Receive(mTracker1, 100).has_value());
}

class TrackerNoNameTest : public TrackerAppTest {
protected:
    void SetUp() override {
        mName = "";
        mRows = {{mTracker1.Address(), ""}};
        AppFixture::SetUp();
    }
};

TEST_F(TrackerNoNameTest, AnEmptyServerNameAnnouncesNothing) {
    EXPECT_FALSE(Receive(mTracker1, 200).has_value());
    AdvanceSeconds(300);
    EXPECT_FALSE(Receive(mTracker1, 200).has_value());
    // Start-up leaves the saved choice alone; only the operator's options switch it off.
    EXPECT_NE(mApp->Options().nOpts & kMyOptTracker, 0u);

    // Naming the server starts the announcements, the first at once.
    mName = "Test";
    mApp->mServerName = mName;
    mApp->RestartTracker();
    EXPECT_TRUE(mApp->IsTrackerRunning());
    auto got = Receive(mTracker1);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, Expected(0, ""));

    // Emptying every row switches it off and stops the timer.
    for (auto& e : mApp->Prefs().mTrackInfo) UTracker::ApplyRow(e, "", "");
    mApp->RestartTracker();
    EXPECT_FALSE(mApp->IsTrackerRunning());
    EXPECT_EQ(mApp->Options().nOpts & kMyOptTracker, 0u);
}

class TrackerNoRowsTest : public TrackerAppTest {
protected:
    void CustomizePrefs(SMyPrefs& prefs) override {
        TrackerAppTest::CustomizePrefs(prefs);
        prefs.mAdminLogin.Set("admin");  // as the server writes it back
    }
};

TEST_F(TrackerNoRowsTest, StartUpAndQuitKeepTheSavedSwitch) {
    const std::string pref = UMyPrefs::GetPrefsSpec(mDir.Path());
    const std::string before = ReadFileText(pref);
    ASSERT_GT(before.size(), 63u);
    ASSERT_EQ(before[63] & kMyOptTracker, 1);  // the low byte of the option word at offset 60
    mApp->Quit();
    EXPECT_EQ(ReadFileText(pref), before);
}

class TrackerLookupTest : public TrackerAppTest {
protected:
    void SetUp() override {
        mRows = {{"no-such-host.invalid:" + std::to_string(mTracker1.Port()), "lost"},
                 {"localhost:" + std::to_string(mTracker2.Port()), "named"},
                 {"bad-port-host:", "x"},
                 {mTracker1.Address(), "direct"}};
        AppFixture::SetUp();
    }
};

TEST_F(TrackerLookupTest, AnUnknownHostDropsOnlyItsOwnDatagram) {
    // While names are looked up the server keeps serving.
    auto client = ConnectClient();
    EXPECT_EQ(mApp->Stats().connCount, 1u);

    auto named = Receive(mTracker2, 10000);
    ASSERT_TRUE(named.has_value());
    EXPECT_EQ(*named, Expected(0, "named"));
    // The unresolvable row sends nothing; the malformed row is logged; the row after them
    // still gets its datagram.
    auto direct = Receive(mTracker1, 10000);
    ASSERT_TRUE(direct.has_value());
    EXPECT_EQ(*direct, Expected(0, "direct"));
    EXPECT_FALSE(Receive(mTracker1, 100).has_value());
    EXPECT_NE(ReadFileText(mDir / "Error Log.txt").find("8/101"), std::string::npos);
}

}  // namespace
}  // namespace kx::test
