// The news requests over loopback against an in-process server: bundles and categories made and
// listed (short and long entries by client version), articles posted, listed byte for byte, read
// field by field and deleted, every refusal text, account news roots, and paths that try to
// leave the news root.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "framework/byte_codec.h"
#include "framework/clock.h"
#include "framework/file_util.h"
#include "fs/date_stamp.h"
#include "fs/file_path.h"
#include "news/news_database.h"
#include "protocol/transaction_types.h"
#include "server/app_fixture.h"

namespace kx::test {
namespace {

constexpr std::time_t kPostTime = 1'700'000'000;

Bytes Path(const std::vector<std::string>& names) { return UFilePath::Build(names); }

void Append(Bytes& out, const Bytes& b) { out.insert(out.end(), b.begin(), b.end()); }
void AppendText(Bytes& out, std::string_view s) {
    out.push_back(std::uint8_t(s.size()));
    out.insert(out.end(), s.begin(), s.end());
}

std::vector<std::uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

using SReply = STestReply;

class NewsRequestsTest : public AppFixture {
protected:
    void SetUp() override {
        AppFixture::SetUp();
        UClock::SetTestWallSource([] { return kPostTime; });
        mNews = mDir / "News";
    }
    void TearDown() override {
        UClock::SetTestWallSource(nullptr);
        AppFixture::TearDown();
    }

    // A logged-in client with the given privileges and protocol version.
    SMyClient* Join(std::initializer_list<unsigned> privs, std::uint32_t vers = 15) {
        mClient = ConnectClient();
        EXPECT_TRUE(PumpUntil([&] { return !mApp->Clients().empty(); }));
        SMyClient* c = LogInNewest();
        if (!c) return nullptr;
        c->vers = vers;
        c->userName = "Poster Name";
        for (unsigned b : privs) c->access.SetPriv(b);
        mRecord = c;
        return c;
    }
    SMyClient* JoinWithAllNewsPrivs(std::uint32_t vers = 15) {
        return Join({myAcc_ReadNews, myAcc_PostNews, myAcc_DeleteArticles, myAcc_CreateCategories,
                     myAcc_DeleteCategories, myAcc_CreateNewsBundles, myAcc_DeleteNewsBundles},
                    vers);
    }

    SReply Request(std::uint16_t type, const CFieldListBuilder& fields) {
        SReply r;
        const std::uint32_t id = mClient->SendRequest(type, fields.Build());
        EXPECT_NE(id, 0u);
        Pump();
        auto t = mClient->ReadReplyTo(id, 3000);
        if (t) r = ReplyOf(*t);
        EXPECT_TRUE(!t || r.ok);
        return r;
    }
    void ExpectRefused(std::uint16_t type, const CFieldListBuilder& fields, const std::string& text) {
        SReply r = Request(type, fields);
        ASSERT_TRUE(r.ok) << text;
        EXPECT_EQ(r.error, 1u) << text;
        EXPECT_EQ(r.ErrorText(), text);
    }
    void ExpectDone(std::uint16_t type, const CFieldListBuilder& fields) {
        SReply r = Request(type, fields);
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(r.error, 0u) << r.ErrorText();
        EXPECT_TRUE(r.fields.empty());
    }

    SReply NewBundle(const Bytes& path, std::string_view name) {
        return Request(kTranNewNewsFldr, CFieldListBuilder().Add(kFieldNewsPath, path).Add(kFieldFileName, name));
    }
    SReply NewCategory(const Bytes& path, std::string_view name) {
        return Request(kTranNewNewsCat, CFieldListBuilder().Add(kFieldNewsPath, path).Add(kFieldNewsCatName, name));
    }
    SReply Post(const Bytes& path, std::uint32_t parent, std::string_view title, std::string_view data,
                std::uint32_t flags = 0, std::string_view flavor = std::string_view("text/plain\0", 11)) {
        CFieldListBuilder f;
        f.Add(kFieldNewsPath, path).AddInt(kFieldNewsArtID, std::int32_t(parent)).Add(kFieldNewsArtTitle, title);
        f.AddInt(kFieldNewsArtFlags, std::int32_t(flags)).Add(kFieldNewsArtDataFlav, flavor);
        if (!data.empty()) f.Add(kFieldNewsArtData, data);
        return Request(kTranPostNewsArt, f);
    }
    Bytes ListArticles(const Bytes& path) {
        SReply r = Request(kTranGetNewsArtNameList, CFieldListBuilder().Add(kFieldNewsPath, path));
        EXPECT_TRUE(r.ok);
        EXPECT_EQ(r.error, 0u) << r.ErrorText();
        const STestField* f = FindField(r.fields, kFieldNewsArtListData);
        EXPECT_NE(f, nullptr);
        return f ? f->data : Bytes{};
    }
    SReply ReadArticle(const Bytes& path, std::uint32_t id, std::string_view flavor = "text/plain") {
        return Request(kTranGetNewsArtData, CFieldListBuilder()
                                                .Add(kFieldNewsPath, path)
                                                .AddInt(kFieldNewsArtID, std::int32_t(id))
                                                .Add(kFieldNewsArtDataFlav, flavor));
    }

    // One article entry of a listing, with one "text/plain" flavor of `size` bytes.
    Bytes ListEntry(std::uint32_t id, std::uint32_t parent, std::uint32_t flags, std::string_view title,
                    std::uint16_t size) {
        Bytes e = Be32(id);
        const auto date = UDateTime::ToWire(UDateTime::FromLocalTime(kPostTime));
        e.insert(e.end(), date.begin(), date.end());
        Append(e, Be32(parent));
        Append(e, Be32(flags));
        Append(e, Be16(1));
        AppendText(e, title);
        AppendText(e, "Poster Name");
        AppendText(e, "text/plain");
        Append(e, Be16(size));
        return e;
    }

    std::string mNews;
    std::unique_ptr<CTestClient> mClient;
    SMyClient* mRecord = nullptr;
};

// --- Bundles and categories -------------------------------------------------------------------

TEST_F(NewsRequestsTest, CreatesBundlesAndCategoriesWithTheirFileNames) {
    JoinWithAllNewsPrivs();
    ExpectDone(kTranNewNewsFldr, CFieldListBuilder().Add(kFieldNewsPath, Path({})).Add(kFieldFileName, "Talk"));
    ExpectDone(kTranNewNewsFldr, CFieldListBuilder().Add(kFieldNewsPath, Path({"Talk"})).Add(kFieldFileName, "Inner"));
    ExpectDone(kTranNewNewsCat, CFieldListBuilder().Add(kFieldNewsPath, Path({"Talk"})).Add(kFieldNewsCatName, "General"));
    ExpectDone(kTranNewNewsCat, CFieldListBuilder().Add(kFieldNewsPath, Path({"Talk"})).Add(kFieldNewsCatName, "news.KNZ"));
    // Names are made safe before they reach the disk.
    ExpectDone(kTranNewNewsCat, CFieldListBuilder().Add(kFieldNewsPath, Path({})).Add(kFieldNewsCatName, "a/b"));

    EXPECT_TRUE(UFileUtil::IsDirectory(mNews + "/Talk"));
    EXPECT_TRUE(UFileUtil::IsDirectory(mNews + "/Talk/Inner"));
    EXPECT_FALSE(UFileUtil::Exists(mNews + "/Talk/General"));
    EXPECT_FALSE(UFileUtil::Exists(mNews + "/Talk/news.KNZ.knz"));
    EXPECT_TRUE(UFileUtil::Exists(mNews + "/a-b.knz"));

    // A new, empty category file: 1024 bytes, magic "KXNZ", the file name (with extension) as name.
    const auto bytes = ReadFile(mNews + "/Talk/General.knz");
    ASSERT_EQ(bytes.size(), 1024u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "KXNZ");
    EXPECT_EQ(bytes[92], 11);
    EXPECT_EQ(std::string(bytes.begin() + 93, bytes.begin() + 104), "General.knz");
    EXPECT_EQ(UMyNewsDatabase::GetGroupInfo(mNews + "/Talk/news.KNZ").name, "news.KNZ");
    EXPECT_EQ(UMyNewsDatabase::GetGroupInfo(mNews + "/Talk/news.KNZ").articleCount, 0u);
}

TEST_F(NewsRequestsTest, CreateRefusals) {
    Join({});
    ExpectRefused(kTranNewNewsFldr, CFieldListBuilder().Add(kFieldNewsPath, Path({})).Add(kFieldFileName, "Talk"),
                  "You are not allowed to create news bundles.");
    ExpectRefused(kTranNewNewsCat, CFieldListBuilder().Add(kFieldNewsPath, Path({})).Add(kFieldNewsCatName, "General"),
                  "You are not allowed to create news categories.");
    EXPECT_FALSE(UFileUtil::Exists(mNews + "/Talk"));
    EXPECT_FALSE(UFileUtil::Exists(mNews + "/General.knz"));

    mRecord->access.SetPriv(myAcc_CreateNewsBundles);
    mRecord->access.SetPriv(myAcc_CreateCategories);
    ASSERT_EQ(NewBundle(Path({}), "Talk").error, 0u);
    ASSERT_EQ(NewCategory(Path({}), "General").error, 0u);
    ExpectRefused(kTranNewNewsFldr, CFieldListBuilder().Add(kFieldNewsPath, Path({"Nowhere"})).Add(kFieldFileName, "X"),
                  "Cannot create news bundle \xD2X\xD3 because the enclosing bundle could not be found.");
    ExpectRefused(kTranNewNewsFldr, CFieldListBuilder().Add(kFieldNewsPath, Path({})).Add(kFieldFileName, "Talk"),
                  "Cannot create news bundle \xD2Talk\xD3 because there is already an item or bundle with that name.");
    ExpectRefused(kTranNewNewsFldr, CFieldListBuilder().Add(kFieldNewsPath, Path({})).Add(kFieldFileName, "General.knz"),
                  "Cannot create news bundle \xD2General.knz\xD3 because there is already an item or bundle with that name.");
    ExpectRefused(kTranNewNewsCat, CFieldListBuilder().Add(kFieldNewsPath, Path({"Nowhere"})).Add(kFieldNewsCatName, "Y"),
                  "Cannot create news category \xD2Y.knz\xD3 because the enclosing bundle could not be found.");
    ExpectRefused(kTranNewNewsCat, CFieldListBuilder().Add(kFieldNewsPath, Path({})).Add(kFieldNewsCatName, "General"),
                  "Cannot create news category \xD2General.knz\xD3 because there is already an item or bundle with that name.");
    // A category cannot be the enclosing bundle, and a path may not climb out of the root.
    ExpectRefused(kTranNewNewsCat, CFieldListBuilder().Add(kFieldNewsPath, Path({"General.knz"})).Add(kFieldNewsCatName, "Z"),
                  "Cannot create news category \xD2Z.knz\xD3 because the enclosing bundle could not be found.");
    ExpectRefused(kTranNewNewsFldr, CFieldListBuilder().Add(kFieldNewsPath, Path({".."})).Add(kFieldFileName, "Escaped"),
                  "Cannot create news bundle \xD2" "Escaped\xD3 because the enclosing bundle could not be found.");
    EXPECT_FALSE(UFileUtil::Exists(mDir / "Escaped"));

    // An empty name names the enclosing bundle itself, which is there already.
    ExpectRefused(kTranNewNewsFldr, CFieldListBuilder().Add(kFieldNewsPath, Path({})).Add(kFieldFileName, ""),
                  "Cannot create news bundle \xD2\xD3 because there is already an item or bundle with that name.");
    ExpectRefused(kTranNewNewsFldr, CFieldListBuilder().Add(kFieldNewsPath, Path({"Talk"})),
                  "Cannot create news bundle \xD2\xD3 because there is already an item or bundle with that name.");

    // Failures of the file system: the prefix, then the error's own description. An empty
    // category name is not made into the hidden ".knz".
    SReply r = NewCategory(Path({}), "");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.error, 1u);
    EXPECT_EQ(r.ErrorText().rfind("Cannot create news category \xD2\xD3:\r", 0), 0u) << r.ErrorText();
    const std::string longName(200, '\x87');  // 400 bytes of UTF-8 on disk: past the name limit
    r = NewCategory(Path({}), longName);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.error, 1u);
    EXPECT_EQ(r.ErrorText().rfind("Cannot create news category \xD2" + longName + ".knz\xD3:\r", 0), 0u);
    EXPECT_NE(r.ErrorText().find("ID 4/118"), std::string::npos) << r.ErrorText();
}

TEST_F(NewsRequestsTest, CategoryNamesPastTheLimitKeepTheExtension) {
    Join({myAcc_CreateCategories});
    const std::string name(254, 'n');
    SReply cr = NewCategory(Path({}), name);
    ASSERT_EQ(cr.error, 0u) << cr.ErrorText();
    EXPECT_TRUE(UFileUtil::Exists(mNews + "/" + std::string(251, 'n') + ".knz"));
    // Nothing else is left in the folder (no temporary file).
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(mNews), std::filesystem::directory_iterator()), 1);
}

// --- Category lists ---------------------------------------------------------------------------

class NewsCatListTest : public NewsRequestsTest {
protected:
    void MakeTree() {
        std::filesystem::create_directories(mNews + "/Bundle");
        WriteFileText(mNews + "/Bundle/one.txt", "x");
        WriteFileText(mNews + "/Bundle/two.txt", "y");
        UMyNewsDatabase::CreateNewGroup(mNews + "/General.knz", "General.knz", "");
        UMyNewsDatabase::AddArticle(mNews + "/General.knz", 0, "t", "p", 0);
        WriteFileText(mNews + "/readme.txt", "hello");
    }
    std::vector<Bytes> Entries(const SReply& r, std::uint16_t id) {
        std::vector<Bytes> out;
        for (const auto& f : r.fields) {
            EXPECT_EQ(f.id, id);
            out.push_back(f.data);
        }
        std::sort(out.begin(), out.end());
        return out;
    }
};

TEST_F(NewsCatListTest, VersionFourteenGetsShortEntriesForEverything) {
    Join({}, 14);
    MakeTree();
    SReply r = Request(kTranGetNewsCatNameList, CFieldListBuilder());
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.error, 0u);
    auto entries = Entries(r, kFieldNewsCatListEntry);
    std::vector<Bytes> expected;
    for (auto [kind, name] : {std::pair{1, "Bundle"}, {10, "General.knz"}, {255, "readme.txt"}}) {
        Bytes e{std::uint8_t(kind)};
        e.insert(e.end(), name, name + std::strlen(name));
        expected.push_back(e);
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(entries, expected);
}

TEST_F(NewsCatListTest, VersionFifteenGetsBundlesAndCategoriesWithTheirSummaries) {
    Join({}, 15);
    MakeTree();
    // A damaged category is left out of the long list.
    WriteFileText(mNews + "/Broken.knz", "not a category");
    SReply r = Request(kTranGetNewsCatNameList, CFieldListBuilder().Add(kFieldNewsPath, Path({})));
    ASSERT_EQ(r.error, 0u);
    auto entries = Entries(r, kFieldNewsCatListItem);

    Bytes bundle = Be16(2);
    Append(bundle, Be16(2));
    AppendText(bundle, "Bundle");
    bundle.push_back(0);
    const auto file = ReadFile(mNews + "/General.knz");
    ASSERT_GE(file.size(), 32u);
    Bytes category = Be16(3);
    Append(category, Be16(1));
    category.insert(category.end(), file.begin() + 8, file.begin() + 24);  // the GUID
    Append(category, Be32(2));                                            // addSerial after one post
    Append(category, Be32(1));                                            // delSerial
    AppendText(category, "General.knz");
    category.insert(category.end(), 3, 0);
    std::vector<Bytes> expected{bundle, category};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(entries, expected);
    EXPECT_EQ(bundle.size(), 6u + 6u);
    EXPECT_EQ(category.size(), 11u + 32u);
}

TEST_F(NewsCatListTest, ListsABundleAndRefusesWhatIsNoBundle) {
    Join({}, 14);
    MakeTree();
    SReply r = Request(kTranGetNewsCatNameList, CFieldListBuilder().Add(kFieldNewsPath, Path({"Bundle"})));
    ASSERT_EQ(r.error, 0u);
    EXPECT_EQ(Entries(r, kFieldNewsCatListEntry).size(), 2u);
    const std::string text = "Cannot get news list because the specified folder could not be found.";
    ExpectRefused(kTranGetNewsCatNameList, CFieldListBuilder().Add(kFieldNewsPath, Path({"Missing"})), text);
    ExpectRefused(kTranGetNewsCatNameList, CFieldListBuilder().Add(kFieldNewsPath, Path({"General.knz"})), text);
    ExpectRefused(kTranGetNewsCatNameList, CFieldListBuilder().Add(kFieldNewsPath, Path({".."})), text);
    ExpectRefused(kTranGetNewsCatNameList, CFieldListBuilder().Add(kFieldNewsPath, Path({"Bundle", "..", ".."})), text);
}

TEST_F(NewsRequestsTest, AnAccountWithItsOwnNewsFolderSeesOnlyThatTree) {
    std::filesystem::create_directories(mDir / "Users/alice/News");
    UMyNewsDatabase::CreateNewGroup(mDir / "Users/alice/News/Private.knz", "Private.knz", "");
    UMyNewsDatabase::CreateNewGroup(mNews + "/Shared.knz", "Shared.knz", "");

    Join({myAcc_PostNews, myAcc_ReadNews}, 14);
    mRecord->accountLogin = "alice";
    mApp->ResolveClientRoots(mRecord);  // as a login does
    SReply r = Request(kTranGetNewsCatNameList, CFieldListBuilder());
    ASSERT_EQ(r.fields.size(), 1u);
    EXPECT_EQ(r.fields[0].Text(), "\x0APrivate.knz");
    ASSERT_EQ(Post(Path({"Private.knz"}), 0, "mine", "body").error, 0u);
    EXPECT_EQ(UMyNewsDatabase::GetGroupInfo(mDir / "Users/alice/News/Private.knz").articleCount, 1u);
    ExpectRefused(kTranGetNewsArtNameList, CFieldListBuilder().Add(kFieldNewsPath, Path({"Shared.knz"})),
                  "Cannot get article list because the specified category could not be found.");

    // Another account (no News folder of its own) sees the shared tree.
    mRecord->accountLogin = "bob";
    mApp->ResolveClientRoots(mRecord);
    r = Request(kTranGetNewsCatNameList, CFieldListBuilder());
    ASSERT_EQ(r.fields.size(), 1u);
    EXPECT_EQ(r.fields[0].Text(), "\x0AShared.knz");
}

// --- Articles ---------------------------------------------------------------------------------

class NewsArticleTest : public NewsRequestsTest {
protected:
    void SetUp() override {
        NewsRequestsTest::SetUp();
        UMyNewsDatabase::CreateNewGroup(mNews + "/General.knz", "General.knz", "");
        mCat = Path({"General.knz"});
    }
    // Two threads, the first with a reply: IDs 1, 2 (reply to 1), 3.
    void PostThreads() {
        ASSERT_EQ(Post(mCat, 0, "First", "first body", 7).error, 0u);
        ASSERT_EQ(Post(mCat, 1, "Re: First", "reply").error, 0u);
        ASSERT_EQ(Post(mCat, 0, "Second", "second body").error, 0u);
    }
    Bytes mCat;
};

TEST_F(NewsArticleTest, PostedArticlesAndRepliesAreListedByteForByte) {
    JoinWithAllNewsPrivs();
    PostThreads();
    Bytes expected = Be32(0);
    Append(expected, Be32(3));
    Append(expected, Be16(0));
    Append(expected, ListEntry(1, 0, 7, "First", 10));
    Append(expected, ListEntry(2, 1, 0, "Re: First", 5));
    Append(expected, ListEntry(3, 0, 0, "Second", 11));
    EXPECT_EQ(ListArticles(mCat), expected);

    // The second listing comes from the copy cached in the category file.
    const std::string file = mNews + "/General.knz";
    const auto header = ReadFile(file);
    ASSERT_GE(header.size(), 44u);
    EXPECT_NE(header[36] | header[37] | header[38] | header[39], 0);  // listOffset
    EXPECT_EQ(ListArticles(mCat), expected);
    EXPECT_EQ(ReadFile(file), header);  // answered without writing anything
}

TEST_F(NewsArticleTest, PostingToAnUnknownParentStartsAThreadAndTitlesAreCut) {
    JoinWithAllNewsPrivs();
    ASSERT_EQ(Post(mCat, 99, std::string(40, 'T'), "x").error, 0u);
    Bytes expected = Be32(0);
    Append(expected, Be32(1));
    Append(expected, Be16(0));
    Append(expected, ListEntry(1, 0, 0, std::string(31, 'T'), 1));
    EXPECT_EQ(ListArticles(mCat), expected);
}

TEST_F(NewsArticleTest, ReadingAnArticleSendsItsFieldsInOrder) {
    JoinWithAllNewsPrivs();
    PostThreads();
    SReply r = ReadArticle(mCat, 1, std::string_view("text/plain\0", 11));
    ASSERT_EQ(r.error, 0u) << r.ErrorText();
    std::vector<std::uint16_t> ids;
    for (const auto& f : r.fields) ids.push_back(f.id);
    EXPECT_EQ(ids, (std::vector<std::uint16_t>{kFieldNewsArtData, kFieldNewsArtPrevArt, kFieldNewsArtNextArt,
                                               kFieldNewsArtParentArt, kFieldNewsArt1stChildArt, kFieldNewsArtTitle,
                                               kFieldNewsArtPoster, kFieldNewsArtDataFlav, kFieldNewsArtDate}));
    EXPECT_EQ(r.fields[0].Text(), "first body");
    EXPECT_EQ(r.fields[1].Int(), 0);
    EXPECT_EQ(r.fields[2].Int(), 3);
    EXPECT_EQ(r.fields[3].Int(), 0);
    EXPECT_EQ(r.fields[4].Int(), 2);
    EXPECT_EQ(r.fields[5].Text(), "First");
    EXPECT_EQ(r.fields[6].Text(), "Poster Name");
    EXPECT_EQ(r.fields[7].Text(), std::string("text/plain\0", 11));
    const auto date = UDateTime::ToWire(UDateTime::FromLocalTime(kPostTime));
    EXPECT_EQ(r.fields[8].data, Bytes(date.begin(), date.end()));

    r = ReadArticle(mCat, 2);
    ASSERT_EQ(r.error, 0u);
    EXPECT_EQ(r.fields[0].Text(), "reply");
    EXPECT_EQ(r.fields[3].Int(), 1);  // parent
    EXPECT_EQ(r.fields[4].Int(), 0);
}

TEST_F(NewsArticleTest, ReadRefusals) {
    Join({myAcc_PostNews});
    PostThreads();
    ExpectRefused(kTranGetNewsArtData, CFieldListBuilder().Add(kFieldNewsPath, mCat).AddInt(kFieldNewsArtID, 1),
                  "You are not allowed to read articles.");
    mRecord->access.SetPriv(myAcc_ReadNews);
    const std::string notFound = "Cannot get article data because the specified category could not be found.";
    for (const Bytes& path : {Path({"Missing.knz"}), Path({}), Path({"..", "News", "General.knz"})}) {
        ExpectRefused(kTranGetNewsArtData, CFieldListBuilder().Add(kFieldNewsPath, path).AddInt(kFieldNewsArtID, 1),
                      notFound);
    }
    const std::string invalid = "Cannot get article data because an invalid category was specified.";
    for (auto [id, flavor] : {std::pair{9u, "text/plain"}, {0u, "text/plain"}, {1u, "image/gif"}}) {
        SReply r = ReadArticle(mCat, id, flavor);
        EXPECT_EQ(r.ErrorText(), invalid) << id << flavor;
    }
}

TEST_F(NewsArticleTest, PostRefusalsChangeNothing) {
    Join({myAcc_ReadNews});
    const std::string file = mNews + "/General.knz";
    const auto before = ReadFile(file);
    EXPECT_EQ(Post(mCat, 0, "t", "body").ErrorText(), "You are not allowed to post articles.");
    mRecord->access.SetPriv(myAcc_PostNews);
    EXPECT_EQ(Post(Path({"Missing.knz"}), 0, "t", "body").ErrorText(),
              "Cannot post article because the specified category could not be found.");
    // No data: refused before anything is written, so no empty article appears.
    EXPECT_EQ(Post(mCat, 0, "t", "").ErrorText(), "Cannot post article because invalid data was specified.");
    EXPECT_EQ(ReadFile(file), before);

    WriteFileText(mNews + "/Broken.knz", std::string(600, 'x'));
    SReply r = Post(Path({"Broken.knz"}), 0, "t", "body");
    EXPECT_EQ(r.ErrorText(), "Cannot post article because the specified category was corrupt.");
    EXPECT_EQ(ReadFileText(mNews + "/Broken.knz"), std::string(600, 'x'));
    EXPECT_EQ(mApp->ErrorCount(), 0u);  // answered, not escalated
}

TEST_F(NewsArticleTest, ArticleListRefusals) {
    Join({});
    ExpectRefused(kTranGetNewsArtNameList, CFieldListBuilder().Add(kFieldNewsPath, Path({"Missing.knz"})),
                  "Cannot get article list because the specified category could not be found.");
    std::filesystem::create_directories(mNews + "/Folder.knz");
    ExpectRefused(kTranGetNewsArtNameList, CFieldListBuilder().Add(kFieldNewsPath, Path({"Folder.knz"})),
                  "Cannot get article list because the specified category could not be found.");
    WriteFileText(mNews + "/Broken.knz", std::string(600, 'x'));
    // A damaged category is answered (many times over) without resetting the server.
    for (int i = 0; i < 3; ++i) {
        ExpectRefused(kTranGetNewsArtNameList, CFieldListBuilder().Add(kFieldNewsPath, Path({"Broken.knz"})),
                      "Cannot get news list because an invalid category was specified.");
    }
    EXPECT_EQ(mApp->ErrorCount(), 0u);
    EXPECT_EQ(mApp->ResetCount(), 0u);
}

TEST_F(NewsArticleTest, DeletingArticlesAloneOrWithTheirReplies) {
    JoinWithAllNewsPrivs();
    PostThreads();
    ASSERT_EQ(Post(mCat, 1, "Re 2", "r2").error, 0u);  // ID 4, second reply to 1
    // Article 1 alone: its first reply takes its place, the other reply moves under it.
    ExpectDone(kTranDelNewsArt, CFieldListBuilder().Add(kFieldNewsPath, mCat).AddInt(kFieldNewsArtID, 1));
    Bytes expected = Be32(0);
    Append(expected, Be32(3));
    Append(expected, Be16(0));
    Append(expected, ListEntry(2, 0, 0, "Re: First", 5));
    Append(expected, ListEntry(4, 2, 0, "Re 2", 2));
    Append(expected, ListEntry(3, 0, 0, "Second", 11));
    EXPECT_EQ(ListArticles(mCat), expected);
    // Article 2 with its replies.
    ExpectDone(kTranDelNewsArt, CFieldListBuilder()
                                    .Add(kFieldNewsPath, mCat)
                                    .AddInt(kFieldNewsArtID, 2)
                                    .AddInt(kFieldNewsArtRecurseDel, 1));
    expected = Be32(0);
    Append(expected, Be32(1));
    Append(expected, Be16(0));
    Append(expected, ListEntry(3, 0, 0, "Second", 11));
    EXPECT_EQ(ListArticles(mCat), expected);
    EXPECT_EQ(ReadArticle(mCat, 4).ErrorText(), "Cannot get article data because an invalid category was specified.");
}

TEST_F(NewsArticleTest, DeleteArticleRefusals) {
    Join({myAcc_PostNews});
    PostThreads();
    ExpectRefused(kTranDelNewsArt, CFieldListBuilder().Add(kFieldNewsPath, mCat).AddInt(kFieldNewsArtID, 1),
                  "You are not allowed to delete articles.");
    mRecord->access.SetPriv(myAcc_DeleteArticles);
    ExpectRefused(kTranDelNewsArt, CFieldListBuilder().Add(kFieldNewsPath, Path({"Nope.knz"})).AddInt(kFieldNewsArtID, 1),
                  "Cannot delete article because the specified category could not be found.");
    ExpectRefused(kTranDelNewsArt, CFieldListBuilder().Add(kFieldNewsPath, mCat).AddInt(kFieldNewsArtID, 42),
                  "Cannot delete article because an invalid category or item was specified.");
    EXPECT_EQ(UMyNewsDatabase::GetGroupInfo(mNews + "/General.knz").articleCount, 3u);
}

TEST_F(NewsArticleTest, AListingTooLongForOneFieldSendsTheNewestThreads) {
    Join({});
    const std::string file = mNews + "/General.knz";
    const std::string title(60, 't');
    constexpr std::uint32_t kArticles = 900;  // about 100 bytes each: past one field's 65535 bytes
    for (std::uint32_t i = 0; i < kArticles; ++i) {
        const std::uint32_t id = UMyNewsDatabase::AddArticle(file, i % 3 == 2 ? i : 0, title, "p", 0);
        UMyNewsDatabase::AddData(file, id, "text/plain", "d", 1);
    }
    ASSERT_GT(UMyNewsDatabase::GetArticleListing(file).size(), 65535u);
    const Bytes listing = ListArticles(mCat);
    ASSERT_LE(listing.size(), 65535u);
    const std::uint32_t count = GetBE32(listing.data() + 4);
    EXPECT_GT(count, 500u);
    EXPECT_LT(count, kArticles);
    // Kept: a thread's start first, the newest article last.
    EXPECT_EQ(Bytes(listing.begin() + 10 + 12, listing.begin() + 10 + 16), Be32(0));
    const std::size_t lastEntry = listing.size() - (22 + 1 + 60 + 1 + 1 + 1 + 10 + 2);
    EXPECT_EQ(Bytes(listing.begin() + lastEntry, listing.begin() + lastEntry + 4), Be32(kArticles));
}

// --- Deleting bundles and categories ----------------------------------------------------------

TEST_F(NewsRequestsTest, DeletingBundlesAndCategoriesMovesThemToTheTrash) {
    Join({});
    std::filesystem::create_directories(mNews + "/Bundle/Inner");
    UMyNewsDatabase::CreateNewGroup(mNews + "/Bundle/Inner/Deep.knz", "Deep.knz", "");
    UMyNewsDatabase::CreateNewGroup(mNews + "/General.knz", "General.knz", "");
    ASSERT_EQ(symlink((mNews + "/General.knz").c_str(), (mNews + "/Link.knz.lnk").c_str()), 0);
    ASSERT_EQ(symlink(mNews.c_str(), (mNews + "/Top.lnk").c_str()), 0);

    const std::string notFound = "Cannot delete news item because it could not be found.";
    for (const Bytes& path : {Path({}), Bytes{}, Path({"Missing"}), Path({".."}), Path({"Bundle", "..", "General.knz"})}) {
        ExpectRefused(kTranDelNewsFldrItem, CFieldListBuilder().Add(kFieldNewsPath, path), notFound);
    }
    ExpectRefused(kTranDelNewsFldrItem, CFieldListBuilder().Add(kFieldNewsPath, Path({"Bundle"})),
                  "You are not allowed to delete news bundles.");
    ExpectRefused(kTranDelNewsFldrItem, CFieldListBuilder().Add(kFieldNewsPath, Path({"General.knz"})),
                  "You are not allowed to delete news categories.");
    EXPECT_TRUE(UFileUtil::IsDirectory(mNews + "/Bundle"));
    EXPECT_TRUE(UFileUtil::Exists(mNews + "/General.knz"));

    // An alias needs no privilege; only the link goes.
    ExpectDone(kTranDelNewsFldrItem, CFieldListBuilder().Add(kFieldNewsPath, Path({"Link.knz.lnk"})));
    struct stat st{};
    EXPECT_NE(lstat((mNews + "/Link.knz.lnk").c_str(), &st), 0);
    EXPECT_TRUE(UFileUtil::Exists(mNews + "/General.knz"));
    // So does an alias that leads to the news root; the root stays.
    ExpectDone(kTranDelNewsFldrItem, CFieldListBuilder().Add(kFieldNewsPath, Path({"Top.lnk"})));
    EXPECT_NE(lstat((mNews + "/Top.lnk").c_str(), &st), 0);
    EXPECT_TRUE(UFileUtil::Exists(mNews + "/General.knz"));

    mRecord->access.SetPriv(myAcc_DeleteNewsBundles);
    mRecord->access.SetPriv(myAcc_DeleteCategories);
    ExpectDone(kTranDelNewsFldrItem, CFieldListBuilder().Add(kFieldNewsPath, Path({"General.knz"})));
    ExpectDone(kTranDelNewsFldrItem, CFieldListBuilder().Add(kFieldNewsPath, Path({"Bundle"})));
    EXPECT_FALSE(UFileUtil::Exists(mNews + "/General.knz"));
    EXPECT_FALSE(UFileUtil::Exists(mNews + "/Bundle"));
    EXPECT_EQ(ReadFile(mDir / "Trash/General.knz").size(), 1024u);
    EXPECT_TRUE(UFileUtil::Exists(mDir / "Trash/Bundle/Inner/Deep.knz"));
    EXPECT_TRUE(UFileUtil::IsDirectory(mNews));
}

}  // namespace
}  // namespace kx::test
