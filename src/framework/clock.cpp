// Monotonic and wall clocks, with test overrides.
#include "framework/clock.h"

#include <chrono>

namespace kx::UClock {

namespace {
std::function<std::uint64_t()>& TestSource() {
    static std::function<std::uint64_t()> source;
    return source;
}
std::function<std::time_t()>& TestWallSource() {
    static std::function<std::time_t()> source;
    return source;
}
}  // namespace

std::uint64_t Milliseconds() {
    if (TestSource()) return TestSource()();
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

std::time_t WallTime() {
    if (TestWallSource()) return TestWallSource()();
    return std::time(nullptr);
}

void SetTestSource(std::function<std::uint64_t()> source) { TestSource() = std::move(source); }
void SetTestWallSource(std::function<std::time_t()> source) { TestWallSource() = std::move(source); }

}  // namespace kx::UClock
