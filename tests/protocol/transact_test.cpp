// Transaction connections over an in-memory endpoint: the establish exchange with its exact
// bytes, framing violations and the receive limit, chunk reassembly, claiming order, replies and
// originated transactions on the wire, the bound on unclaimed data, and notice relaying.
#include "protocol/transact.h"

#include <gtest/gtest.h>

#include <cstring>

#include "framework/error.h"
#include "protocol/transact_fanout.h"
#include "support/fake_transport.h"
#include "support/test_client.h"
#include "support/error_checks.h"

namespace kx {
namespace {

using test::Bytes;
using test::CFakeTransport;
using test::CFieldListBuilder;
using test::EncodeChunk;
using test::EncodeHeader;
using test::EncodeRequest;
using test::EstablishRequest;
using test::STestHeader;

void DrainLoop() {
    for (int i = 0; i < 4 && CEventLoop::Get().QueuedMessages() != 0; ++i) CEventLoop::Get().RunOnce(0);
}

Bytes Pattern(std::size_t n, std::uint8_t seed = 0) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = std::uint8_t(seed + i * 7);
    return b;
}

// Restores the process-wide receive limit after a test changes it.
struct LimitGuard {
    std::uint32_t saved = _gTransactMaxReceiveSize;
    explicit LimitGuard(std::uint32_t limit) { _gTransactMaxReceiveSize = limit; }
    ~LimitGuard() { _gTransactMaxReceiveSize = saved; }
};

class TransactTest : public ::testing::Test {
protected:
    void SetUp() override {
        DrainLoop();
        auto fake = std::make_unique<CFakeTransport>();
        tpt = fake.get();
        trn = std::make_unique<TTransactObj>(std::move(fake));
    }
    void TearDown() override {
        trn.reset();
        DrainLoop();
    }

    // Runs the establish exchange and clears what it sent.
    void Establish() {
        tpt->Feed(EstablishRequest());
        std::uint8_t tag[4];
        std::uint16_t ver = 0;
        ASSERT_EQ(trn->ReceiveEstablish(tag, ver), kEstablishReceived);
        trn->AcceptEstablish();
        tpt->TakeSent();
    }

    Bytes Claim(TTransactSession& ses) {
        StFieldData fd;
        ses->ReceiveData(fd);
        return UFieldData::GetDataHandle(fd);
    }

    CFakeTransport* tpt = nullptr;
    TTransact trn;
};

TEST_F(TransactTest, EstablishAcceptedWithTagAndSubVersion) {
    std::uint8_t tag[4] = {0, 0, 0, 0};
    std::uint16_t ver = 0;
    EXPECT_EQ(trn->ReceiveEstablish(tag, ver), kEstablishPending);
    EXPECT_EQ(tpt->Threshold(), 12u);

    Bytes req = EstablishRequest("KSTX", 2);
    tpt->Feed(req.data(), 11);
    EXPECT_EQ(trn->ReceiveEstablish(tag, ver), kEstablishPending);
    // The following request bytes arrive with the last establish byte; they must stay unread.
    Bytes rest(req.begin() + 11, req.end());
    Bytes next = EncodeRequest(107, 1, CFieldListBuilder().Add(105, "guest").Build());
    rest.insert(rest.end(), next.begin(), next.end());
    tpt->Feed(rest);

    EXPECT_EQ(trn->ReceiveEstablish(tag, ver), kEstablishReceived);
    EXPECT_EQ(std::memcmp(tag, "KSTX", 4), 0);
    EXPECT_EQ(ver, 2);
    EXPECT_TRUE(tpt->Sent().empty());
    EXPECT_FALSE(trn->IsEstablished());
    // Asked again before the decision: same answer, nothing consumed.
    ver = 0;
    EXPECT_EQ(trn->ReceiveEstablish(tag, ver), kEstablishReceived);
    EXPECT_EQ(ver, 2);
    EXPECT_EQ(tpt->Unread(), next.size());
    EXPECT_EQ(trn->NewReceiveSession(), nullptr);  // not established yet

    trn->AcceptEstablish();
    EXPECT_EQ(tpt->Sent(), (Bytes{'T', 'R', 'T', 'P', 0, 0, 0, 0}));
    EXPECT_TRUE(trn->IsEstablished());
    trn->AcceptEstablish();
    EXPECT_EQ(tpt->Sent().size(), 8u);  // nothing more

    auto ses = trn->NewReceiveSession();
    ASSERT_NE(ses, nullptr);
    EXPECT_EQ(ses->GetReceiveType(), 107);
}

TEST_F(TransactTest, EstablishWrongVersionRefusedWithCodeOne) {
    tpt->Feed(EstablishRequest("KSTX", 2, /*version=*/2));
    std::uint8_t tag[4];
    std::uint16_t ver = 0;
    EXPECT_EQ(trn->ReceiveEstablish(tag, ver), kEstablishBadVersion);
    EXPECT_EQ(tpt->Sent(), (Bytes{'T', 'R', 'T', 'P', 0, 0, 0, 1}));
    EXPECT_EQ(trn->ReceiveEstablish(tag, ver), kEstablishBadVersion);
    EXPECT_EQ(tpt->Sent().size(), 8u);
}

TEST_F(TransactTest, EstablishWrongProtocolTagSendsNothing) {
    tpt->Feed(EstablishRequest("KSTX", 2, 1, "HTTP"));
    std::uint8_t tag[4];
    std::uint16_t ver = 0;
    EXPECT_EQ(trn->ReceiveEstablish(tag, ver), kEstablishBadProtocol);
    EXPECT_TRUE(tpt->Sent().empty());
}

TEST_F(TransactTest, EstablishWaitsWhileNotConnected) {
    tpt->Feed(EstablishRequest());
    tpt->PeerClose();
    DrainLoop();
    std::uint8_t tag[4];
    std::uint16_t ver = 0;
    EXPECT_EQ(trn->ReceiveEstablish(tag, ver), kEstablishPending);
    EXPECT_FALSE(trn->IsConnected());
}

TEST_F(TransactTest, RejectEstablishSendsTheCodeAndZeroAsOne) {
    trn->RejectEstablish(0);
    EXPECT_EQ(tpt->TakeSent(), (Bytes{'T', 'R', 'T', 'P', 0, 0, 0, 1}));
    trn->RejectEstablish(0x01020304);
    EXPECT_EQ(tpt->TakeSent(), (Bytes{'T', 'R', 'T', 'P', 1, 2, 3, 4}));
    EXPECT_TRUE(trn->IsConnected());  // the caller closes it

    Establish();
    EXPECT_EQ(test::ErrorOf([&] { trn->RejectEstablish(1); }), std::make_pair(1, 2));
    EXPECT_TRUE(tpt->Sent().empty());
}

// Each header that breaks the size rules closes the connection at once, without a reply.
TEST_F(TransactTest, FramingViolationsCloseWithoutReply) {
    struct Case {
        const char* name;
        std::uint32_t total, size;
    };
    const Case cases[] = {
        {"totalSize 0", 0, 10}, {"dataSize 0", 10, 0}, {"both 0", 0, 0},
        {"totalSize above limit", 2097153, 10}, {"dataSize above limit", 10, 2097153},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        Establish();
        STestHeader h;
        h.type = 107;
        h.id = 1;
        h.totalSize = c.total;
        h.dataSize = c.size;
        tpt->Feed(EncodeHeader(h));
        tpt->Feed(Pattern(c.size > 100 ? 100 : c.size));
        EXPECT_EQ(trn->NewReceiveSession(), nullptr);
        EXPECT_TRUE(trn->IsDead());
        EXPECT_EQ(tpt->DisconnectCalls(), 1);
        EXPECT_FALSE(trn->IsEstablished());
        EXPECT_TRUE(tpt->Sent().empty());
        // Nothing more is parsed, even a valid request.
        tpt->Feed(EncodeRequest(107, 2, Pattern(10)));
        EXPECT_EQ(trn->NewReceiveSession(), nullptr);
        EXPECT_EQ(tpt->DisconnectCalls(), 1);
    }
}

TEST_F(TransactTest, ReceiveLimitBoundaryAtTheServerLimit) {
    LimitGuard limit(524288);
    Establish();
    const Bytes big = Pattern(524288, 3);
    tpt->Feed(EncodeRequest(300, 9, big));
    auto ses = trn->NewReceiveSession();
    ASSERT_NE(ses, nullptr);
    EXPECT_EQ(Claim(ses), big);
    ses.reset();
    EXPECT_FALSE(trn->IsDead());

    tpt->Feed(EncodeRequest(300, 10, Pattern(524289)));
    EXPECT_EQ(trn->NewReceiveSession(), nullptr);
    EXPECT_TRUE(trn->IsDead());
    EXPECT_EQ(tpt->DisconnectCalls(), 1);
    EXPECT_TRUE(tpt->Sent().empty());
}

TEST_F(TransactTest, TwoChunksReassembledInOrder) {
    Establish();
    const Bytes data = Pattern(30, 1);
    const Bytes wire = EncodeRequest(107, 44, data, {10, 20});
    ASSERT_EQ(wire.size(), 20u + 10 + 20 + 20);
    tpt->Feed(wire.data(), 30);
    EXPECT_EQ(trn->NewReceiveSession(), nullptr);
    EXPECT_EQ(trn->GetTaskCount(), 1u);
    // The second chunk's header arrives a byte at a time.
    for (std::size_t i = 30; i < 50; ++i) {
        tpt->Feed(&wire[i], 1);
        EXPECT_EQ(trn->NewReceiveSession(), nullptr);
    }
    tpt->Feed(wire.data() + 50, wire.size() - 50);
    auto ses = trn->NewReceiveSession();
    ASSERT_NE(ses, nullptr);
    EXPECT_EQ(ses->GetReceiveType(), 107);
    EXPECT_EQ(Claim(ses), data);
    ses.reset();
    EXPECT_EQ(trn->GetTaskCount(), 0u);
    EXPECT_EQ(trn->GetPendingBytes(), 0u);
}

TEST_F(TransactTest, RequestsClaimedInArrivalOrderAndByFilter) {
    Establish();
    tpt->Feed(EncodeRequest(200, 7, Pattern(4, 1)));
    tpt->Feed(EncodeRequest(105, 3, Pattern(6, 2)));
    tpt->Feed(EncodeRequest(200, 5, Pattern(8, 3)));

    auto only105 = trn->NewReceiveSession(105);
    ASSERT_NE(only105, nullptr);
    EXPECT_EQ(Claim(only105), Pattern(6, 2));

    auto first = trn->NewReceiveSession();
    auto second = trn->NewReceiveSession();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(Claim(first), Pattern(4, 1));
    EXPECT_EQ(Claim(second), Pattern(8, 3));
    EXPECT_EQ(trn->NewReceiveSession(), nullptr);
}

TEST_F(TransactTest, RepliesFromThePeerAreReadAndDropped) {
    Establish();
    STestHeader reply;
    reply.isReply = 7;  // any non-zero value is a reply
    reply.id = 1;
    tpt->Feed(EncodeChunk(reply, Pattern(12)));
    EXPECT_EQ(trn->NewReceiveSession(), nullptr);
    EXPECT_EQ(trn->GetTaskCount(), 0u);
    EXPECT_EQ(tpt->Unread(), 0u);
    // The stream is still followed: a request after it is claimed whole.
    tpt->Feed(EncodeRequest(107, 1, Pattern(5, 9)));
    auto ses = trn->NewReceiveSession();
    ASSERT_NE(ses, nullptr);
    EXPECT_EQ(Claim(ses), Pattern(5, 9));
    EXPECT_FALSE(trn->IsDead());
}

// A request still held absorbs any later chunk with the same id, even one sent as a new request.
TEST_F(TransactTest, HeldRequestAbsorbsLaterChunkWithSameID) {
    Establish();
    tpt->Feed(EncodeRequest(107, 1, Pattern(10, 1)));
    tpt->Feed(EncodeRequest(108, 1, Pattern(5, 2)));
    auto ses = trn->NewReceiveSession();
    ASSERT_NE(ses, nullptr);
    EXPECT_EQ(ses->GetReceiveType(), 108);
    Bytes expected = Pattern(10, 1);
    Bytes more = Pattern(5, 2);
    expected.insert(expected.end(), more.begin(), more.end());
    EXPECT_EQ(Claim(ses), expected);
    EXPECT_EQ(trn->NewReceiveSession(), nullptr);
}

TEST_F(TransactTest, ReplyHeaderCarriesRequestIDTypeZeroAndError) {
    Establish();
    tpt->Feed(EncodeRequest(107, 5, CFieldListBuilder().Add(105, "guest").Build()));
    auto ses = trn->NewReceiveSession();
    ASSERT_NE(ses, nullptr);
    StFieldData reply;
    UFieldData::AddInteger(reply, 160, 151);
    ses->SendData(reply);
    const Bytes expected = {0, 1, 0, 0, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 8, 0, 0, 0, 8,
                            0, 1, 0, 160, 0, 2, 0, 151};
    ASSERT_EQ(tpt->SendCalls().size(), 1u);  // header and data in one buffer
    EXPECT_EQ(tpt->TakeSent(), expected);
    ses.reset();

    tpt->Feed(EncodeRequest(354, 6, Pattern(3)));
    ses = trn->NewReceiveSession();
    ASSERT_NE(ses, nullptr);
    ses->SetSendError(1);
    StFieldData error;
    UFieldData::AddCString(error, 100, "no");
    ses->SendData(error);
    const Bytes sent = tpt->TakeSent();
    ASSERT_EQ(sent.size(), 20u + 8);
    EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 20),
              (Bytes{0, 1, 0, 0, 0, 0, 0, 6, 0, 0, 0, 1, 0, 0, 0, 8, 0, 0, 0, 8}));
}

TEST_F(TransactTest, FirstReplyChunkFixesTheTotal) {
    Establish();
    tpt->Feed(EncodeRequest(202, 9, Pattern(2)));
    auto ses = trn->NewReceiveSession();
    ASSERT_NE(ses, nullptr);
    const Bytes a = Pattern(6), b = Pattern(4);
    ses->SendData(a.data(), 6);
    ses->SendData(b.data(), 4);
    const Bytes sent = tpt->TakeSent();
    ASSERT_EQ(sent.size(), 20u + 6 + 20 + 4);
    const auto h1 = test::DecodeHeader(sent.data());
    const auto h2 = test::DecodeHeader(sent.data() + 26);
    EXPECT_EQ(h1.totalSize, 6u);
    EXPECT_EQ(h1.dataSize, 6u);
    EXPECT_EQ(h2.totalSize, 6u);
    EXPECT_EQ(h2.dataSize, 4u);
    EXPECT_EQ(h2.id, 9u);
}

TEST_F(TransactTest, OriginatedTransactionsNumberFromOne) {
    Establish();
    StFieldData chat;
    UFieldData::AddCString(chat, 101, "hi");
    EXPECT_EQ(trn->SendTransaction(106, chat), 1u);
    EXPECT_EQ(trn->SendTransaction(301, chat), 2u);
    const Bytes sent = tpt->TakeSent();
    ASSERT_EQ(sent.size(), 2 * (20u + 8));
    EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 28),
              (Bytes{0, 0, 0, 106, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 8, 0, 0, 0, 8,
                     0, 1, 0, 101, 0, 2, 'h', 'i'}));
    EXPECT_EQ(test::DecodeHeader(sent.data() + 28).id, 2u);
    EXPECT_EQ(test::DecodeHeader(sent.data() + 28).type, 301);
    // Nothing is kept waiting for an answer.
    EXPECT_EQ(trn->GetTaskCount(), 0u);
}

// A run of transactions for many connections is encoded once; each connection still sees them
// under its own next IDs, as one Send each (one frame on a WebSocket), in the same order as
// everything else sent to it, and never after it disconnects or is gone.
TEST_F(TransactTest, FanOutRunsKeepEachConnectionsIDsAndOrder) {
    auto fake2 = std::make_unique<CFakeTransport>();
    CFakeTransport* tpt2 = fake2.get();
    auto trn2 = std::make_unique<TTransactObj>(std::move(fake2));
    auto request = [&](std::uint16_t type, std::uint32_t id, const char* text) {
        const std::string data = std::string("\0\1\0\x65\0", 5) + char(std::strlen(text)) + text;
        return EncodeRequest(type, id, Bytes(data.begin(), data.end()));
    };
    int asked = 0;
    const auto audience = [&](std::vector<TTransactObj*>& to) {
        ++asked;
        to = {trn.get(), trn2.get()};
    };
    auto add = [&](const void* key, const char* text) {
        StFieldData f;
        UFieldData::AddCString(f, 101, text);
        TTransactFanOut::Add(key, 106, f, audience);
    };
    auto send = [&](TTransactObj& to, std::uint16_t type, const char* text) {
        StFieldData f;
        UFieldData::AddCString(f, 101, text);
        return to.SendTransaction(type, f);
    };
    EXPECT_EQ(send(*trn, 106, "x"), 1u);  // this connection is one ID ahead
    tpt->TakeSent();
    const int chat = 0, other = 0;
    for (const char* text : {"a", "b", "c"}) add(&chat, text);
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(tpt->Sent().empty() && tpt2->Sent().empty());
    // Anything else sent hands the run over first.
    EXPECT_EQ(send(*trn2, 301, "own"), 4u);
    Bytes want1 = request(106, 2, "a"), want2 = request(106, 1, "a");
    for (auto [text, id] : {std::pair{"b", 3u}, std::pair{"c", 4u}}) {
        const Bytes b1 = request(106, id, text), b2 = request(106, id - 1, text);
        want1.insert(want1.end(), b1.begin(), b1.end());
        want2.insert(want2.end(), b2.begin(), b2.end());
    }
    const Bytes own = request(301, 4, "own");
    want2.insert(want2.end(), own.begin(), own.end());
    EXPECT_EQ(tpt->TakeSent(), want1);
    EXPECT_EQ(tpt2->SendCalls().size(), 4u);  // one piece per transaction
    EXPECT_EQ(tpt2->TakeSent(), want2);
    // Another audience ends the run; so does a disconnect, before it takes effect.
    add(&chat, "d");
    add(&other, "e");
    EXPECT_EQ(asked, 3);
    EXPECT_EQ(tpt->TakeSent(), request(106, 5, "d"));
    trn->Disconnect();
    EXPECT_EQ(tpt->TakeSent(), request(106, 6, "e"));
    // A transaction larger than a run holds ends the run before it and goes as one of its own.
    tpt2->TakeSent();
    add(&other, "g");
    const std::string large(TTransactFanOut::kMaxRunBytes, 'L');
    StFieldData big;
    UFieldData::AddString(big, 101, large);
    TTransactFanOut::Add(&other, 106, big, audience);
    EXPECT_EQ(tpt2->TakeSent(), request(106, 7, "g"));
    TTransactFanOut::HandOver();
    const Bytes sentBig = tpt2->TakeSent();
    ASSERT_EQ(sentBig.size(), 20u + 6 + large.size());
    EXPECT_EQ(test::DecodeHeader(sentBig.data()).id, 8u);
    EXPECT_EQ(std::string(sentBig.end() - 3, sentBig.end()), "LLL");
    // A recipient that goes away takes the run with it first (the sanitizers see any later use).
    add(&other, "f");
    trn2.reset();
    EXPECT_FALSE(TTransactFanOut::Pending());
}

// Each chunk is capped, but a peer that opens request after request and never lets one be
// claimed must not make the connection hold unbounded memory.
TEST_F(TransactTest, UnclaimedDataIsBounded) {
    LimitGuard limit(1024);  // pending bound: 4 KiB including 256 bytes per task
    Establish();
    for (std::uint32_t id = 1; id <= 3; ++id) tpt->Feed(EncodeRequest(200, id, Pattern(1000)));
    trn->ProcessReceive();
    EXPECT_FALSE(trn->IsDead());
    EXPECT_EQ(trn->GetTaskCount(), 3u);
    tpt->Feed(EncodeRequest(200, 4, Pattern(1000)));
    trn->ProcessReceive();
    EXPECT_TRUE(trn->IsDead());
    EXPECT_EQ(tpt->DisconnectCalls(), 1);
    EXPECT_TRUE(tpt->Sent().empty());
}

TEST_F(TransactTest, FloodOfTinyRequestsIsBounded) {
    LimitGuard limit(1024);
    Establish();
    for (std::uint32_t id = 1; id <= 100 && !trn->IsDead(); ++id) {
        tpt->Feed(EncodeRequest(200, id, Pattern(2)));
        trn->ProcessReceive();
    }
    EXPECT_TRUE(trn->IsDead());
    EXPECT_LT(trn->GetTaskCount(), 20u);
}

TEST_F(TransactTest, ChunksPilingOntoOneIDAreBounded) {
    LimitGuard limit(1024);
    Establish();
    STestHeader h;
    h.type = 200;
    h.id = 1;
    h.totalSize = 1024;  // never reached by the claims below: each chunk is separate
    for (int i = 0; i < 10 && !trn->IsDead(); ++i) {
        h.dataSize = 1000;
        tpt->Feed(EncodeChunk(h, Pattern(1000)));
        trn->ProcessReceive();
    }
    EXPECT_TRUE(trn->IsDead());
}

TEST_F(TransactTest, ClaimedRequestsFreeTheBudget) {
    LimitGuard limit(1024);
    Establish();
    for (std::uint32_t id = 1; id <= 50; ++id) {
        tpt->Feed(EncodeRequest(200, id, Pattern(1000)));
        auto ses = trn->NewReceiveSession();
        ASSERT_NE(ses, nullptr) << "request " << id;
        EXPECT_EQ(Claim(ses), Pattern(1000));
    }
    EXPECT_FALSE(trn->IsDead());
    EXPECT_EQ(trn->GetPendingBytes(), 0u);
}

TEST_F(TransactTest, ReceiveDataReusesOneFieldListAndMovesTheBytes) {
    Establish();
    const Bytes list1 = CFieldListBuilder().Add(105, "alice").AddInt(106, 7).Build();
    const Bytes list2 = CFieldListBuilder().Add(101, "hello").Build();
    tpt->Feed(EncodeRequest(107, 1, list1));
    tpt->Feed(EncodeRequest(105, 2, list2));
    StFieldData fd;
    auto s1 = trn->NewReceiveSession();
    ASSERT_NE(s1, nullptr);
    s1->ReceiveData(fd);
    EXPECT_EQ(UFieldData::GetInteger(fd, 106), 7);
    char name[16];
    UFieldData::GetCString(fd, 105, name, sizeof name);
    EXPECT_STREQ(name, "alice");
    // The task no longer holds the data; a second read empties the list.
    StFieldData again;
    s1->ReceiveData(again);
    EXPECT_EQ(UFieldData::GetFieldCount(again), 0);
    s1.reset();

    auto s2 = trn->NewReceiveSession();
    ASSERT_NE(s2, nullptr);
    s2->ReceiveData(fd);
    EXPECT_EQ(UFieldData::GetFieldCount(fd), 1);
    EXPECT_EQ(UFieldData::GetDataHandle(fd), list2);
}

TEST_F(TransactTest, DataNoticeRunsReceiveLoopThenReachesTheApplication) {
    std::vector<std::pair<std::uint32_t, void*>> seen;
    bool requestSent = false;
    trn->SetMessageHandler([&](std::uint32_t code, void* obj) {
        seen.emplace_back(code, obj);
        // By the time the application hears of the data, it has been parsed.
        if (requestSent && code == kMsgDataArrived) {
            EXPECT_EQ(trn->GetTaskCount(), 1u);
        }
    });
    Establish();
    DrainLoop();
    seen.clear();
    requestSent = true;
    tpt->Feed(EncodeRequest(107, 1, Pattern(4)));
    DrainLoop();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].first, kMsgDataArrived);
    EXPECT_EQ(seen[0].second, trn.get());

    tpt->PeerClose();
    DrainLoop();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].first, kMsgConnectionClosed);
    EXPECT_FALSE(trn->IsConnected());
}

TEST_F(TransactTest, DisposeDropsQueuedNotices) {
    int calls = 0;
    trn->SetMessageHandler([&](std::uint32_t, void*) { ++calls; });
    Establish();
    DrainLoop();
    calls = 0;
    tpt->Feed(EncodeRequest(107, 1, Pattern(4)));
    CEventLoop::Get().RunOnce(0);  // the endpoint's notice reaches the connection, which tells its owner at once
    EXPECT_EQ(calls, 1);
    tpt->Feed(EncodeRequest(107, 2, Pattern(4)));  // a notice queued, not yet delivered
    trn.reset();
    DrainLoop();
    EXPECT_EQ(calls, 1);
}

TEST_F(TransactTest, DetachedEndpointNoLongerReportsToTheConnection) {
    Establish();
    tpt->Feed(EncodeRequest(107, 1, Pattern(4)));  // queues a notice naming the connection's handler
    TTransport released = trn->SetTransport(nullptr);
    ASSERT_EQ(released.get(), tpt);
    EXPECT_EQ(trn->GetTransport(), nullptr);
    EXPECT_FALSE(tpt->HasHandler());
    trn.reset();
    DrainLoop();  // the stale notice must not reach the disposed connection
    EXPECT_EQ(tpt->Unread(), 20u + 4);  // the bytes stay in the endpoint for its new owner
}

TEST_F(TransactTest, SessionOutlivingItsConnectionIsDetached) {
    Establish();
    tpt->Feed(EncodeRequest(107, 1, Pattern(4)));
    auto ses = trn->NewReceiveSession();
    ASSERT_NE(ses, nullptr);
    trn.reset();
    EXPECT_EQ(ses->GetReceiveType(), 0);
    EXPECT_THROW(ses->SendData("x", 1), SError);
    ses.reset();
}

TEST_F(TransactTest, ListenerAcceptsWrappedConnections) {
    auto listenerTpt = std::make_unique<CFakeTransport>();
    CFakeTransport* lt = listenerTpt.get();
    TTransactObj listener(std::move(listenerTpt));
    SInternetAddress addr{kInternetAddressType, 5500, {0, 0, 0, 0, 0, 0, 0, 0}};
    listener.Listen(&addr, sizeof addr);
    EXPECT_TRUE(lt->listening);

    std::uint8_t buf[12];
    std::uint32_t size = sizeof buf;
    EXPECT_EQ(listener.Accept(buf, &size), nullptr);

    auto incoming = std::make_unique<CFakeTransport>();
    CFakeTransport* in = incoming.get();
    lt->AddPending(std::move(incoming));
    size = sizeof buf;
    TTransact conn = listener.Accept(buf, &size);
    ASSERT_NE(conn, nullptr);
    EXPECT_EQ(size, 12u);
    EXPECT_EQ(conn->GetTransport(), in);
    EXPECT_TRUE(in->HasHandler());
    EXPECT_TRUE(conn->IsConnected());
    EXPECT_FALSE(conn->IsEstablished());
}

TEST_F(TransactTest, DisconnectClearsEstablished) {
    Establish();
    trn->Disconnect();
    EXPECT_FALSE(trn->IsEstablished());
    EXPECT_EQ(tpt->DisconnectCalls(), 1);
    trn->StartDisconnect();
    EXPECT_EQ(tpt->DisconnectCalls(), 2);
}

}  // namespace
}  // namespace kx
