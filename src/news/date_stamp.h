// The 8-byte date stamp stored with news articles and sent to clients: year, milliseconds and
// seconds since the start of that year (local time), written big-endian.
#pragma once

#include <cstdint>
#include <ctime>

namespace kx {

struct SDateTimeStamp {
    std::uint16_t year = 0;
    std::uint16_t msecs = 0;
    std::uint32_t seconds = 0;

    bool operator==(const SDateTimeStamp&) const = default;

    // The stamp of a wall-clock time, in local time.
    static SDateTimeStamp FromTime(std::time_t t);
};

}  // namespace kx
