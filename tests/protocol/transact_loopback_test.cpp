// Transaction connections over real loopback sockets and the real event loop: a client
// connects, completes the establish exchange, sends a request in two chunks that the server side
// claims whole, gets its reply; a framing violation closes the socket without a reply.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>

#include "net/transport.h"
#include "protocol/transact.h"
#include "support/test_client.h"

namespace kx {
namespace {

using test::Bytes;
using test::CFieldListBuilder;
using test::CTestClient;

// Runs the loop until `done` holds; gives up after a bounded number of iterations.
bool PumpUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 400; ++i) {
        if (done()) return true;
        CEventLoop::Get().RunOnce(10);
    }
    return done();
}

class TransactLoopbackTest : public ::testing::Test {
protected:
    void SetUp() override {
        UTransport::Init();
        listener = std::make_unique<TTransactObj>(UTransport::New(kTransportStream, true, 0));
        listener->SetMessageHandler([this](std::uint32_t code, void*) { notices.push_back(code); });
        SIPAddress loopback{{127, 0, 0, 1}};
        listener->SetIPAddress(loopback);
        SInternetAddress addr{kInternetAddressType, 0, {127, 0, 0, 1, 0, 0, 0, 0}};
        listener->Listen(&addr, sizeof addr);
        port = listener->GetTransport()->GetLocalPort();
        ASSERT_NE(port, 0);
    }
    void TearDown() override {
        conn.reset();
        listener.reset();
        CEventLoop::Get().RunOnce(0);
    }

    // Connects the client, accepts on the server side and completes the establish exchange.
    void Connect() {
        ASSERT_TRUE(client.Connect(port)) << client.LastError();
        ASSERT_TRUE(PumpUntil([&] {
            if (!conn) conn = listener->Accept(nullptr, nullptr);
            return conn != nullptr;
        }));
        ASSERT_TRUE(client.SendRaw(test::EstablishRequest("KSTX", 2)));
        std::uint8_t tag[4];
        std::uint16_t ver = 0;
        ASSERT_TRUE(PumpUntil([&] { return conn->ReceiveEstablish(tag, ver) != kEstablishPending; }));
        ASSERT_EQ(conn->ReceiveEstablish(tag, ver), kEstablishReceived);
        EXPECT_EQ(std::memcmp(tag, "KSTX", 4), 0);
        EXPECT_EQ(ver, 2);
        conn->AcceptEstablish();
        auto reply = client.ReadExact(8);
        ASSERT_TRUE(reply) << client.LastError();
        EXPECT_EQ(*reply, (Bytes{'T', 'R', 'T', 'P', 0, 0, 0, 0}));
    }

    TTransact listener;
    TTransact conn;
    std::uint16_t port = 0;
    std::vector<std::uint32_t> notices;
    CTestClient client{3000};
};

TEST_F(TransactLoopbackTest, RequestInTwoChunksIsClaimedWholeAndAnswered) {
    Connect();
    int dataNotices = 0;
    conn->SetMessageHandler([&](std::uint32_t code, void* obj) {
        EXPECT_EQ(obj, conn.get());
        if (code == kMsgDataArrived) ++dataNotices;
    });
    const Bytes body = CFieldListBuilder().Add(105, "guest").Add(106, std::string(40, 'p')).AddInt(160, 151).Build();
    const Bytes wire = test::EncodeRequest(107, 5, body, {10});
    const std::size_t firstChunk = 20 + 10;
    ASSERT_TRUE(client.SendRaw(Bytes(wire.begin(), wire.begin() + firstChunk)));
    ASSERT_TRUE(PumpUntil([&] { return dataNotices > 0; }));
    EXPECT_EQ(conn->NewReceiveSession(), nullptr);

    ASSERT_TRUE(client.SendRaw(Bytes(wire.begin() + firstChunk, wire.end())));
    TTransactSession ses;
    ASSERT_TRUE(PumpUntil([&] { return (ses = conn->NewReceiveSession()) != nullptr; }));
    EXPECT_EQ(ses->GetReceiveType(), 107);
    StFieldData fields;
    ses->ReceiveData(fields);
    EXPECT_EQ(UFieldData::GetDataHandle(fields), body);
    EXPECT_EQ(UFieldData::GetInteger(fields, 160), 151);

    StFieldData reply;
    UFieldData::AddCString(reply, 162, "ok");
    ses->SendData(reply);
    ses.reset();
    auto answer = client.ReadReplyTo(5);
    ASSERT_TRUE(answer) << client.LastError();
    EXPECT_EQ(answer->hdr.type, 0);
    EXPECT_EQ(answer->hdr.error, 0u);
    EXPECT_EQ(test::ReplyOf(*answer).Text(162), "ok");

    // A notification from the server reaches the client as a request with id 1.
    StFieldData chat;
    UFieldData::AddCString(chat, 101, "hello");
    EXPECT_EQ(conn->SendTransaction(106, chat), 1u);
    auto note = client.ReadTransaction();
    ASSERT_TRUE(note) << client.LastError();
    EXPECT_EQ(note->hdr.isReply, 0);
    EXPECT_EQ(note->hdr.type, 106);
    EXPECT_EQ(note->hdr.id, 1u);
}

TEST_F(TransactLoopbackTest, FramingViolationClosesTheSocketWithoutReply) {
    Connect();
    test::STestHeader h;
    h.type = 107;
    h.id = 1;
    h.totalSize = 0;
    h.dataSize = 4;
    Bytes wire = test::EncodeHeader(h);
    wire.insert(wire.end(), 4, 0);
    ASSERT_TRUE(client.SendRaw(wire));
    ASSERT_TRUE(PumpUntil([&] {
        EXPECT_EQ(conn->NewReceiveSession(), nullptr);
        return conn->IsDead();
    }));
    std::size_t received = 99;
    EXPECT_TRUE(client.WaitClosed(2000, &received));
    EXPECT_EQ(received, 0u);
    EXPECT_TRUE(PumpUntil([&] { return !conn->IsConnected(); }));
}

}  // namespace
}  // namespace kx
