// The wake-up list of the transfer time rules: bounded by distinct seconds, not by transfers.
#include <gtest/gtest.h>

#include "files/transfer_records.h"

namespace kx::test {
namespace {

TEST(TransferWakeups, RecordsDueInTheSameSecondShareOneEntry) {
    int wakes = 0;
    CMyTransferWakeups wakeups([&wakes] { ++wakes; });
    // Thousands of finished transfers, each having filed its 500-second rule, due in three
    // distinct seconds.
    for (int i = 0; i < 5000; ++i) {
        std::uint32_t filed = 0;
        wakeups.File(1000 + std::uint32_t(i % 3), 10, &filed);
        EXPECT_EQ(filed, 1000 + std::uint32_t(i % 3));
    }
    EXPECT_EQ(wakeups.Size(), 3u);
    // A record whose own wake-up is pending and earlier files nothing new.
    std::uint32_t filed = 1000;
    wakeups.File(1200, 10, &filed);
    EXPECT_EQ(filed, 1000u);
    EXPECT_EQ(wakeups.Size(), 3u);
    EXPECT_EQ(wakes, 0);
}

}  // namespace
}  // namespace kx::test
