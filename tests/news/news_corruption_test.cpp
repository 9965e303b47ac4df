// Damaged and hostile category files: each failure mode answers with its error, returns (no
// hang, no unbounded allocation) and, where the damage is found before writing, leaves the
// file as it was.
#include <filesystem>

#include "news/news_database.h"
#include "news/news_format.h"
#include "news_test_util.h"

namespace kx {
namespace {

using newstest::BlockAt;
using newstest::ExpectError;
namespace DB = UMyNewsDatabase;

// The layout of WriteFourArticles, damaged one structure at a time.
class NewsCorruption : public newstest::NewsFileTest {
protected:
    void SetUp() override {
        NewsFileTest::SetUp();
        WriteFourArticles();
        ASSERT_EQ(Get32(BlockAt(3)), 5u);
        ASSERT_EQ(Get32(BlockAt(3) + kNZItemOffFirstChild), 8u);
        ASSERT_EQ(Get32(BlockAt(8) + kNZItemOffNext), 10u);
        ASSERT_EQ(Get32(BlockAt(6) + kNZItemOffID), 2u);
    }

    // Every operation fails with (type, id) and the file keeps its bytes.
    void ExpectAllRefused(int type, int id) {
        auto before = Bytes();
        ExpectError([&] { DB::GetGroupInfo(mPath); }, type, id);
        ExpectUnchangedRefusals(type, id);
        EXPECT_EQ(Bytes(), before);
    }
    void ExpectUnchangedRefusals(int type, int id) {
        auto before = Bytes();
        ExpectError([&] { DB::AddArticle(mPath, 0, "t", "p", 0); }, type, id);
        ExpectError([&] { DB::AddData(mPath, 1, "text/plain", "x", 1); }, type, id);
        ExpectError([&] { DB::GetArticleListing(mPath); }, type, id);
        ExpectError([&] { DB::GetArticleData(mPath, 1, "text/plain"); }, type, id);
        ExpectError([&] { DB::DeleteArticle(mPath, 1, false); }, type, id);
        ExpectError([&] { DB::DeleteArticle(mPath, 1, true); }, type, id);
        EXPECT_EQ(Bytes(), before);
    }
};

TEST_F(NewsCorruption, BadMagic) {
    PutByte(0, 'X');
    ExpectAllRefused(1, 8);
}

TEST_F(NewsCorruption, BadVersion) {
    Put32(4, 1);
    ExpectAllRefused(1, 7);
    Put32(4, 3);
    ExpectAllRefused(1, 7);
}

TEST_F(NewsCorruption, ShortHeader) {
    std::filesystem::resize_file(mPath, 379);
    ExpectAllRefused(1, 9);
    std::filesystem::resize_file(mPath, 0);
    ExpectAllRefused(1, 9);
}

TEST_F(NewsCorruption, OffsetPastTheEnd) {
    auto original = Bytes();
    auto reset = [&] {
        std::ofstream(mPath, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(original.data()), static_cast<std::streamsize>(original.size()));
    };
    Put32(kNZOffFirstArticle, 5000);  // first article
    ExpectError([&] { DB::GetArticleListing(mPath); }, 1, 9);
    reset();
    Put32(kNZOffLastArticle, 5000);  // where a new top-level article would be linked
    ExpectError([&] { DB::AddArticle(mPath, 0, "t", "p", 0); }, 1, 9);
    reset();
    Put32(BlockAt(3), 5000);  // A1's first flavor
    auto before = Bytes();
    ExpectError([&] { DB::AddData(mPath, 1, "text/plain", "x", 1); }, 1, 9);
    ExpectError([&] { DB::GetArticleListing(mPath); }, 1, 9);
    ExpectError([&] { DB::GetArticleData(mPath, 1, "text/plain"); }, 1, 9);
    ExpectError([&] { DB::DeleteArticle(mPath, 1, false); }, 1, 9);
    ExpectError([&] { DB::DeleteArticle(mPath, 1, true); }, 1, 9);
    EXPECT_EQ(Bytes(), before);
    reset();
    Put32(BlockAt(8) + kNZItemOffNext, 5000);  // R1's next sibling
    ExpectError([&] { DB::AddArticle(mPath, 1, "t", "p", 0); }, 1, 9);
    ExpectError([&] { DB::GetArticleListing(mPath); }, 1, 9);
    reset();
    Put32(kNZOffListOffset, 5000);  // cached listing
    Put32(kNZOffListSize, 10);
    ExpectError([&] { DB::GetArticleListing(mPath); }, 1, 9);
    reset();
    Put32(BlockAt(2) + 8, 5000);  // bucket 1's table
    ExpectError([&] { DB::GetArticleData(mPath, 1, "text/plain"); }, 1, 11);
    ExpectError([&] { DB::DeleteArticle(mPath, 1, true); }, 1, 11);
    reset();
    Put32(kNZOffHashOffset, 5000);  // index directory
    ExpectError([&] { DB::GetArticleData(mPath, 1, "text/plain"); }, 1, 11);
    reset();
    Put32(kNZOffAllocTable, 5000);  // bitmap
    ExpectError([&] { DB::AddArticle(mPath, 0, "t", "p", 0); }, 1, 9);
    reset();
    Put32(BlockAt(3) + kNZItemOffPrev, 5);  // a link to a flavor block, not an article
    ExpectError([&] { DB::DeleteArticle(mPath, 1, false); }, 1, 9);
    EXPECT_EQ(DB::GetGroupInfo(mPath).articleCount, 4u);
}

TEST_F(NewsCorruption, LoopingFlavorChain) {
    Put32(BlockAt(5), 5);  // the flavor's next is itself
    auto before = Bytes();
    ExpectError([&] { DB::GetArticleData(mPath, 1, "image/png"); }, 1, 9);
    ExpectError([&] { DB::AddData(mPath, 1, "image/png", "x", 1); }, 1, 9);
    ExpectError([&] { DB::GetArticleListing(mPath); }, 1, 9);
    ExpectError([&] { DB::DeleteArticle(mPath, 1, true); }, 1, 9);
    EXPECT_EQ(Bytes(), before);
    // The first match is still found before the loop matters.
    auto data = DB::GetArticleData(mPath, 1, "text/plain");
    EXPECT_EQ(std::string(data.begin(), data.end()), "hello");
}

TEST_F(NewsCorruption, LoopingSiblingList) {
    Put32(BlockAt(10) + kNZItemOffNext, 8);  // R2 -> R1 -> R2 ...
    auto before = Bytes();
    ExpectError([&] { DB::AddArticle(mPath, 1, "t", "p", 0); }, 1, 9);
    ExpectError([&] { DB::GetArticleListing(mPath); }, 1, 9);
    ExpectError([&] { DB::DeleteArticle(mPath, 1, false); }, 1, 9);
    ExpectError([&] { DB::DeleteArticle(mPath, 1, true); }, 1, 9);
    EXPECT_EQ(Bytes(), before);

    Put32(BlockAt(10) + kNZItemOffNext, 0);
    Put32(BlockAt(6) + kNZItemOffNext, 3);  // top level: A2 -> A1 -> A2 ...
    ExpectError([&] { DB::GetArticleListing(mPath); }, 1, 9);
    Put32(BlockAt(6) + kNZItemOffNext, 0);
    Put32(BlockAt(8) + kNZItemOffFirstChild, 3);  // R1's reply is its own parent
    before = Bytes();
    ExpectError([&] { DB::GetArticleListing(mPath); }, 1, 9);
    ExpectError([&] { DB::DeleteArticle(mPath, 1, true); }, 1, 9);
    EXPECT_EQ(Bytes(), before);
}

TEST_F(NewsCorruption, AbsurdSizes) {
    auto original = Bytes();
    auto reset = [&] {
        std::ofstream(mPath, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(original.data()), static_cast<std::streamsize>(original.size()));
    };
    Put32(BlockAt(5) + 4, 0xFFFFFFF0);  // flavor data size
    ExpectError([&] { DB::GetArticleData(mPath, 1, "text/plain"); }, 1, 9);
    ExpectError([&] { DB::GetArticleListing(mPath); }, 1, 9);
    ExpectError([&] { DB::DeleteArticle(mPath, 1, true); }, 1, 9);
    reset();
    PutByte(BlockAt(5) + 8, 200);  // flavor type length
    ExpectError([&] { DB::GetArticleData(mPath, 1, "text/plain"); }, 1, 9);
    reset();
    Put32(kNZOffListOffset, 3);  // cached listing far longer than the file
    Put32(kNZOffListSize, 0xFFFFFFFF);
    ExpectError([&] { DB::GetArticleListing(mPath); }, 1, 9);
    ExpectError([&] { DB::AddArticle(mPath, 0, "t", "p", 0); }, 1, 9);
    reset();
    Put32(BlockAt(2) + 12, 0x7FFFFFFF);  // entries in bucket 1
    ExpectError([&] { DB::GetArticleData(mPath, 1, "text/plain"); }, 1, 11);
    ExpectError([&] { DB::DeleteArticle(mPath, 1, false); }, 1, 11);
    reset();
    Put32(kNZOffHashMask, 0xFFFFFFFF);  // directory entries
    ExpectError([&] { DB::GetArticleData(mPath, 1, "text/plain"); }, 1, 11);
    reset();
    Put32(kNZOffArticleCount, 0xFFFFFFFF);
    ExpectError([&] { DB::GetArticleListing(mPath); }, 1, 9);
    reset();
    Put32(kNZOffBlockSize, 0);
    ExpectUnchangedRefusals(1, 9);
    Put32(kNZOffBlockSize, 0x40000000);
    ExpectUnchangedRefusals(1, 9);
    reset();
    Put32(kNZOffAllocTable + 4, 0xFFFFFF);  // bitmap blocks
    ExpectError([&] { DB::AddArticle(mPath, 0, "t", "p", 0); }, 1, 9);
    reset();
    Put32(kNZOffNextArticleID, 0);
    ExpectError([&] { DB::AddArticle(mPath, 0, "t", "p", 0); }, 1, 9);
}

TEST_F(NewsCorruption, IndexIDsOutOfOrder) {
    Put32(kNZOffNextArticleID, 1);  // would add ID 1 again behind ID 1 in bucket 1
    auto before = Bytes();
    ExpectError([&] { DB::AddArticle(mPath, 0, "t", "p", 0); }, 1, 9);
    EXPECT_EQ(Bytes(), before);
}

TEST_F(NewsCorruption, FullBitmapCannotGrowTheFileWithoutEnd) {
    // A bitmap of 4096 blocks with every bit set: the next bitmap would start past the size limit.
    const std::uint32_t at = 12;
    std::vector<char> ones(4096 * 256, static_cast<char>(0xFF));
    std::filesystem::resize_file(mPath, BlockAt(at));
    std::ofstream(mPath, std::ios::binary | std::ios::app).write(ones.data(), static_cast<std::streamsize>(ones.size()));
    Put32(kNZOffAllocTable, at);
    Put32(kNZOffAllocTable + 4, 4096);
    Put32(kNZOffAllocTable + 8, 1);
    auto size = Bytes().size();
    ExpectError([&] { DB::AddArticle(mPath, 0, "t", "p", 0); }, 1, 10);
    EXPECT_EQ(Bytes().size(), size);
}

// The read-only check of --check: a sound file has no problem; each kind of damage is named,
// and the file keeps its bytes.
TEST_F(NewsCorruption, CheckNamesEachKindOfDamageAndWritesNothing) {
    EXPECT_EQ(DB::CheckCategory(mPath), std::vector<std::string>{});
    const auto sound = Bytes();
    auto expectProblems = [&](std::vector<std::string> expected) {
        const auto damaged = Bytes();
        EXPECT_EQ(DB::CheckCategory(mPath), expected);
        EXPECT_EQ(Bytes(), damaged);
        std::ofstream(mPath, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(sound.data()), static_cast<std::streamsize>(sound.size()));
    };
    PutByte(0, 'X');
    expectProblems({"not a news category (no KXNZ mark)"});
    Put32(BlockAt(10) + kNZItemOffNext, 8);  // R2 -> R1: a loop
    expectProblems({"the article tree: The data is damaged."});
    PutByte(BlockAt(1), static_cast<std::uint8_t>(0xFF & ~(0x80 >> 4)));  // block 5 marked free
    expectProblems({"article 1 uses block 5, which the bitmap marks free"});
    Put32(kNZOffArticleCount, 5);
    expectProblems({"the header counts 5 articles, the tree holds 4"});
    Put32(BlockAt(7) + 4, 8);  // index: ID 2 -> R1's block
    expectProblems({"ID index bucket 2: ID 2 points at the wrong block"});
    Put32(BlockAt(8) + kNZItemOffParent, 6);
    expectProblems({"article 3: its parent link disagrees with the tree"});
    Put32(BlockAt(5) + kNZFlavOffSize, 0x10000000);  // the flavor runs past the end
    expectProblems({"article 1: The data is damaged."});
    Put32(BlockAt(6), 5);  // A2's flavor chain joins A1's
    expectProblems({"block 5 is used by both article 1 and article 2"});
}

}  // namespace
}  // namespace kx
