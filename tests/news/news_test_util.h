// Helpers for the news database tests: a temporary folder per test, raw access to a category
// file's bytes, a small category to damage, and an expectation that an operation raises a given
// error.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <source_location>
#include <string>
#include <vector>

#include "framework/byte_codec.h"
#include "framework/error.h"
#include "news/news_database.h"
#include "support/error_checks.h"

namespace kx::newstest {

inline std::uint64_t BlockAt(std::uint32_t block) { return 512 + std::uint64_t{block - 1} * 256; }

class NewsFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kx_news_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        mDir = pattern;
        mPath = mDir + "/General.knz";
    }
    void TearDown() override { std::filesystem::remove_all(mDir); }

    std::vector<std::uint8_t> Bytes() const {
        std::ifstream in(mPath, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::uint32_t Get32(std::uint64_t offset) const {
        auto b = Bytes();
        EXPECT_LE(offset + 4, b.size());
        if (offset + 4 > b.size()) return 0;
        return GetBE32(b.data() + offset);
    }
    void Put32(std::uint64_t offset, std::uint32_t value) const {
        std::fstream f(mPath, std::ios::binary | std::ios::in | std::ios::out);
        f.seekp(static_cast<std::streamoff>(offset));
        std::uint8_t b[4];
        PutBE32(b, value);
        f.write(reinterpret_cast<const char*>(b), 4);
    }
    void PutByte(std::uint64_t offset, std::uint8_t value) const {
        std::fstream f(mPath, std::ios::binary | std::ios::in | std::ios::out);
        f.seekp(static_cast<std::streamoff>(offset));
        f.put(static_cast<char>(value));
    }
    // Is block n marked in use in a bitmap that starts at block `bitmapBlock`?
    bool InUse(std::uint32_t n, std::uint32_t bitmapBlock = 1) const {
        auto b = Bytes();
        std::uint64_t at = BlockAt(bitmapBlock) + (n - 1) / 8;
        return at < b.size() && (b[at] & (0x80 >> ((n - 1) % 8))) != 0;
    }

    // Writes the category both damage tests start from: A1 (with "text/plain" data "hello") and
    // A2 at the top, R1 and R2 replying to A1. Blocks: A1 id 1 item 3, bucket-1 table 4, flavor
    // 5; A2 id 2 item 6, table 7; R1 id 3 item 8, table 9; R2 id 4 item 10, table 11.
    void WriteFourArticles() const {
        UMyNewsDatabase::CreateNewGroup(mPath, "General", "");
        UMyNewsDatabase::AddArticle(mPath, 0, "A1", "p", 0, SDateTimeStamp{}, "x");
        UMyNewsDatabase::AddData(mPath, 1, "text/plain", "hello", 5);
        UMyNewsDatabase::AddArticle(mPath, 0, "A2", "p", 0, SDateTimeStamp{}, "x");
        UMyNewsDatabase::AddArticle(mPath, 1, "R1", "p", 0, SDateTimeStamp{}, "x");
        UMyNewsDatabase::AddArticle(mPath, 1, "R2", "p", 0, SDateTimeStamp{}, "x");
    }

    std::string mDir;
    std::string mPath;
};

// Runs `op` and expects it to raise SError (type, id).
inline void ExpectError(const std::function<void()>& op, int type, int id,
                        std::source_location where = std::source_location::current()) {
    EXPECT_EQ(test::ErrorOf(op), std::make_pair(type, id)) << "called from line " << where.line();
}

}  // namespace kx::newstest
