// The HTTP tunnel over loopback with a raw-socket client: pairing in either order, exact
// response and padding bytes, transactions both ways, closing by the client, dropped channels
// reopened (or not) within the connection time, and the sweep of unpaired connections.
#include <gtest/gtest.h>

#include <cstring>

#include "framework/error.h"
#include "net/http_tunnel_fixture.h"
#include "protocol/field_data.h"
#include "protocol/transact.h"
#include "support/test_client.h"
#include "support/error_checks.h"

namespace kx::test {
namespace {

const std::string kGetHeader =
    "HTTP/1.0 200 OK\r\nProxy-Connection: Keep-Alive\r\nContent-Length: 999999999\r\n"
    "Content-Type: kestrix/protocol\r\n\r\n";
const std::string kPostClose =
    "HTTP/1.0 302 Found\r\nConnection: close\r\nContent-Length: 8\r\nContent-Type: kestrix/protocol\r\n\r\n";

HBytes Text(const std::string& s) { return HBytes(s.begin(), s.end()); }

HBytes Tail(const HBytes& b, std::size_t from) { return HBytes(b.begin() + std::ptrdiff_t(from), b.end()); }

// Everything the owner can read right now.
HBytes ReadAll(TTransportObj* t) {
    HBytes out;
    std::uint8_t buf[4096];
    for (;;) {
        const std::uint32_t n = t->Receive(buf, sizeof buf);
        if (n == 0) return out;
        out.insert(out.end(), buf, buf + n);
    }
}

using HttpTunnel = HttpTunnelFixture;

TEST_F(HttpTunnel, GetOpeningIsByteExactAndALoneGetIsNeverPaired) {
    CRawHttpConnection get;
    OpenGet(get, TunnelIdentifier(1));
    const HBytes& in = get.Received();
    ASSERT_EQ(in.size(), 3u * 14336);
    EXPECT_EQ(HBytes(in.begin(), in.begin() + 108), Text(kGetHeader));
    SGetStream s = ParseGetStream(in);
    EXPECT_EQ(s.headerSize, 108u);
    EXPECT_EQ(s.blockCodes, (std::vector<std::uint32_t>{2, 2, 2}));
    EXPECT_EQ(s.blockSizes, (std::vector<std::uint32_t>{14228, 14336, 14336}));
    // Padding payloads are zeros.
    EXPECT_EQ(std::count(in.begin() + 116, in.begin() + 14336, 0), 14336 - 116);
    // The listener hears of the request, but there is nothing to pair.
    EXPECT_TRUE(PumpUntil([&] { return !mListenerCodes.empty(); }));
    EXPECT_EQ(mListenerCodes.front(), kMsgConnectionRequest);
    std::uint32_t size = 12;
    SInternetAddress addr{};
    EXPECT_EQ(mListener->Accept(&addr, &size), nullptr);
    EXPECT_EQ(UHttpTransport::GetOpenCount(), 1u);
}

TEST_F(HttpTunnel, SendFramesDataBlocksAndPadsToWholePackages) {
    CRawHttpConnection get, post;
    SInternetAddress addr{};
    OpenGet(get, TunnelIdentifier(2));
    OpenPost(post, TunnelIdentifier(2));
    TTransportObj* t = AcceptTunnel(&addr);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(addr.type, kInternetAddressType);
    EXPECT_EQ(addr.host[0], 127);
    EXPECT_EQ(addr.host[3], 1);
    EXPECT_TRUE(t->IsConnected());
    EXPECT_EQ(t->GetConnectStatus(), 3);
    const std::size_t opening = get.Received().size();

    HBytes hundred(100);
    for (std::size_t i = 0; i < hundred.size(); ++i) hundred[i] = std::uint8_t(i + 1);
    t->Send(hundred.data(), 100);
    ASSERT_TRUE(PumpUntil([&] { return get.Received().size() >= opening + 14336; }, [&] { get.Poll(); }));
    HBytes got = Tail(get.Received(), opening);
    ASSERT_EQ(got.size(), 14336u);
    HBytes expect = DataBlock(hundred);
    HBytes pad = PaddingBlock(14228);
    expect.insert(expect.end(), pad.begin(), pad.end());
    EXPECT_EQ(got, expect);

    // 14320 bytes fill the package exactly: no padding. 14319 leave room for a 9-byte block.
    HBytes full(14320, 0xAB);
    t->Send(full.data(), 14320);
    HBytes almost(14319, 0xCD);
    t->Send(almost.data(), 14319);
    t->Send(almost.data(), 0);  // nothing at all
    const std::size_t before = opening + 14336;
    ASSERT_TRUE(PumpUntil([&] { return get.Received().size() >= before + 14328 + 14336; }, [&] { get.Poll(); }));
    got = Tail(get.Received(), before);
    ASSERT_EQ(got.size(), 14328u + 14336u);
    EXPECT_EQ(HBytes(got.begin(), got.begin() + 14328), DataBlock(full));
    expect = DataBlock(almost);
    pad = PaddingBlock(9);
    expect.insert(expect.end(), pad.begin(), pad.end());
    EXPECT_EQ(Tail(got, 14328), expect);
}

TEST_F(HttpTunnel, PaddingTimerFollowsDataAndKeepsAnIdleGetAlive) {
    CRawHttpConnection get, post;
    TTransportObj* t = OpenTunnel(get, post, TunnelIdentifier(3));
    ASSERT_NE(t, nullptr);
    std::size_t mark = get.Received().size();
    const std::uint8_t one = 7;
    t->Send(&one, 1);
    ASSERT_TRUE(PumpUntil([&] { return get.Received().size() == mark + 14336; }, [&] { get.Poll(); }));
    mark = get.Received().size();
    mNow += 1999;
    for (int i = 0; i < 5; ++i) CEventLoop::Get().RunOnce(0);
    get.Poll();
    EXPECT_EQ(get.Received().size(), mark);  // not yet
    mNow += 1;
    ASSERT_TRUE(PumpUntil([&] { return get.Received().size() == mark + 14336; }, [&] { get.Poll(); }));
    EXPECT_EQ(Tail(get.Received(), mark), PaddingBlock(14336));
    mark = get.Received().size();
    mNow += 39999;
    for (int i = 0; i < 5; ++i) CEventLoop::Get().RunOnce(0);
    get.Poll();
    EXPECT_EQ(get.Received().size(), mark);
    mNow += 1;
    ASSERT_TRUE(PumpUntil([&] { return get.Received().size() == mark + 14336; }, [&] { get.Poll(); }));
    EXPECT_TRUE(t->IsConnected());
}

// The client's blocks reach the owner as a plain stream; padding never does.
TEST_F(HttpTunnel, PostThenGetPairAndDataBlocksReachTheOwner) {
    CRawHttpConnection get, post;
    OpenPost(post, TunnelIdentifier(4));
    ASSERT_TRUE(PumpUntil([&] { return !mListenerCodes.empty(); }));
    OpenGet(get, TunnelIdentifier(4));
    TTransportObj* t = AcceptTunnel();
    ASSERT_NE(t, nullptr);
    HBytes a = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    HBytes wire = DataBlock(a);
    HBytes pad = PaddingBlock(14336);
    wire.insert(wire.end(), pad.begin(), pad.end());
    HBytes b = {20, 21, 22};
    HBytes second = DataBlock(b);
    wire.insert(wire.end(), second.begin(), second.end());
    ASSERT_TRUE(post.Send(wire));
    ASSERT_TRUE(PumpUntil([&] { return OwnerGot(kMsgDataArrived); }));
    // A unit longer than what is left of the current block never becomes ready.
    EXPECT_FALSE(t->IsReadyToReceive(20));
    EXPECT_TRUE(t->IsReadyToReceive(12));
    HBytes got;
    ASSERT_TRUE(PumpUntil([&] {
        HBytes more = ReadAll(t);
        got.insert(got.end(), more.begin(), more.end());
        return got.size() >= 15;
    }));
    HBytes expect = a;
    expect.insert(expect.end(), b.begin(), b.end());
    EXPECT_EQ(got, expect);
    EXPECT_TRUE(t->IsConnected());
}

// A real establish exchange and transactions in both directions, through the transaction layer.
TEST_F(HttpTunnel, TransactionLayerRunsOverTheTunnel) {
    for (bool getFirst : {true, false}) {
        SCOPED_TRACE(getFirst ? "GET first" : "POST first");
        const std::string id = TunnelIdentifier(getFirst ? 5 : 6);
        CRawHttpConnection get, post;
        if (getFirst) {
            OpenGet(get, id);
            OpenPost(post, id);
        } else {
            OpenPost(post, id);
            ASSERT_TRUE(PumpUntil([&] { return UHttpTransport::GetOpenCount() == 1 && !mListenerCodes.empty(); }));
            OpenGet(get, id);
        }
        TTransportObj* t = AcceptTunnel();
        ASSERT_NE(t, nullptr);
        TTransport owned;
        for (auto& p : mTunnels) {
            if (p.get() == t) owned = std::move(p);
        }
        mTunnels.clear();
        TTransactObj trn(std::move(owned));
        int notices = 0;
        trn.SetMessageHandler([&](std::uint32_t, void*) { ++notices; });

        ASSERT_TRUE(post.Send(DataBlock(EstablishRequest("KSTX", 2))));
        std::uint8_t sub[4];
        std::uint16_t subVersion = 0;
        ASSERT_TRUE(PumpUntil([&] { return trn.ReceiveEstablish(sub, subVersion) == kEstablishReceived; }));
        EXPECT_EQ(std::memcmp(sub, "KSTX", 4), 0);
        EXPECT_EQ(subVersion, 2);
        trn.AcceptEstablish();

        const Bytes fields = CFieldListBuilder().Add(101, "hello").AddInt(102, 7).Build();
        // The owner hears of the request through the transaction layer. Waited for before the
        // session is looked for: a look-up that finds the bytes already in the socket consumes
        // them, and then no notice is due at all.
        const int before = notices;
        ASSERT_TRUE(post.Send(DataBlock(EncodeRequest(107, 5, fields))));
        ASSERT_TRUE(PumpUntil([&] { return notices > before; }));
        TTransactSession ses;
        ASSERT_TRUE(PumpUntil([&] {
            ses = trn.NewReceiveSession();
            return ses != nullptr;
        }));
        EXPECT_EQ(ses->GetReceiveType(), 107);
        StFieldData in;
        ses->ReceiveData(in);
        char text[16] = {};
        UFieldData::GetCString(in, 101, text, sizeof text);
        EXPECT_STREQ(text, "hello");
        const Bytes reply = CFieldListBuilder().Add(200, "ok").Build();
        ses->SendData(reply.data(), std::uint32_t(reply.size()));
        ses.reset();
        const Bytes note = CFieldListBuilder().Add(300, "notice").Build();
        trn.SendTransaction(354, note.data(), std::uint32_t(note.size()));

        // On the GET: the establish reply, the reply to id 5, then the server's own request id 1.
        const std::size_t want = 8 + 20 + reply.size() + 20 + note.size();
        SGetStream s;
        ASSERT_TRUE(PumpUntil([&] {
            s = ParseGetStream(get.Received());
            return s.data.size() >= want;
        }, [&] { get.Poll(); }));
        ASSERT_EQ(s.data.size(), want);
        EXPECT_EQ(HBytes(s.data.begin(), s.data.begin() + 8), (HBytes{'T', 'R', 'T', 'P', 0, 0, 0, 0}));
        STestHeader h = DecodeHeader(s.data.data() + 8);
        EXPECT_EQ(h.isReply, 1);
        EXPECT_EQ(h.id, 5u);
        EXPECT_EQ(h.type, 0);
        EXPECT_EQ(HBytes(s.data.begin() + 28, s.data.begin() + 28 + std::ptrdiff_t(reply.size())), reply);
        h = DecodeHeader(s.data.data() + 28 + reply.size());
        EXPECT_EQ(h.isReply, 0);
        EXPECT_EQ(h.type, 354);
        EXPECT_EQ(h.id, 1u);
        // Every data block went out as one block per send, padded to whole packages.
        const std::size_t total = get.Received().size() - s.headerSize;
        EXPECT_EQ(total % 14336, 14336u - 108);
    }
}

TEST_F(HttpTunnel, DisconnectBlockFromTheClientClosesTheTunnel) {
    CRawHttpConnection get, post;
    TTransportObj* t = OpenTunnel(get, post, TunnelIdentifier(7));
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(post.Send(BlockHeader(0, 0)));
    ASSERT_TRUE(PumpUntil([&] { return post.PeerClosed() && get.PeerClosed(); }, [&] { get.Poll(); post.Poll(); }));
    HBytes expect = Text(kPostClose);
    expect.insert(expect.end(), 8, 0);
    EXPECT_EQ(post.Received(), expect);
    EXPECT_FALSE(t->IsConnected());
    EXPECT_TRUE(t->IsDisconnecting());
    ASSERT_TRUE(PumpUntil([&] { return OwnerGot(kMsgConnectionClosed); }));
    // Sending on a closed tunnel is not an error; nothing goes anywhere.
    t->Send("x", 1);
}

TEST_F(HttpTunnel, OwnerDisconnectSendsDisconnectBlockAndPostResponse) {
    CRawHttpConnection get, post;
    TTransportObj* t = OpenTunnel(get, post, TunnelIdentifier(8));
    ASSERT_NE(t, nullptr);
    const std::size_t mark = get.Received().size();
    t->Disconnect();
    EXPECT_FALSE(t->IsConnected());  // at once
    t->Disconnect();                 // repeated: nothing more
    ASSERT_TRUE(PumpUntil([&] { return post.PeerClosed() && get.PeerClosed(); }, [&] { get.Poll(); post.Poll(); }));
    EXPECT_EQ(Tail(get.Received(), mark), BlockHeader(0, 0));
    HBytes expect = Text(kPostClose);
    expect.insert(expect.end(), 8, 0);
    EXPECT_EQ(post.Received(), expect);
    ASSERT_TRUE(PumpUntil([&] { return OwnerGot(kMsgConnectionClosed); }));
    EXPECT_EQ(std::count(OwnerCodes().begin(), OwnerCodes().end(), kMsgConnectionClosed), 1);
}

TEST_F(HttpTunnel, ReopenedGetReceivesDataSentMeanwhileOnceAndInOrder) {
    const std::string id = TunnelIdentifier(9);
    CRawHttpConnection get, post;
    TTransportObj* t = OpenTunnel(get, post, id);
    ASSERT_NE(t, nullptr);
    get.Close();
    ASSERT_TRUE(PumpUntil([&] { return t->GetConnectStatus() == 2; }));
    EXPECT_TRUE(t->IsConnected());  // the layer above does not notice
    EXPECT_FALSE(t->IsReadyToSend());
    t->NotifyReadyToSend();
    const HBytes a = {'f', 'i', 'r', 's', 't'}, b = {'s', 'e', 'c', 'o', 'n', 'd'};
    t->Send(a.data(), std::uint32_t(a.size()));
    t->Send(b.data(), std::uint32_t(b.size()));
    EXPECT_EQ(t->GetUnsentSize(), 8u + 5 + 8 + 6);
    mNow += 29000;
    CEventLoop::Get().RunOnce(0);
    CRawHttpConnection get2;
    OpenGet(get2, id);
    ASSERT_TRUE(PumpUntil([&] { return t->GetConnectStatus() == 3; }, [&] { get2.Poll(); }));
    const HBytes c = {'t', 'h', 'i', 'r', 'd'};
    t->Send(c.data(), std::uint32_t(c.size()));
    SGetStream s;
    ASSERT_TRUE(PumpUntil([&] {
        s = ParseGetStream(get2.Received());
        return s.data.size() >= 16;
    }, [&] { get2.Poll(); }));
    EXPECT_EQ(std::string(s.data.begin(), s.data.end()), "firstsecondthird");
    // After the opening packages: the two queued blocks as they were framed, then the new send.
    ASSERT_GE(s.blockSizes.size(), 6u);
    EXPECT_EQ(s.blockSizes[3], 13u);
    EXPECT_EQ(s.blockSizes[4], 14u);
    EXPECT_EQ(s.blockSizes[5], 13u);
    EXPECT_TRUE(PumpUntil([&] { return OwnerGot(kMsgReadyToSend); }));
    // The reconnection time-out no longer applies.
    mNow += 31000;
    for (int i = 0; i < 5; ++i) CEventLoop::Get().RunOnce(0);
    EXPECT_TRUE(t->IsConnected());
    EXPECT_FALSE(OwnerGot(kMsgConnectionClosed));
}

// A burst handed over in one batch meets a GET whose sockets are full; the channel drops with a
// package partly written. Every package that had not begun is written again on the new GET,
// whatever its place in the burst; only the partly written one is lost.
TEST_F(HttpTunnel, ReopenedGetGetsEveryPackageThatHadNotBegun) {
    constexpr std::uint32_t kPackage = 14336, kPayload = 1000;
    auto payload = [](std::uint32_t n) {
        HBytes p = BlockHeader(n, n);  // 8 bytes that name the package
        p.resize(kPayload, static_cast<std::uint8_t>(n));
        return p;
    };
    // One package sent ahead, or none, moves the cut to another place in the burst.
    for (std::uint32_t ahead : {0u, 1u}) {
        SCOPED_TRACE(ahead);
        const std::string id = TunnelIdentifier(40 + ahead);
        CRawHttpConnection get, post;
        OpenGet(get, id, 8192);
        OpenPost(post, id);
        TTransportObj* t = AcceptTunnel();
        ASSERT_NE(t, nullptr);
        std::uint32_t sent = 0;
        for (; sent < ahead; ++sent) t->Send(payload(sent).data(), kPayload);
        bool burst = false;
        CEventLoop::Get().PostMessage(0, this, [&](std::uint32_t, void*) {
            for (int i = 0; i < 40; ++i, ++sent) t->Send(payload(sent).data(), kPayload);
            burst = true;
        });
        ASSERT_TRUE(PumpUntil([&] { return burst; }));
        const std::uint32_t unsent = t->GetUnsentSize();
        ASSERT_GT(unsent, 0u);  // the sockets did not take the whole burst
        const std::uint64_t written = std::uint64_t(sent) * kPackage - unsent;
        const auto firstUnbegun = static_cast<std::uint32_t>((written + kPackage - 1) / kPackage);
        get.Close();  // bytes left unread: the connection is reset
        ASSERT_TRUE(PumpUntil([&] { return t->GetConnectStatus() == 2; }));
        CRawHttpConnection get2;
        OpenGet(get2, id);
        const std::size_t expected = std::size_t(sent - firstUnbegun) * kPayload;
        SGetStream s;
        ASSERT_TRUE(PumpUntil([&] {
            s = ParseGetStream(get2.Received());
            return s.data.size() >= expected;
        }, [&] { get2.Poll(); }));
        HBytes want;
        for (std::uint32_t n = firstUnbegun; n < sent; ++n) {
            const HBytes p = payload(n);
            want.insert(want.end(), p.begin(), p.end());
        }
        EXPECT_EQ(s.data.size(), want.size());
        EXPECT_TRUE(s.data == want) << "first package again: " << (s.data.size() >= 4 ? s.data[3] : -1)
                                    << ", expected " << firstUnbegun;
    }
}

TEST_F(HttpTunnel, NoReopeningWithinTheConnectionTimeClosesTheTunnel) {
    CRawHttpConnection get, post;
    TTransportObj* t = OpenTunnel(get, post, TunnelIdentifier(10));
    ASSERT_NE(t, nullptr);
    get.Close();
    ASSERT_TRUE(PumpUntil([&] { return t->GetConnectStatus() == 2; }));
    mNow += 29999;
    for (int i = 0; i < 5; ++i) CEventLoop::Get().RunOnce(0);
    EXPECT_TRUE(t->IsConnected());
    mNow += 2;
    ASSERT_TRUE(PumpUntil([&] { return OwnerGot(kMsgConnectionClosed); }));
    EXPECT_FALSE(t->IsConnected());
    ASSERT_TRUE(PumpUntil([&] { return post.PeerClosed(); }, [&] { post.Poll(); }));
    HBytes expect = Text(kPostClose);
    expect.insert(expect.end(), 8, 0);
    EXPECT_EQ(post.Received(), expect);
}

TEST_F(HttpTunnel, ReopenedPostServesTakenOverBytesFirst) {
    const std::string id = TunnelIdentifier(11);
    CRawHttpConnection get, post;
    TTransportObj* t = OpenTunnel(get, post, id);
    ASSERT_NE(t, nullptr);
    // Two whole data blocks and some padding, then the channel drops before the owner reads.
    HBytes wire = DataBlock({'o', 'l', 'd', '1'});
    HBytes more = DataBlock({'o', 'l', 'd', '2'});
    wire.insert(wire.end(), more.begin(), more.end());
    HBytes pad = PaddingBlock(100);
    wire.insert(wire.end(), pad.begin(), pad.begin() + 50);  // cut inside padding: resumable
    ASSERT_TRUE(post.Send(wire));
    ASSERT_TRUE(PumpUntil([&] { return OwnerGot(kMsgDataArrived); }));
    HBytes got(2);
    ASSERT_EQ(t->Receive(got.data(), 2), 2u);  // the owner is reading when the channel drops
    post.Close();
    ASSERT_TRUE(PumpUntil([&] { return t->GetConnectStatus() == 2; }));
    EXPECT_TRUE(t->IsConnected());
    CRawHttpConnection post2;
    OpenPost(post2, id);
    ASSERT_TRUE(post2.Send(DataBlock({'n', 'e', 'w'})));
    ASSERT_TRUE(PumpUntil([&] { return t->GetConnectStatus() == 3; }));
    ASSERT_TRUE(PumpUntil([&] {
        HBytes m = ReadAll(t);
        got.insert(got.end(), m.begin(), m.end());
        return got.size() >= 11;
    }));
    EXPECT_EQ(std::string(got.begin(), got.end()), "old1old2new");
}

TEST_F(HttpTunnel, PostDroppedInsideADataBlockClosesTheTunnel) {
    CRawHttpConnection get, post;
    TTransportObj* t = OpenTunnel(get, post, TunnelIdentifier(12));
    ASSERT_NE(t, nullptr);
    HBytes wire = BlockHeader(1, 100);
    wire.insert(wire.end(), 40, 'x');
    ASSERT_TRUE(post.Send(wire));
    ASSERT_TRUE(PumpUntil([&] { return OwnerGot(kMsgDataArrived); }));
    std::uint8_t some[10];
    ASSERT_EQ(t->Receive(some, sizeof some), 10u);
    post.Close();
    ASSERT_TRUE(PumpUntil([&] { return OwnerGot(kMsgConnectionClosed); }));
    EXPECT_FALSE(t->IsConnected());
    ASSERT_TRUE(PumpUntil([&] { return get.PeerClosed(); }, [&] { get.Poll(); }));
}

TEST_F(HttpTunnel, UnpairedAndRefusedConnectionsAreSwept) {
    CRawHttpConnection lone, partial;
    OpenGet(lone, TunnelIdentifier(13));
    ASSERT_TRUE(partial.Connect(mPort));
    ASSERT_TRUE(partial.Send(std::string("GET http://x/")));  // never completes its request
    ASSERT_TRUE(PumpUntil([&] { return UHttpTransport::GetOpenCount() == 2; }));
    mNow += 30000;
    UHttpTransport::Sweep();
    EXPECT_EQ(UHttpTransport::GetOpenCount(), 2u);  // not older than the connection time yet
    // The periodic sweep does it once they are.
    mNow += 120000;
    ASSERT_TRUE(PumpUntil([&] { return UHttpTransport::GetOpenCount() == 0; }));
    ASSERT_TRUE(PumpUntil([&] { return lone.PeerClosed() && partial.PeerClosed(); },
                          [&] { lone.Poll(); partial.Poll(); }));
}

TEST_F(HttpTunnel, Http11FromAClientAndMalformedRequestsAreNeverAccepted) {
    const std::string id = TunnelIdentifier(14);
    const std::string longLine(300, 'a');
    std::vector<std::string> requests = {
        // No proxy passed these on (no Via).
        GetRequestText(id, mPort, "HTTP/1.1"),
        PostRequestText(id, mPort, "HTTP/1.1"),
        "GET /" + id + " HTTP/1.1\r\nHost: h\r\n\r\n",
        // A later header that contains the version does not make it a request of that version.
        "GET http://h/" + id + " HTTP/1.1\r\nX-Via: " + id + " HTTP/1.0\r\n\r\n",
        "PUT http://h/" + id + " HTTP/1.0\r\n\r\n",
        "GET /" + id.substr(0, 20) + " HTTP/1.0\r\nPragma: no-cache\r\n\r\n",  // identifier too short
        "GET http://h/" + id + " HTTP/1.0\r\nX-Long: " + longLine + "\r\n\r\n",
        std::string(5000, '\x01'),
    };
    std::string manyLines = "GET http://h/" + id + " HTTP/1.0\r\n";
    while (manyLines.size() < 9000) manyLines += "X-Filler: 0123456789\r\n";
    requests.push_back(manyLines);
    std::vector<std::unique_ptr<CRawHttpConnection>> conns;
    for (const std::string& r : requests) {
        conns.push_back(std::make_unique<CRawHttpConnection>());
        ASSERT_TRUE(conns.back()->Connect(mPort));
        ASSERT_TRUE(conns.back()->Send(r));
    }
    // Each is closed without a byte of response; none is reported.
    ASSERT_TRUE(PumpUntil([&] {
        return std::all_of(conns.begin(), conns.end(), [](auto& c) { return c->PeerClosed(); });
    }, [&] { for (auto& c : conns) c->Poll(); }));
    for (auto& c : conns) EXPECT_TRUE(c->Received().empty());
    EXPECT_TRUE(mListenerCodes.empty());
    std::uint32_t size = 12;
    SInternetAddress addr{};
    EXPECT_EQ(mListener->Accept(&addr, &size), nullptr);
    EXPECT_EQ(UHttpTransport::GetOpenCount(), 0u);
}

TEST_F(HttpTunnel, HostileBodiesNeverGrowMemoryOrCrash) {
    // A POST whose body does not open with padding, and one announcing an absurd padding block.
    CRawHttpConnection dataFirst, hugePadding;
    ASSERT_TRUE(dataFirst.Connect(mPort));
    HBytes w = Text(PostRequestText(TunnelIdentifier(15), mPort));
    HBytes blk = DataBlock({1, 2, 3});
    w.insert(w.end(), blk.begin(), blk.end());
    ASSERT_TRUE(dataFirst.Send(w));
    ASSERT_TRUE(hugePadding.Connect(mPort));
    w = Text(PostRequestText(TunnelIdentifier(16), mPort));
    blk = BlockHeader(2, 0xFFFFFFF0u);
    w.insert(w.end(), blk.begin(), blk.end());
    ASSERT_TRUE(hugePadding.Send(w));
    ASSERT_TRUE(PumpUntil([&] { return dataFirst.PeerClosed() && hugePadding.PeerClosed(); },
                          [&] { dataFirst.Poll(); hugePadding.Poll(); }));

    // A paired tunnel: endless padding is consumed and never reported; an absurd data block closes it.
    CRawHttpConnection get, post;
    TTransportObj* t = OpenTunnel(get, post, TunnelIdentifier(17));
    ASSERT_NE(t, nullptr);
    HBytes padding;
    for (int i = 0; i < 64; ++i) {
        HBytes p = PaddingBlock(14336);
        padding.insert(padding.end(), p.begin(), p.end());
    }
    ASSERT_TRUE(post.Send(padding));
    for (int i = 0; i < 50; ++i) CEventLoop::Get().RunOnce(1);
    EXPECT_TRUE(t->IsConnected());
    EXPECT_FALSE(OwnerGot(kMsgDataArrived));
    EXPECT_EQ(t->GetReceiveSize(), 0u);
    ASSERT_TRUE(post.Send(BlockHeader(1, 0xFFFFFFFFu)));
    ASSERT_TRUE(PumpUntil([&] { return OwnerGot(kMsgConnectionClosed); }));
    EXPECT_FALSE(t->IsConnected());
    ASSERT_TRUE(PumpUntil([&] { return post.PeerClosed(); }, [&] { post.Poll(); }));
    HBytes expect = Text(kPostClose);
    expect.insert(expect.end(), 8, 0);
    EXPECT_EQ(post.Received(), expect);
}

TEST_F(HttpTunnel, ReconnectionWithAnUnknownIdentifierIsANewRequest) {
    CRawHttpConnection get, post;
    TTransportObj* t = OpenTunnel(get, post, TunnelIdentifier(18));
    ASSERT_NE(t, nullptr);
    // A listener's datagram sending and a tunnel's status while closing and reopening.
    EXPECT_THROW(t->SendUnit(nullptr, 0, "x", 1), SError);
    get.Close();
    ASSERT_TRUE(PumpUntil([&] { return t->GetConnectStatus() == 2; }));
    t->Disconnect();
    EXPECT_EQ(test::ErrorOf([&] { t->GetConnectStatus(); }), std::make_pair(int(kErrClassNetwork), int(kErrTunnelState)));
    // The identifier of a closed tunnel starts a new pairing instead of reviving it.
    CRawHttpConnection get2;
    OpenGet(get2, TunnelIdentifier(18));
    EXPECT_EQ(UHttpTransport::GetOpenCount(), 1u);
}

}  // namespace
}  // namespace kx::test
