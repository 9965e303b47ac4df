// Listings: which items a client sees, their codes, sizes and dates, and the wire form of an entry.
#include "fs/fs_listing.h"

#include <sys/stat.h>

#include <map>

#include <gtest/gtest.h>

#include "framework/error.h"
#include "fs/file_types.h"
#include "fs/fs_test_dir.h"

namespace kx {
namespace {

using test::Bytes;
using test::CScratchDir;

constexpr std::uint64_t k4GiB = 4ull << 30;

void SetModified(const std::string& path, std::time_t t, bool follow = true) {
    struct timespec times[2] = {{t, 0}, {t, 250000000}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, follow ? 0 : AT_SYMLINK_NOFOLLOW), 0);
}

void MakeSparse(const std::string& path, std::uint64_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
    ::close(fd);
}

class FSListingTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir.MakeDir("Files/Folder/b");
        dir.MakeDir("Outside");
        dir.WriteFile("Files/notes.txt", "hello");
        dir.WriteFile("Files/Folder/a.bin", "");
        dir.WriteFile("Files/Folder/.hidden", "");
        dir.WriteFile("Outside/track.mp3", "123456789");
        dir.WriteFile("Outside/\xE6\x97\xA5.txt", "");
        dir.Link(dir / "Outside/track.mp3", "Files/song.lnk");
        dir.Link(dir / "Files/Folder", "Files/dir.lnk");
        dir.Link(dir / "Files/missing", "Files/dead.lnk");
        dir.Link(dir / "Outside", "Files/Shared");
        dir.WriteFile("Files/.dotfile", "");
        dir.WriteFile("Files/\xE6\x97\xA5.txt", "");
        dir.WriteFile("Files/caf\xC3\xA9.txt", "");
        dir.WriteFile("Files/back\\slash", "");
        ASSERT_EQ(::mkfifo((dir / "Files/pipe").c_str(), 0600), 0);
        MakeSparse(dir / "Files/big.iso", k4GiB + 1);
        SetModified(dir / "Files/notes.txt", 978307200 + 3600);  // 2001-01-01 01:00:00.25 UTC
        SetModified(dir / "Outside/track.mp3", 1078144496);      // 2004-03-01 12:34:56.25 UTC
        root = UFileSys::NewFromPath(dir / "Files");
    }

    std::map<std::string, SFSListItem> List(std::uint32_t options = 0) {
        std::map<std::string, SFSListItem> out;
        auto list = UFileSys::GetListing(*root, options);
        SFSListItem item;
        while (UFileSys::GetListNext(*list, item)) {
            EXPECT_EQ(out.count(item.name), 0u) << item.name;
            out[item.name] = item;
        }
        return out;
    }

    CScratchDir dir;
    TFSRef root;
};

TEST_F(FSListingTest, ListsWhatClientsMaySeeByteExact) {
    const auto items = List();
    std::vector<std::string> names;
    for (const auto& [name, item] : items) names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"Folder", "Shared", "big.iso", "caf\x8E.txt", "dead.lnk", "dir.lnk",
                                               "notes.txt", "song.lnk"}));

    EXPECT_EQ(UFileSys::EncodeFileInfo(items.at("notes.txt")),
              Bytes({'T', 'E', 'X', 'T', 't', 't', 'x', 't', 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 9,
                     'n', 'o', 't', 'e', 's', '.', 't', 'x', 't'}));
    // A folder's size is its item count (the dot file is not counted).
    EXPECT_EQ(UFileSys::EncodeFileInfo(items.at("Folder")),
              Bytes({'f', 'l', 'd', 'r', 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 6, 'F', 'o', 'l', 'd', 'e', 'r'}));
    // Aliases show their targets: codes and length of the file, count of the folder.
    EXPECT_EQ(UFileSys::EncodeFileInfo(items.at("song.lnk")),
              Bytes({'M', 'P', '3', ' ', 'M', 'A', 'm', 'p', 0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0, 8,
                     's', 'o', 'n', 'g', '.', 'l', 'n', 'k'}));
    EXPECT_EQ(UFileSys::EncodeFileInfo(items.at("dir.lnk")),
              Bytes({'f', 'l', 'd', 'r', 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 7, 'd', 'i', 'r', '.', 'l', 'n', 'k'}));
    EXPECT_EQ(UFileSys::EncodeFileInfo(items.at("dead.lnk")),
              Bytes({'a', 'l', 'i', 's', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 8, 'd', 'e', 'a', 'd', '.', 'l', 'n', 'k'}));
    // The operator's plain link shows the folder it leads to (whose CJK-named file is invisible).
    EXPECT_EQ(items.at("Shared").typeCode, kTypeFolder);
    EXPECT_EQ(items.at("Shared").size, 1u);
    // UTF-8 on disk, Mac OS Roman on the wire.
    EXPECT_EQ(UFileSys::EncodeFileInfo(items.at("caf\x8E.txt")),
              Bytes({'T', 'E', 'X', 'T', 't', 't', 'x', 't', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 8,
                     'c', 'a', 'f', 0x8E, '.', 't', 'x', 't'}));
    for (const auto& [name, item] : items) EXPECT_EQ(item.flags, 0u) << name;
}

TEST_F(FSListingTest, DatesAreUtcStampsOfTheTarget) {
    const auto items = List();
    EXPECT_EQ(items.at("notes.txt").modifiedDate, (SDateTimeStamp{2001, 250, 3600}));
    EXPECT_EQ(items.at("song.lnk").modifiedDate, (SDateTimeStamp{2004, 250, 60 * 86400 + 12 * 3600 + 34 * 60 + 56}));
    SDateTimeStamp created, modified;
    UFileSys::GetDates(*UFileSys::New(*root, "", "song.lnk", 0), &created, &modified);
    EXPECT_EQ(modified, items.at("song.lnk").modifiedDate);
    // A broken alias carries the link's own dates.
    SetModified(dir / "Files/dead.lnk", 978307200, false);
    EXPECT_EQ(List().at("dead.lnk").modifiedDate, (SDateTimeStamp{2001, 250, 0}));
}

TEST_F(FSListingTest, WithoutFollowingAliasesTheyListAsAlis) {
    const auto items = List(kFSListOptionNoAliasFollow);
    EXPECT_EQ(items.at("song.lnk").typeCode, kTypeAlias);
    EXPECT_EQ(items.at("song.lnk").size, 0u);
    EXPECT_EQ(items.at("dir.lnk").typeCode, kTypeAlias);
    EXPECT_EQ(items.at("notes.txt").typeCode, MakeCode("TEXT"));
}

TEST_F(FSListingTest, FilesOf4GiBOrMoreShowTheLargestSize) {
    const auto items = List();
    EXPECT_EQ(items.at("big.iso").size, 0xFFFFFFFFu);
    EXPECT_EQ(items.at("big.iso").typeCode, kTypeDefault);
    auto big = UFileSys::New(*root, "", "big.iso", 0);
    EXPECT_EQ(UFileSys::GetSize(*big), k4GiB + 1);
    EXPECT_EQ(test::ErrorOf([&] { UFileSys::GetSize32(*big); }), std::make_pair(1, 10)) << "a 4 GiB file's 32-bit size";
    MakeSparse(dir / "Files/edge.bin", 0xFFFFFFFFull);
    EXPECT_EQ(UFileSys::GetSize32(*UFileSys::New(*root, "", "edge.bin", 0)), 0xFFFFFFFFu);
}

TEST_F(FSListingTest, ItemQueries) {
    std::uint32_t type, creator;
    UFileSys::GetTypeAndCreator(*UFileSys::New(*root, "", "song.lnk", 0), type, creator);
    EXPECT_EQ(type, MakeCode("MP3 "));
    UFileSys::GetTypeAndCreator(*UFileSys::New(*root, "", "dir.lnk", 0), type, creator);
    EXPECT_EQ(type, kTypeFolder);
    EXPECT_EQ(creator, 0u);
    UFileSys::GetTypeAndCreator(*UFileSys::New(*root, "", "dead.lnk", 0), type, creator);
    EXPECT_EQ(type, kTypeAlias);
    EXPECT_EQ(UFileSys::GetFolderItemCount(*UFileSys::New(*root, "", "Folder", 0)), 2u);
    EXPECT_EQ(UFileSys::GetFolderItemCount(*root), 8u);
    EXPECT_EQ(test::ErrorOf([&] { UFileSys::GetListing(*UFileSys::New(*root, "", "nowhere", 0)); }), std::make_pair(4, 104));
}

}  // namespace
}  // namespace kx
