// The web listener's parsers on their own: the WebSocket accept key and frame headers, the
// client-frame reader (streams fragmented messages, stops at control frames, refuses every fault
// with its close code), the HTTP request head reader and its caps, and the decisions on a
// request (file paths, Origin against Host, the client's address behind trusted proxies).
#include <gtest/gtest.h>

#include "net/web_request.h"
#include "net/websocket_frame.h"
#include "support/websocket_test_client.h"

namespace kx {
namespace {

using test::Bytes;
using test::CWebSocketTestClient;

std::vector<std::uint8_t> ReadAll(CWebSocketReader& r, const Bytes& in, bool byteByByte) {
    std::vector<std::uint8_t> out;
    for (std::size_t at = 0; at < in.size() && r.Failure() == 0;) {
        at += r.Read(in.data() + at, byteByByte ? 1 : in.size() - at, out);
        if (r.HasControl()) r.ClearControl();
    }
    return out;
}

TEST(WebSocketFrame, AcceptKeyAndServerHeaders) {
    EXPECT_EQ(UWebSocket::AcceptKey("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
    EXPECT_TRUE(UWebSocket::IsValidKey("dGhlIHNhbXBsZSBub25jZQ=="));
    EXPECT_FALSE(UWebSocket::IsValidKey("dGhlIHNhbXBsZSBub25jZQ="));
    EXPECT_FALSE(UWebSocket::IsValidKey("dGhlIHNhbXBsZSBub25j!Q=="));
    std::uint8_t h[10];
    EXPECT_EQ(UWebSocket::EncodeHeader(kWsOpBinary, 125, h), 2u);
    EXPECT_EQ(Bytes(h, h + 2), (Bytes{0x82, 125}));
    EXPECT_EQ(UWebSocket::EncodeHeader(kWsOpBinary, 126, h), 4u);
    EXPECT_EQ(Bytes(h, h + 4), (Bytes{0x82, 126, 0, 126}));
    EXPECT_EQ(UWebSocket::EncodeHeader(kWsOpBinary, 65536, h), 10u);
    EXPECT_EQ(Bytes(h, h + 10), (Bytes{0x82, 127, 0, 0, 0, 0, 0, 1, 0, 0}));
    EXPECT_EQ(UWebSocket::CloseFrame(1009), (Bytes{0x88, 2, 0x03, 0xF1}));
}

TEST(WebSocketFrame, ReaderStreamsFragmentsAroundControlFrames) {
    Bytes payload(70000);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i * 7);
    Bytes in = CWebSocketTestClient::Frame(kWsOpBinary, Bytes(payload.begin(), payload.begin() + 3), false);
    const Bytes ping = CWebSocketTestClient::Frame(kWsOpPing, {'h', 'i'});
    in.insert(in.end(), ping.begin(), ping.end());
    const Bytes rest = CWebSocketTestClient::Frame(kWsOpContinuation, Bytes(payload.begin() + 3, payload.end()));
    in.insert(in.end(), rest.begin(), rest.end());
    for (bool byteByByte : {false, true}) {
        CWebSocketReader r;
        EXPECT_EQ(ReadAll(r, in, byteByByte), payload);
        EXPECT_EQ(r.Failure(), 0);
        EXPECT_FALSE(r.InMessage());
    }
    // The reader stops right after the ping, its payload unmasked.
    CWebSocketReader r;
    std::vector<std::uint8_t> out;
    const std::size_t used = r.Read(in.data(), in.size(), out);
    EXPECT_EQ(used, 6 + 3 + ping.size());
    ASSERT_TRUE(r.HasControl());
    EXPECT_EQ(r.ControlOpcode(), kWsOpPing);
    EXPECT_EQ(r.ControlPayload(), (Bytes{'h', 'i'}));
}

TEST(WebSocketFrame, ReaderRefusesEveryFaultWithItsCode) {
    const SWsLimits limits{1000, 1500, 4};
    auto frames = [](std::initializer_list<Bytes> list) {
        Bytes all;
        for (const Bytes& b : list) all.insert(all.end(), b.begin(), b.end());
        return all;
    };
    const Bytes k600(600, 'x');
    const struct {
        Bytes in;
        std::uint16_t code;
        const char* why;
    } cases[] = {
        {CWebSocketTestClient::Frame(kWsOpBinary, {1}, true, false), 1002, "unmasked client frame"},
        {Bytes{0xC2, 0x80, 0, 0, 0, 0}, 1002, "reserved bits set"},
        {CWebSocketTestClient::Frame(kWsOpText, {'a'}), 1003, "text message"},
        {CWebSocketTestClient::Frame(0x3, {}), 1002, "reserved opcode"},
        {CWebSocketTestClient::Frame(kWsOpPing, {}, false), 1002, "fragmented control frame"},
        {CWebSocketTestClient::Frame(kWsOpPing, Bytes(126, 0)), 1002, "control frame too long"},
        {CWebSocketTestClient::Frame(kWsOpContinuation, {1}), 1002, "continuation outside a message"},
        {frames({CWebSocketTestClient::Frame(kWsOpBinary, {1}, false), CWebSocketTestClient::Frame(kWsOpBinary, {2})}),
         1002, "new message inside a message"},
        {Bytes{0x82, 0xFF, 0x80, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0}, 1002, "frame length out of range"},
        {CWebSocketTestClient::Frame(kWsOpBinary, Bytes(1001, 0)), 1009, "frame too large"},
        {frames({CWebSocketTestClient::Frame(kWsOpBinary, k600, false), CWebSocketTestClient::Frame(kWsOpContinuation, k600,
                                                                                                     false),
                 CWebSocketTestClient::Frame(kWsOpContinuation, k600)}),
         1009, "message too large"},
        {frames({CWebSocketTestClient::Frame(kWsOpBinary, {}, false), CWebSocketTestClient::Frame(kWsOpContinuation, {}, false),
                 CWebSocketTestClient::Frame(kWsOpContinuation, {}, false),
                 CWebSocketTestClient::Frame(kWsOpContinuation, {}, false),
                 CWebSocketTestClient::Frame(kWsOpContinuation, {})}),
         1009, "message cut into too many frames"},
    };
    for (const auto& c : cases) {
        CWebSocketReader r(limits);
        const std::vector<std::uint8_t> out = ReadAll(r, c.in, false);
        EXPECT_EQ(r.Failure(), c.code) << c.why;
        EXPECT_STREQ(r.FailureText(), c.why);
        EXPECT_LE(out.size(), 1200u) << c.why;  // the payload of the refused frame is never handed on
        // Once failed, nothing more is read.
        std::vector<std::uint8_t> more;
        EXPECT_EQ(r.Read(c.in.data(), c.in.size(), more), 0u) << c.why;
    }
}

test::Bytes Text(std::string_view s) { return Bytes(s.begin(), s.end()); }

TEST(WebRequest, ReaderTakesHeadsWithinTheirCaps) {
    CWebRequestReader r;
    const Bytes in = Text("\r\nGET /kestrix?x=1 HTTP/1.1\r\nHost: a:1\r\nConnection: keep-alive, Upgrade\r\n"
                          "X-Forwarded-For: 1.2.3.4\r\nX-Forwarded-For:  5.6.7.8 \r\n\r\nrest");
    EXPECT_EQ(r.Feed(in.data(), in.size()), in.size() - 4);
    ASSERT_EQ(r.State(), CWebRequestReader::EState::kDone);
    const SWebRequest& q = r.Request();
    EXPECT_EQ(q.method + " " + q.target + " " + q.version, "GET /kestrix?x=1 HTTP/1.1");
    EXPECT_TRUE(q.HasToken("connection", "upgrade"));
    EXPECT_FALSE(q.HasToken("connection", "close"));
    ASSERT_NE(q.Field("x-forwarded-for"), nullptr);
    EXPECT_EQ(*q.Field("x-forwarded-for"), "1.2.3.4");

    auto verdict = [](const std::string& head) {
        CWebRequestReader reader;
        const Bytes bytes = Text(head);
        reader.Feed(bytes.data(), bytes.size());
        return reader.State();
    };
    using E = CWebRequestReader::EState;
    EXPECT_EQ(verdict("GET / HTTP/1.1\r\nA: " + std::string(4090, 'v') + "\r\n\r\n"), E::kDone);
    EXPECT_EQ(verdict("GET / HTTP/1.1\r\nA: " + std::string(4094, 'v') + "\r\n\r\n"), E::kTooLarge);
    std::string many = "GET / HTTP/1.1\r\n";
    for (int i = 0; i < 5; ++i) many += "A: " + std::string(4000, 'v') + "\r\n";
    EXPECT_EQ(verdict(many), E::kTooLarge);
    std::string fields = "GET / HTTP/1.1\r\n";
    for (int i = 0; i < 65; ++i) fields += "A: b\r\n";
    EXPECT_EQ(verdict(fields + "\r\n"), E::kTooLarge);
    EXPECT_EQ(verdict("GET / HTTP/1.1\r\nA: b\r\n folded\r\n\r\n"), E::kBad);
    EXPECT_EQ(verdict("GET / HTTP/1.1\r\nA : b\r\n\r\n"), E::kBad);
    EXPECT_EQ(verdict("GET / HTTP/2.0\r\n\r\n"), E::kBad);
    EXPECT_EQ(verdict("GET  / HTTP/1.1\r\n\r\n"), E::kBad);
    EXPECT_EQ(verdict("GET / HTTP/1.0\n\n"), E::kDone);
}

TEST(WebRequest, FilePathsNeverLeaveTheServedTree) {
    EXPECT_EQ(UWebRequest::FilePath("/"), "index.html");
    EXPECT_EQ(UWebRequest::FilePath("/app.js?v=2"), "app.js");
    EXPECT_EQ(UWebRequest::FilePath("/img/a%20b.png"), "img/a b.png");
    EXPECT_EQ(UWebRequest::FilePath("/docs/"), "docs/index.html");
    for (const char* bad : {"", "app.js", "/../pref", "/a/../../pref", "/%2e%2e/pref", "/%2E%2e%2fpref", "//etc/passwd",
                            "/.git/config", "/a/./b", "/a%5cb", "/a%00b", "/a%zz", "/a%2", "http://x/app.js"})
        EXPECT_EQ(UWebRequest::FilePath(bad), std::nullopt) << bad;
}

TEST(WebRequest, OriginMustNameTheHostAndProxiesNameTheClient) {
    EXPECT_TRUE(UWebRequest::OriginMatchesHost("http://example.org:5507", "Example.org:5507"));
    EXPECT_TRUE(UWebRequest::OriginMatchesHost("https://example.org", "example.org"));
    EXPECT_TRUE(UWebRequest::OriginMatchesHost("http://example.org", "example.org:80"));
    EXPECT_TRUE(UWebRequest::OriginMatchesHost("http://[::1]:8080", "[::1]:8080"));
    EXPECT_FALSE(UWebRequest::OriginMatchesHost("http://evil.example:5507", "example.org:5507"));
    EXPECT_FALSE(UWebRequest::OriginMatchesHost("http://example.org:5508", "example.org:5507"));
    EXPECT_FALSE(UWebRequest::OriginMatchesHost("https://example.org", "example.org:80"));
    EXPECT_FALSE(UWebRequest::OriginMatchesHost("null", "example.org"));
    EXPECT_FALSE(UWebRequest::OriginMatchesHost("http://example.org/x", "example.org"));

    EXPECT_EQ(UWebRequest::ParseIPv4("::ffff:10.0.0.1"), 0x0A000001u);
    EXPECT_EQ(UWebRequest::ParseIPv4("10.0.0.256"), std::nullopt);
    EXPECT_EQ(UWebRequest::ParseIPv4("10.0.0.1x"), std::nullopt);
    const std::vector<UWebRequest::SAddressRange> trusted{{0x7F000003, 0x7F000003}, {0x0A000000, 0x0A0000FF}};
    auto client = [&](std::uint32_t peer, std::vector<std::string> forwarded) {
        SWebRequest r;
        for (auto& f : forwarded) r.fields.emplace_back("x-forwarded-for", f);
        return UWebRequest::ClientAddress(peer, r, trusted);
    };
    EXPECT_EQ(client(0x7F000004, {"203.0.113.5"}), 0x7F000004u);                    // untrusted peer
    EXPECT_EQ(client(0x7F000003, {}), 0x7F000003u);                                 // nothing forwarded
    EXPECT_EQ(client(0x7F000003, {"198.51.100.1, 203.0.113.5"}), 0xCB007105u);      // the nearest hop
    EXPECT_EQ(client(0x7F000003, {"198.51.100.1, 203.0.113.5, 10.0.0.7"}), 0xCB007105u);  // past a proxy
    EXPECT_EQ(client(0x7F000003, {"203.0.113.5", "10.0.0.7"}), 0xCB007105u);        // two fields
    EXPECT_EQ(client(0x7F000003, {"unknown, 10.0.0.7"}), 0x0A000007u);              // the last trusted hop
}

}  // namespace
}  // namespace kx
