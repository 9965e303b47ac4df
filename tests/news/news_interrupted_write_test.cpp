// A news category file whose update was cut short, as a crash leaves it: every operation that
// writes is stopped after each of its writes in turn, and the file must then still list its
// articles, take a new one, and answer every read and delete without crashing or looping.
#include <fstream>

#include "framework/byte_codec.h"
#include "news/news_database.h"
#include "news/news_file.h"
#include "news_test_util.h"

namespace kx {
namespace {

namespace DB = UMyNewsDatabase;

struct SLimitLifter {
    ~SLimitLifter() { CNZFile::SetWriteLimitForTest(-1); }
};

std::uint32_t ListingCount(const std::vector<std::uint8_t>& listing) {
    if (listing.size() < 10) return 0;
    return GetBE32(listing.data() + 4);
}

class NewsInterruptedWrite : public newstest::NewsFileTest {
protected:
    // WriteFourArticles' category with a cached listing.
    void SetUp() override {
        NewsFileTest::SetUp();
        WriteFourArticles();
        ASSERT_EQ(ListingCount(DB::GetArticleListing(mPath)), 4u);
        mBase = Bytes();
    }

    void Restore() const {
        std::ofstream out(mPath, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(mBase.data()), static_cast<std::streamsize>(mBase.size()));
    }

    // Runs `op` stopped after 0, 1, 2, ... writes until it completes; after each stop the file
    // must still serve. Returns the number of writes the whole operation makes.
    // With `mayReportDamage`, a stopped operation may leave the file refused as damaged (1/9)
    // or leave a new article out of the listing, but every operation must still answer.
    long InterruptEverywhere(const char* what, const std::function<void()>& op, bool mayReportDamage = false) {
        for (long limit = 0; limit < 200; ++limit) {
            SCOPED_TRACE(testing::Message() << what << " stopped after " << limit << " writes");
            Restore();
            bool finished = false;
            {
                SLimitLifter lifter;
                CNZFile::SetWriteLimitForTest(limit);
                try {
                    op();
                    finished = true;
                } catch (const SError&) {
                }
            }
            ExpectServes(mayReportDamage && !finished);
            if (finished) return limit;
        }
        ADD_FAILURE() << what << " never finished";
        return -1;
    }

    // The category lists, takes an article that then shows in the listing, and answers reads
    // and deletes of every ID with a result or an error.
    void ExpectServes(bool mayReportDamage) {
        std::uint32_t before = 0;
        try {
            before = ListingCount(DB::GetArticleListing(mPath));
        } catch (const SError& e) {
            if (!mayReportDamage || e.type != kErrClassGeneral || e.id != 9)
                ADD_FAILURE() << "listing refused with " << e.type << "/" << e.id;
            ++mDamaged;
            ExpectAnswers();
            return;
        }
        try {
            const std::uint32_t id = DB::AddArticle(mPath, 0, "after", "p", 0, SDateTimeStamp{}, "x");
            DB::AddData(mPath, id, "text/plain", "later", 5);
            EXPECT_EQ(DB::GetArticleData(mPath, id, "text/plain"), (std::vector<std::uint8_t>{'l', 'a', 't', 'e', 'r'}));
            const std::uint32_t after = ListingCount(DB::GetArticleListing(mPath));
            if (!mayReportDamage) {
                EXPECT_EQ(after, before + 1);
            }
        } catch (const SError& e) {
            if (!mayReportDamage) ADD_FAILURE() << "posting refused with " << e.type << "/" << e.id;
        }
        ExpectAnswers();
    }

    // Reads and deletes of every ID return, with a result or an error.
    void ExpectAnswers() {
        for (std::uint32_t id = 1; id <= 6; ++id) {
            try {
                DB::GetArticleData(mPath, id, "text/plain");
            } catch (const SError&) {
            }
        }
        for (std::uint32_t id : {3u, 1u, 2u}) {
            try {
                DB::DeleteArticle(mPath, id, id == 1);
            } catch (const SError&) {
            }
        }
        try {
            DB::GetArticleListing(mPath);
        } catch (const SError&) {
        }
    }

    std::vector<std::uint8_t> mBase;
    int mDamaged = 0;  // stops after which the file was refused as damaged
};

TEST_F(NewsInterruptedWrite, AddingArticlesAndData) {
    EXPECT_GT(InterruptEverywhere("top-level article", [&] { DB::AddArticle(mPath, 0, "new", "p", 0); }), 1);
    EXPECT_GT(InterruptEverywhere("reply", [&] { DB::AddArticle(mPath, 1, "re", "p", 0); }), 1);
    const std::string big(1000, 'd');
    EXPECT_GT(InterruptEverywhere("data", [&] { DB::AddData(mPath, 2, "text/plain", big.data(), 1000); }), 1);
}

TEST_F(NewsInterruptedWrite, DeletingArticles) {
    EXPECT_GT(InterruptEverywhere("reply deleted", [&] { DB::DeleteArticle(mPath, 3, false); }), 1);
    EXPECT_GT(InterruptEverywhere("thread deleted", [&] { DB::DeleteArticle(mPath, 1, true); }), 1);
    EXPECT_EQ(mDamaged, 0);
    // Promoting a reply rewrites several links of three articles; a crash between them can
    // leave a sibling list the checks refuse, or one that no longer reaches its end. The
    // category then answers with its damage or without the articles it cannot reach.
    EXPECT_GT(InterruptEverywhere("parent deleted, replies kept", [&] { DB::DeleteArticle(mPath, 1, false); }, true), 1);
}

TEST_F(NewsInterruptedWrite, BuildingTheListing) {
    DB::AddArticle(mPath, 0, "drops the cached listing", "p", 0);
    mBase = Bytes();
    EXPECT_GT(InterruptEverywhere("listing", [&] { DB::GetArticleListing(mPath); }), 0);
}

}  // namespace
}  // namespace kx
