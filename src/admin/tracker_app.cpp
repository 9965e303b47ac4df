// The application's side of tracker registration: the datagram endpoint, the five-minute timer
// and the announcing cycle.
#include "admin/tracker.h"
#include "server/application.h"

namespace kx {

void CMyApplication::StartTrackerRegistration() {
    // Without listeners (they could not be opened) there is nothing to announce.
    if (mOptions.nCurPortNum == 0) return;
    mTracker.mTrackerTpt = UTransport::New(kTransportDatagram, true);
    // Announce from the address the listeners use, so a multi-homed host is listed as the
    // address clients can reach.
    mTracker.mTrackerTpt->SetIPAddress(mOptions.stIPAddress);
    // The saved switch stands as it is: without a name or a tracker nothing is announced, and
    // only the operator's options turn registration off.
    RunTrackerTimer();
}

void CMyApplication::RestartTracker() {
    if (!UTracker::HasAnyTracker(mPrefs.mTrackInfo) || mServerName.empty()) mOptions.nOpts &= ~kMyOptTracker;
    RunTrackerTimer();
}

void CMyApplication::RunTrackerTimer() {
    if (!mTracker.mTrackerTpt) return;  // before start-up, or without listeners
    if (!(mOptions.nOpts & kMyOptTracker)) {
        mTracker.mTrackerTimer.Stop();
        return;
    }
    mTracker.mTrackerTimer.Start(
        kTrackerPeriodMs,
        [this] {
            try {
                UpdateTracker();
            } catch (const SError& err) {
                Error(err);
            }
        },
        kTrackerPeriodMs);
    // The first announcement goes out now, not five minutes from now.
    UpdateTracker();
}

bool CMyApplication::IsTrackerRunning() const { return mTracker.mTrackerTimer.IsRunning(); }

void CMyApplication::UpdateTracker() {
    if (!mTracker.mTrackerTpt || mServerName.empty() || !(mOptions.nOpts & kMyOptTracker)) return;
    const std::vector<std::uint8_t> common = UTracker::BuildCommon(
        mOptions.nCurPortNum, mStats.connCount, mPrefs.mTrackerPassID, mServerName, mServerDesc);
    for (const SMyTrackInfo& entry : mPrefs.mTrackInfo) {
        if (entry.Name().empty()) continue;
        const std::vector<std::uint8_t> datagram = UTracker::BuildDatagram(common, entry.passwd.View());
        try {
            // Host names are looked up off the loop thread; datagrams still leave in this order,
            // and one whose name does not resolve is dropped.
            mTracker.mTrackerTpt->SendUnit(&entry.addr, static_cast<std::uint32_t>(entry.Name().size() + 5), datagram.data(),
                                  static_cast<std::uint32_t>(datagram.size()));
        } catch (const SError& err) {
            // A malformed row (say "host:" without a port) must not cost the rows after it
            // their announcement; it is only written to the error log.
            try {
                mLogger.LogError(err);
            } catch (const SError&) {
            }
        }
    }
}

}  // namespace kx
