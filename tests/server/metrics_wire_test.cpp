// The metrics listener of the real binary: a scripted session (a login, a chat line, a download)
// moves exactly its counters, the console's "stats" reads the same ones, and malformed,
// oversized, silent and surplus HTTP requests are closed without harm.
#include <gtest/gtest.h>

#include <fstream>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "wire_session.h"

namespace kx::test {
namespace {

// Sends `request` to 127.0.0.1:port and returns everything the server sends until it closes
// (nullopt when it did not close within the time-out).
std::optional<std::string> HttpExchange(unsigned short port, const std::string& request, int timeoutMs = 15000) {
    CTestClient c(timeoutMs);
    if (!c.Connect(port)) return std::nullopt;
    if (!request.empty() && ::send(c.Fd(), request.data(), request.size(), MSG_NOSIGNAL) < 0) return std::string();
    std::string got;
    for (;;) {
        pollfd p{c.Fd(), POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return std::nullopt;
        char buf[4096];
        const ssize_t n = recv(c.Fd(), buf, sizeof buf, 0);
        if (n <= 0) return got;  // closed (a reset after an unread request counts as closed)
        got.append(buf, static_cast<std::size_t>(n));
    }
}

// The value of one sample ("name" or "name{labels}") of a metrics page; -1 when absent.
double Sample(const std::string& page, const std::string& sample) {
    const std::string key = "\n" + sample + " ";
    const std::size_t at = page.find(key);
    return at == std::string::npos ? -1 : std::stod(page.substr(at + key.size()));
}

class MetricsWire : public ::testing::Test {
protected:
    void SetUp() override {
        mPort = WriteOpenPrefs(mDir.Path());
        mMetricsPort = static_cast<unsigned short>(mPort + 6);
        WriteAccount(mDir.Path(), "member", "pw", kFullAccessPrivs);
        UFileUtil::EnsureDirectory(mDir / "Files");
        WriteFileText(mDir / "Files/hello.txt", std::string(3000, 'k'));
        mServer = std::make_unique<ServerProcess>(mDir.Path(), false, mPort);
        mServer->UseStdinPipe();
        ASSERT_TRUE(mServer->Start());
        ASSERT_TRUE(mServer->WaitForOutput("Metrics at http://127.0.0.1:" + std::to_string(mMetricsPort) + "/metrics"));
    }
    std::string Scrape() {
        auto r = HttpExchange(mMetricsPort, "GET /metrics HTTP/1.1\r\nHost: localhost\r\n\r\n");
        EXPECT_TRUE(r && r->rfind("HTTP/1.1 200 OK\r\n", 0) == 0) << r.value_or("(no answer)");
        return r ? "\n" + r->substr(std::min(r->size(), r->find("\r\n\r\n") + 4)) : std::string();
    }

    TempDir mDir;
    unsigned short mPort = 0, mMetricsPort = 0;
    std::unique_ptr<ServerProcess> mServer;
};

TEST_F(MetricsWire, ASessionMovesExactlyItsCountersAndStatsReadsTheSame) {
    // Start() probed the base port: the baseline is taken once the server has accepted that.
    std::string before = Scrape();
    for (int i = 0; i < 500 && Sample(before, "kestrix_connections_accepted_total{listener=\"plain\"}") < 1; ++i) {
        usleep(10000);
        before = Scrape();
    }
    EXPECT_NE(before.find("# TYPE kestrix_pass_duration_seconds histogram\n"), std::string::npos);
    EXPECT_GT(Sample(before, "process_resident_memory_bytes"), 0);
    EXPECT_GT(Sample(before, "process_open_fds"), 0);

    auto c = LogInOverWire(mPort, "member", "pw", "Member");
    ASSERT_TRUE(c);
    c->SendRequest(kTranChatSend, CFieldListBuilder().Add(kFieldData, "hello").Build());
    bool echoed = false;
    while (auto t = c->ReadTransaction(5000)) {
        if ((echoed = t->hdr.type == kTranChatText)) break;
    }
    EXPECT_TRUE(echoed);
    const std::uint32_t id = c->SendRequest(kTranDownloadFile, CFieldListBuilder().Add(kFieldFileName, "hello.txt").Build());
    auto reply = c->ReadReplyTo(id);
    ASSERT_TRUE(reply && reply->hdr.error == 0);
    const STestReply fields = ReplyOf(*reply);
    ASSERT_TRUE(fields.Find(kFieldRefNum) && fields.Int(kFieldTransferSize) >= 0);
    const auto size = static_cast<std::size_t>(fields.Int(kFieldTransferSize));
    CTestClient transfer(5000);
    ASSERT_TRUE(transfer.Connect(static_cast<std::uint16_t>(mPort + 1)));
    Bytes header = {'K', 'X', 'X', 'F'};
    const Bytes ref = fields.Data(kFieldRefNum);
    header.insert(header.end(), ref.begin(), ref.end());
    header.insert(header.end(), 8, 0);
    ASSERT_TRUE(transfer.SendRaw(header));
    ASSERT_TRUE(transfer.ReadExact(size));

    const std::string after = Scrape();
    auto moved = [&](const std::string& sample) { return Sample(after, sample) - Sample(before, sample); };
    EXPECT_EQ(moved("kestrix_logins_total{result=\"succeeded\"}"), 1);
    EXPECT_EQ(moved("kestrix_chat_lines_total"), 1);
    EXPECT_EQ(moved("kestrix_transfers_started_total{direction=\"download\"}"), 1);
    EXPECT_EQ(moved("kestrix_transfer_sent_bytes_total"), static_cast<double>(size));
    EXPECT_EQ(moved("kestrix_connections_accepted_total{listener=\"plain\"}"), 1);
    EXPECT_EQ(moved("kestrix_connections_accepted_total{listener=\"transfer\"}"), 1);
    EXPECT_EQ(moved("kestrix_clients_admitted_total"), 1);
    EXPECT_EQ(Sample(after, "kestrix_clients_logged_in"), 1);
    EXPECT_GT(moved("kestrix_pass_duration_seconds_count"), 0);
    EXPECT_EQ(Sample(after, "kestrix_pass_duration_seconds_count"),
              Sample(after, "kestrix_pass_duration_seconds_bucket{le=\"+Inf\"}"));
    for (const char* still : {"kestrix_logins_total{result=\"refused\"}", "kestrix_private_messages_total",
                              "kestrix_board_posts_total", "kestrix_news_posts_total",
                              "kestrix_transfers_started_total{direction=\"upload\"}",
                              "kestrix_transfer_received_bytes_total", "kestrix_bans_added_total{kind=\"temporary\"}",
                              "kestrix_connections_accepted_total{listener=\"tunnel\"}", "kestrix_errors_total{kind=\"request\"}",
                              "kestrix_errors_total{kind=\"transfer\"}", "kestrix_resets_total"}) {
        EXPECT_EQ(moved(still), 0) << still;
    }
    // The console's statistics are the same counters.
    ASSERT_TRUE(mServer->WriteStdin("stats\n"));
    EXPECT_TRUE(mServer->WaitForOutput("Connection counter: 1\nDownload counter: 1\nUpload counter: 0\n"));
}

TEST_F(MetricsWire, BadRequestsAreClosedWithoutHarm) {
    EXPECT_EQ(HttpExchange(mMetricsPort, "GARBAGE\r\n\r\n").value_or("").substr(0, 24), "HTTP/1.1 400 Bad Request");
    EXPECT_EQ(HttpExchange(mMetricsPort, std::string("\0\x01\xff junk\n\n", 10)).value_or("").substr(0, 12), "HTTP/1.1 400");
    EXPECT_EQ(HttpExchange(mMetricsPort, "POST /metrics HTTP/1.1\r\n\r\n").value_or("").substr(0, 12), "HTTP/1.1 405");
    EXPECT_EQ(HttpExchange(mMetricsPort, "GET /../etc/passwd HTTP/1.1\r\n\r\n").value_or("").substr(0, 12), "HTTP/1.1 404");
    // Oversized: closed without an answer, however much more the peer would send.
    EXPECT_EQ(HttpExchange(mMetricsPort, "GET /metrics HTTP/1.1\r\nX: " + std::string(8000, 'a')), std::string());
    // Silent, and half a request: closed after the exchange time.
    EXPECT_EQ(HttpExchange(mMetricsPort, ""), std::string());
    EXPECT_EQ(HttpExchange(mMetricsPort, "GET /metr"), std::string());

    // Past the connection cap a newcomer is closed at once; the held ones are still served.
    std::vector<std::unique_ptr<CTestClient>> held;
    for (std::size_t i = 0; i < 16; ++i) {
        held.push_back(std::make_unique<CTestClient>());
        ASSERT_TRUE(held.back()->Connect(mMetricsPort));
    }
    CTestClient surplus(5000);
    ASSERT_TRUE(surplus.Connect(mMetricsPort));
    EXPECT_TRUE(surplus.WaitClosed(5000));
    ASSERT_TRUE(held.front()->SendRaw(Bytes{'G', 'E', 'T', ' ', '/', 'm', 'e', 't', 'r', 'i', 'c', 's', ' ', 'H', 'T', 'T',
                                            'P', '/', '1', '.', '0', '\n', '\n'}));
    auto answer = held.front()->ReadExact(12);
    ASSERT_TRUE(answer);
    EXPECT_EQ(std::string(answer->begin(), answer->end()), "HTTP/1.1 200");
    held.clear();

    EXPECT_NE(Scrape().find("kestrix_clients_connected 0\n"), std::string::npos);
    EXPECT_TRUE(LogInOverWire(mPort, "member", "pw", "Member"));  // the server serves on
    EXPECT_TRUE(mServer->IsRunning());
}

}  // namespace
}  // namespace kx::test
