// The pieces behind the news requests that are easiest to check alone: category file names,
// the category-list entry forms, and cutting a long article listing down to one field.
#include <gtest/gtest.h>

#include "framework/error.h"
#include "news/news_requests.h"

namespace kx {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(NewsRequestNames, CategoryFileNames) {
    EXPECT_EQ(UNewsRequests::MakeCategoryFileName("General"), "General.knz");
    EXPECT_EQ(UNewsRequests::MakeCategoryFileName("news.KNZ"), "news.KNZ");
    EXPECT_EQ(UNewsRequests::MakeCategoryFileName("x.kNz"), "x.kNz");
    EXPECT_EQ(UNewsRequests::MakeCategoryFileName("knz"), "knz.knz");
    EXPECT_EQ(UNewsRequests::MakeCategoryFileName(std::string(251, 'a')), std::string(251, 'a') + ".knz");
    EXPECT_EQ(UNewsRequests::MakeCategoryFileName(std::string(252, 'a')), std::string(251, 'a') + ".knz");
    EXPECT_EQ(UNewsRequests::MakeCategoryFileName(std::string(300, 'a')), std::string(251, 'a') + ".knz");

    EXPECT_TRUE(UNewsWire::IsNewsCatName("a.knz"));
    EXPECT_TRUE(UNewsWire::IsNewsCatName("a.KnZ"));
    EXPECT_FALSE(UNewsWire::IsNewsCatName(".knz"));
    EXPECT_FALSE(UNewsWire::IsNewsCatName("a.knz.txt"));
    EXPECT_FALSE(UNewsWire::IsNewsCatName("aknz"));
}

TEST(NewsRequestNames, LongEntriesCapTheBundleCountAndCutTheArticleCount) {
    EXPECT_EQ(UNewsRequests::EncodeBundleItem("B", 70000), (Bytes{0, 2, 0xFF, 0xFF, 1, 'B', 0}));
    SMyNewsGroupInfo info;
    info.articleCount = 0x10005;
    info.addSN = 0x01020304;
    info.deleteSN = 9;
    for (std::size_t i = 0; i < 16; ++i) info.id[i] = std::uint8_t(0xA0 + i);
    Bytes exact{0, 3, 0, 5};
    exact.insert(exact.end(), info.id.begin(), info.id.end());
    const Bytes rest{1, 2, 3, 4, 0, 0, 0, 9, 5, 'a', '.', 'k', 'n', 'z', 0, 0, 0};
    exact.insert(exact.end(), rest.begin(), rest.end());
    EXPECT_EQ(UNewsRequests::EncodeCategoryItem("a.knz", info), exact);
}

// A listing of articles with the given parents (0 = a thread), titles one byte, no flavors.
Bytes MakeListing(const std::vector<std::uint32_t>& parents) {
    Bytes l{0, 0, 0, 0, 0, 0, 0, std::uint8_t(parents.size()), 0, 0};
    for (std::size_t i = 0; i < parents.size(); ++i) {
        Bytes e(22, 0);
        e[3] = std::uint8_t(i + 1);
        e[15] = std::uint8_t(parents[i]);
        e.insert(e.end(), {1, 'T', 1, 'P'});  // 26 bytes per entry
        l.insert(l.end(), e.begin(), e.end());
    }
    return l;
}

TEST(NewsRequestListing, KeepsTheNewestWholeThreadsThatFit) {
    const Bytes listing = MakeListing({0, 1, 0, 3, 3, 0, 6});  // threads 1-2, 3-5, 6-7
    EXPECT_EQ(UNewsRequests::FitListing(listing, listing.size()), listing);

    // Room for four entries: entries 4-7 would fit, but 4 is a reply; keep the thread 6-7.
    Bytes fit = UNewsRequests::FitListing(listing, 10 + 4 * 26);
    ASSERT_EQ(fit.size(), 10u + 2 * 26);
    EXPECT_EQ(fit[7], 2);
    EXPECT_EQ(fit[10 + 3], 6);
    EXPECT_EQ(Bytes(fit.begin() + 10, fit.end()), Bytes(listing.end() - 2 * 26, listing.end()));

    // One thread longer than the room: its newest articles.
    const Bytes longThread = MakeListing({0, 1, 1, 1, 1});
    fit = UNewsRequests::FitListing(longThread, 10 + 2 * 26 + 5);
    ASSERT_EQ(fit.size(), 10u + 2 * 26);
    EXPECT_EQ(fit[7], 2);
    EXPECT_EQ(fit[10 + 3], 4);

    // No room for a single entry: an empty listing.
    fit = UNewsRequests::FitListing(listing, 20);
    EXPECT_EQ(fit, (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(NewsRequestListing, DamagedListingsAreRefusedNotTrusted) {
    Bytes listing = MakeListing({0, 0, 0});
    Bytes lying = listing;
    lying[7] = 4;  // one entry more than there is
    EXPECT_THROW(UNewsRequests::FitListing(lying, 30), SError);
    lying = listing;
    lying[4] = 0x7F;  // an absurd count
    EXPECT_THROW(UNewsRequests::FitListing(lying, 30), SError);
    lying = listing;
    lying[10 + 21] = 200;  // a flavor count that runs past the end
    EXPECT_THROW(UNewsRequests::FitListing(lying, 30), SError);
    lying = listing;
    lying[10 + 22] = 250;  // a title longer than what remains
    EXPECT_THROW(UNewsRequests::FitListing(lying, 30), SError);
    EXPECT_THROW(UNewsRequests::FitListing(Bytes{0, 0}, 1), SError);  // shorter than a header
}

}  // namespace
}  // namespace kx
