// Conversion of host times to SDateTimeStamp (see date_stamp.h).
#include "fs/date_stamp.h"

#include "framework/byte_codec.h"

namespace kx::UDateTime {

namespace {

constexpr SDateTimeStamp kUnconvertible{1997, 0, 0};

}  // namespace

SDateTimeStamp FromTimespec(const struct timespec& ts) {
    struct tm parts {};
    if (gmtime_r(&ts.tv_sec, &parts) == nullptr) return kUnconvertible;
    const long long year = static_cast<long long>(parts.tm_year) + 1900;
    if (year < 0 || year > 65535) return kUnconvertible;
    // tm_yday already counts 29 February in leap years.
    const std::uint32_t secs = static_cast<std::uint32_t>(parts.tm_yday) * 86400u +
                               static_cast<std::uint32_t>(parts.tm_hour) * 3600u +
                               static_cast<std::uint32_t>(parts.tm_min) * 60u + static_cast<std::uint32_t>(parts.tm_sec);
    long ms = ts.tv_nsec / 1000000;
    if (ms < 0 || ms > 999) ms = 0;
    return SDateTimeStamp{static_cast<std::uint16_t>(year), static_cast<std::uint16_t>(ms), secs};
}

SDateTimeStamp FromTime(std::time_t t) {
    struct timespec ts {};
    ts.tv_sec = t;
    return FromTimespec(ts);
}

std::array<std::uint8_t, 8> ToWire(const SDateTimeStamp& s) {
    std::array<std::uint8_t, 8> out{};
    PutBE16(out.data(), s.year);
    PutBE16(out.data() + 2, s.msecs);
    PutBE32(out.data() + 4, s.seconds);
    return out;
}

SDateTimeStamp FromLocalTime(std::time_t t) {
    std::tm local{};
    if (!localtime_r(&t, &local)) return FromTime(t);
    SDateTimeStamp stamp;
    stamp.year = static_cast<std::uint16_t>(local.tm_year + 1900);
    stamp.msecs = 0;
    stamp.seconds = static_cast<std::uint32_t>(local.tm_yday * 86400 + local.tm_hour * 3600 + local.tm_min * 60 +
                                               local.tm_sec);
    return stamp;
}

}  // namespace kx::UDateTime
