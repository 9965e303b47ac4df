// The article listing: exact bytes for a small tree, the copy cached in the file and when it
// is dropped, and the listing builder's parent table.
#include <cstring>

#include "framework/byte_codec.h"
#include "news/article_list.h"
#include "news/news_database.h"
#include "news/news_format.h"
#include "news_test_util.h"

namespace kx {
namespace {

using newstest::BlockAt;
namespace DB = UMyNewsDatabase;

struct SBuild {
    std::vector<std::uint8_t> v;
    SBuild& u32(std::uint32_t x) {
        AppendBE32(v, x);
        return *this;
    }
    SBuild& u16(std::uint16_t x) {
        AppendBE16(v, x);
        return *this;
    }
    SBuild& p(const std::string& s) {
        v.push_back(static_cast<std::uint8_t>(s.size()));
        v.insert(v.end(), s.begin(), s.end());
        return *this;
    }
};

class NewsListing : public newstest::NewsFileTest {
protected:
    void SetUp() override {
        NewsFileTest::SetUp();
        DB::CreateNewGroup(mPath, "General", "");
        DB::AddArticle(mPath, 0, "Hello", "alice", 0, SDateTimeStamp{2024, 0, 100}, "x1");
        DB::AddData(mPath, 1, "text/plain", "Hi there", 8);
        DB::AddArticle(mPath, 1, "Re: Hello", "bob", 1, SDateTimeStamp{2024, 0, 200}, "x2");
        DB::AddArticle(mPath, 0, "Second", "carol", 0, SDateTimeStamp{2024, 5, 300}, "x3");
        DB::AddData(mPath, 3, "text/plain", "abc", 3);
        std::vector<std::uint8_t> png(70000, 1);
        DB::AddData(mPath, 3, "image/png", png.data(), 70000);
    }
    std::vector<std::uint8_t> Expected() {
        SBuild b;
        b.u32(0).u32(3).u16(0);
        b.u32(1).u16(2024).u16(0).u32(100).u32(0).u32(0).u16(1).p("Hello").p("alice");
        b.p("text/plain").u16(8);
        // The reply comes right after its parent, before the parent's next sibling.
        b.u32(2).u16(2024).u16(0).u32(200).u32(1).u32(1).u16(0).p("Re: Hello").p("bob");
        b.u32(3).u16(2024).u16(5).u32(300).u32(0).u32(0).u16(2).p("Second").p("carol");
        b.p("text/plain").u16(3);
        b.p("image/png").u16(70000 & 0xFFFF);
        return b.v;
    }
};

TEST_F(NewsListing, ExactBytesOfASmallTree) {
    EXPECT_EQ(DB::GetArticleListing(mPath), Expected());
}

TEST_F(NewsListing, CachedInTheFileAndServedFromThere) {
    auto listing = DB::GetArticleListing(mPath);
    std::uint32_t at = Get32(36);
    ASSERT_NE(at, 0u);
    EXPECT_EQ(Get32(40), listing.size());
    EXPECT_TRUE(InUse(at));
    auto file = Bytes();
    EXPECT_EQ(std::vector<std::uint8_t>(&file[BlockAt(at)], &file[BlockAt(at)] + listing.size()),
              listing);
    // A second request reads the cached copy: a change made to it in the file shows.
    PutByte(BlockAt(at) + 3, 0x77);
    auto again = DB::GetArticleListing(mPath);
    EXPECT_EQ(again[3], 0x77);
    EXPECT_EQ(again.size(), listing.size());
}

TEST_F(NewsListing, AddingOrDeletingDropsTheCacheAndFreesItsBlocks) {
    DB::GetArticleListing(mPath);
    std::uint32_t at = Get32(36);
    DB::AddArticle(mPath, 2, "Re: Re: Hello", "dave", 0, SDateTimeStamp{2024, 0, 400}, "x4");
    EXPECT_EQ(Get32(36), 0u);
    EXPECT_EQ(Get32(40), 0u);
    auto listing = DB::GetArticleListing(mPath);
    EXPECT_EQ(GetBE32(&listing[4]), 4u);

    at = Get32(36);
    DB::DeleteArticle(mPath, 4, false);
    EXPECT_EQ(Get32(36), 0u);
    EXPECT_FALSE(InUse(at));
    EXPECT_EQ(DB::GetArticleListing(mPath), Expected());
}

TEST_F(NewsListing, AddingDataDropsTheCacheSoTheNewFlavorIsListed) {
    DB::GetArticleListing(mPath);
    DB::AddData(mPath, 2, "text/plain", "reply", 5);
    EXPECT_EQ(Get32(36), 0u);
    auto listing = DB::GetArticleListing(mPath);
    auto want = Expected();
    // Article 2 now counts one flavor and lists it.
    const std::size_t art2 = 10 + 22 + 6 + 6 + 11 + 2;
    ASSERT_EQ(GetBE32(&want[art2]), 2u);
    want[art2 + 21] = 1;
    SBuild flav;
    flav.p("text/plain").u16(5);
    std::size_t afterArt2 = art2 + 22 + 10 + 4;
    want.insert(want.begin() + static_cast<std::ptrdiff_t>(afterArt2), flav.v.begin(), flav.v.end());
    EXPECT_EQ(listing, want);
}

TEST(NewsArticleList, ParentTableAndFlavorCounts) {
    CNZArticleList list(1);
    EXPECT_EQ(list.LookupID(9), 0u);
    list.AddID(40, 4);
    list.AddID(9, 2);
    list.AddID(300, 7);
    EXPECT_EQ(list.LookupID(9), 2u);
    EXPECT_EQ(list.LookupID(40), 4u);
    EXPECT_EQ(list.LookupID(300), 7u);
    EXPECT_EQ(list.LookupID(41), 0u);

    // Texts are cut to their limits; entries keep growing the buffer past the first guess.
    std::string longTitle(100, 'T');
    for (int i = 0; i < 20; ++i) list.AddArticle(1, {}, 0, 0, longTitle, std::string(50, 'P'));
    for (int i = 0; i < 3; ++i) list.AddArticleFlavor(std::string(70, 'f'), 0x12345);
    auto bytes = list.DetatchDataPtr();
    EXPECT_EQ(GetBE32(&bytes[4]), 20u);
    const std::size_t entry = 22 + 64 + 32;
    ASSERT_EQ(bytes.size(), 10 + 20 * entry + 3 * (64 + 2));
    const std::size_t last = 10 + 19 * entry;
    EXPECT_EQ(GetBE16(&bytes[last + 20]), 3u);
    EXPECT_EQ(bytes[last + 22], 63);
    EXPECT_EQ(bytes[last + 22 + 64], 31);
    EXPECT_EQ(bytes[last + entry], 63);
    EXPECT_EQ(GetBE16(&bytes[last + entry + 64]), 0x2345u);
    EXPECT_EQ(GetBE16(&bytes[10 + 20]), 0u);
}

}  // namespace
}  // namespace kx
