// The server binary on the wire: the establish exchange (accepted sub-versions, refusals with
// their exact bytes), requests claimed without disturbing the connection, a framing violation
// closing it, and a clean exit on SIGTERM.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include "support/server_process.h"
#include "support/test_client.h"

namespace kx {
namespace {

using test::Bytes;
using test::CFieldListBuilder;
using test::ServerProcess;
using test::TempDir;
using test::CTestClient;

class ServerEstablishTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.Start()) << server.StdOut() << server.StdErr(); }
    TempDir dir;
    ServerProcess server{dir.Path()};
};

TEST_F(ServerEstablishTest, AcceptsClientAndTransferSubVersions) {
    for (std::uint16_t sub : {2, 3}) {
        CTestClient c;
        ASSERT_TRUE(c.Connect(server.Port())) << c.LastError();
        auto err = c.Establish("KSTX", sub);
        ASSERT_TRUE(err) << c.LastError();
        EXPECT_EQ(*err, 0u) << "sub-version " << sub;
    }
}

TEST_F(ServerEstablishTest, RefusesOtherSubProtocolsAndVersions) {
    struct Case {
        const char* tag;
        std::uint16_t sub, version;
    };
    for (const Case& k : {Case{"KSTX", 4, 1}, Case{"ABCD", 2, 1}, Case{"KSTX", 2, 2}}) {
        SCOPED_TRACE(std::string(k.tag) + " " + std::to_string(k.sub) + " v" + std::to_string(k.version));
        CTestClient c;
        ASSERT_TRUE(c.Connect(server.Port())) << c.LastError();
        ASSERT_TRUE(c.SendRaw(test::EstablishRequest(k.tag, k.sub, k.version)));
        auto reply = c.ReadExact(8);
        ASSERT_TRUE(reply) << c.LastError();
        EXPECT_EQ(*reply, (Bytes{'T', 'R', 'T', 'P', 0, 0, 0, 1}));
        EXPECT_TRUE(c.WaitClosed());
    }
}

TEST_F(ServerEstablishTest, WrongProtocolTagIsClosedWithoutAnswer) {
    CTestClient c;
    ASSERT_TRUE(c.Connect(server.Port())) << c.LastError();
    ASSERT_TRUE(c.SendRaw(test::EstablishRequest("KSTX", 2, 1, "GET ")));
    std::size_t received = 99;
    EXPECT_TRUE(c.WaitClosed(3000, &received));
    EXPECT_EQ(received, 0u);
}

TEST_F(ServerEstablishTest, RequestsAreClaimedAndViolationsClose) {
    CTestClient c;
    ASSERT_TRUE(c.Connect(server.Port())) << c.LastError();
    ASSERT_EQ(c.Establish(), std::optional<std::uint32_t>(0));
    // A login request sent in two chunks is claimed whole and answered.
    const Bytes body = CFieldListBuilder().Add(105, "guest").Build();
    const std::uint32_t id = c.SendRequest(107, body, {5});
    ASSERT_NE(id, 0u);
    auto reply = c.ReadReplyTo(id);
    ASSERT_TRUE(reply) << c.LastError();
    EXPECT_EQ(reply->hdr.isReply, 1);

    // A header announcing more than the server's 512 KiB limit closes the connection.
    test::STestHeader h;
    h.type = 107;
    h.id = 9;
    h.totalSize = 524289;
    h.dataSize = 16;
    ASSERT_TRUE(c.SendRaw(test::EncodeHeader(h)));
    std::size_t received = 99;
    EXPECT_TRUE(c.WaitClosed(3000, &received));
    EXPECT_EQ(received, 0u);

    // Other connections are unaffected.
    CTestClient other;
    ASSERT_TRUE(other.Connect(server.Port())) << other.LastError();
    EXPECT_EQ(other.Establish(), std::optional<std::uint32_t>(0));
}

TEST_F(ServerEstablishTest, ExitsCleanlyOnSigterm) {
    CTestClient c;
    ASSERT_TRUE(c.Connect(server.Port())) << c.LastError();
    ASSERT_EQ(c.Establish(), std::optional<std::uint32_t>(0));
    const int status = server.Stop();
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status << "; output: " << server.StdOut() << server.StdErr();
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(c.WaitClosed(3000));
}

}  // namespace
}  // namespace kx
