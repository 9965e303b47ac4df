// Statistics counters and the text of the statistics display.
#include "server/stats.h"

namespace kx {

void SMyStats::ClientAdmitted() {
    ++connCount;
    ++connCounter;
}

void SMyStats::ClientKilled() {
    if (connCount > 0) --connCount;
}

void SMyStats::UpdatePeak() {
    if (connCount > connPeak) connPeak = connCount;
}

std::vector<std::string> FormatStatsLines(const SMyStats& stats, const SMyTransferCounts& transfers) {
    const struct {
        const char* label;
        std::uint32_t value;
    } figures[] = {
        {"Connected", stats.connCount},
        {"Downloading", transfers.downloading},
        {"Uploading", transfers.uploading},
        {"Waiting", transfers.waiting},
        {"Peak connections", stats.connPeak},
        {"Connection counter", stats.connCounter},
        {"Download counter", stats.dlCounter},
        {"Upload counter", stats.ulCounter},
    };
    std::vector<std::string> lines;
    lines.reserve(std::size(figures));
    for (const auto& f : figures) lines.push_back(std::string(f.label) + ": " + std::to_string(f.value));
    return lines;
}

}  // namespace kx
