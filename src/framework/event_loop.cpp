// The event loop: readiness batch, due timers, queued messages, the after-batch hooks, then the
// flush of output written behind.
#include "framework/event_loop.h"

#include <algorithm>

#include "framework/clock.h"
#include "framework/error.h"

namespace kx {

CEventLoop::CEventLoop() = default;
CEventLoop::~CEventLoop() = default;

CEventLoop& CEventLoop::Get() {
    static CEventLoop loop;
    return loop;
}

void CEventLoop::WatchFd(int fd, std::uint32_t interest, FdHandler handler) {
    const std::uint32_t tag = mNextTag++;
    auto it = mWatches.find(fd);
    if (it != mWatches.end()) {
        mPoller.Modify(fd, interest, tag);
        it->second = SWatch{interest, tag, std::make_shared<FdHandler>(std::move(handler))};
        return;
    }
    mPoller.Add(fd, interest, tag);
    mWatches.emplace(fd, SWatch{interest, tag, std::make_shared<FdHandler>(std::move(handler))});
}

void CEventLoop::SetInterest(int fd, std::uint32_t interest) {
    auto it = mWatches.find(fd);
    if (it == mWatches.end() || it->second.interest == interest) return;
    it->second.interest = interest;
    mPoller.Modify(fd, interest, it->second.tag);
}

std::uint32_t CEventLoop::GetInterest(int fd) const {
    auto it = mWatches.find(fd);
    return it == mWatches.end() ? 0 : it->second.interest;
}

void CEventLoop::UnwatchFd(int fd) {
    auto it = mWatches.find(fd);
    if (it == mWatches.end()) return;
    mPoller.Remove(fd);
    mWatches.erase(it);
}

CEventLoop::TimerID CEventLoop::AddTimer(std::uint64_t delayMs, std::function<void()> fn,
                                         std::uint64_t periodMs) {
    const TimerID id = mNextTimer++;
    const std::uint64_t due = UClock::Milliseconds() + delayMs;
    mTimers.emplace(id, STimer{due, periodMs, std::move(fn)});
    mTimerDue.emplace(due, id);
    return id;
}

void CEventLoop::CancelTimer(TimerID id) {
    auto it = mTimers.find(id);
    if (it == mTimers.end()) return;
    auto range = mTimerDue.equal_range(it->second.due);
    for (auto d = range.first; d != range.second; ++d) {
        if (d->second == id) {
            mTimerDue.erase(d);
            break;
        }
    }
    mTimers.erase(it);
}

bool CEventLoop::HasTimer(TimerID id) const { return mTimers.count(id) != 0; }

void CEventLoop::PostMessage(std::uint32_t code, void* object, TMessageProc proc) {
    mQueue.push_back(SMessage{code, object, std::move(proc), mNextSerial++});
}

void CEventLoop::RemoveMessages(const void* object) {
    mQueue.erase(std::remove_if(mQueue.begin(), mQueue.end(),
                                [object](const SMessage& m) { return m.object == object; }),
                 mQueue.end());
}

std::uint64_t CEventLoop::AddAfterBatch(std::function<void()> hook) {
    const std::uint64_t id = mNextHook++;
    mAfterBatch.emplace_back(id, std::move(hook));
    return id;
}

void CEventLoop::RemoveAfterBatch(std::uint64_t id) {
    mAfterBatch.erase(std::remove_if(mAfterBatch.begin(), mAfterBatch.end(),
                                     [id](const auto& h) { return h.first == id; }),
                      mAfterBatch.end());
}

int CEventLoop::NextTimeout(int maxWaitMs) const {
    if (!mQueue.empty()) return 0;
    if (mTimerDue.empty()) return maxWaitMs;
    const std::uint64_t now = UClock::Milliseconds();
    const std::uint64_t due = mTimerDue.begin()->first;
    const std::uint64_t wait = due > now ? due - now : 0;
    if (maxWaitMs >= 0 && wait > static_cast<std::uint64_t>(maxWaitMs)) return maxWaitMs;
    return static_cast<int>(std::min<std::uint64_t>(wait, 60000));
}

bool CEventLoop::FireTimers() {
    bool fired = false;
    const std::uint64_t now = UClock::Milliseconds();
    // Only timers due now: a periodic timer rescheduled into the past (test clocks) waits a turn.
    while (!mTimerDue.empty() && mTimerDue.begin()->first <= now) {
        const TimerID id = mTimerDue.begin()->second;
        mTimerDue.erase(mTimerDue.begin());
        auto it = mTimers.find(id);
        if (it == mTimers.end()) continue;
        std::function<void()> fn = it->second.fn;
        if (it->second.period != 0) {
            it->second.due = now + it->second.period;
            mTimerDue.emplace(it->second.due, id);
        } else {
            mTimers.erase(it);
        }
        fired = true;
        fn();
    }
    return fired;
}

bool CEventLoop::DeliverMessages() {
    // Deliver what is queued now; messages posted by these handlers wait for the next iteration,
    // so a handler that keeps posting cannot starve descriptors and timers. The bound is a
    // posting serial, not a count: a handler may also remove queued messages (a sender it
    // disposed of), and a count would then reach into what was posted meanwhile.
    const std::uint64_t postedBefore = mNextSerial;
    const bool any = !mQueue.empty();
    while (!mQueue.empty() && mQueue.front().serial < postedBefore) {
        SMessage m = std::move(mQueue.front());
        mQueue.pop_front();
        if (m.proc) m.proc(m.code, m.object);
    }
    return any;
}

std::size_t CEventLoop::RequestFlush(IWriteBehind* w) {
    mFlushList.push_back(w);
    return mFlushList.size() - 1;
}

void CEventLoop::CancelFlush(std::size_t slot, const IWriteBehind* w) {
    if (slot < mFlushList.size() && mFlushList[slot] == w) mFlushList[slot] = nullptr;
}

void CEventLoop::FlushNow() {
    if (mInIteration && !mFlushList.empty()) FlushWrittenBehind();
}

void CEventLoop::FlushWrittenBehind() {
    mWrittenBehind = 0;
    do {
        // By index: a flush may list further objects (they are flushed in this same phase).
        for (std::size_t i = 0; i < mFlushList.size(); ++i) {
            IWriteBehind* w = mFlushList[i];
            if (w == nullptr) continue;
            mFlushList[i] = nullptr;
            w->FlushOutput();
        }
        mFlushList.clear();
        for (const auto& hook : mFlushDone) hook();
    } while (!mFlushList.empty());
}

void CEventLoop::RunOnce(int maxWaitMs) {
    struct SIterationMark {
        bool& flag;
        bool was;
        explicit SIterationMark(bool& f) : flag(f), was(f) { flag = true; }
        ~SIterationMark() { flag = was; }
    } mark(mInIteration);
    mFired.clear();
    mWrittenBehind = 0;
    mPoller.Wait(mFired, NextTimeout(maxWaitMs));
    mLastBatchFull = mFired.size() >= CEpollPoller::kBatchSize;
    bool any = !mFired.empty();
    for (const SFiredEvent& ev : mFired) {
        auto it = mWatches.find(ev.fd);
        if (it == mWatches.end() || it->second.tag != ev.tag) continue;  // closed by an earlier handler
        std::shared_ptr<FdHandler> handler = it->second.handler;  // survives UnwatchFd inside the call
        (*handler)(ev.mask);
    }
    any |= FireTimers();
    any |= DeliverMessages();
    if (any) {
        // Copied: a hook may remove hooks.
        auto hooks = mAfterBatch;
        for (auto& hook : hooks) hook.second();
    }
    // Last, so that everything the pass wrote leaves in this iteration.
    if (!mFlushList.empty()) FlushWrittenBehind();
}

void CEventLoop::Run() {
    while (!mStopped) RunOnce(-1);
}

}  // namespace kx
