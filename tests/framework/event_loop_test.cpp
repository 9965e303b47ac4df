// The event loop: the order of an iteration's phases (one after-batch pass however many notices
// arrived, none when nothing did; output written behind last), message order and the iteration a
// message posted during delivery waits for, removal of a disposed sender's messages, timers on an
// injected clock and the slots that hold them (restarted, stopped and destroyed, also inside
// their callbacks).
#include "framework/event_loop.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
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

// Records its flushes; a flush may ask for another one, which runs in the same phase.
struct SFlushRecorder : IWriteBehind {
    SFlushRecorder(std::vector<std::string>& l, std::string n, SFlushRecorder* nx = nullptr)
        : log(&l), name(std::move(n)), next(nx) {}
    std::vector<std::string>* log;
    std::string name;
    SFlushRecorder* next;
    void FlushOutput() override {
        log->push_back(name);
        if (next) CEventLoop::Get().RequestFlush(std::exchange(next, nullptr));
    }
};

TEST(EventLoop, PhasesRunInOrderAndAMessagePostedDuringDeliveryWaitsAnIteration) {
    FakeClock clock;
    CEventLoop& loop = CEventLoop::Get();
    std::vector<std::string> log;
    SFlushRecorder second(log, "flush 2");
    SFlushRecorder first(log, "flush 1", &second);
    SFlushRecorder cancelled(log, "cancelled");
    int sender = 0;
    auto message = [&](std::string name) {
        return [&log, name](std::uint32_t, void*) { log.push_back(name); };
    };
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    loop.WatchFd(fds[0], kFdReadable, [&](std::uint32_t) {
        log.push_back("descriptor");
        EXPECT_TRUE(loop.InIteration());
        loop.RequestFlush(&first);
        loop.CancelFlush(loop.RequestFlush(&cancelled), &cancelled);
        loop.UnwatchFd(fds[0]);
    });
    CTimerSlot timer;
    timer.Start(0, [&] {
        log.push_back("timer");
        loop.PostMessage(1, &sender, message("posted by the timer"));  // delivered in this iteration
    });
    loop.PostMessage(1, &sender, [&](std::uint32_t, void*) {
        log.push_back("message");
        loop.PostMessage(1, &sender, message("posted during delivery"));
    });
    const auto hook = loop.AddAfterBatch([&] { log.push_back("hook"); });
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    loop.RunOnce(1000);
    EXPECT_EQ(log, (std::vector<std::string>{"descriptor", "timer", "message", "posted by the timer", "hook",
                                             "flush 1", "flush 2"}));
    EXPECT_FALSE(loop.InIteration());
    // The message posted during delivery is still queued, so the next iteration does not wait.
    EXPECT_EQ(loop.QueuedMessages(), 1u);
    log.clear();
    loop.RunOnce(-1);
    EXPECT_EQ(log, (std::vector<std::string>{"posted during delivery", "hook"}));
    log.clear();
    loop.RunOnce(0);
    EXPECT_TRUE(log.empty()) << "an iteration in which nothing happened runs no hook";
    loop.RemoveAfterBatch(hook);
    for (int fd : fds) close(fd);
}

// Messages arrive in posting order. A sender disposed of before the iteration, or by a handler
// during delivery, gets none of its queued messages; what a handler posts waits an iteration.
TEST(EventLoop, MessagesInOrderAndNoneForASenderDisposedOf) {
    CEventLoop loop;
    std::vector<std::uint32_t> seen;
    int a = 0, b = 0, gone = 0;
    auto proc = [&](std::uint32_t code, void*) { seen.push_back(code); };
    loop.PostMessage(0, &gone, proc);
    loop.PostMessage(1, &a, [&](std::uint32_t code, void*) {
        seen.push_back(code);
        loop.RemoveMessages(&b);
        loop.PostMessage(4, &a, proc);
    });
    loop.PostMessage(2, &b, proc);
    loop.PostMessage(3, &a, proc);
    loop.PostMessage(5, &b, proc);
    loop.PostMessage(6, &gone, proc);
    loop.RemoveMessages(&gone);
    loop.RunOnce(0);
    EXPECT_EQ(seen, (std::vector<std::uint32_t>{1, 3}));
    loop.RunOnce(0);
    EXPECT_EQ(seen, (std::vector<std::uint32_t>{1, 3, 4}));
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

// Timers due together fire in the order they were started. A slot cancels what it held when it
// is started again, stopped or destroyed; inside its callback a timer may stop itself, stop one
// due in the same iteration (which then never runs) or start its slot again (which then fires
// after the new delay only).
TEST(EventLoop, TimerSlotsCancelWhatTheyHeldEvenInsideTheirCallbacks) {
    FakeClock clock;
    CEventLoop& loop = CEventLoop::Get();
    std::vector<std::string> fired;
    auto note = [&fired](const char* what) { return [&fired, what] { fired.push_back(what); }; };
    CTimerSlot replaced, periodicSelf, canceller, victim, restarter, later;
    replaced.Start(100, note("replaced"));
    replaced.Start(100, note("replacement"), 200);
    {
        CTimerSlot gone;
        gone.Start(100, note("destroyed"));
    }
    periodicSelf.Start(100, [&] {
        fired.push_back("periodic stops itself");
        periodicSelf.Stop();
    }, 100);
    canceller.Start(100, [&] {
        fired.push_back("canceller");
        victim.Stop();
    });
    victim.Start(100, note("victim"));
    restarter.Start(100, [&] {
        fired.push_back("restarter");
        restarter.Start(300, note("restarted"));
    }, 100);
    later.Start(150, note("later"));
    for (int i = 0; i < 5; ++i) {
        clock.now += 100;
        loop.RunOnce(0);
    }
    EXPECT_EQ(fired, (std::vector<std::string>{"replacement", "periodic stops itself", "canceller", "restarter", "later",
                                               "replacement", "restarted", "replacement"}));
    for (const CTimerSlot* stopped : {&periodicSelf, &victim, &restarter, &later}) EXPECT_FALSE(stopped->IsRunning());
    EXPECT_TRUE(replaced.IsRunning());
    replaced.Stop();
    EXPECT_FALSE(replaced.IsRunning());
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
