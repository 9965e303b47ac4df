// The server's statistics: counters that live as long as the process (never stored), the
// eight figures of the statistics display and the metrics page that monitoring scrapes. Both
// displays read these same counters. Owned by the application (its mStats); the application
// calls UpdatePeak from its UpdateDisplay after every admission, every KillClient and every
// reset, then shows FormatStatsLines; FormatMetrics builds the metrics page on each scrape.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace kx {

// The listeners whose accepted connections are counted, in the order of kMyListenerNames.
enum class EMyListener : std::uint8_t { kPlain, kTransfer, kTunnel, kTunnelTransfer, kTls, kTlsTransfer, kWeb, kWebTransfer, kCount };
inline constexpr const char* kMyListenerNames[] = {"plain", "transfer", "tunnel", "tunnel_transfer", "tls", "tls_transfer", "web", "web_transfer"};

// Durations of the processing pass: counts per bucket (upper bounds in seconds, the last
// bucket unbounded), their sum and number.
struct SMyPassHistogram {
    static constexpr std::array<double, 12> kBounds = {0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005,
                                                       0.01,   0.025,   0.05,   0.1,   0.25,   1.0};
    std::array<std::uint64_t, kBounds.size() + 1> counts{};
    double sumSeconds = 0;
    std::uint64_t count = 0;

    void Add(double seconds);
};

struct SMyStats {
    std::uint32_t connCount = 0;    // clients connected now; the user count sent to trackers
    std::uint32_t connPeak = 0;     // highest connCount seen by UpdatePeak
    std::uint32_t connCounter = 0;  // clients admitted since start
    std::uint32_t dlCounter = 0;    // file and folder downloads accepted since start
    std::uint32_t ulCounter = 0;    // file and folder uploads accepted since start

    // Since start, for the metrics page.
    std::array<std::uint64_t, static_cast<std::size_t>(EMyListener::kCount)> accepted{};
    std::uint64_t loginsSucceeded = 0;
    std::uint64_t loginsRefused = 0;
    std::uint64_t tempBansAdded = 0;
    std::uint64_t permBansAdded = 0;
    std::uint64_t chatLines = 0;
    std::uint64_t privateMessages = 0;
    std::uint64_t boardPosts = 0;
    std::uint64_t newsPosts = 0;
    std::uint64_t transferBytesSent = 0;      // file bytes handed to download connections
    std::uint64_t transferBytesReceived = 0;  // file bytes taken from upload connections
    std::uint64_t errors = 0;                 // counted toward the automatic reset
    std::uint64_t transferErrors = 0;         // ended one transfer only
    std::uint64_t resets = 0;
    SMyPassHistogram passDurations;

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
    void Accepted(EMyListener listener) { ++accepted[static_cast<std::size_t>(listener)]; }
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

// What the metrics page shows beside the counters: states read at the moment of the scrape.
struct SMyMetricsGauges {
    SMyTransferCounts transfers;
    std::uint64_t clientsConnected = 0;
    std::uint64_t clientsLoggedIn = 0;
    std::uint64_t tempBansActive = 0;
    std::uint64_t permBansActive = 0;
    std::uint64_t residentBytes = 0;  // 0: unknown, left out
    std::int64_t openDescriptors = -1;  // -1: unknown, left out
};

// The metrics page in the Prometheus text exposition format (version 0.0.4): every counter
// as a `kestrix_..._total` counter, the states as gauges, the pass durations as a histogram,
// the process's resident memory and open descriptors under their usual `process_` names.
std::string FormatMetrics(const SMyStats& stats, const SMyMetricsGauges& gauges);

// Resident memory in bytes and open descriptors of this process, from /proc (0 and -1 when
// unreadable).
std::uint64_t ProcessResidentBytes();
std::int64_t ProcessOpenDescriptors();

}  // namespace kx
