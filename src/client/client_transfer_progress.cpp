// The progress display of transfers: a bar redrawn in place on a terminal, plain lines that a
// log or a script can read otherwise, and the waiting-queue messages.
#include <algorithm>
#include <cstdio>
#include <ostream>

#include "client/client_transfer.h"

namespace kx {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kBarInterval = std::chrono::milliseconds(200);
constexpr auto kLineInterval = std::chrono::seconds(2);
constexpr int kBarWidth = 30;

std::string Bytes(double n) {
    static const char* const units[] = {"B", "KiB", "MiB", "GiB"};
    int u = 0;
    while (n >= 1024 && u < 3) {
        n /= 1024;
        ++u;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, u ? "%.1f %s" : "%.0f %s", n, units[u]);
    return buf;
}

std::string Duration(double secs) {
    const long s = static_cast<long>(secs + 0.5);
    char buf[32];
    if (s >= 3600) std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    return buf;
}

}  // namespace

CTransferProgress::CTransferProgress(std::ostream& err, std::string label, std::uint64_t total, bool terminal)
    : mErr(err), mLabel(std::move(label)), mTotal(total), mTerminal(terminal), mStart(Clock::now()),
      mLastDraw(Clock::now()) {}

void CTransferProgress::Add(std::uint64_t bytes) {
    mDone += bytes;
    mMoved += bytes;
    Draw(false);
}

void CTransferProgress::Queued(std::uint32_t position) {
    if (mTerminal && mDrawn) mErr << "\n";
    mDrawn = false;
    if (position) mErr << mLabel << ": waiting in the server's download queue, position " << position << "\n";
    else mErr << mLabel << ": leaving the download queue, the download starts\n";
    mErr.flush();
    // The rate counts from the moment data can flow.
    mStart = Clock::now();
    mMoved = 0;
}

void CTransferProgress::Draw(bool force) {
    const auto now = Clock::now();
    const std::uint64_t done = std::min(mDone, mTotal);
    const int percent = mTotal ? static_cast<int>(done * 100 / mTotal) : 100;
    if (!force) {
        if (mTerminal && now - mLastDraw < kBarInterval) return;
        if (!mTerminal && (percent / 10 == mLastTenth || now - mLastDraw < kLineInterval)) return;
    }
    mLastDraw = now;
    mLastTenth = percent / 10;
    const double secs = std::chrono::duration<double>(now - mStart).count();
    const double rate = static_cast<double>(mMoved) / std::max(secs, 0.001);
    std::string left = "--:--";
    if (rate > 0 && done < mTotal) left = Duration(static_cast<double>(mTotal - done) / rate);
    else if (done >= mTotal) left = "0:00";
    if (mTerminal) {
        const int filled = mTotal ? static_cast<int>(done * kBarWidth / mTotal) : kBarWidth;
        std::string bar(static_cast<std::size_t>(filled), '=');
        bar.resize(kBarWidth, ' ');
        char buf[64];
        std::snprintf(buf, sizeof buf, "%3d%% ", percent);
        mErr << "\r" << mLabel << " [" << bar << "] " << buf << Bytes(static_cast<double>(done)) << "  "
             << Bytes(rate) << "/s  " << left << " left\x1b[K";
        mDrawn = true;
    } else {
        mErr << mLabel << ": " << done << " of " << mTotal << " bytes (" << percent << "%), " << Bytes(rate) << "/s, "
             << left << " left\n";
    }
    mErr.flush();
}

void CTransferProgress::Finish() {
    if (mTerminal) {
        Draw(true);
        mErr << "\n";
        mErr.flush();
        mDrawn = false;
    } else if (mLastTenth != 10) {
        Draw(true);
    }
}

}  // namespace kx
