// The client's news commands against the real server: a post and a reply read back, the
// category file holding them, a deletion, and the server's refusals.
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
    EXPECT_EQ(Admin({"news", "ls"}).exitCode, 2);
}

}  // namespace
}  // namespace kx
