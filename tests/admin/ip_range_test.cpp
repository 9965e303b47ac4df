// Range texts of the ban list: each form parsed, each written back in its shortest form, and
// slips that must not turn into a ban of everyone.
#include "admin/ip_range.h"

#include <gtest/gtest.h>

namespace kx {
namespace {

SIPAddress A(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) { return SIPAddress{{a, b, c, d}}; }

struct Range {
    SIPAddress first, last;
};
Range Parse(std::string_view text) {
    Range r;
    IPrangeFromString(text, r.first, r.last);
    return r;
}

TEST(IPRange, FormsParseAndWriteBack) {
    struct Case {
        const char* text;
        SIPAddress first, last;
        const char* written;
    } cases[] = {
        {"10.0.0.0/8", A(10, 0, 0, 0), A(10, 0, 0, 255), "10.0.0.0/8"},
        {"10.1.2.3/8", A(10, 1, 2, 0), A(10, 1, 2, 255), "10.1.2.0/8"},
        {"10.0.0.5+3", A(10, 0, 0, 5), A(10, 0, 0, 8), "10.0.0.5+3"},
        {"10.0.0.0-10.0.1.0", A(10, 0, 0, 0), A(10, 0, 1, 0), "10.0.0.0+256"},
        {"10.0.0.0-10.0.0.1", A(10, 0, 0, 0), A(10, 0, 0, 1), "10.0.0.0+1"},
        {"10.0.0.0/3", A(10, 0, 0, 0), A(10, 0, 0, 7), "10.0.0.0+7"},  // below 4 bits: "+"
        {"10.0.0.0/4", A(10, 0, 0, 0), A(10, 0, 0, 15), "10.0.0.0/4"},
        {"0.0.0.0/31", A(0, 0, 0, 0), A(127, 255, 255, 255), "0.0.0.0/31"},
        {"10.0.0.0/0", A(10, 0, 0, 0), A(10, 0, 0, 0), "10.0.0.0"},
        {"192.168.7.7", A(192, 168, 7, 7), A(192, 168, 7, 7), "192.168.7.7"},
        {"1.0.0.0-1.0.39.16", A(1, 0, 0, 0), A(1, 0, 39, 16), "1.0.0.0-1.0.39.16"},  // 10000 apart
        {"1.0.0.0+9999", A(1, 0, 0, 0), A(1, 0, 39, 15), "1.0.0.0+9999"},
        {"10.0.0.9-10.0.0.1", A(10, 0, 0, 9), A(10, 0, 0, 1), "10.0.0.9-10.0.0.1"},  // reversed
        {"255.255.255.250+5", A(255, 255, 255, 250), A(255, 255, 255, 255), "255.255.255.250+5"},
        {"", A(0, 0, 0, 0), A(0, 0, 0, 0), ""},
    };
    for (const auto& c : cases) {
        const Range r = Parse(c.text);
        EXPECT_EQ(r.first, c.first) << c.text;
        EXPECT_EQ(r.last, c.last) << c.text;
        EXPECT_EQ(IPrangeToString(r.first, r.last), c.written) << c.text;
    }
}

TEST(IPRange, PartsThatAreNotAddressesCountAsZero) {
    Range r = Parse("host-10.0.0.1");
    EXPECT_EQ(r.first, A(0, 0, 0, 0));
    EXPECT_EQ(r.last, A(10, 0, 0, 1));
    EXPECT_EQ(IPrangeToString(r.first, r.last), "0.0.0.0-10.0.0.1");

    r = Parse("10.0.0.1-nowhere");
    EXPECT_EQ(r.first, A(10, 0, 0, 1));
    EXPECT_EQ(r.last, A(0, 0, 0, 0));

    r = Parse("1.2.3");
    EXPECT_EQ(r.first, A(0, 0, 0, 0));
    EXPECT_EQ(r.last, A(0, 0, 0, 0));
}

TEST(IPRange, BadCountsGiveAnEmptyRange) {
    for (const char* text : {"10.0.0.0/32", "10.0.0.0/99", "10.0.0.0/", "10.0.0.0/8x", "10.0.0.0/ 8",
                             "10.0.0.0+", "10.0.0.0+abc", "10.0.0.0+-3", "255.255.255.250+6",
                             "10.0.0.0+99999999999", "0.0.0.0/4294967304"}) {
        const Range r = Parse(text);
        EXPECT_EQ(r.first, A(0, 0, 0, 0)) << text;
        EXPECT_EQ(r.last, A(0, 0, 0, 0)) << text;
        EXPECT_EQ(IPrangeToString(r.first, r.last), "") << text;
    }
}

TEST(IPRange, TextIsCutTo63Characters) {
    // The count's last digit falls beyond character 63 and is not seen.
    std::string text = "10.0.0.1+" + std::string(53, '0') + "12";
    ASSERT_EQ(text.size(), 64u);
    const Range r = Parse(text);
    EXPECT_EQ(r.first, A(10, 0, 0, 1));
    EXPECT_EQ(r.last, A(10, 0, 0, 2));
}

TEST(IPRange, DottedAddressRules) {
    struct Case {
        const char* text;
        bool ok;
        SIPAddress addr;
    } cases[] = {
        {"1.2.3.4", true, A(1, 2, 3, 4)},
        {"1.2.3", false, {}},
        {"1.2.3.256", false, {}},
        {"01.002.3.4", true, A(1, 2, 3, 4)},
        {"1.2.3.100abc", true, A(1, 2, 3, 100)},
        {"1.2.3.4abc", false, {}},
        {"0001.2.3.4", false, {}},
        {"1..2.3.4", false, {}},
        {"a.b.c.d", false, {}},
        {"255.255.255.255", true, A(255, 255, 255, 255)},
        {"000.000.000.000", true, A(0, 0, 0, 0)},
    };
    for (const auto& c : cases) {
        SIPAddress out = A(9, 9, 9, 9);
        EXPECT_EQ(ParseDottedAddress(c.text, out), c.ok) << c.text;
        EXPECT_EQ(out, c.addr) << c.text;
    }
}

}  // namespace
}  // namespace kx
