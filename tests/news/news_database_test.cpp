// The news category file: the bytes of a new file, where articles, index tables and flavors
// land, bitmap growth, ID index tables, threading of replies (past 100 of them) and deletion
// with and without the replies.
#include "news/news_database.h"

#include <cstring>

#include "news/news_format.h"
#include "news_test_util.h"

namespace kx {
namespace {

using newstest::BlockAt;
using newstest::ExpectError;
namespace DB = UMyNewsDatabase;

class NewsDatabase : public newstest::NewsFileTest {
protected:
    void SetUp() override {
        NewsFileTest::SetUp();
        DB::CreateNewGroup(mPath, "General", "");
    }
    std::uint32_t Add(std::uint32_t parent, const char* title) {
        return DB::AddArticle(mPath, parent, title, "poster", 0, SDateTimeStamp{2024, 0, 1}, "x");
    }
    SMyNewsArticleInfo Info(std::uint32_t id) {
        DB::AddData(mPath, id, "text/plain", "x", 1);
        SMyNewsArticleInfo info;
        DB::GetArticleData(mPath, id, "text/plain", &info);
        return info;
    }
};

class NewsDatabaseCreate : public newstest::NewsFileTest {};

TEST_F(NewsDatabaseCreate, NewFileIsTheExact1024ByteImage) {
    std::string longName(40, 'n');
    DB::CreateNewGroup(mPath, longName, "About things");
    auto b = Bytes();
    ASSERT_EQ(b.size(), 1024u);

    std::vector<std::uint8_t> want(1024, 0);
    std::memcpy(&want[0], "KXNZ", 4);
    const std::uint32_t fields[][2] = {{4, 2},   {24, 1}, {28, 1}, {32, 256}, {56, 1}, {60, 1},
                                       {64, 1},  {68, 1}, {72, 2}, {76, 31}};
    for (auto [off, v] : fields) PutBE32(&want[off], v);
    std::memcpy(&want[8], &b[8], 16);  // the GUID is random
    want[92] = 31;
    std::memset(&want[93], 'n', 31);
    want[124] = 12;
    std::memcpy(&want[125], "About things", 12);
    want[512] = 0xC0;
    EXPECT_EQ(b, want);

    SMyNewsGroupInfo info = DB::GetGroupInfo(mPath);
    EXPECT_EQ(info.name, std::string(31, 'n'));
    EXPECT_EQ(info.desc, "About things");
    EXPECT_EQ(info.articleCount, 0u);
    EXPECT_EQ(info.addSN, 1u);
    EXPECT_EQ(info.deleteSN, 1u);
    EXPECT_EQ(0, std::memcmp(info.id.data(), &b[8], 16));

    ExpectError([&] { DB::CreateNewGroup(mPath, "again", ""); }, kErrClassFileSys, kErrAlreadyExists);
    EXPECT_EQ(Bytes(), b);
}

TEST_F(NewsDatabase, FirstArticleIndexAndFlavorLandInBlocks3To5) {
    std::uint32_t id = DB::AddArticle(mPath, 0, "Hello", "alice", 7, SDateTimeStamp{2024, 9, 77},
                                      "ext@id");
    EXPECT_EQ(id, 1u);
    auto b = Bytes();
    ASSERT_EQ(b.size(), BlockAt(5));  // item block 3 and bucket table block 4, whole blocks
    const std::uint8_t* item = &b[BlockAt(3)];
    std::vector<std::uint8_t> want(256, 0);
    PutBE32(&want[4], 192);
    want[8] = 24;
    std::memcpy(&want[9], "application/x-kxnewsitem", 24);
    PutBE32(&want[36], 1);
    PutBE16(&want[56], 2024);
    PutBE16(&want[58], 9);
    PutBE32(&want[60], 77);
    PutBE32(&want[64], 7);
    want[68] = 5;
    std::memcpy(&want[69], "Hello", 5);
    want[132] = 5;
    std::memcpy(&want[133], "alice", 5);
    want[164] = 6;
    std::memcpy(&want[165], "ext@id", 6);
    EXPECT_EQ(std::vector<std::uint8_t>(item, item + 256), want);

    EXPECT_EQ(Get32(BlockAt(2) + 8), 4u);  // bucket 1: table at block 4, one entry
    EXPECT_EQ(Get32(BlockAt(2) + 12), 1u);
    EXPECT_EQ(Get32(BlockAt(4)), 1u);      // (id 1, block 3)
    EXPECT_EQ(Get32(BlockAt(4) + 4), 3u);
    EXPECT_EQ(b[512], 0xF0);               // blocks 1-4 in use
    EXPECT_EQ(Get32(24), 2u);              // addSerial
    EXPECT_EQ(Get32(28), 1u);              // delSerial untouched
    EXPECT_EQ(Get32(44), 1u);              // articleCount
    EXPECT_EQ(Get32(48), 3u);
    EXPECT_EQ(Get32(52), 3u);
    EXPECT_EQ(Get32(56), 2u);              // nextArticleID

    EXPECT_TRUE(DB::AddData(mPath, id, "text/plain", "Hi there", 8));
    b = Bytes();
    ASSERT_EQ(b.size(), BlockAt(6));
    EXPECT_EQ(Get32(BlockAt(3)), 5u);      // item's nextFlav
    std::vector<std::uint8_t> flav(256, 0);
    PutBE32(&flav[4], 8);
    flav[8] = 10;
    std::memcpy(&flav[9], "text/plain", 10);
    std::memcpy(&flav[20], "Hi there", 8);  // header 8 + ((10 + 4) & ~3) = 20
    EXPECT_EQ(std::vector<std::uint8_t>(&b[BlockAt(5)], &b[BlockAt(5)] + 256), flav);

    SMyNewsArticleInfo info;
    auto data = DB::GetArticleData(mPath, id, "text/plain", &info);
    EXPECT_EQ(std::string(data.begin(), data.end()), "Hi there");
    EXPECT_EQ(info.id, 1u);
    EXPECT_EQ(info.flags, 7u);
    EXPECT_EQ(info.dts, (SDateTimeStamp{2024, 9, 77}));
    EXPECT_EQ(info.title, "Hello");
    EXPECT_EQ(info.poster, "alice");
    EXPECT_EQ(info.externId, "ext@id");
    EXPECT_EQ(info.prevID + info.nextID + info.parentID + info.firstChildID, 0u);
    ExpectError([&] { DB::GetArticleData(mPath, id, "text/html", nullptr); }, 1, 12);
    ExpectError([&] { DB::GetArticleData(mPath, 9, "text/plain", nullptr); }, 1, 12);
    ExpectError([&] { DB::AddData(mPath, 9, "text/plain", "x", 1); }, 1, 12);
}

TEST_F(NewsDatabase, FlavorsOfSeveralTypesAndSizesChainInOrder) {
    std::uint32_t id = Add(0, "t");
    std::vector<std::uint8_t> exact(512 - 20, 0x5A);  // header 20 + data 492 = two blocks
    DB::AddData(mPath, id, "text/plain", exact.data(), static_cast<std::uint32_t>(exact.size()));
    ASSERT_EQ(Bytes().size(), BlockAt(7));  // blocks 5 and 6, no padding past them
    EXPECT_TRUE(InUse(5));
    EXPECT_TRUE(InUse(6));
    std::string longType(40, 't');          // kept as 31 bytes: header 40
    DB::AddData(mPath, id, longType, "", 0);
    DB::AddData(mPath, id, "image/png", "PNG!", 4);
    EXPECT_EQ(Get32(BlockAt(5)), 7u);
    EXPECT_EQ(Get32(BlockAt(7)), 8u);
    EXPECT_EQ(Bytes()[BlockAt(7) + 8], 31);

    EXPECT_EQ(DB::GetArticleData(mPath, id, "text/plain"), exact);
    EXPECT_TRUE(DB::GetArticleData(mPath, id, std::string(31, 't')).empty());
    auto png = DB::GetArticleData(mPath, id, "image/png");
    EXPECT_EQ(std::string(png.begin(), png.end()), "PNG!");

    DB::DeleteArticle(mPath, id, false);
    for (std::uint32_t n = 3; n <= 8; ++n) EXPECT_FALSE(InUse(n)) << n;
    EXPECT_EQ(Get32(60 + 8), 1u);  // firstFree back at the first byte
}

TEST_F(NewsDatabase, OnlyTheFirstThirtyFlavorsAreSearched) {
    std::uint32_t id = Add(0, "t");
    for (int i = 1; i <= 31; ++i) {
        std::string type = "type/" + std::to_string(i);
        DB::AddData(mPath, id, type, type.data(), static_cast<std::uint32_t>(type.size()));
    }
    auto data = DB::GetArticleData(mPath, id, "type/30");
    EXPECT_EQ(std::string(data.begin(), data.end()), "type/30");
    ExpectError([&] { DB::GetArticleData(mPath, id, "type/31"); }, 1, 12);
    auto listing = DB::GetArticleListing(mPath);
    EXPECT_EQ(GetBE16(&listing[10 + 20]), 31u);
}

TEST_F(NewsDatabase, BitmapGrowsPastTheBlocksItCanDescribe) {
    std::uint32_t id = Add(0, "big");
    // 2400 blocks: neither the first bitmap (2048 blocks) nor the second (4096 blocks, itself
    // at 2049-2050) holds the run, so the bitmap moves twice and ends at block 4097.
    std::vector<std::uint8_t> big(2400 * 256 - 20, 0);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7);
    DB::AddData(mPath, id, "text/plain", big.data(), static_cast<std::uint32_t>(big.size()));
    EXPECT_EQ(Get32(60), 4097u);
    EXPECT_EQ(Get32(64), 3u);
    EXPECT_EQ(Get32(68), 1u);
    EXPECT_EQ(Get32(BlockAt(3)), 5u);
    EXPECT_EQ(Bytes()[BlockAt(4097)], 0x7F);  // block 1 (the first bitmap) free again
    EXPECT_TRUE(InUse(2404, 4097));
    EXPECT_FALSE(InUse(2405, 4097));
    EXPECT_FALSE(InUse(4096, 4097));
    EXPECT_TRUE(InUse(4099, 4097));
    EXPECT_EQ(DB::GetArticleData(mPath, id, "text/plain"), big);

    // The freed first block is found again.
    EXPECT_EQ(Add(0, "next"), 2u);
    EXPECT_EQ(Get32(52), 1u);
}

TEST_F(NewsDatabase, ThirtyThirdIDInABucketMovesItsTableAndRemovingItShrinksIt) {
    // IDs 1, 33, 65, ... share bucket 1.
    for (std::uint32_t i = 1; i <= 1025; ++i) ASSERT_EQ(Add(0, "a"), i);
    const std::uint64_t dir1 = BlockAt(2) + 8;
    std::uint32_t table = Get32(dir1);
    EXPECT_EQ(Get32(dir1 + 4), 33u);
    std::uint32_t ids[33];
    for (int k = 0; k < 33; ++k) ids[k] = Get32(BlockAt(table) + 8 * k);
    for (int k = 0; k < 33; ++k) EXPECT_EQ(ids[k], 1u + 32u * k);
    EXPECT_TRUE(InUse(table));
    EXPECT_TRUE(InUse(table + 1));
    // The 33rd ID arrived after 32 and left the old one-block table behind.
    EXPECT_EQ(Get32(BlockAt(table + 1)), 1025u);
    EXPECT_EQ(Get32(BlockAt(table + 1) + 4), Get32(52));

    DB::DeleteArticle(mPath, 1025, false);
    EXPECT_EQ(Get32(dir1), table);
    EXPECT_EQ(Get32(dir1 + 4), 32u);
    EXPECT_TRUE(InUse(table));
    EXPECT_FALSE(InUse(table + 1));
    DB::DeleteArticle(mPath, 33, false);  // entries after it move down
    EXPECT_EQ(Get32(BlockAt(table) + 8), 65u);
    ExpectError([&] { DB::GetArticleData(mPath, 33, "x"); }, 1, 12);
    EXPECT_EQ(Add(0, "after"), 1026u);    // IDs are never reused
}

TEST_F(NewsDatabase, ReplyPastTheHundredthIsLinkedAtTheTrueEnd) {
    std::uint32_t parent = Add(0, "p");
    for (std::uint32_t i = 0; i < 150; ++i) ASSERT_EQ(Add(parent, "r"), i + 2);
    SMyNewsArticleInfo info = Info(151);
    EXPECT_EQ(info.prevID, 150u);
    EXPECT_EQ(info.nextID, 0u);
    EXPECT_EQ(info.parentID, 1u);
    info = Info(102);
    EXPECT_EQ(info.prevID, 101u);
    EXPECT_EQ(info.nextID, 103u);
    auto listing = DB::GetArticleListing(mPath);
    EXPECT_EQ(GetBE32(&listing[4]), 151u);
}

TEST_F(NewsDatabase, UnknownParentMakesATopLevelArticle) {
    std::uint32_t a = Add(0, "a");
    std::uint32_t b = Add(77, "b");
    SMyNewsArticleInfo info = Info(b);
    EXPECT_EQ(info.parentID, 0u);
    EXPECT_EQ(info.prevID, a);
    EXPECT_EQ(Get32(52), Get32(BlockAt(3) + 44));  // last = a's next
}

// A2 has replies R1 (with R1a), R2, R3; deleting A2 without its replies puts R1 in its place.
TEST_F(NewsDatabase, DeleteWithoutRepliesPromotesTheFirstReply) {
    std::uint32_t a1 = Add(0, "A1"), a2 = Add(0, "A2");
    std::uint32_t r1 = Add(a2, "R1"), r2 = Add(a2, "R2"), r3 = Add(a2, "R3");
    std::uint32_t r1a = Add(r1, "R1a");
    std::uint32_t a3 = Add(0, "A3");
    EXPECT_TRUE(DB::DeleteArticle(mPath, a2, false));
    EXPECT_EQ(DB::GetGroupInfo(mPath).articleCount, 6u);

    SMyNewsArticleInfo i = Info(r1);
    EXPECT_EQ(i.prevID, a1);
    EXPECT_EQ(i.nextID, a3);
    EXPECT_EQ(i.parentID, 0u);
    EXPECT_EQ(i.firstChildID, r1a);
    i = Info(r1a);
    EXPECT_EQ(i.nextID, r2);
    i = Info(r2);
    EXPECT_EQ(i.prevID, r1a);
    EXPECT_EQ(i.parentID, r1);
    EXPECT_EQ(Info(r3).parentID, r1);
    EXPECT_EQ(Info(a1).nextID, r1);
    EXPECT_EQ(Info(a3).prevID, r1);
    ExpectError([&] { DB::GetArticleData(mPath, a2, "text/plain"); }, 1, 12);
}

TEST_F(NewsDatabase, PromotedReplyWithoutRepliesAdoptsItsSiblings) {
    std::uint32_t a = Add(0, "A");
    std::uint32_t r1 = Add(a, "R1"), r2 = Add(a, "R2"), r3 = Add(a, "R3");
    DB::DeleteArticle(mPath, a, false);
    EXPECT_EQ(Get32(48), Get32(52));  // R1 alone at top level
    SMyNewsArticleInfo i = Info(r1);
    EXPECT_EQ(i.firstChildID, r2);
    EXPECT_EQ(i.prevID + i.nextID + i.parentID, 0u);
    i = Info(r2);
    EXPECT_EQ(i.prevID, 0u);
    EXPECT_EQ(i.nextID, r3);
    EXPECT_EQ(i.parentID, r1);
}

TEST_F(NewsDatabase, DeleteReplyInTheMiddleOfItsSiblings) {
    std::uint32_t a = Add(0, "A");
    std::uint32_t r1 = Add(a, "R1"), r2 = Add(a, "R2"), r3 = Add(a, "R3");
    DB::DeleteArticle(mPath, r1, false);
    EXPECT_EQ(Info(a).firstChildID, r2);
    EXPECT_EQ(Info(r2).prevID, 0u);
    DB::DeleteArticle(mPath, r3, true);
    EXPECT_EQ(Info(r2).nextID, 0u);
}

TEST_F(NewsDatabase, RecursiveDeleteRemovesTheSubtreeAndFreesItsBlocks) {
    std::uint32_t a1 = Add(0, "A1"), a2 = Add(0, "A2");
    std::uint32_t r1 = Add(a2, "R1");
    Add(r1, "R1a");
    Add(a2, "R2");
    std::uint32_t a3 = Add(0, "A3");
    DB::AddData(mPath, r1, "text/plain", "data", 4);
    std::uint32_t a2Block = Get32(BlockAt(3) + 44);
    EXPECT_TRUE(DB::DeleteArticle(mPath, a2, true));
    EXPECT_EQ(DB::GetGroupInfo(mPath).articleCount, 2u);
    for (std::uint32_t id : {a2, r1, 4u, 5u})
        ExpectError([&] { DB::GetArticleData(mPath, id, "text/plain"); }, 1, 12);
    EXPECT_FALSE(InUse(a2Block));
    EXPECT_EQ(Add(0, "A4"), 7u);
    EXPECT_EQ(Get32(52), a2Block);  // the lowest freed block is reused
    EXPECT_EQ(Info(a1).nextID, a3);
    EXPECT_EQ(Info(a3).prevID, a1);
}

TEST_F(NewsDatabase, DeletingTheOnlyArticleEmptiesTheTopLevel) {
    std::uint32_t a = Add(0, "A");
    DB::DeleteArticle(mPath, a, true);
    EXPECT_EQ(Get32(44), 0u);
    EXPECT_EQ(Get32(48), 0u);
    EXPECT_EQ(Get32(52), 0u);
    EXPECT_EQ(Get32(28), 1u);  // delSerial is not a deletion counter
    EXPECT_EQ(Get32(BlockAt(2) + 8), 0u);  // bucket 1 empty, its table freed
    EXPECT_FALSE(InUse(3));
    EXPECT_FALSE(InUse(4));
    ExpectError([&] { DB::DeleteArticle(mPath, a, true); }, 1, 12);
}

TEST(NewsExternID, GuidAtDomainWithinSixtyThreeBytes) {
    std::string a = UMyNewsDatabase::_NZ_GenerateExternID();
    std::string b = UMyNewsDatabase::_NZ_GenerateExternID();
    EXPECT_NE(a, b);
    EXPECT_LE(a.size(), 63u);
    ASSERT_GT(a.size(), 39u);
    EXPECT_EQ(a[0], '{');
    EXPECT_EQ(a[37], '}');
    EXPECT_EQ(a[38], '@');
}

}  // namespace
}  // namespace kx
