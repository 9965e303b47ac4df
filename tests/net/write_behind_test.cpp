// The regular endpoint's write-behind: output handed over during an event-loop iteration stays
// queued until the iteration's final flush (one per connection), leaves in order with file
// ranges in their place, and the close paths and the unsent cap keep their guarantees. Shared
// blocks: one block queued to many connections, each with its own prefix, is written whole to
// each, freed once when the last queue is done with it, and a silent connection reaching the cap
// neither delays the others nor keeps the block alive. The writes of many connections handed to
// the kernel together keep all of this.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <unistd.h>

#include "framework/error.h"
#include "framework/event_loop.h"
#include "net/batch_send.h"
#include "net/loopback_helpers.h"
#include "net/regular_transport.h"
#include "net/send_queue.h"

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

TEST(WriteBehind, SendQueueLaysOutPrefixesSharedBlocksAndOwnedBytesAcrossPartialWrites) {
    const std::uint64_t live = TSharedBlock::LiveBlocks();
    {
        CSendQueue q;
        const TSharedBlock body = TSharedBlock::Copy("BODY", 4);
        q.PushBytes(reinterpret_cast<const std::uint8_t*>("ab"), 2, true, 64);
        q.PushBytes(reinterpret_cast<const std::uint8_t*>("cd"), 2, true, 64);  // joined: one entry
        q.PushShared(reinterpret_cast<const std::uint8_t*>("H1"), 2, body);
        q.PushShared(nullptr, 0, body);
        q.PushBytes(reinterpret_cast<const std::uint8_t*>("ef"), 2, true, 64);  // behind a shared block: its own
        EXPECT_EQ(q.Blocks(), 4u);
        EXPECT_EQ(q.Unsent(), 16u);
        EXPECT_EQ(body.UseCount(), 3u);
        EXPECT_THROW(q.PushShared(reinterpret_cast<const std::uint8_t*>("x"), CSendQueue::kMaxPrefix + 1, body), SError);
        std::string seen;
        // Written one, then three bytes at a time: every split point, inside prefixes and bodies.
        for (std::uint64_t step : {1u, 3u, 3u, 3u, 3u, 3u}) {
            std::uint8_t flat[32];
            const std::uint32_t n = q.Copy(flat, sizeof flat);
            iovec iov[8];
            std::size_t total = 0;
            const int count = q.Gather(iov, 8, total);
            std::string gathered;
            for (int k = 0; k < count; ++k) gathered.append(static_cast<const char*>(iov[k].iov_base), iov[k].iov_len);
            EXPECT_EQ(gathered, std::string(reinterpret_cast<const char*>(flat), n));
            EXPECT_EQ(total, q.Unsent());
            // Small pieces joined by copy, until the (tiny) scratch space is used up: the same bytes.
            std::uint8_t scratch[7];
            const int joined = q.Gather(iov, 8, total, scratch, sizeof scratch);
            std::string viaScratch;
            for (int k = 0; k < joined; ++k) viaScratch.append(static_cast<const char*>(iov[k].iov_base), iov[k].iov_len);
            EXPECT_EQ(viaScratch, gathered);
            EXPECT_LT(joined, std::max(count, 2));
            seen += gathered.substr(0, step);
            q.Consume(step);
        }
        EXPECT_EQ(seen, "abcdH1BODYBODYef");
        EXPECT_TRUE(q.Empty());
        EXPECT_EQ(body.UseCount(), 1u);  // each queue entry let go of it as it finished
        // Entries not begun are handed back whole, shared ones as copies with their prefix.
        q.PushShared(reinterpret_cast<const std::uint8_t*>("P"), 1, body);
        q.PushBytes(reinterpret_cast<const std::uint8_t*>("xyz"), 3, false, 64);
        q.Consume(1);
        q.PushShared(reinterpret_cast<const std::uint8_t*>("Q"), 1, body);
        const std::vector<TTransportBuffer> unstarted = q.TakeUnstarted();
        ASSERT_EQ(unstarted.size(), 2u);
        EXPECT_EQ(std::string(unstarted[0]->data.begin(), unstarted[0]->data.end()), "xyz");
        EXPECT_EQ(std::string(unstarted[1]->data.begin(), unstarted[1]->data.end()), "QBODY");
        EXPECT_EQ(body.UseCount(), 1u);
    }
    {
        // A numbered block: two messages (20-byte heads with the length at 16, bodies "xy" and
        // "z"); each queue writes its own numbers at 4..8 as the bytes go out, however they are cut.
        std::string block(20, '\0');
        block[19] = 2;
        block += "xy" + std::string(20, '\0') + "z";
        block[22 + 19] = 1;
        const TSharedBlock numbered = TSharedBlock::Copy(block.data(), static_cast<std::uint32_t>(block.size()));
        EXPECT_EQ(CSendQueue::CountNumbered(numbered), 2u);
        std::string expect = block + "!";
        expect.replace(4, 4, "\x01\x02\x03\xff");
        expect.replace(26, 4, std::string("\x01\x02\x04\x00", 4));
        CSendQueue q;
        q.PushNumbered(numbered, 0x010203FF);
        q.PushBytes(reinterpret_cast<const std::uint8_t*>("!"), 1, true, 64);
        EXPECT_EQ(q.Unsent(), expect.size());
        std::string seen;
        for (std::uint64_t step : {3u, 3u, 5u, 13u, 1u, 20u}) {
            iovec iov[8];
            std::size_t total = 0;
            std::uint8_t scratch[64];
            const int count = q.Gather(iov, 8, total, scratch, sizeof scratch);
            std::string gathered;
            for (int k = 0; k < count; ++k) gathered.append(static_cast<const char*>(iov[k].iov_base), iov[k].iov_len);
            EXPECT_EQ(gathered, expect.substr(seen.size()));
            std::uint8_t flat[64];
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(flat), q.Copy(flat, sizeof flat)), gathered);
            // A scratch buffer too small for the rest: the write ends where it is full.
            std::uint8_t tiny[4];
            EXPECT_EQ(q.Gather(iov, 8, total, tiny, sizeof tiny), 1);
            EXPECT_EQ(std::string(static_cast<const char*>(iov[0].iov_base), total), gathered.substr(0, 4));
            seen += gathered.substr(0, step);
            q.Consume(step);
        }
        EXPECT_EQ(seen, expect);
        EXPECT_TRUE(q.Empty());
        // Not begun: handed back as plain bytes with the numbers written in.
        q.PushNumbered(numbered, 0x010203FF);
        const std::vector<TTransportBuffer> unstarted = q.TakeUnstarted();
        ASSERT_EQ(unstarted.size(), 1u);
        EXPECT_EQ(std::string(unstarted[0]->data.begin(), unstarted[0]->data.end()), expect.substr(0, block.size()));
        EXPECT_EQ(numbered.UseCount(), 1u);
    }
    EXPECT_EQ(TSharedBlock::LiveBlocks(), live);
}

TEST(WriteBehind, OneSharedBlockReachesEveryConnectionWithItsOwnPrefixAndIsFreedOnce) {
    const std::uint64_t live = TSharedBlock::LiveBlocks();
    std::vector<std::unique_ptr<SLoopbackPair>> pairs;
    for (int i = 0; i < 3; ++i) pairs.push_back(std::make_unique<SLoopbackPair>());
    const std::string body(3000, 'b');
    std::vector<std::string> expect(pairs.size());
    InBatch([&] {
        // Ten blocks, each shared by the three connections, between bytes of each one's own.
        for (int line = 0; line < 10; ++line) {
            const TSharedBlock block = TSharedBlock::Copy((body + std::to_string(line)).data(),
                                                          static_cast<std::uint32_t>(body.size() + 1));
            for (std::size_t i = 0; i < pairs.size(); ++i) {
                const std::string prefix = "<" + std::to_string(i) + ":" + std::to_string(line) + ">";
                pairs[i]->server->SendShared(reinterpret_cast<const std::uint8_t*>(prefix.data()),
                                             static_cast<std::uint32_t>(prefix.size()), block);
                pairs[i]->server->Send("|", 1);
                expect[i] += prefix + body + std::to_string(line) + "|";
            }
            EXPECT_EQ(block.UseCount(), 1u + pairs.size());
        }
        EXPECT_EQ(TSharedBlock::LiveBlocks(), live + 10);
        // Written early, in the middle of the iteration: order is kept with what follows.
        CEventLoop::Get().FlushNow();
        EXPECT_EQ(CEventLoop::Get().WrittenBehind(), 0u);
        EXPECT_EQ(TSharedBlock::LiveBlocks(), live);
        pairs[0]->server->Send("after", 5);
        expect[0] += "after";
    });
    for (std::size_t i = 0; i < pairs.size(); ++i)
        EXPECT_EQ(ReadClient(*pairs[i], expect[i].size()), expect[i]) << "connection " << i;
    EXPECT_EQ(TSharedBlock::LiveBlocks(), live);
}

// The flush of an iteration hands the writes of all its connections to the kernel together
// (where io_uring is available): more connections, and more small pieces each, than one write
// or one handing-over holds; every connection still gets all its bytes in order within the
// iteration, nothing is left with the batch, and a full socket keeps the rest for later.
TEST(WriteBehind, ConnectionsWrittenTogetherEachGetTheirWholeQueueInOrder) {
    std::vector<std::unique_ptr<SLoopbackPair>> pairs;
    for (int i = 0; i < 24; ++i) pairs.push_back(std::make_unique<SLoopbackPair>());
    SLoopbackPair full(4096);
    std::vector<std::string> expect(pairs.size());
    const std::string big(6u * 1024 * 1024, 'f');
    InBatch([&] {
        for (int piece = 0; piece < 60; ++piece) {
            for (std::size_t i = 0; i < pairs.size(); ++i) {
                const std::string bytes = "<" + std::to_string(i) + ":" + std::to_string(piece) + ">" + std::string(400, 'a' + char(i));
                pairs[i]->server->Send(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
                expect[i] += bytes;
            }
        }
        full.server->Send(big.data(), static_cast<std::uint32_t>(big.size()));
    });
    if (CBatchSend* batch = CBatchSend::Get()) {
        EXPECT_EQ(batch->Pending(), 0u);
    }
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        EXPECT_EQ(pairs[i]->server->GetUnsentSize(), 0u) << "connection " << i;
        EXPECT_EQ(pairs[i]->ClientDrain(), expect[i]) << "connection " << i;
    }
    EXPECT_GT(full.server->GetUnsentSize(), 0u);
    EXPECT_TRUE(full.server->IsConnected());
    EXPECT_EQ(ReadClient(full, big.size()), big);
    EXPECT_EQ(full.server->GetUnsentSize(), 0u);
}

TEST(WriteBehind, SilentConnectionIsClosedAtTheCapWithoutHoldingUpTheOthersOrItsBlocks) {
    const std::uint64_t live = TSharedBlock::LiveBlocks();
    SLoopbackPair reader, silent(4096);
    const std::string body(32 * 1024, 's');
    const TSharedBlock block = TSharedBlock::Copy(body.data(), static_cast<std::uint32_t>(body.size()));
    const std::uint8_t header[20] = {};
    std::size_t received = 0;
    int batches = 0;
    while (silent.server->IsConnected() && batches < 700) {
        InBatch([&] {
            reader.server->SendShared(header, sizeof header, block);
            silent.server->SendShared(header, sizeof header, block);
        });
        ++batches;
        // The reader's share left in the iteration it was handed over, however full the other is.
        EXPECT_EQ(reader.server->GetUnsentSize(), 0u);
        received += ReadClient(reader, sizeof header + body.size()).size();
        EXPECT_LE(silent.server->GetUnsentSize(), TRegularTransportObj::kMaxUnsentSize);
    }
    EXPECT_FALSE(silent.server->IsConnected());
    EXPECT_GE(static_cast<std::uint64_t>(batches) * body.size(), TRegularTransportObj::kMaxUnsentSize);
    EXPECT_EQ(received, static_cast<std::size_t>(batches) * (sizeof header + body.size()));
    EXPECT_TRUE(reader.server->IsConnected());
    // The closed queue let go of its references: only this test's own is left.
    EXPECT_EQ(block.UseCount(), 1u);
    EXPECT_EQ(TSharedBlock::LiveBlocks(), live + 1);
    ASSERT_TRUE(PumpUntil([&] { return silent.log.Count(kMsgConnectionClosed) == 1; }));
}

}  // namespace
}  // namespace kx
