// The named options of the console and the command line: checks, conversions, what is shown;
// and the line splitter of the console input.
#include <gtest/gtest.h>

#include <map>

#include "console/console_io.h"
#include "console/option_settings.h"
#include "server/extended_options.h"

namespace kx::test {
namespace {

std::map<std::string, std::string> Shown(const SMyPrefs& p) {
    std::map<std::string, std::string> m;
    for (const auto& [k, v] : UOptionSettings::List(p)) m[k] = v;
    return m;
}

TEST(OptionSettings, NumbersAndSwitchesWithinTheirBounds) {
    SMyPrefs p = SMyPrefs::Defaults();
    std::string err;
    EXPECT_TRUE(UOptionSettings::Set(p, "port", "6000", err));
    EXPECT_EQ(p.mOptions.nBasePortNum, 6000);
    for (const char* bad : {"0", "65533", "-1", "12x", "", "99999999999"}) {
        EXPECT_FALSE(UOptionSettings::Set(p, "port", bad, err)) << bad;
        EXPECT_EQ(err, "bad value for port: a number from 1 to 65532");
    }
    EXPECT_EQ(p.mOptions.nBasePortNum, 6000);

    EXPECT_TRUE(UOptionSettings::Set(p, "max-connections-ip", "0", err));
    EXPECT_EQ(p.mOptions.nMaxConnectionsIP, 0);
    EXPECT_FALSE(UOptionSettings::Set(p, "max-downloads", "0", err));
    EXPECT_TRUE(UOptionSettings::Set(p, " max-downloads-client ", " 3 ", err));
    EXPECT_EQ(p.mOptions.nMaxDownloadsClient, 3);

    EXPECT_TRUE(UOptionSettings::Set(p, "connect-log", "on", err));
    EXPECT_TRUE(UOptionSettings::Set(p, "confirm-quit", "off", err));
    EXPECT_EQ(p.mOptions.nOpts, kMyOptSound | kMyOptConnectLog);
    EXPECT_FALSE(UOptionSettings::Set(p, "connect-log", "maybe", err));
    EXPECT_EQ(err, "bad value for connect-log: on or off");
    EXPECT_FALSE(UOptionSettings::Set(p, "no-such-option", "1", err));
    EXPECT_EQ(err, "unknown option \"no-such-option\" (\"options\" lists them)");
}

TEST(OptionSettings, AddressMustBeDottedOrAny) {
    SMyPrefs p = SMyPrefs::Defaults();
    std::string err;
    EXPECT_TRUE(UOptionSettings::Set(p, "address", "192.168.1.20", err));
    EXPECT_EQ(p.mOptions.stIPAddress.AsHostOrder(), 0xC0A80114u);
    EXPECT_EQ(Shown(p)["address"], "192.168.1.20");
    for (const char* bad : {"192.168.1", "300.1.1.1", "host.example", "1.2.3.4x", "01.2.3.4"})
        EXPECT_FALSE(UOptionSettings::Set(p, "address", bad, err)) << bad;
    EXPECT_EQ(p.mOptions.stIPAddress.AsHostOrder(), 0xC0A80114u);
    EXPECT_TRUE(UOptionSettings::Set(p, "address", "any", err));
    EXPECT_TRUE(p.mOptions.stIPAddress.IsZero());
    EXPECT_EQ(Shown(p)["address"], "any");
}

TEST(OptionSettings, TextsAreStoredInMacRomanAndChecked) {
    SMyPrefs p = SMyPrefs::Defaults();
    std::string err;
    EXPECT_TRUE(UOptionSettings::Set(p, "name", "Caf\xC3\xA9", err));  // "Café" typed in UTF-8
    EXPECT_EQ(p.mServerName.Str(), "Caf\x8E");
    EXPECT_EQ(Shown(p)["name"], "Caf\xC3\xA9");

    EXPECT_FALSE(UOptionSettings::Set(p, "name", std::string(32, 'n'), err));
    EXPECT_EQ(err, "bad value for name: too long: at most 31 characters");
    EXPECT_FALSE(UOptionSettings::Set(p, "description", "a\x01" "b", err));
    EXPECT_FALSE(UOptionSettings::Set(p, "description", "\xE4\xB8\xAD", err));  // a CJK character
    EXPECT_EQ(err, "bad value for description: the text holds characters that clients cannot show (Mac OS Roman only)");
    EXPECT_TRUE(UOptionSettings::Set(p, "description", std::string(127, 'd'), err));
    EXPECT_TRUE(UOptionSettings::Set(p, "banner-url", std::string(255, 'u'), err));
    EXPECT_FALSE(UOptionSettings::Set(p, "banner-url", std::string(256, 'u'), err));
    EXPECT_TRUE(UOptionSettings::Set(p, "name", "", err));
    EXPECT_TRUE(p.mServerName.IsEmpty());

    EXPECT_TRUE(UOptionSettings::Set(p, "admin-login", "Boss", err));
    for (const char* bad : {"", "a/b", "..", ".hidden", "0123456789012345678901234567890123"})
        EXPECT_FALSE(UOptionSettings::Set(p, "admin-login", bad, err)) << bad;
    EXPECT_EQ(p.mAdminLogin.Str(), "Boss");
}

TEST(OptionSettings, TrackerRowsAndMaskedPasswords) {
    SMyPrefs p = SMyPrefs::Defaults();
    std::string err;
    EXPECT_TRUE(UOptionSettings::Set(p, "tracker2", "  tracker.example.net:5600 ", err));
    EXPECT_EQ(p.mTrackInfo[1].Name(), "tracker.example.net:5600");
    EXPECT_EQ(p.mTrackInfo[1].addr.port, 0);
    EXPECT_TRUE(UOptionSettings::Set(p, "tracker2-password", "pw", err));
    EXPECT_TRUE(UOptionSettings::Set(p, "tracker2-login", "me", err));
    EXPECT_EQ(p.mTrackInfo[1].passwd.Str(), "pw");
    EXPECT_TRUE(UOptionSettings::Set(p, "tracker2", "other.example.net", err));
    EXPECT_EQ(p.mTrackInfo[1].addr.port, kDefaultTrackerPort);
    EXPECT_EQ(p.mTrackInfo[1].passwd.Str(), "pw");  // the address alone changed
    EXPECT_FALSE(UOptionSettings::Set(p, "tracker6", "x", err));
    EXPECT_FALSE(UOptionSettings::Set(p, "tracker0-password", "x", err));
    EXPECT_FALSE(UOptionSettings::Set(p, "tracker1-password", std::string(32, 'p'), err));

    auto shown = Shown(p);
    EXPECT_EQ(shown["tracker2"], "other.example.net");
    EXPECT_EQ(shown["tracker2-login"], "me");
    EXPECT_EQ(shown["tracker2-password"], "(set)");
    EXPECT_EQ(shown["tracker1-password"], "");
}

TEST(OptionSettings, SplitAssignment) {
    std::string n, v;
    EXPECT_TRUE(UOptionSettings::SplitAssignment("name=My Server = best", n, v));
    EXPECT_EQ(n, "name");
    EXPECT_EQ(v, "My Server = best");
    EXPECT_FALSE(UOptionSettings::SplitAssignment("=x", n, v));
    EXPECT_FALSE(UOptionSettings::SplitAssignment("name", n, v));
}

TEST(ExtendedOptions, BadLinesAreNamedAndKeptAndARewriteChangesOnlyItsLine) {
    CMyExtendedOptions o;
    const std::vector<std::string> notes = o.Parse(
        "# TLS set-up\r\n"
        "tls_port = 7004\n"
        "\n"
        "colour = blue\n"
        "just words\n"
        "tls = maybe\n"
        "tls_port=7010\n"
        "  tls_key =  keys/k.pem  \n",
        "kestrix.conf");
    EXPECT_EQ(notes, (std::vector<std::string>{
                         "kestrix.conf line 4: unknown option \"colour\"; ignored",
                         "kestrix.conf line 5: not NAME = VALUE; ignored",
                         "kestrix.conf line 6: bad value for tls (on or off); ignored",
                         "kestrix.conf line 7: tls_port is set again; this line counts",
                     }));
    EXPECT_EQ(o.Port("tls_port", 1), 7010);
    EXPECT_TRUE(o.Switch("tls", true));
    EXPECT_EQ(o.Path("tls_key", "TLS/key.pem", "/srv"), "/srv/keys/k.pem");
    EXPECT_EQ(o.Path("tls_certificate", "TLS/cert.pem", "/srv"), "/srv/TLS/cert.pem");

    std::string err;
    EXPECT_FALSE(o.Set("tls_transfer_port", "70000", err));
    EXPECT_EQ(err, "bad value for tls_transfer_port: a port number from 1 to 65535");
    EXPECT_FALSE(o.Set("tls-port", "1", err));
    EXPECT_EQ(err, "unknown option \"tls-port\" (\"options\" lists them)");
    for (const char* bad : {"localhost:9100", "10.0.0:9100", "10.0.0.256:9100", "10.0.0.1", "10.0.0.1:0", "10.0.0.1:x"}) {
        EXPECT_FALSE(o.Set("metrics", bad, err)) << bad;
        EXPECT_EQ(err.rfind("bad value for metrics: off, or HOST:PORT", 0), 0u) << err;
    }
    EXPECT_TRUE(o.Set("metrics", "0.0.0.0:09100", err));
    EXPECT_EQ(o.Get("metrics"), "0.0.0.0:9100");
    EXPECT_TRUE(o.Set("metrics", "off", err));
    EXPECT_EQ(o.Get("metrics"), "off");
    EXPECT_TRUE(o.Set("metrics", "default", err));
    EXPECT_TRUE(o.Set("tls", "no", err));
    EXPECT_TRUE(o.Set("tls_transfer_port", "7011", err));
    EXPECT_TRUE(o.Set("tls_key", "default", err));
    EXPECT_EQ(o.Text(),
              "# TLS set-up\n"
              "tls_port = 7004\n"
              "\n"
              "colour = blue\n"
              "just words\n"
              "tls = maybe\n"
              "tls_port = 7010\n"
              "tls = off\n"
              "tls_transfer_port = 7011\n");
    std::map<std::string, std::string> shown;
    for (const auto& [k, v] : o.List()) shown[k] = v;
    EXPECT_EQ(shown["tls"], "off");
    EXPECT_EQ(shown["tls_key"], "(default: TLS/key.pem)");
    EXPECT_EQ(shown["tls_port"], "7010");
    // What was written reads back the same, with the same notes for the lines still ignored.
    CMyExtendedOptions again;
    EXPECT_EQ(again.Parse(o.Text()).size(), 4u);
    EXPECT_EQ(again.Text(), o.Text());
}

TEST(ConsoleLineSplitter, LinesCarriageReturnsAndOverlongLines) {
    CMyLineSplitter s;
    std::vector<std::pair<std::string, bool>> got;
    auto sink = [&](const std::string& l, bool tooLong) { got.emplace_back(l, tooLong); };
    s.Feed("sta", sink);
    EXPECT_TRUE(got.empty());
    s.Feed("ts\r\nquit bye\n\n", sink);
    s.Feed(std::string(kConsoleLineMax + 10, 'x'), sink);
    s.Feed("yyy\nafter", sink);
    s.Finish(sink);
    s.Finish(sink);  // nothing more
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0], std::make_pair(std::string("stats"), false));
    EXPECT_EQ(got[1], std::make_pair(std::string("quit bye"), false));
    EXPECT_EQ(got[2], std::make_pair(std::string(), false));
    EXPECT_EQ(got[3], std::make_pair(std::string(), true));
    EXPECT_EQ(got[4], std::make_pair(std::string("after"), false));
}

}  // namespace
}  // namespace kx::test
