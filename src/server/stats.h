// The server's statistics: five counters that live as long as the process (never stored),
// and the eight figures of the statistics display. Owned by the application (its mStats);
// the application calls UpdatePeak from its UpdateDisplay after every admission, every
// KillClient and every reset, then shows FormatStatsLines.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kx {

struct SMyStats {
    std::uint32_t connCount = 0;    // clients connected now; the user count sent to trackers
    std::uint32_t connPeak = 0;     // highest connCount seen by UpdatePeak
    std::uint32_t connCounter = 0;  // clients admitted since start
    std::uint32_t dlCounter = 0;    // file and folder downloads accepted since start
    std::uint32_t ulCounter = 0;    // file and folder uploads accepted since start

    // A client was admitted: one more connected, one more admitted.
    void ClientAdmitted();
    // A client left (KillClient). Never goes below zero: a reset may already have zeroed the
    // count while clients were still being closed.
    void ClientKilled();
    // ResetServer: nobody is connected any more; the totals and the peak stay.
    void Reset() { connCount = 0; }
    void DownloadStarted() { ++dlCounter; }
    void UploadStarted() { ++ulCounter; }

    // Raises connPeak to connCount; the peak never decreases.
    void UpdatePeak();
};

// Transfers in progress, counted by the caller from its lists.
struct SMyTransferCounts {
    std::uint32_t downloading = 0;  // file downloads plus folder downloads
    std::uint32_t uploading = 0;    // file uploads plus folder uploads
    std::uint32_t waiting = 0;      // entries of the download waiting queue
};

// The eight figures of the statistics display, one "Label: number" line each, in display
// order: connected, downloading, uploading, waiting, peak, connection counter, download
// counter, upload counter.
std::vector<std::string> FormatStatsLines(const SMyStats& stats, const SMyTransferCounts& transfers);

}  // namespace kx
