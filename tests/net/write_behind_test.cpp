// The regular endpoint's write-behind: output handed over during an event-loop iteration stays
// queued until the iteration's final flush (one per connection), leaves in order with file
// ranges in their place, and the close paths and the unsent cap keep their guarantees.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <unistd.h>

#include "framework/event_loop.h"
#include "net/loopback_helpers.h"
#include "net/regular_transport.h"

namespace kx {
namespace {

using test::PumpIdle;
using test::PumpUntil;
using test::SLoopbackPair;

// True when the client has nothing to read right now (nothing has been written to it).
bool ClientHasNothing(const SLoopbackPair& pair) {
    char c;
    return recv(pair.client, &c, 1, MSG_PEEK | MSG_DONTWAIT) < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

std::string Line(int i) { return "line " + std::to_string(i) + "\r"; }

// Reads until `n` bytes came or the loop-driven wait gives up.
std::string ReadClient(SLoopbackPair& pair, std::size_t n) {
    std::string got;
    for (int i = 0; i < 2000 && got.size() < n; ++i) {
        got += pair.ClientDrain();
        if (got.size() < n) CEventLoop::Get().RunOnce(5);
    }
    return got;
}

// An after-batch hook for the length of one test.
class CScopedHook {
public:
    explicit CScopedHook(std::function<void()> fn) : mID(CEventLoop::Get().AddAfterBatch(std::move(fn))) {}
    ~CScopedHook() { CEventLoop::Get().RemoveAfterBatch(mID); }
    CScopedHook(const CScopedHook&) = delete;
    CScopedHook& operator=(const CScopedHook&) = delete;

private:
    std::uint64_t mID;
};

TEST(WriteBehind, ABurstInOneBatchLeavesInOrderAfterTheBatchWithOneFlush) {
    SLoopbackPair pair;
    TTransportObj& ep = *pair.server;
    std::string expect;
    bool ran = false, quietInHook = false, quietInLaterHook = false;
    std::size_t listed = 0;
    // The burst is handed over inside the loop's batch, as a processing pass would.
    CScopedHook sender([&] {
        if (ran) return;
        ran = true;
        for (int i = 0; i < 200; ++i) {
            const std::string line = Line(i);
            if (i % 2 == 0) {
                ep.Send(line.data(), static_cast<std::uint32_t>(line.size()));
            } else {
                TTransportBuffer buf = TTransportObj::NewBuffer(static_cast<std::uint32_t>(line.size()));
                std::memcpy(buf->data.data(), line.data(), line.size());
                ep.SendBuffer(std::move(buf));
            }
            expect += line;
        }
        quietInHook = ClientHasNothing(pair);
        listed = CEventLoop::Get().PendingFlushes();
    });
    CScopedHook later([&] {
        if (ran && !quietInLaterHook) quietInLaterHook = ClientHasNothing(pair);
    });
    EXPECT_EQ(ep.GetUnsentSize(), 0u);
    pair.ClientSend("x");  // something for the batch to do
    ASSERT_TRUE(PumpUntil([&] { return ran; }));
    EXPECT_TRUE(quietInHook);       // nothing written while the pass hands output over
    EXPECT_TRUE(quietInLaterHook);  // nor by a hook registered after it: the flush comes last
    EXPECT_EQ(listed, 1u);          // 200 blocks, one connection listed once
    // The iteration that ran the hook has flushed: everything is in the client's socket.
    EXPECT_EQ(CEventLoop::Get().PendingFlushes(), 0u);
    EXPECT_EQ(ep.GetUnsentSize(), 0u);
    EXPECT_EQ(pair.ClientDrain(), expect);
}

TEST(WriteBehind, OutputHandedOverOutsideAnIterationIsWrittenAtOnce) {
    SLoopbackPair pair;
    ASSERT_FALSE(CEventLoop::Get().InIteration());
    const std::string a = "first", b = "second";
    pair.server->Send(a.data(), static_cast<std::uint32_t>(a.size()));
    pair.server->Send(b.data(), static_cast<std::uint32_t>(b.size()));
    EXPECT_EQ(CEventLoop::Get().PendingFlushes(), 0u);
    EXPECT_EQ(pair.server->GetUnsentSize(), 0u);
    EXPECT_EQ(pair.ClientDrain(), a + b);
}

// Runs `fn` inside one event-loop iteration (as a queued message), as the server's handlers run.
void InBatch(const std::function<void()>& fn) {
    static int sender;
    bool ran = false;
    CEventLoop::Get().PostMessage(0, &sender, [&](std::uint32_t, void*) {
        ran = true;
        fn();
    });
    CEventLoop::Get().RunOnce(0);
    EXPECT_TRUE(ran);
}

TEST(WriteBehind, FileRangesKeepTheirPlaceBetweenDataBlocks) {
    char path[] = "/tmp/kx_write_behind_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string content = "0123456789ABCDEFGHIJ";
    ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    SLoopbackPair pair;
    TTransportObj& ep = *pair.server;
    InBatch([&] {
        ep.Send("head:", 5);
        ep.SendFile(fd, 10, 5);  // "ABCDE"
        ep.Send("|mid|", 5);
        ep.SendFile(fd, 0, 3);  // "012"
        ep.Send(":tail", 5);
        close(fd);  // the endpoint keeps its own descriptor for each range
        unlink(path);
        EXPECT_TRUE(ClientHasNothing(pair));
        EXPECT_EQ(ep.GetUnsentSize(), 23u);
    });
    EXPECT_EQ(ReadClient(pair, 23), "head:ABCDE|mid|012:tail");
    EXPECT_EQ(ep.GetUnsentSize(), 0u);
}

TEST(WriteBehind, ClosingPathsWriteWhatWasHandedOverFirst) {
    char buf[16];
    {
        // Destroyed in the batch that sent: the bytes still reach the peer, then the end.
        SLoopbackPair pair;
        InBatch([&] {
            pair.server->Send("farewell", 8);
            pair.server.reset();
        });
        EXPECT_EQ(CEventLoop::Get().PendingFlushes(), 0u);
        EXPECT_EQ(recv(pair.client, buf, sizeof buf, 0), 8);
        EXPECT_EQ(std::string(buf, 8), "farewell");
        EXPECT_EQ(recv(pair.client, buf, sizeof buf, 0), 0);
    }
    {
        // Disconnect: what the socket takes leaves before the shutdown; nothing after it.
        SLoopbackPair pair;
        InBatch([&] {
            pair.server->Send("bye", 3);
            pair.server->Disconnect();
            pair.server->Send("late", 4);
            EXPECT_EQ(pair.server->GetUnsentSize(), 0u);
        });
        EXPECT_EQ(recv(pair.client, buf, sizeof buf, 0), 3);
        EXPECT_EQ(std::string(buf, 3), "bye");
        EXPECT_EQ(recv(pair.client, buf, sizeof buf, 0), 0);
    }
    {
        // StartDisconnect with output still unflushed: the shutdown waits for the flush.
        SLoopbackPair pair;
        InBatch([&] {
            pair.server->Send("last words", 10);
            pair.server->StartDisconnect();
            EXPECT_TRUE(pair.server->IsDisconnecting());
            EXPECT_TRUE(ClientHasNothing(pair));
        });
        EXPECT_EQ(recv(pair.client, buf, sizeof buf, 0), 10);
        EXPECT_EQ(std::string(buf, 10), "last words");
        EXPECT_EQ(recv(pair.client, buf, sizeof buf, 0), 0);
        ASSERT_TRUE(PumpUntil([&] { return pair.log.Count(kMsgConnectionClosed) == 1; }));
    }
}

TEST(WriteBehind, ReadyToSendFollowsTheFlush) {
    SLoopbackPair pair(4096);
    TTransportObj& ep = *pair.server;
    InBatch([&] {
        // Two large blocks waiting for the flush: not ready until they are written.
        ep.SendBuffer(TTransportObj::NewBuffer(100 * 1024));
        ep.SendBuffer(TTransportObj::NewBuffer(100 * 1024));
        EXPECT_FALSE(ep.IsReadyToSend());
        ep.NotifyReadyToSend();
    });
    EXPECT_EQ(pair.log.Count(kMsgReadyToSend), 0);  // the small receive buffer holds most back
    ASSERT_GT(ep.GetUnsentSize(), 0u);
    // A connection whose socket is full waits for writability instead of asking for flushes.
    InBatch([&] {
        ep.Send("more", 4);
        EXPECT_EQ(CEventLoop::Get().PendingFlushes(), 0u);
    });
    const std::string got = ReadClient(pair, 200 * 1024 + 4);
    EXPECT_EQ(got.size(), 200u * 1024 + 4);
    EXPECT_EQ(got.substr(got.size() - 4), "more");
    ASSERT_TRUE(PumpUntil([&] { return pair.log.Count(kMsgReadyToSend) == 1; }));
}

TEST(WriteBehind, NeverReadingClientIsClosedAtTheUnsentCap) {
    SLoopbackPair pair;
    TTransportObj& ep = *pair.server;
    const std::string chunk(256 * 1024, 'z');
    int batches = 0;
    // A quarter MiB per iteration, flushed at its end; the client never reads.
    while (ep.IsConnected() && batches < 200) {
        InBatch([&] { ep.Send(chunk.data(), static_cast<std::uint32_t>(chunk.size())); });
        EXPECT_LE(ep.GetUnsentSize(), TRegularTransportObj::kMaxUnsentSize);
        ++batches;
    }
    EXPECT_FALSE(ep.IsConnected());
    EXPECT_GE(batches, static_cast<int>(TRegularTransportObj::kMaxUnsentSize / chunk.size()));
    EXPECT_EQ(ep.GetUnsentSize(), 0u);
    ASSERT_TRUE(PumpUntil([&] { return pair.log.Count(kMsgConnectionClosed) == 1; }));
}

}  // namespace
}  // namespace kx
