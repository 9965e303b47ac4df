// The regular endpoint over loopback TCP: listening and accepting, the send queue and its
// order, graceful and immediate closes, the receive threshold and look-ahead, the unsent cap,
// and notices that arrive once without the loop spinning.
#include "net/regular_transport.h"

#include <gtest/gtest.h>

#include "framework/error.h"
#include "net/loopback_helpers.h"
#include "support/error_checks.h"

namespace kx {
namespace {

using test::PumpIdle;
using test::PumpUntil;
using test::SLoopbackPair;

// Bytes whose value depends on their position in the stream, to catch loss and reordering.
std::string Pattern(std::size_t offset, std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(((offset + i) * 131) % 251);
    return s;
}

// Sends patterned chunks until the socket stops taking them and something is queued.
std::size_t FillUntilQueued(TTransportObj& ep, std::size_t chunk = 65536) {
    std::size_t sent = 0;
    for (int i = 0; i < 1000 && ep.GetUnsentSize() == 0; ++i) {
        const std::string data = Pattern(sent, chunk);
        ep.Send(data.data(), static_cast<std::uint32_t>(data.size()));
        sent += chunk;
    }
    return sent;
}

template <typename F>
void ExpectError(F&& f, std::int16_t type, std::int16_t id) {
    EXPECT_EQ(test::ErrorOf(f), std::make_pair(int(type), int(id)));
}

TEST(RegularTransport, AcceptReportsThePeerOnlyIntoABufferLargeEnough) {
    TTransport listener = UTransport::New(kTransportStream, true);
    test::SNoticeLog log;
    listener->SetIPAddress(test::Loopback());
    listener->SetMessageHandler(log.Proc());
    SInternetAddress rec = test::MakeAddress(0, 127, 0, 0, 1);
    listener->Listen(&rec, sizeof(rec));
    const std::uint16_t port = listener->GetLocalPort();
    ASSERT_NE(port, 0);

    std::uint8_t small[8];
    std::uint32_t size = sizeof(small);
    EXPECT_EQ(listener->Accept(small, &size), nullptr);  // nothing pending
    EXPECT_EQ(size, 0u);

    const int c1 = test::ConnectClient(port);
    ASSERT_TRUE(PumpUntil([&] { return log.Count(kMsgConnectionRequest) == 1; }));
    EXPECT_EQ(log.seen[0].second, listener.get());
    PumpIdle();
    EXPECT_EQ(log.Count(kMsgConnectionRequest), 1);  // not repeated while nobody accepts

    size = sizeof(small);
    TTransport a1 = listener->Accept(small, &size);
    ASSERT_NE(a1, nullptr);
    EXPECT_EQ(size, 0u);  // too small for the address: accepted all the same
    EXPECT_TRUE(a1->IsConnected());
    EXPECT_EQ(a1->GetConnectStatus(), 3);

    const int c2 = test::ConnectClient(port);
    ASSERT_TRUE(PumpUntil([&] { return log.Count(kMsgConnectionRequest) == 2; }));
    SInternetAddress peer{};
    size = sizeof(peer);
    TTransport a2 = listener->Accept(&peer, &size);
    ASSERT_NE(a2, nullptr);
    EXPECT_EQ(size, 12u);
    sockaddr_in c2addr{};
    socklen_t len = sizeof(c2addr);
    getsockname(c2, reinterpret_cast<sockaddr*>(&c2addr), &len);
    EXPECT_EQ(peer.type, kInternetAddressType);
    EXPECT_EQ(peer.port, ntohs(c2addr.sin_port));
    const std::uint8_t expectHost[8] = {127, 0, 0, 1, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(peer.host, expectHost, 8), 0);
    EXPECT_EQ(a2->GetRemoteIPAddress(), test::Loopback());

    char text[16];
    EXPECT_EQ(a2->GetRemoteAddressText(text, sizeof(text)), 9u);
    EXPECT_STREQ(text, "127.0.0.1");
    EXPECT_EQ(a2->GetLocalAddressText(text, sizeof(text)), 9u);
    EXPECT_STREQ(text, "127.0.0.1");
    EXPECT_EQ(listener->GetLocalAddressText(text, sizeof(text)), 9u);
    EXPECT_STREQ(text, "127.0.0.1");
    ExpectError([&] { listener->GetLocalAddressText(text, 15); }, kErrClassGeneral, kErrParam);
    close(c1);
    close(c2);
}

TEST(RegularTransport, RefusedRequests) {
    ExpectError([] { UTransport::New(3, true); }, kErrClassNetwork, kErrBadProtocol);
    // The tunnel carries streams only.
    ExpectError([] { UTransport::New(kTransportDatagram, false); }, kErrClassNetwork, kErrBadProtocol);

    TTransport a = UTransport::New(kTransportStream, true);
    SInternetNameAddress named{};
    named.type = kInternetNameAddressType;
    ExpectError([&] { a->Listen(&named, sizeof(named)); }, kErrClassNetwork, kErrBadAddress);
    SInternetAddress rec = test::MakeAddress(0, 127, 0, 0, 1);
    ExpectError([&] { a->Listen(&rec, 11); }, kErrClassNetwork, kErrBadAddress);

    a->SetIPAddress(test::Loopback());
    a->Listen(&rec, sizeof(rec));
    TTransport b = UTransport::New(kTransportStream, true);
    b->SetIPAddress(test::Loopback());
    rec.port = a->GetLocalPort();
    ExpectError([&] { b->Listen(&rec, sizeof(rec)); }, kErrClassNetwork, kErrAddrInUse);

    ExpectError([&] { a->SendBuffer(nullptr); }, kErrClassGeneral, kErrParam);
}

TEST(RegularTransport, QueuedDataDrainsInOrderWithOneReadyToSend) {
    SLoopbackPair pair(4096);
    TTransportObj& ep = *pair.server;
    std::size_t total = FillUntilQueued(ep);
    ASSERT_GT(ep.GetUnsentSize(), 0u);
    EXPECT_TRUE(ep.IsReadyToSend());  // one entry

    // Once anything is queued, everything else is queued whole behind it.
    const std::uint32_t before = ep.GetUnsentSize();
    const std::string more = Pattern(total, 1000);
    ep.Send(more.data(), 1000);
    total += 1000;
    EXPECT_EQ(ep.GetUnsentSize(), before + 1000);
    TTransportBuffer buf = TTransportObj::NewBuffer(5000);
    const std::string tail = Pattern(total, 5000);
    std::memcpy(buf->data.data(), tail.data(), 5000);
    ep.SendBuffer(std::move(buf));
    total += 5000;
    EXPECT_EQ(ep.GetUnsentSize(), before + 6000);
    EXPECT_FALSE(ep.IsReadyToSend());

    ep.NotifyReadyToSend();
    PumpIdle();
    EXPECT_EQ(pair.log.Count(kMsgReadyToSend), 0);

    std::string got;
    for (int i = 0; i < 5000 && got.size() < total; ++i) {
        got += pair.ClientDrain();
        CEventLoop::Get().RunOnce(5);
    }
    ASSERT_EQ(got.size(), total);
    EXPECT_TRUE(got == Pattern(0, total));
    EXPECT_EQ(ep.GetUnsentSize(), 0u);
    PumpIdle();
    EXPECT_EQ(pair.log.Count(kMsgReadyToSend), 1);
    EXPECT_EQ(pair.log.seen.back().second, &ep);

    // With the queue empty the notice comes at once (through the queue).
    ep.NotifyReadyToSend();
    PumpIdle(1);
    EXPECT_EQ(pair.log.Count(kMsgReadyToSend), 2);
}

TEST(RegularTransport, GracefulCloseWithNothingQueuedShutsDownAtOnce) {
    SLoopbackPair pair;
    pair.server->StartDisconnect();
    EXPECT_FALSE(pair.server->IsDisconnecting());
    char c;
    EXPECT_EQ(recv(pair.client, &c, 1, 0), 0);  // end of stream
    EXPECT_TRUE(pair.server->IsConnected());    // until the close notice
    ASSERT_TRUE(PumpUntil([&] { return pair.log.Count(kMsgConnectionClosed) == 1; }));
    EXPECT_FALSE(pair.server->IsConnected());
}

TEST(RegularTransport, GracefulCloseWaitsForTheQueueToDrain) {
    SLoopbackPair pair(4096);
    TTransportObj& ep = *pair.server;
    const std::size_t total = FillUntilQueued(ep);
    ep.StartDisconnect();
    EXPECT_TRUE(ep.IsDisconnecting());
    char probe;
    EXPECT_EQ(recv(pair.client, &probe, 1, MSG_PEEK | MSG_DONTWAIT), 1);  // data, not end of stream

    std::string got;
    bool eof = false;
    for (int i = 0; i < 5000 && !eof; ++i) {
        char buf[65536];
        const ssize_t n = recv(pair.client, buf, sizeof(buf), MSG_DONTWAIT);
        if (n > 0) got.append(buf, static_cast<std::size_t>(n));
        if (n == 0) eof = true;
        CEventLoop::Get().RunOnce(5);
    }
    EXPECT_TRUE(eof);
    ASSERT_EQ(got.size(), total);
    EXPECT_TRUE(got == Pattern(0, total));
    ASSERT_TRUE(PumpUntil([&] { return pair.log.Count(kMsgConnectionClosed) == 1; }));
}

TEST(RegularTransport, DisconnectDropsTheQueue) {
    SLoopbackPair pair(4096);
    FillUntilQueued(*pair.server);
    pair.server->Disconnect();
    EXPECT_EQ(pair.server->GetUnsentSize(), 0u);
    const char late[] = "late";
    pair.server->Send(late, 4);  // after the shutdown: nowhere to go
    EXPECT_EQ(pair.server->GetUnsentSize(), 0u);
    ASSERT_TRUE(PumpUntil([&] { return pair.log.Count(kMsgConnectionClosed) == 1; }));
    EXPECT_FALSE(pair.server->IsConnected());
}

TEST(RegularTransport, ThresholdPostsOneNoticeWhenReachedAndKeepsTheBytes) {
    SLoopbackPair pair;
    TTransportObj& ep = *pair.server;
    const std::string msg = "0123456789abcdefghij";
    pair.ClientSend(msg.substr(0, 12));
    ASSERT_TRUE(PumpUntil([&] { return pair.log.Count(kMsgDataArrived) == 1; }));
    EXPECT_FALSE(ep.IsReadyToReceive(20));
    EXPECT_EQ(ep.GetReceiveSize(), 12u);
    pair.log.seen.clear();

    pair.ClientSend(msg.substr(12, 3));
    ASSERT_TRUE(PumpUntil([&] { return ep.GetReceiveSize() == 15; }));
    PumpIdle();
    EXPECT_EQ(pair.log.Count(kMsgDataArrived), 0);
    pair.ClientSend(msg.substr(15, 5));
    ASSERT_TRUE(PumpUntil([&] { return pair.log.Count(kMsgDataArrived) == 1; }));
    PumpIdle();
    EXPECT_EQ(pair.log.Count(kMsgDataArrived), 1);

    char out[32] = {};
    EXPECT_EQ(ep.Receive(out, 20), 20u);
    EXPECT_EQ(std::string(out, 20), msg);
    EXPECT_TRUE(ep.IsReadyToReceive(0));
}

TEST(RegularTransport, ReceiveServesLookAheadBytesFirst) {
    SLoopbackPair pair(0, false);  // no handler: nothing is read behind our back
    TTransportObj& ep = *pair.server;
    pair.ClientSend("abcd");
    pair.AwaitReceiveSize(4);
    EXPECT_FALSE(ep.IsReadyToReceive(5));  // the 4 bytes move into the look-ahead buffer
    pair.ClientSend("efg");
    pair.AwaitReceiveSize(7);
    char out[10] = {};
    EXPECT_EQ(ep.Receive(out, 10), 7u);
    EXPECT_EQ(std::string(out, 7), "abcdefg");
    EXPECT_EQ(ep.Receive(out, 10), 0u);

    pair.ClientSend("hi");
    pair.AwaitReceiveSize(2);
    EXPECT_FALSE(ep.IsReadyToReceive(3));
    pair.ClientSend("jk");
    pair.AwaitReceiveSize(4);
    TTransportBuffer buf = ep.ReceiveBuffer();
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(std::string(buf->data.begin(), buf->data.end()), "hijk");
    EXPECT_EQ(ep.ReceiveBuffer(), nullptr);
}

TEST(RegularTransport, UnreadDataAndPeerCloseDoNotSpinTheLoop) {
    SLoopbackPair pair;
    int& passes = test::BusyPasses();
    pair.ClientSend("hello");
    ASSERT_TRUE(PumpUntil([&] { return pair.log.Count(kMsgDataArrived) == 1; }));
    PumpIdle();
    const int idle = passes;
    PumpIdle(5);
    EXPECT_EQ(passes, idle);  // unread data: not watched until the owner reads
    EXPECT_EQ(pair.log.Count(kMsgDataArrived), 1);

    char out[8];
    EXPECT_EQ(pair.server->Receive(out, sizeof(out)), 5u);
    close(pair.client);
    pair.client = -1;
    ASSERT_TRUE(PumpUntil([&] { return pair.log.Count(kMsgConnectionClosed) == 1; }));
    EXPECT_FALSE(pair.server->IsConnected());
    PumpIdle();
    const int closed = passes;
    PumpIdle(5);
    EXPECT_EQ(passes, closed);
    EXPECT_EQ(pair.log.Count(kMsgConnectionClosed), 1);
    EXPECT_EQ(pair.server->Receive(out, sizeof(out)), 0u);
}

TEST(RegularTransport, DataSentBeforeACloseIsAnnouncedFirstAndStaysReadable) {
    SLoopbackPair pair(0, false);
    pair.ClientSend("bye!");
    close(pair.client);
    pair.client = -1;
    PumpIdle();
    EXPECT_TRUE(pair.log.seen.empty());
    pair.server->SetMessageHandler(pair.log.Proc());
    ASSERT_TRUE(PumpUntil([&] { return pair.log.Count(kMsgConnectionClosed) == 1; }));
    EXPECT_EQ(pair.log.Codes(), (std::vector<std::uint32_t>{kMsgDataArrived, kMsgConnectionClosed}));
    char out[8];
    EXPECT_EQ(pair.server->Receive(out, sizeof(out)), 4u);
    EXPECT_EQ(std::string(out, 4), "bye!");
}

TEST(RegularTransport, SlowReaderIsDroppedAtTheUnsentCap) {
    SLoopbackPair pair;
    TTransportObj& ep = *pair.server;
    const std::string chunk(1024 * 1024, 'x');
    int sends = 0;
    while (ep.IsConnected() && sends < 40) {
        ep.Send(chunk.data(), static_cast<std::uint32_t>(chunk.size()));
        ++sends;
        EXPECT_LE(ep.GetUnsentSize(), TRegularTransportObj::kMaxUnsentSize);
    }
    EXPECT_FALSE(ep.IsConnected());
    EXPECT_LE(sends, 1 + static_cast<int>(TRegularTransportObj::kMaxUnsentSize / chunk.size()) + 8);
    EXPECT_EQ(ep.GetUnsentSize(), 0u);
    ep.Send(chunk.data(), 10);
    EXPECT_EQ(ep.GetUnsentSize(), 0u);
    PumpIdle();
    EXPECT_EQ(pair.log.Count(kMsgConnectionClosed), 1);
    char c;
    for (;;) {  // the peer sees the end of the stream (or a reset) after what was written
        const ssize_t n = recv(pair.client, &c, 1, 0);
        if (n <= 0) break;
        char sink[65536];
        while (recv(pair.client, sink, sizeof(sink), MSG_DONTWAIT) > 0) {}
    }
}

TEST(RegularTransport, DisposedEndpointsNoticesAreNeverDelivered) {
    SLoopbackPair pair;
    pair.server->NotifyReadyToSend();  // posts 102 now
    pair.server.reset();
    PumpIdle();
    EXPECT_TRUE(pair.log.seen.empty());
}

TEST(RegularTransport, NoticesNameTheMessageObject) {
    SLoopbackPair pair;
    int tunnel = 0;
    pair.server->SetMessageObject(&tunnel);
    pair.server->NotifyReadyToSend();
    PumpIdle(1);
    ASSERT_EQ(pair.log.seen.size(), 1u);
    EXPECT_EQ(pair.log.seen[0].second, &tunnel);
}

}  // namespace
}  // namespace kx
