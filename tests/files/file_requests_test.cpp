// The read-only file transactions through a real connection: the file list (entries byte for
// byte, the root, aliases, drop boxes, account roots, path escapes) and get info.
#include <sys/time.h>

#include <map>

#include "files/file_requests_fixture.h"
#include "files/file_tree.h"
#include "fs/file_types.h"

namespace kx::test {
namespace {

class FileListTest : public FileRequestsFixture {
protected:
    // The entries of a file list reply by name; every field must be a file-list entry.
    static std::map<std::string, Bytes> Entries(const SFileReply& r) {
        std::map<std::string, Bytes> out;
        for (const auto& f : r.fields) {
            EXPECT_EQ(f.id, kFieldFileNameWithInfo);
            if (f.data.size() < 20) {
                ADD_FAILURE() << "short entry";
                continue;
            }
            out[std::string(f.data.begin() + 20, f.data.end())] = f.data;
        }
        return out;
    }

    static Bytes Entry(const char* type, const char* creator, std::uint32_t size, const std::string& name) {
        std::string s = std::string(type, 4) + std::string(creator, 4);
        for (int shift = 24; shift >= 0; shift -= 8) s += static_cast<char>(size >> shift);
        s += std::string(7, '\0') + static_cast<char>(name.size()) + name;
        return Bytes(s.begin(), s.end());
    }

    SFileReply List(const Bytes& path = {}) {
        CFieldListBuilder b;
        if (!path.empty()) b.Add(kFieldFilePath, path);
        return Send(kTranGetFileNameList, b);
    }

    static constexpr const char* kNotFound = "Cannot get file list because the specified folder could not be found.";
};

TEST_F(FileListTest, RootListingEntriesAreExactAndFoldersCountTheirItems) {
    WriteFile(Files("notes.txt"), "hello");
    WriteFile(Files("data.xyz"), "123456789");
    MakeDir(Files("Sub"));
    WriteFile(Files("Sub/a"), "");
    WriteFile(Files("Sub/b"), "");
    MakeDir(Files("Sub/c"));
    WriteFile(Files(".hidden"), "x");

    for (const Bytes& path : {Bytes{}, Bytes{0, 0, 0, 0, 0}, Bytes{0, 0, 0, 0, 0, 0, 0, 0}}) {
        SFileReply r = List(path);
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(r.error, 0u);
        auto entries = Entries(r);
        ASSERT_EQ(entries.size(), 3u);
        EXPECT_EQ(entries["notes.txt"], Entry("TEXT", "ttxt", 5, "notes.txt"));
        EXPECT_EQ(entries["data.xyz"], Entry("BINA", "dosa", 9, "data.xyz"));
        EXPECT_EQ(entries["Sub"], Entry("fldr", "\0\0\0\0", 3, "Sub"));
    }

    SFileReply sub = List(PathData({"Sub"}));
    auto entries = Entries(sub);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries["c"], Entry("fldr", "\0\0\0\0", 0, "c"));

    MakeDir(Files("Empty"));
    SFileReply empty = List(PathData({"Empty"}));
    ASSERT_TRUE(empty.ok);
    EXPECT_EQ(empty.error, 0u);
    EXPECT_TRUE(empty.fields.empty());
}

TEST_F(FileListTest, AliasComponentsAreFollowedAndBadPathsAreNotFound) {
    MakeDir(Files("Target"));
    WriteFile(Files("Target/inside.txt"), "abc");
    WriteFile(Files("plain.txt"), "x");
    Link(Files("Target"), Files("T.lnk"));
    Link(Files("plain.txt"), Files("P.lnk"));

    auto viaAlias = Entries(List(PathData({"T.lnk"})));
    ASSERT_EQ(viaAlias.size(), 1u);
    EXPECT_EQ(viaAlias["inside.txt"], Entry("TEXT", "ttxt", 3, "inside.txt"));
    // In the parent listing, the alias shows its target's codes and item count.
    EXPECT_EQ(Entries(List())["T.lnk"], Entry("fldr", "\0\0\0\0", 1, "T.lnk"));

    // A link the operator placed under a plain name stands for its target, wherever that is.
    MakeDir(mDir / "Elsewhere");
    WriteFile(mDir / "Elsewhere/shared.txt", "12");
    Link(mDir / "Elsewhere", Files("Ext"));
    auto viaOperatorLink = Entries(List(PathData({"Ext"})));
    ASSERT_EQ(viaOperatorLink.size(), 1u);
    EXPECT_EQ(viaOperatorLink["shared.txt"], Entry("TEXT", "ttxt", 2, "shared.txt"));

    ExpectError(List(PathData({"P.lnk"})), kNotFound);
    ExpectError(List(PathData({"plain.txt"})), kNotFound);
    ExpectError(List(PathData({"Missing"})), kNotFound);
}

TEST_F(FileListTest, PathEscapesAreRefused) {
    // Something beside the root that a climb would reach, and a real folder whose name holds two
    // dots: neither may be listed.
    MakeDir(mDir / "Secret");
    WriteFile(mDir / "Secret/key.txt", "k");
    MakeDir(Files("a..b"));
    WriteFile(Files("a..b/x.txt"), "x");
    MakeDir(Files("Sub"));

    for (const auto& path : std::vector<std::vector<std::string>>{
             {".."}, {"..", "Secret"}, {"Sub", "..", ".."}, {"a..b"}, {"..."}, {"/"}, {mDir / "Secret"}, {"../Secret"}}) {
        SCOPED_TRACE(path.back());
        ExpectError(List(PathData(path)), kNotFound);
    }
}

TEST_F(FileListTest, DropBoxShowsOnlyPartialUploadsWithoutThePrivilege) {
    MakeDir(Files("Incoming Drop Box/Sub"));
    WriteFile(Files("Incoming Drop Box/part.kpf"), "12");
    WriteFile(Files("Incoming Drop Box/done.txt"), "done");
    WriteFile(Files("Incoming Drop Box/Sub/deep.txt"), "deep");
    WriteFile(Files("Incoming Drop Box/Sub/deep.kpf"), "d");
    Link(Files("Incoming Drop Box"), Files("box.lnk"));
    Link(Files("Incoming Drop Box/Sub"), Files("sub.lnk"));

    auto restricted = Entries(List(PathData({"Incoming Drop Box"})));
    ASSERT_EQ(restricted.size(), 1u);
    EXPECT_EQ(restricted["part.kpf"], Entry("KXft", "KXLC", 2, "part.kpf"));
    // Below a drop box, and through aliases into one, the same filter applies.
    for (const auto& path : std::vector<std::vector<std::string>>{{"Incoming Drop Box", "Sub"}, {"sub.lnk"}}) {
        auto below = Entries(List(PathData(path)));
        ASSERT_EQ(below.size(), 1u) << path.back();
        EXPECT_EQ(below.count("deep.kpf"), 1u);
    }
    EXPECT_EQ(Entries(List(PathData({"box.lnk"}))).size(), 1u);
    // The root itself lists the drop box as an ordinary folder (its item count included).
    EXPECT_EQ(Entries(List())["Incoming Drop Box"], Entry("fldr", "\0\0\0\0", 3, "Incoming Drop Box"));

    Grant({myAcc_ViewDropBoxes});
    auto all = Entries(List(PathData({"Incoming Drop Box"})));
    EXPECT_EQ(all.size(), 3u);
    EXPECT_EQ(all["done.txt"], Entry("TEXT", "ttxt", 4, "done.txt"));
    EXPECT_EQ(Entries(List(PathData({"sub.lnk"}))).size(), 2u);
}

TEST_F(FileListTest, AccountWithItsOwnFilesFolderSeesOnlyThatFolder) {
    WriteFile(Files("shared.txt"), "s");
    MakeDir(mDir / "Users/bob/Files");
    WriteFile(mDir / "Users/bob/Files/own.txt", "own");
    WriteFile(mDir / "Users/bob/UserData", "not reachable");
    mClient->accountLogin = "bob";
    mApp->ResolveClientRoots(mClient);  // as a login does

    auto own = Entries(List());
    ASSERT_EQ(own.size(), 1u);
    EXPECT_EQ(own.count("own.txt"), 1u);
    // The account folder above the root stays out of reach.
    ExpectError(List(PathData({".."})), kNotFound);

    // The root is the account's as long as the client is logged in; it is looked up again when
    // an account change reaches the client.
    std::filesystem::remove_all(mDir / "Users/bob/Files");
    const SFileReply gone = List();
    ASSERT_TRUE(gone.ok);
    EXPECT_NE(gone.error, 0u);
    mApp->ResolveClientRoots(mClient);
    auto shared = Entries(List());
    EXPECT_EQ(shared.count("shared.txt"), 1u);
    EXPECT_EQ(shared.count("own.txt"), 0u);

    // Another account without a folder of its own sees the shared tree.
    mClient->accountLogin = "alice";
    mApp->ResolveClientRoots(mClient);
    EXPECT_EQ(Entries(List()).count("shared.txt"), 1u);
}

class FileInfoTest : public FileRequestsFixture {
protected:
    SFileReply Info(const std::string& name, const Bytes& path = {}) { return Send(kTranGetFileInfo, NameAndPath(name, path)); }

    static std::vector<std::uint16_t> Ids(const SFileReply& r) {
        std::vector<std::uint16_t> ids;
        for (const auto& f : r.fields) ids.push_back(f.id);
        return ids;
    }

    static void SetModified(const std::string& path, std::time_t when) {
        struct timeval tv[2] = {{when, 0}, {when, 0}};
        ASSERT_EQ(::lutimes(path.c_str(), tv), 0);
    }
};

TEST_F(FileInfoTest, FileReplyHasTheFieldsInOrderWithDescriptions) {
    MakeDir(Files("Docs"));
    WriteFile(Files("Docs/notes.txt"), "hello");
    // 2021-03-01 00:00:10 UTC: day 60 of a common year.
    SetModified(Files("Docs/notes.txt"), 1614556810);

    SFileReply r = Info("notes.txt", PathData({"Docs"}));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.error, 0u);
    EXPECT_EQ(Ids(r), (std::vector<std::uint16_t>{kFieldFileType, kFieldFileTypeString, kFieldFileCreatorString,
                                                  kFieldFileSize, kFieldFileName, kFieldFileCreateDate,
                                                  kFieldFileModifyDate}));
    EXPECT_EQ(r.Text(kFieldFileType), "TEXT");
    EXPECT_EQ(r.Text(kFieldFileTypeString), "Text File");
    EXPECT_EQ(r.Text(kFieldFileCreatorString), "SimpleText");
    EXPECT_EQ(FindField(r.fields, kFieldFileSize)->Int(), 5);
    EXPECT_EQ(r.Text(kFieldFileName), "notes.txt");
    const std::uint32_t secs = 59 * 86400 + 10;
    EXPECT_EQ(FindField(r.fields, kFieldFileModifyDate)->data,
              (Bytes{0x07, 0xE5, 0, 0, std::uint8_t(secs >> 24), std::uint8_t(secs >> 16), std::uint8_t(secs >> 8),
                     std::uint8_t(secs)}));
    EXPECT_EQ(FindField(r.fields, kFieldFileCreateDate)->data.size(), 8u);

    WriteFile(Files("blob.xyz"), "1234");
    SFileReply other = Info("blob.xyz");
    EXPECT_EQ(other.Text(kFieldFileType), "BINA");
    EXPECT_EQ(other.Text(kFieldFileTypeString), "BINA");
    EXPECT_EQ(other.Text(kFieldFileCreatorString), "dosa");

    WriteFile(Files("part.kpf"), "");
    SFileReply partial = Info("part.kpf");
    EXPECT_EQ(partial.Text(kFieldFileTypeString), "Incomplete File");
    EXPECT_EQ(partial.Text(kFieldFileCreatorString), "Kestrix");
    EXPECT_EQ(FindField(partial.fields, kFieldFileSize)->Int(), 0);
}

TEST_F(FileInfoTest, FoldersAliasesAndBrokenAliases) {
    MakeDir(Files("Music"));
    WriteFile(Files("Music/a"), "");
    WriteFile(Files("song.mp3"), "123");
    Link(Files("Music"), Files("M.lnk"));
    Link(Files("song.mp3"), Files("S.lnk"));
    Link(Files("gone.txt"), Files("G.lnk"));

    SFileReply folder = Info("Music");
    EXPECT_EQ(Ids(folder), (std::vector<std::uint16_t>{kFieldFileTypeString, kFieldFileCreatorString, kFieldFileType,
                                                       kFieldFileName, kFieldFileCreateDate, kFieldFileModifyDate}));
    EXPECT_EQ(folder.Text(kFieldFileTypeString), "Folder");
    EXPECT_EQ(folder.Text(kFieldFileCreatorString), "n/a");
    EXPECT_EQ(folder.Text(kFieldFileType), "fldr");

    SFileReply folderAlias = Info("M.lnk");
    EXPECT_EQ(folderAlias.Text(kFieldFileTypeString), "Folder Alias");
    EXPECT_EQ(folderAlias.Text(kFieldFileName), "M.lnk");

    SFileReply fileAlias = Info("S.lnk");
    EXPECT_EQ(fileAlias.Text(kFieldFileType), "MP3 ");
    EXPECT_EQ(fileAlias.Text(kFieldFileTypeString), "MP3  (alias)");
    EXPECT_EQ(fileAlias.Text(kFieldFileCreatorString), "MAmp");
    EXPECT_EQ(FindField(fileAlias.fields, kFieldFileSize)->Int(), 3);
    EXPECT_EQ(fileAlias.Text(kFieldFileName), "S.lnk");

    SFileReply broken = Info("G.lnk");
    ASSERT_EQ(broken.error, 0u);
    EXPECT_EQ(Ids(broken), (std::vector<std::uint16_t>{kFieldFileTypeString, kFieldFileCreatorString, kFieldFileType,
                                                       kFieldFileName}));
    EXPECT_EQ(broken.Text(kFieldFileTypeString), "Unattached Alias");
    EXPECT_EQ(broken.Text(kFieldFileCreatorString), "n/a");
    EXPECT_EQ(broken.Text(kFieldFileType), "alis");
    EXPECT_EQ(broken.Text(kFieldFileName), "G.lnk");
}

TEST_F(FileInfoTest, MissingItemsAndEscapesGetTheNoSuchItemMessage) {
    WriteFile(mDir / "outside.txt", "o");
    MakeDir(Files("a..b"));
    WriteFile(Files("a..b/in.txt"), "i");
    const auto missing = [](const std::string& name) {
        return "Cannot get info because there is no file/folder named " + Q(name) + ".";
    };
    ExpectError(Info("nothing.txt"), missing("nothing.txt"));
    ExpectError(Info("outside.txt", PathData({".."})), missing("outside.txt"));
    ExpectError(Info("in.txt", PathData({"a..b"})), missing("in.txt"));
    ExpectError(Info("../outside.txt"), missing("../outside.txt"));
    ExpectError(Info(".."), missing(".."));
    ExpectError(Info(mDir / "outside.txt"), missing(mDir / "outside.txt"));
    EXPECT_EQ(mApp->ErrorCount(), 0u);
}

TEST(FileTreeRules, DescriptionsAndNameTests) {
    using namespace UFileTree;
    EXPECT_EQ(FileTypeDescription(MakeCode("KXbm"), false), "Kestrix Bookmark");
    EXPECT_EQ(FileTypeDescription(MakeCode("SITD"), false), "StuffIt Archive");
    EXPECT_EQ(FileTypeDescription(MakeCode("APPL"), false), "Application Program");
    EXPECT_EQ(FileTypeDescription(MakeCode("TEXT"), true), "TEXT (alias)");
    EXPECT_EQ(FileCreatorDescription(MakeCode("KXLS")), "Kestrix");
    EXPECT_EQ(FileCreatorDescription(MakeCode("SIT!")), "StuffIt");
    EXPECT_EQ(FileCreatorDescription(0), std::string(4, '\0'));
    EXPECT_TRUE(IsDropBoxName("My DROP BOX 2"));
    EXPECT_FALSE(IsDropBoxName("dropbox"));
    EXPECT_TRUE(IsUploadFolderName("Uploads"));
    EXPECT_FALSE(IsUploadFolderName("Downloads"));
}

}  // namespace
}  // namespace kx::test
