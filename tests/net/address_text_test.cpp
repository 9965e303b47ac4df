// Address-text helpers: dotted-address parsing at its limits, formatting into short buffers, and
// masking of address text before it is shown.
#include <gtest/gtest.h>

#include <string>

#include "net/transport.h"

namespace kx {
namespace {

std::string P(const std::string& s) { return std::string(1, static_cast<char>(s.size())) + s; }

// Parses `text`; returns the dotted result, or "fail" (checking that the output was zeroed).
std::string Parse(const std::string& text) {
    const std::string p = P(text);
    SIPAddress out;
    out.b[0] = out.b[1] = out.b[2] = out.b[3] = 9;
    if (!UTransport::TextToIPAddress(reinterpret_cast<const std::uint8_t*>(p.data()), out)) {
        return out.IsZero() ? "fail" : "fail, output not cleared";
    }
    return std::to_string(out.b[0]) + "." + std::to_string(out.b[1]) + "." + std::to_string(out.b[2]) + "." +
           std::to_string(out.b[3]);
}

TEST(AddressText, TextToIPAddress) {
    EXPECT_EQ(Parse("1.2.3.4"), "1.2.3.4");
    EXPECT_EQ(Parse("255.255.255.255"), "255.255.255.255");
    EXPECT_EQ(Parse("1.2.3"), "fail");  // shorter than 7
    EXPECT_EQ(Parse("1.2.3.256"), "fail");
    EXPECT_EQ(Parse("01.002.3.4"), "1.2.3.4");  // leading zeros are decimal
    EXPECT_EQ(Parse("010.0.0.8"), "10.0.0.8");
    EXPECT_EQ(Parse("1.2.3.100abc"), "1.2.3.100");  // past three characters, ignored
    EXPECT_EQ(Parse("1.2.3.4a"), "fail");
    EXPECT_EQ(Parse("1234.2.3.4"), "fail");
    EXPECT_EQ(Parse("1..2.3.4"), "fail");
    EXPECT_EQ(Parse(".1.2.3.4"), "fail");
    EXPECT_EQ(Parse("1.2.3.4.5"), "fail");
    EXPECT_EQ(Parse("a.b.c.d.e"), "fail");
    EXPECT_EQ(Parse("1.2.-3.4"), "fail");
    EXPECT_EQ(Parse("host:5500"), "fail");
    SIPAddress out;
    EXPECT_FALSE(UTransport::TextToIPAddress(nullptr, out));
}

TEST(AddressText, IPAddressToTextTruncatesToTheCapacity) {
    SIPAddress a;
    a.b[0] = 192;
    a.b[1] = 168;
    a.b[2] = 0;
    a.b[3] = 255;
    char buf[16];
    EXPECT_EQ(UTransport::IPAddressToText(a, buf, sizeof(buf)), 13u);
    EXPECT_STREQ(buf, "192.168.0.255");
    char small[6] = {'#', '#', '#', '#', '#', '#'};
    EXPECT_EQ(UTransport::IPAddressToText(a, small, 5), 5u);
    EXPECT_EQ(std::string(small, 6), "192.1#");  // no room for a NUL: none written past capacity
    EXPECT_EQ(UTransport::IPAddressToText(a, nullptr, 16), 0u);
    EXPECT_EQ(UTransport::IPAddressToText(a, buf, 0), 0u);
    // The host-order form the server keeps for each client, and back.
    EXPECT_EQ(a.AsHostOrder(), 0xC0A800FFu);
    EXPECT_EQ(ToIPAddress(0xC0A800FFu), a);
    EXPECT_EQ(IPAddressText(0x0A000001u), "10.0.0.1");
}

TEST(AddressText, CleanUpAddressText) {
    char buf[64];
    const std::string in = "  host:5500 extra";
    EXPECT_EQ(UTransport::CleanUpAddressText(0, in.data(), static_cast<std::uint32_t>(in.size()), buf, sizeof(buf)), 9u);
    EXPECT_STREQ(buf, "host:5500");

    const std::string oddIn("\t\r\na\x01" "b\x7f" "c\xe9" "d\x00" "e f", 14);
    EXPECT_EQ(UTransport::CleanUpAddressText(0, oddIn.data(), 14, buf, sizeof(buf)), 9u);
    EXPECT_EQ(std::string(buf, 9), "axbxcxdxe");

    EXPECT_EQ(UTransport::CleanUpAddressText(0, in.data(), static_cast<std::uint32_t>(in.size()), buf, 4), 4u);
    EXPECT_EQ(std::string(buf, 4), "host");
    EXPECT_EQ(UTransport::CleanUpAddressText(0, "   ", 3, buf, sizeof(buf)), 0u);
    EXPECT_EQ(UTransport::CleanUpAddressText(0, in.data(), 5, nullptr, 10), 0u);
}

}  // namespace
}  // namespace kx
