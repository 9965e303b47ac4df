// The client's news commands against the real server: a post and a reply read back, the
// category file holding them, a deletion, the listings of bundles and threads, and the
// server's refusals.
#include <gtest/gtest.h>

#include "client/client_fixture.h"
#include "news/news_database.h"

namespace kx {
namespace {

using test::SClientResult;

class CliNews : public test::ClientFixture {};

TEST_F(CliNews, PostReplyReadAndDelete) {
    test::fs::create_directories(dir / "News/Bundle");
    UMyNewsDatabase::CreateNewGroup(dir / "News/Bundle/General.knz", "General", "");

    ASSERT_EQ(Admin({"news", "post", "Bundle/General.knz", "Hello", "first line\nsecond"}, "", "writer").exitCode, 0);
    SClientResult reply = Admin({"news", "post", "Bundle/General.knz", "Re: Hello", "-", "--reply-to", "1"}, "an answer\n");
    ASSERT_EQ(reply.exitCode, 0) << reply.err;

    SClientResult first = Admin({"news", "read", "Bundle/General.knz", "1"});
    ASSERT_EQ(first.exitCode, 0) << first.err;
    EXPECT_EQ(first.out, "Title: Hello\nPoster: writer\n\nfirst line\nsecond\n");
    SClientResult second = Admin({"--json", "news", "read", "Bundle/General.knz", "2"});
    EXPECT_EQ(second.out, "{\"title\":\"Re: Hello\",\"poster\":\"op\",\"parent\":1,\"text\":\"an answer\"}\n");
    // The text is stored with carriage returns.
    const auto data = UMyNewsDatabase::GetArticleData(dir / "News/Bundle/General.knz", 1, "text/plain");
    EXPECT_EQ(std::string(data.begin(), data.end()), "first line\rsecond");

    ASSERT_EQ(Admin({"news", "rm", "Bundle/General.knz", "1"}).exitCode, 0);
    SClientResult gone = Admin({"news", "read", "Bundle/General.knz", "2"});
    EXPECT_EQ(gone.exitCode, 1);
    EXPECT_FALSE(gone.err.empty());

    SClientResult missing = Admin({"news", "post", "Nowhere.knz", "T", "x"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.err, "kestrix: Cannot post article because the specified category could not be found.\n");
    EXPECT_EQ(Admin({"news", "read", "Bundle/General.knz", "zero"}).exitCode, 2);
    EXPECT_EQ(Admin({"news", "post", "Bundle/General.knz", std::string(40, 't'), "x"}).exitCode, 2);
    EXPECT_EQ(Admin({"news", "ls", "a", "b"}).exitCode, 2);
}

TEST_F(CliNews, ListsBundlesAndTheThreadsOfACategory) {
    test::fs::create_directories(dir / "News/Bundle/Sub");
    const std::string general = dir / "News/Bundle/General.knz";
    UMyNewsDatabase::CreateNewGroup(general, "General", "");
    // 40 days, 13:05:07 into 2025: 10 February.
    ASSERT_EQ(UMyNewsDatabase::AddArticle(general, 0, "Welcome", "editor", 0,
                                          SDateTimeStamp{2025, 0, 40 * 86400 + 13 * 3600 + 5 * 60 + 7}),
              1u);
    ASSERT_TRUE(UMyNewsDatabase::AddData(general, 1, "text/plain", "hi all", 6));
    ASSERT_EQ(Admin({"news", "post", "Bundle/General.knz", "Re: Welcome", "thanks", "--reply-to", "1"}, "", "reader")
                  .exitCode,
              0);
    ASSERT_EQ(Admin({"news", "post", "Bundle/General.knz", "Second", "x"}, "", "writer").exitCode, 0);

    SClientResult root = Admin({"news", "ls"});
    ASSERT_EQ(root.exitCode, 0) << root.err;
    EXPECT_EQ(root.out, "Bundle/\t2 items\n");
    SClientResult bundle = Admin({"--json", "news", "ls", "Bundle/"});
    ASSERT_EQ(bundle.exitCode, 0) << bundle.err;
    EXPECT_NE(bundle.out.find("{\"name\":\"General.knz\",\"kind\":\"category\",\"articles\":3}"), std::string::npos)
        << bundle.out;
    EXPECT_NE(bundle.out.find("{\"name\":\"Sub\",\"kind\":\"bundle\",\"items\":0}"), std::string::npos) << bundle.out;

    // Threads in order, a reply indented under its parent; dates of the posts are today's.
    SClientResult threads = Admin({"news", "ls", "Bundle/General.knz"});
    ASSERT_EQ(threads.exitCode, 0) << threads.err;
    EXPECT_EQ(threads.out.rfind("1\t2025-02-10 13:05:07\teditor\tWelcome\n2\t", 0), 0u) << threads.out;
    std::string masked = threads.out;
    for (char& c : masked)
        if (c >= '0' && c <= '9') c = '9';
    EXPECT_EQ(masked, "9\t9999-99-99 99:99:99\teditor\tWelcome\n"
                      "9\t9999-99-99 99:99:99\treader\t  Re: Welcome\n"
                      "9\t9999-99-99 99:99:99\twriter\tSecond\n");
    SClientResult json = Admin({"--json", "news", "ls", "Bundle/General.knz"});
    EXPECT_EQ(json.out.rfind("[{\"id\":1,\"parent\":0,\"date\":\"2025-02-10 13:05:07\",\"poster\":\"editor\","
                             "\"title\":\"Welcome\",\"flags\":0,\"flavors\":[{\"type\":\"text/plain\",\"size\":6}]},"
                             "{\"id\":2,\"parent\":1,",
                             0),
              0u)
        << json.out;

    SClientResult noBundle = Admin({"news", "ls", "Nowhere"});
    EXPECT_EQ(noBundle.exitCode, 1);
    EXPECT_EQ(noBundle.err, "kestrix: Cannot get news list because the specified folder could not be found.\n");
    SClientResult noCategory = Admin({"news", "ls", "Bundle/Gone.knz"});
    EXPECT_EQ(noCategory.exitCode, 1);
    EXPECT_EQ(noCategory.err, "kestrix: Cannot get article list because the specified category could not be found.\n");
}

}  // namespace
}  // namespace kx
