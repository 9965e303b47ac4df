// Changes to the tree: create, rename, move, delete to the trash, and the volume queries.
#include "fs/fs_ref.h"

#include <gtest/gtest.h>

#include "framework/error.h"
#include "fs/file_types.h"
#include "fs/fs_test_dir.h"

namespace kx {
namespace {

using test::CScratchDir;
using test::ErrorOf;

class FSOpsTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir.MakeDir("Files/Docs/Sub");
        dir.MakeDir("Files/Other");
        dir.WriteFile("Files/Docs/a.txt", "alpha");
        root = UFileSys::NewFromPath(dir / "Files");
        UFileSys::SetTrashFolder(dir / "Trash");
    }
    void TearDown() override { UFileSys::SetTrashFolder(""); }

    TFSRef At(std::string_view sub, std::string_view name) { return UFileSys::New(*root, sub, name, 0); }

    CScratchDir dir;
    TFSRef root;
};

TEST_F(FSOpsTest, CreateNeverReplaces) {
    UFileSys::CreateFolder(*At("", "New"));
    UFileSys::CreateFile(*At("New", "f.kpf"), MakeCode("KXft"), MakeCode("KXLC"));
    EXPECT_TRUE(dir.Exists("Files/New/f.kpf"));
    EXPECT_EQ(ErrorOf([&] { UFileSys::CreateFolder(*At("", "New")); }), std::make_pair(4, 115));
    EXPECT_EQ(ErrorOf([&] { UFileSys::CreateFile(*At("Docs", "a.txt")); }), std::make_pair(4, 115));
    EXPECT_EQ(dir.Read("Files/Docs/a.txt"), "alpha");
}

TEST_F(FSOpsTest, RenameKeepsTheFolderAndRefusesToReplace) {
    auto ref = At("Docs", "a.txt");
    UFileSys::SetName(*ref, "b.txt");
    EXPECT_EQ(ref->GetPath(), dir / "Files/Docs/b.txt");
    EXPECT_EQ(dir.Read("Files/Docs/b.txt"), "alpha");
    dir.WriteFile("Files/Docs/c.txt", "gamma");
    EXPECT_EQ(ErrorOf([&] { UFileSys::SetName(*ref, "c.txt"); }), std::make_pair(4, 115));
    EXPECT_EQ(dir.Read("Files/Docs/c.txt"), "gamma");
    EXPECT_EQ(dir.Read("Files/Docs/b.txt"), "alpha");
    EXPECT_EQ(ErrorOf([&] { UFileSys::SetName(*ref, "../../escaped"); }), std::make_pair(4, 119));
    UFileSys::SetName(*ref, "r\x8Esum\x8E");  // Mac OS Roman in, UTF-8 on disk
    EXPECT_TRUE(dir.Exists("Files/Docs/r\xC3\xA9sum\xC3\xA9"));
    UFileSys::SetName(*ref, "r\x8Esum\x8E");  // the same name: nothing to do
    EXPECT_TRUE(dir.Exists("Files/Docs/r\xC3\xA9sum\xC3\xA9"));
}

TEST_F(FSOpsTest, RenamingAFolderChecksTheDeepestPathBelowIt) {
    // Nested folders whose deepest path is just within the host limit.
    std::string path = dir / "Files/D";
    ASSERT_EQ(::mkdir(path.c_str(), 0777), 0);
    while (path.size() + 251 < 4095) {
        path += "/" + std::string(250, 'n');
        ASSERT_EQ(::mkdir(path.c_str(), 0777), 0);
    }
    auto top = At("", "D");
    EXPECT_EQ(ErrorOf([&] { UFileSys::SetName(*top, std::string(255, 'L')); }), std::make_pair(4, 118));
    EXPECT_TRUE(dir.Exists("Files/D"));
    UFileSys::SetName(*top, "E");
    EXPECT_TRUE(dir.Exists("Files/E"));
}

TEST_F(FSOpsTest, MoveIntoAFolderButNeverIntoItself) {
    auto item = At("Docs", "a.txt");
    UFileSys::Move(*item, *At("", "Other"));
    EXPECT_EQ(item->GetPath(), dir / "Files/Other/a.txt");
    EXPECT_FALSE(dir.Exists("Files/Docs/a.txt"));

    dir.WriteFile("Files/Docs/a.txt", "second");
    auto second = At("Docs", "a.txt");
    EXPECT_EQ(ErrorOf([&] { UFileSys::Move(*second, *At("", "Other")); }), std::make_pair(4, 115));
    EXPECT_EQ(dir.Read("Files/Other/a.txt"), "alpha");

    auto docs = At("", "Docs");
    EXPECT_EQ(ErrorOf([&] { UFileSys::Move(*docs, *At("", "Docs")); }), std::make_pair(4, 121));
    EXPECT_EQ(ErrorOf([&] { UFileSys::Move(*docs, *At("Docs", "Sub")); }), std::make_pair(4, 121));
    // Also through an alias that leads below it.
    dir.Link(dir / "Files/Docs/Sub", "Files/Other/sub.lnk");
    auto viaAlias = UFileSys::New(*root, "Other", "sub.lnk", fsOption_ResolveAliases);
    EXPECT_EQ(ErrorOf([&] { UFileSys::Move(*docs, *viaAlias); }), std::make_pair(4, 121));
    EXPECT_EQ(ErrorOf([&] { UFileSys::Move(*docs, *At("Docs", "a.txt")); }), std::make_pair(4, 108));
    UFileSys::Move(*docs, *At("", "Other"));
    EXPECT_TRUE(dir.Exists("Files/Other/Docs/Sub"));
}

TEST_F(FSOpsTest, DeleteMovesIntoTheTrash) {
    dir.WriteFile("Files/Docs/Sub/deep.txt", "deep");
    UFileSys::MoveToTrash(*At("", "Docs"));
    EXPECT_FALSE(dir.Exists("Files/Docs"));
    EXPECT_EQ(dir.Read("Trash/Docs/Sub/deep.txt"), "deep");
    // A second item of the same name gets a numbered name; nothing is overwritten.
    dir.MakeDir("Files/Docs");
    dir.WriteFile("Files/Docs/new.txt", "new");
    UFileSys::MoveToTrash(*At("", "Docs"));
    EXPECT_EQ(dir.Read("Trash/Docs 2/new.txt"), "new");
    EXPECT_EQ(dir.Read("Trash/Docs/Sub/deep.txt"), "deep");
    // An alias goes as the link; its target stays.
    dir.WriteFile("Files/Other/t.txt", "target");
    dir.Link(dir / "Files/Other/t.txt", "Files/t.lnk");
    UFileSys::MoveToTrash(*At("", "t.lnk"));
    EXPECT_FALSE(dir.Exists("Files/t.lnk"));
    EXPECT_TRUE(dir.Exists("Trash/t.lnk"));
    EXPECT_EQ(dir.Read("Files/Other/t.txt"), "target");
    // A missing item: nothing happens.
    UFileSys::MoveToTrash(*At("", "nothing"));
    // Without a trash folder nothing is destroyed.
    UFileSys::SetTrashFolder("");
    EXPECT_EQ(ErrorOf([&] { UFileSys::MoveToTrash(*At("Other", "t.txt")); }), std::make_pair(1, 2));
    EXPECT_TRUE(dir.Exists("Files/Other/t.txt"));
}

TEST_F(FSOpsTest, VolumeQueries) {
    const auto free = UFileSys::GetFreeSpace(*At("Docs", "not-yet-there"));
    ASSERT_TRUE(free.has_value());
    EXPECT_GT(*free, 0u);
    EXPECT_FALSE(UFileSys::IsVolumeReadOnly(*root));
}

}  // namespace
}  // namespace kx
