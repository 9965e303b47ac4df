// The event loop: message order, removal of a disposed sender's messages, timers on an injected
// clock and the slots that hold them, and one after-batch pass per iteration however many
// notices arrived.
#include "framework/event_loop.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "framework/clock.h"

namespace kx {
namespace {

struct FakeClock {
    std::uint64_t now = 1000000;
    FakeClock() { UClock::SetTestSource([this] { return now; }); }
    ~FakeClock() { UClock::SetTestSource(nullptr); }
};

TEST(EventLoop, MessagesInOrderAndRemovedWithTheirSender) {
    CEventLoop loop;
    std::vector<std::uint32_t> seen;
    int a = 0, b = 0;
    auto proc = [&](std::uint32_t code, void*) { seen.push_back(code); };
    loop.PostMessage(100, &a, proc);
    loop.PostMessage(101, &b, proc);
    loop.PostMessage(102, &a, proc);
    loop.PostMessage(103, &b, proc);
    loop.RemoveMessages(&a);
    loop.RunOnce(0);
    EXPECT_EQ(seen, (std::vector<std::uint32_t>{101, 103}));
}

TEST(EventLoop, OneAfterBatchHookPerIteration) {
    CEventLoop loop;
    int passes = 0;
    loop.AddAfterBatch([&] { ++passes; });
    int obj = 0;
    for (int i = 0; i < 10; ++i) loop.PostMessage(100, &obj, [](std::uint32_t, void*) {});
    loop.RunOnce(0);
    EXPECT_EQ(passes, 1);
    loop.RunOnce(0);  // nothing happened: no pass
    EXPECT_EQ(passes, 1);
}

TEST(EventLoop, TimersFireOnTheInjectedClockAndCancelledOnesNever) {
    FakeClock clock;
    CEventLoop loop;
    int once = 0, periodic = 0, cancelled = 0;
    loop.AddTimer(2000, [&] { ++once; });
    loop.AddTimer(500, [&] { ++periodic; }, 500);
    auto id = loop.AddTimer(1000, [&] { ++cancelled; });
    loop.CancelTimer(id);
    loop.RunOnce(0);
    EXPECT_EQ(once + periodic + cancelled, 0);
    clock.now += 500;
    loop.RunOnce(0);
    EXPECT_EQ(periodic, 1);
    clock.now += 1500;
    loop.RunOnce(0);
    EXPECT_EQ(once, 1);
    EXPECT_EQ(periodic, 2);  // overdue periodic timers fire once, not once per missed period
    EXPECT_EQ(cancelled, 0);
    EXPECT_FALSE(loop.HasTimer(id));
}

TEST(EventLoop, TimerSlotCancelsWhatItHeldWhenRestartedStoppedOrDestroyed) {
    FakeClock clock;
    CEventLoop& loop = CEventLoop::Get();
    int replaced = 0, periodic = 0, destroyed = 0, selfStopping = 0;
    CTimerSlot slot;
    slot.Start(100, [&] { ++replaced; });
    slot.Start(100, [&] { ++periodic; }, 100);
    {
        CTimerSlot gone;
        gone.Start(100, [&] { ++destroyed; });
    }
    CTimerSlot self;
    self.Start(100, [&] { ++selfStopping; self.Stop(); }, 100);
    CTimerSlot once;
    once.Start(100, [] {});
    EXPECT_TRUE(once.IsRunning());
    for (int i = 0; i < 2; ++i) {
        clock.now += 100;
        loop.RunOnce(0);
    }
    EXPECT_EQ(replaced, 0);
    EXPECT_EQ(periodic, 2);
    EXPECT_EQ(destroyed, 0);
    EXPECT_EQ(selfStopping, 1);
    EXPECT_FALSE(self.IsRunning());
    EXPECT_FALSE(once.IsRunning());  // a one-shot timer that has fired
    EXPECT_TRUE(slot.IsRunning());
    slot.Stop();
    EXPECT_FALSE(slot.IsRunning());
}

TEST(EventLoop, DescriptorUnwatchedEarlierInTheBatchGetsNoCallback) {
    CEventLoop loop;
    int p1[2], p2[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, p1), 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, p2), 0);
    int calls = 0;
    // Whichever handler runs first unwatches the other descriptor.
    loop.WatchFd(p1[0], kFdReadable, [&](std::uint32_t) { ++calls; loop.UnwatchFd(p2[0]); loop.UnwatchFd(p1[0]); });
    loop.WatchFd(p2[0], kFdReadable, [&](std::uint32_t) { ++calls; loop.UnwatchFd(p1[0]); loop.UnwatchFd(p2[0]); });
    ASSERT_EQ(write(p1[1], "x", 1), 1);
    ASSERT_EQ(write(p2[1], "y", 1), 1);
    loop.RunOnce(100);
    EXPECT_EQ(calls, 1);
    for (int fd : {p1[0], p1[1], p2[0], p2[1]}) close(fd);
}

}  // namespace
}  // namespace kx
