// SDateTimeStamp: the 8-byte date-time stamp of file dates (year, milliseconds, seconds since the
// start of that year), and its conversion from host times. File times are taken in UTC.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>

namespace kx {

struct SDateTimeStamp {
    std::uint16_t year = 0;
    std::uint16_t msecs = 0;
    std::uint32_t seconds = 0;  // since 1 January 00:00:00 of `year`

    bool operator==(const SDateTimeStamp&) const = default;
};

namespace UDateTime {

// The stamp of a host time, in UTC. A time that cannot be converted (a year outside 0..65535, or
// one the calendar functions refuse) gives year 1997, msecs 0, seconds 0.
SDateTimeStamp FromTimespec(const struct timespec& ts);
SDateTimeStamp FromTime(std::time_t t);

// The stamp of a wall-clock time on the local calendar (article dates are shown to people as
// posted). Seconds are counted on the local calendar, so a daylight-saving change does not
// shift them.
SDateTimeStamp FromLocalTime(std::time_t t);

// Wire form: year, msecs, seconds, each big-endian.
std::array<std::uint8_t, 8> ToWire(const SDateTimeStamp& stamp);

}  // namespace UDateTime

}  // namespace kx
