// The server's sense of time: milliseconds and whole seconds of up-time from a monotonic clock,
// and wall-clock time for dates. Tests replace the up-time source to move time forward without
// waiting; nothing else in the server reads a clock directly.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>

namespace kx::UClock {

// Milliseconds since an arbitrary fixed start (monotonic).
std::uint64_t Milliseconds();

// Whole seconds of up-time: Milliseconds() / 1000.
inline std::uint32_t UpSeconds() { return static_cast<std::uint32_t>(Milliseconds() / 1000); }

// Seconds since the Unix epoch (wall clock), used for dates shown to people and stored in files.
std::time_t WallTime();

// Replaces the monotonic source (null restores the real clock). For tests only.
void SetTestSource(std::function<std::uint64_t()> source);

// Replaces the wall-clock source (null restores the real clock). For tests only.
void SetTestWallSource(std::function<std::time_t()> source);

}  // namespace kx::UClock
