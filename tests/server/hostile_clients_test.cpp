// Hostile connection patterns against the processing pass: hundreds of connections that never
// finish their handshake, a client trickling its bytes, and maximal transactions; on the TLS
// port, peers that never finish the TLS handshake, floods of encrypted connections, and shared
// notices and runs written across records. None of them may hold up service for a well-behaved client,
// and silent connections are closed in time.
#include "server/app_fixture.h"

#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "admin/ip_range.h"
#include "protocol/transact_fanout.h"
#include "protocol/transaction_types.h"
#include "support/tls_test_client.h"

namespace kx::test {
namespace {

class HostileClientsTest : public AppFixture {
    void CustomizePrefs(SMyPrefs& prefs) override { prefs.mOptions.nMaxConnectionsIP = 0; }
};

TEST_F(HostileClientsTest, SilentConnectionsDoNotBlockOthersAndAreClosedAfterAMinute) {
    std::vector<int> silent;
    for (int i = 0; i < 300; ++i) {
        const int fd = ConnectLoopback(mPort);
        ASSERT_GE(fd, 0);
        silent.push_back(fd);
        if (i % 5 == 4) Pump(1);  // the listen backlog holds only a few
    }
    ASSERT_TRUE(PumpUntil([&] { return mApp->PendingConnections() == 300; }));

    auto good = ConnectClient();  // gets its handshake reply while the others sit there
    EXPECT_TRUE(PumpUntil([&] { return mApp->Clients().size() == 1; }));

    AdvanceSeconds(61);
    EXPECT_TRUE(PumpUntil([&] { return mApp->PendingConnections() == 0; }));
    char byte;
    for (int fd : silent) {
        EXPECT_EQ(recv(fd, &byte, 1, 0), 0) << "expected the server to close it";
        close(fd);
    }
    EXPECT_EQ(mApp->Clients().size(), 1u);
}

TEST_F(HostileClientsTest, TricklingClientDoesNotHoldUpOthers) {
    auto slow = ConnectClient();
    auto fast = ConnectClient();
    ASSERT_TRUE(PumpUntil([&] { return mApp->Clients().size() == 2; }));
    for (const auto& c : mApp->Clients()) c->hasLoggedIn = true;

    const Bytes request = EncodeRequest(999, 1, CFieldListBuilder().Add(kFieldData, "slow").Build());
    for (std::size_t i = 0; i + 1 < request.size(); ++i) {
        ASSERT_TRUE(slow->SendRaw(Bytes{request[i]}));
        Pump(1);
        if (i % 5 == 0) {
            const std::uint32_t id = fast->SendRequest(999, CFieldListBuilder().Build());
            Pump(2);
            ASSERT_TRUE(fast->ReadReplyTo(id, 2000)) << "fast client starved at byte " << i;
        }
    }
    EXPECT_TRUE(slow->ExpectSilence(20));  // nothing answered before the last byte
    ASSERT_TRUE(slow->SendRaw(Bytes{request.back()}));
    Pump();
    auto reply = slow->ReadReplyTo(1, 2000);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->hdr.error, 1u);
}

TEST_F(HostileClientsTest, MaximalTransactionsAreServedAndOneByteMoreCloses) {
    auto big = ConnectClient();
    auto other = ConnectClient();
    ASSERT_TRUE(PumpUntil([&] { return mApp->Clients().size() == 2; }));
    for (const auto& c : mApp->Clients()) c->hasLoggedIn = true;

    // 524288 bytes of data: a field list whose single field fills the rest.
    Bytes data = CFieldListBuilder().Add(kFieldData, std::string(65535, 'x')).Build();
    Bytes maximal;
    maximal.push_back(0);
    maximal.push_back(8);
    for (int i = 0; i < 8; ++i) maximal.insert(maximal.end(), data.begin() + 2, data.end());
    maximal.resize(524288, 0);
    for (int round = 0; round < 3; ++round) {
        const std::uint32_t id = big->SendRequest(999, maximal);
        ASSERT_TRUE(PumpUntil([&] { return big->ReadReplyTo(id, 1).has_value(); }));
        const std::uint32_t small = other->SendRequest(999, CFieldListBuilder().Build());
        Pump(2);
        EXPECT_TRUE(other->ReadReplyTo(small, 2000));
    }
    maximal.push_back(0);
    big->SendRequest(999, maximal);
    EXPECT_TRUE(ServerClosed(*big));
    EXPECT_TRUE(PumpUntil([&] { return mApp->Clients().size() == 1; }));
}

// The TLS port with at most two clients per address. Clients are blocking TLS clients on a
// thread while the server's loop is pumped here.
class TlsHostileTest : public AppFixture {
protected:
    void CustomizePrefs(SMyPrefs& prefs) override { prefs.mOptions.nMaxConnectionsIP = 2; }

    bool PumpWhile(const std::function<void()>& work) {
        std::atomic<bool> done{false};
        std::thread t([&] {
            work();
            done = true;
        });
        const bool finished = PumpUntil([&] { return done.load(); }, 20000);
        t.join();
        return finished;
    }
};

TEST_F(TlsHostileTest, TlsPeersThatNeverFinishTheHandshakeAreClosedAfterTenSeconds) {
    const auto tlsPort = static_cast<std::uint16_t>(mPort + 4);
    std::vector<int> silent;
    for (int i = 0; i < 50; ++i) {
        silent.push_back(ConnectLoopback(tlsPort));
        ASSERT_GE(silent.back(), 0);
        if (i % 5 == 4) Pump(1);
    }
    CTestClient stalled(2000);
    ASSERT_TRUE(stalled.Connect(tlsPort));
    ASSERT_TRUE(stalled.SendRaw(ClientHelloStart(40)));
    // Plain protocol bytes are no handshake: closed at once, no reply in plain text.
    CTestClient plain(2000);
    ASSERT_TRUE(plain.Connect(tlsPort));
    ASSERT_TRUE(plain.SendRaw(EstablishRequest("KSTX", 2)));
    std::size_t answered = 0;
    bool plainClosed = false;
    PumpUntil([&] { return plainClosed = plain.WaitClosed(1, &answered); });
    EXPECT_TRUE(plainClosed);
    EXPECT_LE(answered, 7u) << "at most a TLS alert";
    ASSERT_TRUE(PumpUntil([&] { return mApp->PendingConnections() == 51; }));

    CTlsTestClient good;
    ASSERT_TRUE(PumpWhile([&] { EXPECT_TRUE(good.Connect(tlsPort) && good.Establish()) << good.LastError(); }));
    ASSERT_TRUE(PumpUntil([&] { return mApp->Clients().size() == 1; }));

    AdvanceSeconds(9);
    Pump(5);
    EXPECT_EQ(mApp->PendingConnections(), 51u) << "closed before the time-out";
    AdvanceSeconds(2);
    EXPECT_TRUE(PumpUntil([&] { return mApp->PendingConnections() == 0; }));
    EXPECT_TRUE(ServerClosed(stalled));
    char byte;
    for (int fd : silent) {
        EXPECT_EQ(recv(fd, &byte, 1, 0), 0) << "expected the server to close it";
        close(fd);
    }
    EXPECT_EQ(mApp->Clients().size(), 1u) << "the finished handshake is not timed out";
}

TEST_F(TlsHostileTest, EncryptedConnectionsCountTowardThePerAddressAndFloodRules) {
    const auto tlsPort = static_cast<std::uint16_t>(mPort + 4);
    const std::string source = NextLoopbackSource();
    std::vector<std::unique_ptr<CTlsTestClient>> kept;
    auto open = [&] {
        auto c = std::make_unique<CTlsTestClient>();
        c->SetSourceAddress(source);
        EXPECT_TRUE(PumpWhile([&] { EXPECT_TRUE(c->Connect(tlsPort) && c->Establish()) << c->LastError(); }));
        return c;
    };
    kept.push_back(open());
    kept.push_back(open());
    ASSERT_TRUE(PumpUntil([&] { return mApp->Clients().size() == 2; }));
    // A third from the same address gets its handshake reply, then the close.
    auto third = open();
    bool closed = false;
    PumpWhile([&] { closed = third->WaitClosed(5000); });
    EXPECT_TRUE(closed);
    EXPECT_EQ(mApp->Clients().size(), 2u);

    kept.clear();
    ASSERT_TRUE(PumpUntil([&] { return mApp->Clients().empty(); }));
    SIPAddress ip;
    ASSERT_TRUE(ParseDottedAddress(source, ip));
    for (int i = 0; i < 12 && !mApp->Bans().IsTempBanned(ip); ++i) {
        auto c = open();
        PumpWhile([&] { c->WaitClosed(1); });
    }
    EXPECT_TRUE(mApp->Bans().IsTempBanned(ip)) << "more than ten connections within 30 seconds";
}

TEST_F(TlsHostileTest, MaximalTransactionsCrossTlsRecordsAndOneByteMoreCloses) {
    const auto tlsPort = static_cast<std::uint16_t>(mPort + 4);
    CTlsTestClient big;
    ASSERT_TRUE(PumpWhile([&] { EXPECT_TRUE(big.Connect(tlsPort) && big.Establish()) << big.LastError(); }));
    ASSERT_TRUE(PumpUntil([&] { return mApp->Clients().size() == 1; }));
    mApp->Clients().back()->hasLoggedIn = true;

    // 524288 bytes of data, sent in chunks (32 TLS records) the endpoint must put together.
    Bytes data = CFieldListBuilder().Add(kFieldData, std::string(65535, 'x')).Build();
    Bytes maximal = {0, 8};
    for (int i = 0; i < 8; ++i) maximal.insert(maximal.end(), data.begin() + 2, data.end());
    maximal.resize(524288, 0);
    for (std::uint32_t id = 1; id <= 2; ++id) {
        std::optional<Bytes> reply;
        ASSERT_TRUE(PumpWhile([&] {
            if (!big.SendRaw(EncodeRequest(999, id, maximal, {100000, 300000}))) return;
            reply = big.ReadExact(20);
            if (reply && !big.ReadExact(DecodeHeader(reply->data()).dataSize)) reply.reset();
        }));
        ASSERT_TRUE(reply);
        EXPECT_EQ(DecodeHeader(reply->data()).id, id);
        EXPECT_EQ(DecodeHeader(reply->data()).isReply, 1);
    }
    // Notices encoded once for every reader leave whole and in order, more of them than one
    // record holds, each behind this connection's own next ID; the second half as runs (numbered
    // blocks, several of them as a run is capped), cut into records wherever they fall.
    std::vector<Bytes> sent;
    TTransactObj* conn = mApp->Clients().back()->tpt.get();
    for (int i = 0; i < 40; ++i) {
        const std::string text = std::to_string(i) + std::string(3000, static_cast<char>('a' + i % 26));
        StFieldData fields;
        UFieldData::AddString(fields, kFieldData, text);
        if (i < 20) {
            mApp->BroadcastTran(kTranUserBroadcast, fields);
        } else {
            TTransactFanOut::Add(mApp.get(), kTranUserBroadcast, fields, [&](std::vector<TTransactObj*>& to) { to = {conn}; });
        }
        sent.push_back(CFieldListBuilder().Add(kFieldData, text).Build());
    }
    TTransactFanOut::HandOver();
    std::uint32_t lastID = 0;
    for (const Bytes& body : sent) {
        std::optional<Bytes> hdr, got;
        ASSERT_TRUE(PumpWhile([&] {
            hdr = big.ReadExact(20);
            if (hdr) got = big.ReadExact(DecodeHeader(hdr->data()).dataSize);
        }));
        ASSERT_TRUE(hdr && got);
        EXPECT_EQ(DecodeHeader(hdr->data()).type, kTranUserBroadcast);
        if (lastID != 0) {
            EXPECT_EQ(DecodeHeader(hdr->data()).id, lastID + 1);
        }
        lastID = DecodeHeader(hdr->data()).id;
        EXPECT_TRUE(*got == body);
    }
    maximal.push_back(0);
    bool closed = false;
    PumpWhile([&] {
        big.SendRaw(EncodeRequest(999, 3, maximal));  // may fail part way: the server closes first
        closed = big.WaitClosed(10000);
    });
    EXPECT_TRUE(closed);
    EXPECT_TRUE(PumpUntil([&] { return mApp->Clients().empty(); }));
}

}  // namespace
}  // namespace kx::test
