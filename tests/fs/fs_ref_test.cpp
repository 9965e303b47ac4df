// Look-ups from a client root: options and their order, hostile paths and names, invisible dot
// names, Mac OS Roman names against UTF-8 disk names, and aliases inside and outside the root.
#include "fs/fs_ref.h"

#include <gtest/gtest.h>

#include "framework/error.h"
#include "fs/file_path.h"
#include "fs/fs_test_dir.h"

namespace kx {
namespace {

using test::CScratchDir;
using test::ErrorOf;

class FSLookupTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir.MakeDir("Files/Docs/Sub");
        dir.MakeDir("Outside");
        dir.WriteFile("Files/Docs/a.txt", "alpha");
        dir.WriteFile("Outside/secret.txt", "secret");
        root = UFileSys::NewFromPath(dir / "Files");
    }

    TFSRef Find(const std::vector<std::string>& path, std::string_view name, std::uint32_t options,
                int* kind = nullptr) {
        const auto data = UFilePath::Build(path);
        return UFileSys::New(*root, data.data(), data.size(), name, options, kind);
    }
    // Path data with raw components (Build refuses nothing a client could send but empty names).
    TFSRef FindRaw(const std::vector<std::uint8_t>& data, std::string_view name, std::uint32_t options,
                   int* kind = nullptr) {
        return UFileSys::New(*root, data.data(), data.size(), name, options, kind);
    }

    CScratchDir dir;
    TFSRef root;
};

TEST_F(FSLookupTest, NamesAnItemInsideThePathInBothForms) {
    int kind = -1;
    auto ref = Find({"Docs"}, "a.txt", 0, &kind);
    ASSERT_TRUE(ref);
    EXPECT_EQ(kind, fsItem_File);
    EXPECT_EQ(ref->GetPath(), dir / "Files/Docs/a.txt");
    // Empty name: the last component is the item.
    ref = Find({"Docs", "a.txt"}, "", 0, &kind);
    ASSERT_TRUE(ref);
    EXPECT_EQ(ref->GetPath(), dir / "Files/Docs/a.txt");
    // No components and no name: the root itself.
    ref = FindRaw({0, 0}, "", 0, &kind);
    ASSERT_TRUE(ref);
    EXPECT_EQ(kind, fsItem_Folder);
    EXPECT_EQ(ref->GetPath(), dir / "Files");
    // Sub-path text with carriage returns, leading and trailing ones ignored.
    ref = UFileSys::New(*root, "\rDocs\rSub\r", "", 0, &kind);
    ASSERT_TRUE(ref);
    EXPECT_EQ(kind, fsItem_Folder);
    EXPECT_EQ(ref->GetPath(), dir / "Files/Docs/Sub");
    ref = UFileSys::New(*root, "", "Docs", fsOption_FailIfNotFolder, &kind);
    ASSERT_TRUE(ref);
    EXPECT_EQ(UFileSys::GetName(*ref), "Docs");
}

TEST_F(FSLookupTest, OptionsAreTestedInTheirOrder) {
    int kind = -1;
    EXPECT_FALSE(Find({"Docs"}, "a.txt", fsOption_NilIfExists | fsOption_FailIfExists));
    EXPECT_EQ(ErrorOf([&] { Find({"Docs"}, "a.txt", fsOption_FailIfExists); }), std::make_pair(4, 115));
    EXPECT_FALSE(Find({"Docs"}, "Sub", fsOption_NilIfNotFile));
    EXPECT_EQ(ErrorOf([&] { Find({"Docs"}, "Sub", fsOption_FailIfNotFile); }), std::make_pair(4, 107));
    EXPECT_EQ(ErrorOf([&] { Find({"Docs"}, "a.txt", fsOption_FailIfNotFolder); }), std::make_pair(4, 108));
    // The first bit present decides: a file passes FailIfNotFile and NilIfNotFolder is not reached;
    // a folder fails FailIfNotFile before NilIfNotFolder could accept it.
    EXPECT_TRUE(Find({"Docs"}, "a.txt", fsOption_NilIfNotFolder | fsOption_FailIfNotFile));
    EXPECT_EQ(ErrorOf([&] { Find({"Docs"}, "Sub", fsOption_NilIfNotFolder | fsOption_FailIfNotFile); }),
              std::make_pair(4, 107));
    EXPECT_TRUE(Find({"Docs"}, "a.txt", fsOption_NilIfNotFile | fsOption_FailIfNotFolder));
    // FailIfExists comes before NilIfNotFile.
    EXPECT_EQ(ErrorOf([&] { Find({"Docs"}, "Sub", fsOption_FailIfExists | fsOption_NilIfNotFile); }),
              std::make_pair(4, 115));

    // Missing items.
    EXPECT_FALSE(Find({"Docs"}, "none", fsOption_NilIfNotExists | fsOption_FailIfNotExists, &kind));
    EXPECT_EQ(kind, fsItem_Missing);
    EXPECT_EQ(ErrorOf([&] { Find({"Docs"}, "none", fsOption_FailIfNotExists); }), std::make_pair(4, 102));
    EXPECT_EQ(ErrorOf([&] { Find({"Docs"}, "none", fsOption_FailIfNotExists | fsOption_FailIfNotFile); }),
              std::make_pair(4, 103));
    EXPECT_EQ(ErrorOf([&] { Find({"Docs"}, "none", fsOption_FailIfNotExists | fsOption_NilIfNotFolder); }),
              std::make_pair(4, 104));
    auto missing = Find({"Docs"}, "none", fsOption_NilIfNoParent | fsOption_NilIfExists, &kind);
    ASSERT_TRUE(missing);
    EXPECT_EQ(kind, fsItem_Missing);
    EXPECT_FALSE(UFileSys::Exists(*missing));

    // An invalid path.
    EXPECT_FALSE(Find({"Nope"}, "x", fsOption_NilIfNoParent, &kind));
    EXPECT_EQ(kind, fsItem_NoParent);
    EXPECT_FALSE(Find({"Nope"}, "x", fsOption_NilIfNotExists, &kind));
    EXPECT_EQ(kind, fsItem_NoParent);
    EXPECT_EQ(ErrorOf([&] { Find({"Nope"}, "x", fsOption_FailIfNotExists); }), std::make_pair(4, 104));
    EXPECT_EQ(ErrorOf([&] { Find({"Docs", "a.txt"}, "x", 0); }), std::make_pair(4, 104));  // a file is no folder
}

TEST_F(FSLookupTest, HostilePathsNeverLeaveTheRoot) {
    const std::uint32_t nil = fsOption_NilIfNotExists;
    dir.MakeDir("Files/a..b");
    dir.WriteFile("Files/a..b/in.txt", "x");
    EXPECT_FALSE(Find({".."}, "secret.txt", nil));
    EXPECT_FALSE(Find({"..", "Outside"}, "secret.txt", nil));
    EXPECT_FALSE(Find({"Docs", "..", "..", "Outside", "secret.txt"}, "", nil));
    EXPECT_FALSE(Find({"a..b"}, "in.txt", nil));  // two dots anywhere in a component: never used
    EXPECT_FALSE(Find({"..."}, "", nil));
    EXPECT_FALSE(Find({".."}, "", nil));
    EXPECT_EQ(ErrorOf([&] { Find({".."}, "secret.txt", 0); }), std::make_pair(4, 104));
    // A "/" inside a component is not a separator.
    EXPECT_FALSE(Find({"Docs/Sub"}, "", nil));
    EXPECT_FALSE(Find({dir / "Outside"}, "secret.txt", nil));
    dir.MakeDir("Files/Docs-Sub");
    ASSERT_TRUE(Find({"Docs/Sub"}, "", nil));
    EXPECT_EQ(Find({"Docs/Sub"}, "", nil)->GetPath(), dir / "Files/Docs-Sub");
    EXPECT_EQ(Find({"Docs\\Sub"}, "", nil)->GetPath(), dir / "Files/Docs-Sub");
    // Names: no separators, no "..", no NUL.
    for (const std::string& bad : std::vector<std::string>{"..", "../Outside/secret.txt", "/etc/passwd", "a\\b", std::string("a\0b", 3)})
        EXPECT_EQ(ErrorOf([&] { Find({}, bad, nil); }), std::make_pair(4, 119)) << bad;
    // A name holding two dots elsewhere is an ordinary name.
    dir.WriteFile("Files/x..y", "ok");
    EXPECT_TRUE(Find({}, "x..y", nil));
}

TEST_F(FSLookupTest, DotNamesAreNeverReachable) {
    dir.WriteFile("Files/.secret", "s");
    dir.MakeDir("Files/.hidden");
    dir.WriteFile("Files/.hidden/x.txt", "x");
    EXPECT_FALSE(Find({}, ".secret", fsOption_NilIfNotExists));
    EXPECT_FALSE(Find({".hidden"}, "x.txt", fsOption_NilIfNotExists));
    EXPECT_FALSE(Find({".hidden", "x.txt"}, "", fsOption_NilIfNotExists));
    // The leading dot of a name becomes "-": a client asking for ".x" creates "-x".
    auto ref = Find({}, ".x", fsOption_NilIfExists);
    ASSERT_TRUE(ref);
    UFileSys::CreateFolder(*ref);
    EXPECT_TRUE(dir.Exists("Files/-x"));
    EXPECT_FALSE(dir.Exists("Files/.x"));
}

TEST_F(FSLookupTest, MacRomanNamesMeetUtf8NamesOnDisk) {
    dir.WriteFile("Files/caf\xC3\xA9.txt", "coffee");
    auto ref = Find({}, "caf\x8E.txt", fsOption_FailIfNotExists);
    ASSERT_TRUE(ref);
    EXPECT_EQ(UFileSys::GetName(*ref), "caf\x8E.txt");
    EXPECT_EQ(UFileSys::GetSize(*ref), 6u);
    // Created from a Mac OS Roman name: the disk name is UTF-8.
    auto created = Find({}, "r\x8Esum\x8E.doc", fsOption_NilIfExists);
    ASSERT_TRUE(created);
    UFileSys::CreateFile(*created);
    EXPECT_TRUE(dir.Exists("Files/r\xC3\xA9sum\xC3\xA9.doc"));
    // A disk name without a Mac OS Roman form is never confused with its look-alike.
    dir.WriteFile("Files/\xE6\x97\xA5.txt", "sun");
    dir.WriteFile("Files/-.txt", "dash");
    auto dash = Find({}, "-.txt", fsOption_FailIfNotExists);
    EXPECT_EQ(dash->GetPath(), dir / "Files/-.txt");
}

TEST_F(FSLookupTest, TooLongNamesAndPaths) {
    // 200 Mac OS Roman bytes of "é" are 400 bytes of UTF-8: more than a Linux name may hold.
    EXPECT_EQ(ErrorOf([&] { Find({}, std::string(200, '\x8E'), fsOption_NilIfNotExists); }), std::make_pair(4, 118));
    EXPECT_FALSE(Find({std::string(200, '\x8E')}, "x", fsOption_NilIfNotExists));
    EXPECT_TRUE(Find({}, std::string(127, '\x8E'), 0));
    auto deep = UFileSys::NewFromPath(dir / std::string(4000, 'd'));
    EXPECT_EQ(ErrorOf([&] { UFileSys::New(*deep, "", std::string(200, 'n'), 0); }), std::make_pair(4, 118));
}

TEST_F(FSLookupTest, OperatorLinksAreFollowed) {
    dir.Link(dir / "Outside", "Files/Shared");           // a plain link
    dir.Link(dir / "Outside", "Files/Elsewhere.lnk");    // an alias
    int kind = -1;
    auto viaLink = Find({"Shared"}, "secret.txt", fsOption_FailIfNotExists, &kind);
    EXPECT_EQ(kind, fsItem_File);
    EXPECT_EQ(UFileSys::GetSize(*viaLink), 6u);
    auto shared = Find({}, "Shared", 0, &kind);
    EXPECT_EQ(kind, fsItem_Folder);
    auto viaAlias = Find({"Elsewhere.lnk"}, "secret.txt", fsOption_FailIfNotExists, &kind);
    EXPECT_EQ(viaAlias->GetPath(), dir / "Outside/secret.txt");
    auto alias = Find({}, "Elsewhere.lnk", 0, &kind);
    EXPECT_EQ(kind, fsItem_FolderAlias);
    // A plain link keeps its own path, yet is recognised as the folder it leads to.
    EXPECT_EQ(shared->GetPath(), dir / "Files/Shared");
    EXPECT_TRUE(UFileSys::Equals(*shared, *UFileSys::NewFromPath(dir / "Outside")));
    EXPECT_FALSE(UFileSys::Equals(*shared, *root));
    EXPECT_FALSE(Find({}, "Elsewhere.lnk", fsOption_NilIfNotFolder));  // unresolved: not a folder
    const std::uint32_t folderOnly = fsOption_ResolveAliases | fsOption_NilIfNotExists | fsOption_NilIfNotFolder;
    EXPECT_FALSE(Find({}, "ELSEWHERE.lnk", folderOnly));  // names are compared as the disk has them
    auto resolved = Find({}, "Elsewhere.lnk", folderOnly, &kind);
    ASSERT_TRUE(resolved);
    EXPECT_EQ(kind, fsItem_Folder);
    EXPECT_EQ(resolved->GetPath(), dir / "Outside");
}

TEST_F(FSLookupTest, ClientAliasesPointAtItemsTheRootReaches) {
    auto target = Find({"Docs"}, "a.txt", fsOption_NilIfNotExists);
    auto alias = Find({}, "shortcut", fsOption_NilIfNoParent);
    ASSERT_TRUE(target && alias);
    UFileSys::CreateAlias(*alias, *target);
    EXPECT_EQ(alias->GetPath(), dir / "Files/shortcut.lnk");
    char buf[512] = {};
    ASSERT_GT(::readlink((dir / "Files/shortcut.lnk").c_str(), buf, sizeof buf - 1), 0);
    EXPECT_EQ(std::string(buf), dir / "Files/Docs/a.txt");
    EXPECT_EQ(UFileSys::GetType(*alias), fsItem_FileAlias);

    // A name already ending in ".lnk" (any case) gets no second suffix; an existing name is refused.
    auto folderAlias = Find({}, "ToDocs.LNK", fsOption_NilIfNoParent);
    UFileSys::CreateAlias(*folderAlias, *Find({}, "Docs", 0));
    EXPECT_EQ(folderAlias->GetPath(), dir / "Files/ToDocs.LNK");
    EXPECT_TRUE(Find({"ToDocs.LNK", "Sub"}, "", fsOption_FailIfNotExists | fsOption_FailIfNotFolder));
    auto again = Find({}, "shortcut", 0);
    EXPECT_EQ(ErrorOf([&] { UFileSys::CreateAlias(*again, *target); }), std::make_pair(4, 115));

    // A client cannot name anything outside its root as a target, and targets that were not
    // produced by a look-up are refused outright.
    EXPECT_FALSE(Find({".."}, "Outside", fsOption_NilIfNotExists));
    auto climbing = std::make_unique<TFSRefObj>(dir / "Files/Docs/../../Outside/secret.txt");
    auto relative = std::make_unique<TFSRefObj>("../Outside/secret.txt");
    auto out1 = Find({}, "evil1", 0);
    EXPECT_EQ(ErrorOf([&] { UFileSys::CreateAlias(*out1, *climbing); }), std::make_pair(1, 2));
    EXPECT_EQ(ErrorOf([&] { UFileSys::CreateAlias(*out1, *relative); }), std::make_pair(1, 2));
    auto missingTarget = Find({}, "gone.txt", 0);
    EXPECT_EQ(ErrorOf([&] { UFileSys::CreateAlias(*out1, *missingTarget); }), std::make_pair(4, 102));
    EXPECT_FALSE(dir.Exists("Files/evil1.lnk"));

    // A file merely named ".lnk" is a file, not an alias.
    dir.WriteFile("Files/plain.lnk", "not a link");
    int kind = -1;
    Find({}, "plain.lnk", 0, &kind);
    EXPECT_EQ(kind, fsItem_File);
}

TEST_F(FSLookupTest, ResolvingAliases) {
    dir.Link(dir / "Files/Docs/a.txt", "Files/one.lnk");
    dir.Link(dir / "Files/one.lnk", "Files/two.lnk");  // an alias to an alias
    dir.Link(dir / "Files/Docs/gone.txt", "Files/broken.lnk");

    auto two = Find({}, "two.lnk", 0);
    auto clone = UFileSys::Clone(*two);
    int kind = -1;
    EXPECT_TRUE(UFileSys::ResolveAlias(*clone, &kind));
    EXPECT_EQ(kind, fsItem_FileAlias);
    EXPECT_EQ(clone->GetPath(), dir / "Files/Docs/a.txt");
    EXPECT_EQ(two->GetPath(), dir / "Files/two.lnk");  // the cloned reference is untouched

    auto broken = Find({}, "broken.lnk", 0, &kind);
    EXPECT_EQ(kind, fsItem_BrokenAlias);
    EXPECT_TRUE(UFileSys::Exists(*broken));
    EXPECT_FALSE(UFileSys::ResolveAlias(*broken, &kind));
    EXPECT_EQ(kind, fsItem_BrokenAlias);
    EXPECT_EQ(ErrorOf([&] { Find({}, "broken.lnk", fsOption_ResolveAliases); }), std::make_pair(4, 109));
    EXPECT_FALSE(Find({}, "broken.lnk", fsOption_ResolveAliases | fsOption_NilIfNotExists, &kind));
    EXPECT_EQ(kind, fsItem_BrokenAlias);
    // A path component naming an alias to a file, or a broken one, is an invalid path.
    EXPECT_FALSE(Find({"one.lnk"}, "x", fsOption_NilIfNoParent));
    EXPECT_FALSE(Find({"broken.lnk"}, "x", fsOption_NilIfNoParent));
    auto missing = Find({}, "nothing.lnk", 0);
    EXPECT_FALSE(UFileSys::ResolveAlias(*missing, &kind));
    EXPECT_EQ(kind, fsItem_Missing);
}

}  // namespace
}  // namespace kx
