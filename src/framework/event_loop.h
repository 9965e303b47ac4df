// The single application thread's event loop: descriptor readiness (through CEpollPoller),
// timers on the monotonic clock (held by their owners in CTimerSlot), and the first-in first-out
// message queue through which network endpoints and timers post their notices.
//
// One iteration (RunOnce): wait for readiness (not at all when messages are queued), dispatch
// the whole batch of fired descriptors, fire due timers, deliver the queued messages, then run
// the after-batch hooks once, and last flush the output written behind during the iteration. The
// server's processing pass is such a hook, so one pass answers a whole batch of notices, and a
// connection that got many lines in that pass writes them with one system call. Handlers never poll; a descriptor unwatched by an earlier handler
// of the same batch gets no callback (its registration tag no longer matches).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

#include "framework/epoll_poller.h"

namespace kx {

// A message handler: called with the message code and the object named as its sender.
using TMessageProc = std::function<void(std::uint32_t code, void* object)>;

// Something that holds output written behind (a network endpoint's send queue): it asks the loop
// for a flush once, and FlushOutput runs in the final phase of the iteration.
class IWriteBehind {
public:
    virtual void FlushOutput() = 0;

protected:
    ~IWriteBehind() = default;
};

struct SMessage {
    std::uint32_t code;
    void* object;
    TMessageProc proc;
    std::uint64_t serial = 0;  // posting order: which delivery phase it belongs to
};

class CEventLoop {
public:
    using FdHandler = std::function<void(std::uint32_t mask)>;
    using TimerID = std::uint64_t;

    CEventLoop();
    ~CEventLoop();
    CEventLoop(const CEventLoop&) = delete;
    CEventLoop& operator=(const CEventLoop&) = delete;

    // The application thread's loop. Created on first use.
    static CEventLoop& Get();

    // Descriptor readiness. Interest is kFdReadable | kFdWritable; the handler receives the mask
    // of what fired (kFdHangup/kFdError included). WatchFd on a watched fd replaces it.
    void WatchFd(int fd, std::uint32_t interest, FdHandler handler);
    void SetInterest(int fd, std::uint32_t interest);
    std::uint32_t GetInterest(int fd) const;
    void UnwatchFd(int fd);

    // Timers: fire once after delayMs, then every periodMs when periodMs is not 0. A timer
    // cancelled before it fires never runs. Time is UClock::Milliseconds().
    TimerID AddTimer(std::uint64_t delayMs, std::function<void()> fn, std::uint64_t periodMs = 0);
    void CancelTimer(TimerID id);
    bool HasTimer(TimerID id) const;

    // The message queue. Messages are delivered in posting order by RunOnce.
    void PostMessage(std::uint32_t code, void* object, TMessageProc proc);
    // Removes every queued message whose sender is `object` (called when it is disposed).
    void RemoveMessages(const void* object);
    std::size_t QueuedMessages() const { return mQueue.size(); }

    // Runs after every iteration that did anything, in the order added. The id removes it.
    std::uint64_t AddAfterBatch(std::function<void()> hook);
    void RemoveAfterBatch(std::uint64_t id);

    // Output written behind. RequestFlush lists `w` (once per request; the caller remembers that
    // it asked) and returns its slot; CancelFlush(slot, w) takes it off the list again (an object
    // being destroyed). The list is flushed at the end of the iteration, after the after-batch
    // hooks, in the order of the requests. Only meaningful inside an iteration (InIteration):
    // output handed over outside one has no batch to wait for and is written at once. A loop
    // with nothing listed pays one emptiness check.
    std::size_t RequestFlush(IWriteBehind* w);
    void CancelFlush(std::size_t slot, const IWriteBehind* w);
    std::size_t PendingFlushes() const { return mFlushList.size(); }
    bool InIteration() const { return mInIteration; }
    // Memory the listed objects took on for their output in this iteration (they count it), and
    // the flush phase run early: a pass that hands over a lot (a burst of lines, each to
    // thousands) writes what it has so far instead of holding all of it until the end. Inside an
    // iteration only; the end-of-iteration flush still follows.
    void CountWrittenBehind(std::size_t bytes) { mWrittenBehind += bytes; }
    std::size_t WrittenBehind() const { return mWrittenBehind; }
    void FlushNow();
    // Runs after each flush phase's FlushOutput calls (a writer that gathered the writes of
    // many objects carries them out together).
    void AddFlushDoneHook(std::function<void()> hook) { mFlushDone.push_back(std::move(hook)); }
    // True when the last wait returned as many ready descriptors as one batch holds: more were
    // probably ready, and their notices (closes among them) come with the next iteration.
    bool MoreReadyPending() const { return mLastBatchFull; }

    // One iteration; waits at most maxWaitMs (-1: until something happens or a timer is due).
    void RunOnce(int maxWaitMs = -1);
    // Iterates until Stop().
    void Run();
    void Stop() { mStopped = true; }
    bool IsStopped() const { return mStopped; }
    void ClearStop() { mStopped = false; }

private:
    struct SWatch {
        std::uint32_t interest;
        std::uint32_t tag;
        std::shared_ptr<FdHandler> handler;
    };
    struct STimer {
        std::uint64_t due;
        std::uint64_t period;
        std::function<void()> fn;
    };

    int NextTimeout(int maxWaitMs) const;
    bool FireTimers();
    bool DeliverMessages();
    void FlushWrittenBehind();

    CEpollPoller mPoller;
    std::unordered_map<int, SWatch> mWatches;
    std::uint32_t mNextTag = 1;
    std::map<TimerID, STimer> mTimers;
    std::multimap<std::uint64_t, TimerID> mTimerDue;
    TimerID mNextTimer = 1;
    std::deque<SMessage> mQueue;
    std::uint64_t mNextSerial = 1;
    std::vector<std::pair<std::uint64_t, std::function<void()>>> mAfterBatch;
    std::uint64_t mNextHook = 1;
    std::vector<IWriteBehind*> mFlushList;  // null where a request was cancelled
    std::vector<std::function<void()>> mFlushDone;
    std::vector<SFiredEvent> mFired;
    std::size_t mWrittenBehind = 0;
    bool mLastBatchFull = false;
    bool mStopped = false;
    bool mInIteration = false;
};

// A timer of CEventLoop::Get() held by its owner: starting it again or stopping it cancels the
// timer it held, and so does destroying it, so an owner that is gone is never called back.
// Every timer of the system is held in one of these.
class CTimerSlot {
public:
    CTimerSlot() = default;
    ~CTimerSlot() { Stop(); }
    CTimerSlot(const CTimerSlot&) = delete;
    CTimerSlot& operator=(const CTimerSlot&) = delete;

    // Fires once after delayMs, then every periodMs when periodMs is not 0.
    void Start(std::uint64_t delayMs, std::function<void()> fn, std::uint64_t periodMs = 0) {
        Stop();
        mID = CEventLoop::Get().AddTimer(delayMs, std::move(fn), periodMs);
    }
    // May be called from the timer's own callback.
    void Stop() {
        if (mID != 0) CEventLoop::Get().CancelTimer(mID);
        mID = 0;
    }
    // False once stopped, and once a one-shot timer has fired.
    bool IsRunning() const { return mID != 0 && CEventLoop::Get().HasTimer(mID); }

private:
    CEventLoop::TimerID mID = 0;
};

}  // namespace kx
