// Tracker registration: the announcement datagram this server sends to each of its trackers
// every five minutes, the rules that fill a tracker row from what the operator typed, and a
// timer handle that cancels itself. The application's part (endpoint, timer, the sending
// cycle) is in tracker_app.cpp.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "framework/event_loop.h"
#include "server/options.h"

namespace kx {

inline constexpr std::uint32_t kTrackerPeriodMs = 300000;
inline constexpr std::uint16_t kTrackerDatagramVersion = 1;

namespace UTracker {

// The part of the datagram every tracker of a cycle gets: version 1, port, the low 16 bits of
// the user count, two zero bytes, the pass ID least significant byte first, then the name (cut
// to 31 bytes) and the description (cut to 127), each with its length byte. Big-endian
// otherwise.
std::vector<std::uint8_t> BuildCommon(std::uint16_t port, std::uint32_t users, std::uint32_t passID,
                                      std::string_view serverName, std::string_view serverDesc);

// The common part followed by one tracker's password (cut to 31 bytes) with its length byte.
std::vector<std::uint8_t> BuildDatagram(const std::vector<std::uint8_t>& common, std::string_view passwd);

// True when at least one entry names a tracker.
bool HasAnyTracker(const SMyTrackList& list);

// Fills a row from the operator's texts: the address is cleaned (leading white space skipped,
// cut at the next white space, unprintable bytes masked, at most 255 bytes) and gets the port
// rule; the password is cut to 31 bytes. The login is kept.
void ApplyRow(SMyTrackInfo& entry, std::string_view addressText, std::string_view password);

}  // namespace UTracker

// A timer of CEventLoop::Get() held by its owner: replacing or destroying it cancels the timer,
// so a destroyed owner is never called back.
class CMyTimerSlot {
public:
    CMyTimerSlot() = default;
    ~CMyTimerSlot() { Stop(); }
    CMyTimerSlot(const CMyTimerSlot&) = delete;
    CMyTimerSlot& operator=(const CMyTimerSlot&) = delete;

    void Start(std::uint64_t delayMs, std::function<void()> fn, std::uint64_t periodMs) {
        Stop();
        mID = CEventLoop::Get().AddTimer(delayMs, std::move(fn), periodMs);
    }
    void Stop() {
        if (mID != 0) CEventLoop::Get().CancelTimer(mID);
        mID = 0;
    }
    bool IsRunning() const { return mID != 0 && CEventLoop::Get().HasTimer(mID); }

private:
    CEventLoop::TimerID mID = 0;
};

}  // namespace kx
