// Hostile connection patterns against the processing pass: hundreds of connections that never
// finish their handshake, a client trickling its bytes, and maximal transactions. None of them
// may hold up service for a well-behaved client, and silent connections are closed in time.
#include "server/app_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "protocol/transaction_types.h"

namespace kx::test {
namespace {

class HostileClientsTest : public AppFixture {
    void CustomizePrefs(SMyPrefs& prefs) override { prefs.mOptions.nMaxConnectionsIP = 0; }
};

int RawConnect(std::uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

TEST_F(HostileClientsTest, SilentConnectionsDoNotBlockOthersAndAreClosedAfterAMinute) {
    std::vector<int> silent;
    for (int i = 0; i < 300; ++i) {
        const int fd = RawConnect(mPort);
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

}  // namespace
}  // namespace kx::test
