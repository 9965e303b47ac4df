// The web listener of the real binary: the web client's files (built in, overridden by the "Web"
// folder, nothing outside them), a session over a WebSocket seen by a TCP client and counted by
// the metrics, the client address forwarded by a trusted proxy only, and hostile peers (bad
// frames, oversized frames, fragment floods, bad upgrades, foreign origins, oversized and slow
// requests) closed one by one while the server serves on.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>

#include "support/websocket_test_client.h"
#include "wire_session.h"

namespace kx::test {
namespace {

// Everything the server sends on a connection given `request` until it closes; nullopt when it
// did not close in time.
std::optional<std::string> WebExchange(unsigned short port, const std::string& request) {
    CTestClient c(30000);
    if (!c.Connect(port) || !c.SendRaw(Bytes(request.begin(), request.end()))) return std::nullopt;
    std::string got;
    for (;;) {
        pollfd p{c.Fd(), POLLIN, 0};
        if (poll(&p, 1, 30000) <= 0) return std::nullopt;
        char buf[65536];
        const ssize_t n = recv(c.Fd(), buf, sizeof buf, 0);
        if (n <= 0) return got;
        got.append(buf, static_cast<std::size_t>(n));
    }
}

std::string StatusLine(const std::optional<std::string>& answer) {
    return answer ? answer->substr(0, answer->find("\r\n")) : "(no close)";
}

class WebWire : public ::testing::Test {
protected:
    void SetUp() override {
        mPort = WriteOpenPrefs(mDir.Path());
        mWebPort = static_cast<unsigned short>(mPort + 7);
        WriteAccount(mDir.Path(), "member", "pw", kFullAccessPrivs);
        WriteFileText(mDir / "kestrix.conf", "trusted_proxies = 127.0.0.3\ntls = off\n");
        UFileUtil::EnsureDirectory(mDir / "Web");
        WriteFileText(mDir / "Web/index.html", "<p>our own page</p>");
        WriteFileText(mDir / "Web/notes.txt", "notes");
        WriteFileText(mDir / "Web/.secret", "hidden");
        mServer = std::make_unique<ServerProcess>(mDir.Path(), false, mPort);
        ASSERT_TRUE(mServer->Start());
        ASSERT_TRUE(mServer->WaitForOutput("Web client at http://localhost:" + std::to_string(mWebPort) + "/"));
    }
    void TearDown() override {
        if (!mServer) return;
        mServer->Stop();
        EXPECT_EQ(mServer->StdErr().find("ERROR: AddressSanitizer"), std::string::npos);
    }
    std::string Get(const std::string& target, const std::string& more = "") {
        return WebExchange(mWebPort, "GET " + target + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n" + more + "\r\n")
            .value_or("(no close)");
    }

    TempDir mDir;
    unsigned short mPort = 0, mWebPort = 0;
    std::unique_ptr<ServerProcess> mServer;
};

TEST_F(WebWire, ServesTheClientsFilesAndNothingElse) {
    const std::string page = Get("/");
    EXPECT_EQ(page.substr(0, page.find("\r\n")), "HTTP/1.1 200 OK");
    EXPECT_NE(page.find("Content-Type: text/html; charset=utf-8\r\n"), std::string::npos);
    EXPECT_NE(page.find("Content-Security-Policy: default-src 'self';"), std::string::npos);
    EXPECT_EQ(page.substr(page.size() - 19), "<p>our own page</p>");  // the Web folder wins
    EXPECT_NE(Get("/notes.txt").find("text/plain; charset=utf-8\r\nETag"), std::string::npos);
    const std::string script = Get("/app.js");  // built in
    EXPECT_NE(script.find("Content-Type: text/javascript; charset=utf-8\r\n"), std::string::npos);
    const std::size_t tagAt = script.find("ETag: ") + 6;
    const std::string tag = script.substr(tagAt, script.find("\r\n", tagAt) - tagAt);
    EXPECT_EQ(StatusLine(Get("/app.js", "If-None-Match: " + tag + "\r\n")), "HTTP/1.1 304 Not Modified");
    const auto head = WebExchange(mWebPort, "HEAD /app.js HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(head);
    EXPECT_EQ(head->substr(head->size() - 4), "\r\n\r\n");  // no body, but the body's length
    EXPECT_NE(head->find("Content-Length: " + std::to_string(script.size() - script.find("\r\n\r\n") - 4)),
              std::string::npos);
    for (const char* outside : {"/../pref", "/%2e%2e/kestrix.conf", "/.secret", "/Web/notes.txt", "//etc/passwd"})
        EXPECT_EQ(StatusLine(Get(outside)), "HTTP/1.1 404 Not Found") << outside;
    EXPECT_EQ(StatusLine(WebExchange(mWebPort, "POST / HTTP/1.1\r\nHost: x\r\n\r\n")), "HTTP/1.1 405 Method Not Allowed");
    EXPECT_EQ(StatusLine(WebExchange(mWebPort, "GET /" + std::string(5000, 'a') + " HTTP/1.1\r\n\r\n")),
              "HTTP/1.1 431 Request Header Fields Too Large");
    EXPECT_EQ(StatusLine(WebExchange(mWebPort, "BREW / HTCPCP/1.0\r\n\r\n")), "HTTP/1.1 400 Bad Request");
    // Two requests on one kept connection, answered in order.
    const auto kept = WebExchange(mWebPort, "GET /notes.txt HTTP/1.1\r\nHost: x\r\n\r\nGET /notes.txt HTTP/1.1\r\n"
                                            "Host: x\r\nConnection: close\r\n\r\n");
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->find("HTTP/1.1 200 OK", kept->find("notes")), kept->rfind("HTTP/1.1 200 OK"));
}

TEST_F(WebWire, ASessionOverWebSocketMeetsATcpClient) {
    CWebSocketTestClient web;
    const std::string origin = "Origin: http://127.0.0.1:" + std::to_string(mWebPort) + "\r\n";
    const std::string answer = web.Upgrade(mWebPort, "/kestrix", origin);
    EXPECT_EQ(answer.substr(0, answer.find("\r\n")), "HTTP/1.1 101 Switching Protocols");
    EXPECT_NE(answer.find("Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"), std::string::npos);
    // A ping between the frames is answered; the login itself crosses frame boundaries.
    ASSERT_TRUE(web.Socket().SendRaw(CWebSocketTestClient::Frame(0x9, {'p'})));
    auto pong = web.ReadFrame();
    ASSERT_TRUE(pong);
    EXPECT_EQ(pong->opcode, 0xA);
    EXPECT_EQ(pong->payload, Bytes{'p'});
    ASSERT_TRUE(web.LogIn("member", "pw", "WebUser"));
    EXPECT_TRUE(mServer->WaitForOutput("127.0.0.1"));

    auto tcp = LogInOverWire(mPort, "member", "pw", "TcpUser");
    ASSERT_TRUE(tcp);
    const std::uint32_t id = tcp->SendRequest(kTranGetUserNameList, CFieldListBuilder().Build());
    auto list = tcp->ReadReplyTo(id);
    ASSERT_TRUE(list);
    const std::string names(list->data.begin(), list->data.end());
    EXPECT_NE(names.find("WebUser"), std::string::npos);
    EXPECT_NE(names.find("TcpUser"), std::string::npos);
    // A chat line (encoded once for every reader) reaches the browser as one frame holding one
    // whole transaction, like every notice before it.
    tcp->SendRequest(kTranChatSend, CFieldListBuilder().Add(kFieldData, "to the web").Build());
    for (;;) {
        auto frame = web.ReadFrame();
        ASSERT_TRUE(frame);
        ASSERT_EQ(frame->opcode, 0x2);
        ASSERT_GE(frame->payload.size(), 20u);
        EXPECT_EQ(frame->payload.size(), 20u + GetBE32(frame->payload.data() + 16));
        if (GetBE16(frame->payload.data() + 2) != kTranChatText) continue;
        const std::string line(frame->payload.begin() + 20, frame->payload.end());
        EXPECT_NE(line.find("TcpUser:  to the web"), std::string::npos);
        break;
    }

    const auto metrics = WebExchange(static_cast<unsigned short>(mPort + 6), "GET /metrics HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(metrics);
    EXPECT_NE(metrics->find("kestrix_connections_accepted_total{listener=\"web\"} 1\n"), std::string::npos);
    // Closing the WebSocket ends the session as a TCP close would.
    ASSERT_TRUE(web.Socket().SendRaw(CWebSocketTestClient::Frame(0x8, Be16(1000))));
    EXPECT_EQ(web.ReadCloseCode(), 1000);
    EXPECT_TRUE(web.Socket().WaitClosed());
    EXPECT_TRUE(mServer->WaitForOutput("Connection closed"));
}

TEST_F(WebWire, OnlyATrustedProxyNamesTheClientsAddress) {
    CWebSocketTestClient viaProxy, direct;
    viaProxy.Socket().SetSourceAddress("127.0.0.3");
    direct.Socket().SetSourceAddress("127.0.0.4");
    ASSERT_EQ(viaProxy.Upgrade(mWebPort, "/kestrix", "X-Forwarded-For: 198.51.100.9, 203.0.113.5\r\n").find("101"), 9u);
    ASSERT_TRUE(viaProxy.LogIn("member", "pw", "Proxied"));
    ASSERT_EQ(direct.Upgrade(mWebPort, "/kestrix", "X-Forwarded-For: 203.0.113.6\r\n").find("101"), 9u);
    ASSERT_TRUE(direct.LogIn("member", "pw", "Direct"));
    EXPECT_TRUE(mServer->WaitForOutput("203.0.113.5"));
    EXPECT_TRUE(mServer->WaitForOutput("127.0.0.4"));
    const std::string log = mServer->StdOut();
    EXPECT_EQ(log.find("198.51.100.9"), std::string::npos);
    EXPECT_EQ(log.find("203.0.113.6"), std::string::npos);
}

TEST_F(WebWire, HostilePeersAreClosedOneByOne) {
    // (A message past its cap is refused by the reader's own test: here its first frame would reach
    // the transfer intake, which drops a bad header first.)
    Bytes manyFragments = CWebSocketTestClient::Frame(0x2, {}, false);
    for (int i = 0; i < 1100; ++i) {
        const Bytes f = CWebSocketTestClient::Frame(0x0, {}, false);
        manyFragments.insert(manyFragments.end(), f.begin(), f.end());
    }
    const struct {
        Bytes frames;
        std::uint16_t code;
    } cases[] = {
        {CWebSocketTestClient::Frame(0x2, {1, 2}, true, false), 1002},           // unmasked
        {Bytes{0x82, 0xFF, 0, 0, 0, 0, 0x01, 0, 0, 0, 1, 2, 3, 4}, 1009},        // a 16 MiB frame announced
        {manyFragments, 1009},                                                   // endless empty fragments
        {CWebSocketTestClient::Frame(0x0, {1}), 1002},                           // continuation first
        {CWebSocketTestClient::Frame(0x1, {'h', 'i'}), 1003},                    // text
    };
    for (const auto& c : cases) {
        CWebSocketTestClient peer;
        ASSERT_EQ(peer.Upgrade(mWebPort, "/transfer").find("101"), 9u);
        peer.Socket().SendRaw(c.frames);  // the server may close before it has read them all
        EXPECT_EQ(peer.ReadCloseCode(), c.code);
        EXPECT_TRUE(peer.Socket().WaitClosed());
    }
    const std::string host = "Host: 127.0.0.1:" + std::to_string(mWebPort) + "\r\n";
    const std::string upgrade = "Upgrade: websocket\r\nConnection: Upgrade\r\n";
    const std::string key = "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
    EXPECT_EQ(StatusLine(WebExchange(mWebPort, "GET /kestrix HTTP/1.1\r\n" + host + upgrade + key +
                                                   "Sec-WebSocket-Version: 13\r\nOrigin: http://evil.example\r\n\r\n")),
              "HTTP/1.1 403 Forbidden");
    EXPECT_EQ(StatusLine(WebExchange(mWebPort, "GET /kestrix HTTP/1.1\r\n" + host + upgrade + key +
                                                   "Sec-WebSocket-Version: 8\r\n\r\n")),
              "HTTP/1.1 426 Upgrade Required");
    EXPECT_EQ(StatusLine(WebExchange(mWebPort, "GET /kestrix HTTP/1.1\r\n" + host + upgrade +
                                                   "Sec-WebSocket-Version: 13\r\n\r\n")),
              "HTTP/1.1 400 Bad Request");
    // A request that never ends is closed after the request time (10 s), without an answer.
    CTestClient slow(30000);
    ASSERT_TRUE(slow.Connect(mWebPort));
    ASSERT_TRUE(slow.SendRaw(Bytes{'G', 'E', 'T', ' ', '/'}));
    std::size_t answered = 1;
    EXPECT_TRUE(slow.WaitClosed(30000, &answered));
    EXPECT_EQ(answered, 0u);
    // The server serves on.
    CWebSocketTestClient fine;
    ASSERT_EQ(fine.Upgrade(mWebPort, "/kestrix").find("101"), 9u);
    EXPECT_TRUE(fine.LogIn("member", "pw", "StillHere"));
}

}  // namespace
}  // namespace kx::test
