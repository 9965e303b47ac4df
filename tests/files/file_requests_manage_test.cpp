// The file transactions that change the tree, through a real connection: privileges and every
// refusal text, the name rules, deletion into the trash, the error-reply form, and requests that
// try to reach or change anything outside the client's root.
#include <algorithm>

#include "files/file_requests_fixture.h"

namespace kx::test {
namespace {

class FileManageTest : public FileRequestsFixture {
protected:
    void SetUp() override {
        FileRequestsFixture::SetUp();
        // Beside the root, where no request may reach.
        WriteFile(mDir / "outside.txt", "keep");
        MakeDir(mDir / "Secret");
        WriteFile(mDir / "Secret/key.txt", "key");
    }

    void ExpectOutsideUntouched() {
        EXPECT_EQ(Read(mDir / "outside.txt"), "keep");
        EXPECT_EQ(Read(mDir / "Secret/key.txt"), "key");
        EXPECT_TRUE(std::filesystem::is_directory(Files()));
        EXPECT_TRUE(TrashNames().empty());
        // Refused requests are answered, not counted as server errors.
        EXPECT_EQ(mApp->ErrorCount(), 0u);
    }

    SFileReply Delete(const std::string& name, const Bytes& path = {}) { return Send(kTranDeleteFile, NameAndPath(name, path)); }
    SFileReply NewFolder(const std::string& name, const Bytes& path = {}) {
        return Send(kTranNewFolder, NameAndPath(name, path));
    }
    SFileReply Rename(const std::string& name, const std::string& newName, const Bytes& path = {}) {
        return Send(kTranSetFileInfo, NameAndPath(name, path).Add(kFieldFileNewName, newName));
    }
    SFileReply Move(const std::string& name, const Bytes& path, const Bytes& newPath) {
        CFieldListBuilder b = NameAndPath(name, path);
        if (!newPath.empty()) b.Add(kFieldFileNewPath, newPath);
        return Send(kTranMoveFile, b);
    }
    SFileReply Alias(const std::string& name, const Bytes& path, const Bytes& newPath) {
        CFieldListBuilder b = NameAndPath(name, path);
        if (!newPath.empty()) b.Add(kFieldFileNewPath, newPath);
        return Send(kTranMakeFileAlias, b);
    }

    // The error-reply form: prefix, carriage return, catalogue message, carriage return, detail.
    static void ExpectPrefixedError(const SFileReply& r, const std::string& prefix, const std::string& message,
                                    const std::string& id) {
        ASSERT_TRUE(r.ok);
        EXPECT_NE(r.error, 0u);
        const std::string text = r.ErrorText();
        EXPECT_EQ(text.substr(0, prefix.size() + message.size() + 2), prefix + "\r" + message + "\r") << text;
        EXPECT_EQ(text.substr(prefix.size() + message.size() + 2, 3 + id.size()), "ID " + id) << text;
    }
};

// ---- delete ----

TEST_F(FileManageTest, DeleteNeedsTheRightPrivilegeForFilesAndFolders) {
    WriteFile(Files("a.txt"), "a");
    MakeDir(Files("Dir"));
    Link(Files("Dir"), Files("D.lnk"));

    ExpectError(Delete("a.txt"), "You are not allowed to delete files.");
    ExpectError(Delete("Dir"), "You are not allowed to delete folders.");
    Grant({myAcc_DeleteFiles});
    ExpectError(Delete("Dir"), "You are not allowed to delete folders.");
    ExpectError(Delete("D.lnk"), "You are not allowed to delete folders.");
    EXPECT_TRUE(Exists(Files("a.txt")));
    EXPECT_TRUE(Exists(Files("Dir")));
    ExpectEmptyReply(Delete("a.txt"));
    EXPECT_FALSE(Exists(Files("a.txt")));
    EXPECT_EQ(TrashNames(), std::vector<std::string>{"a.txt"});
}

TEST_F(FileManageTest, DeleteMovesFoldersWithContentsAndAliasesAsLinksIntoTheTrash) {
    MakeDir(Files("Full/Inner"));
    WriteFile(Files("Full/Inner/f.txt"), "f");
    WriteFile(Files("target.txt"), "t");
    Link(Files("target.txt"), Files("t.lnk"));
    WriteFile(Files("Full/dup.txt"), "1");
    WriteFile(Files("dup.txt"), "2");
    Grant({myAcc_DeleteFiles, myAcc_DeleteFolders});

    ExpectEmptyReply(Delete("Full"));
    EXPECT_FALSE(Exists(Files("Full")));
    EXPECT_EQ(Read(mDir / "Trash/Full/Inner/f.txt"), "f");

    ExpectEmptyReply(Delete("t.lnk"));
    EXPECT_FALSE(Exists(Files("t.lnk")));
    EXPECT_TRUE(IsLink(mDir / "Trash/t.lnk"));
    EXPECT_EQ(Read(Files("target.txt")), "t");

    // An item named by its path alone, and a second item of a name the trash already holds.
    WriteFile(Files("Two.txt"), "x");
    ExpectEmptyReply(Send(kTranDeleteFile, CFieldListBuilder().Add(kFieldFilePath, PathData({"Two.txt"}))));
    EXPECT_FALSE(Exists(Files("Two.txt")));
    ExpectEmptyReply(Delete("dup.txt"));
    MakeDir(Files("Again"));
    WriteFile(Files("Again/dup.txt"), "3");
    ExpectEmptyReply(Delete("dup.txt", PathData({"Again"})));
    EXPECT_EQ(Read(mDir / "Trash/dup.txt"), "2");
    EXPECT_EQ(Read(mDir / "Trash/dup.txt 2"), "3");
}

TEST_F(FileManageTest, DeleteThatCannotReachTheTrashIsReportedAndDeletesNothing) {
    Grant({myAcc_DeleteFiles});
    WriteFile(Files("a.txt"), "a");
    // A file where the trash folder should be: the move fails.
    std::filesystem::remove_all(mDir / "Trash");
    WriteFile(mDir / "Trash", "");
    SFileReply r = Delete("a.txt");
    ASSERT_TRUE(r.ok);
    EXPECT_NE(r.error, 0u);
    EXPECT_EQ(r.ErrorText().rfind("Cannot delete " + Q("a.txt") + ":\r", 0), 0u) << r.ErrorText();
    EXPECT_EQ(Read(Files("a.txt")), "a");
}

TEST_F(FileManageTest, DeleteRefusesMissingItemsTheRootAndEscapes) {
    Grant({myAcc_DeleteFiles, myAcc_DeleteFolders});
    MakeDir(Files("a..b"));
    WriteFile(Files("a..b/x.txt"), "x");
    const auto gone = [](const std::string& name) {
        return "Cannot delete " + Q(name) + " because it does not exist or cannot be found.";
    };
    ExpectError(Delete("nothing"), gone("nothing"));
    ExpectError(Send(kTranDeleteFile, CFieldListBuilder()), gone(""));
    ExpectError(Delete("", Bytes{0, 0, 0, 0, 0, 0}), gone(""));
    ExpectError(Delete("outside.txt", PathData({".."})), gone("outside.txt"));
    ExpectError(Delete("", PathData({".."})), gone(""));
    ExpectError(Delete("Secret", PathData({"Sub", "..", ".."})), gone("Secret"));
    ExpectError(Delete("x.txt", PathData({"a..b"})), gone("x.txt"));
    ExpectError(Delete("../outside.txt"), gone("../outside.txt"));
    ExpectError(Delete(".."), gone(".."));
    ExpectError(Delete(mDir / "outside.txt"), gone(mDir / "outside.txt"));
    EXPECT_TRUE(Exists(Files("a..b/x.txt")));
    ExpectOutsideUntouched();
}

// ---- new folder ----

TEST_F(FileManageTest, NewFolderAppliesTheNameRulesAndRefusesWhatItMust) {
    ExpectError(NewFolder("New"), "You are not allowed to create folders.");
    EXPECT_FALSE(Exists(Files("New")));

    Grant({myAcc_CreateFolders});
    ExpectEmptyReply(NewFolder("New"));
    EXPECT_TRUE(std::filesystem::is_directory(Files("New")));
    ExpectEmptyReply(NewFolder("Inner", PathData({"New"})));
    EXPECT_TRUE(std::filesystem::is_directory(Files("New/Inner")));

    ExpectEmptyReply(NewFolder(".hidden"));
    EXPECT_TRUE(std::filesystem::is_directory(Files("-hidden")));
    ExpectEmptyReply(NewFolder("a/b"));
    EXPECT_TRUE(std::filesystem::is_directory(Files("a-b")));
    ExpectEmptyReply(NewFolder("end  "));
    EXPECT_TRUE(std::filesystem::is_directory(Files("end--")));
    ExpectEmptyReply(NewFolder(".."));
    EXPECT_TRUE(std::filesystem::is_directory(Files("--")));

    WriteFile(Files("file.txt"), "f");
    ExpectError(NewFolder("file.txt"),
                "Cannot create folder " + Q("file.txt") + " because there is already a file or folder with that name.");
    ExpectError(NewFolder("x", PathData({"Nowhere"})),
                "Cannot create folder " + Q("x") + " because the enclosing folder could not be found.");
    ExpectError(NewFolder("Evil", PathData({".."})),
                "Cannot create folder " + Q("Evil") + " because the enclosing folder could not be found.");
    // The message names the folder after the name rules.
    ExpectError(NewFolder(".y", PathData({"Nowhere"})),
                "Cannot create folder " + Q("-y") + " because the enclosing folder could not be found.");
    EXPECT_FALSE(Exists(mDir / "Evil"));
    ExpectOutsideUntouched();

    // A name too long for the host: the error-reply form with the catalogue message.
    const std::string longName(200, '\xE9');  // 200 Mac OS Roman bytes, 400 bytes of UTF-8
    ExpectPrefixedError(NewFolder(longName), "Cannot create folder " + Q(longName) + ":", "The name is too long.",
                        "4/118");
}

// ---- set info ----

TEST_F(FileManageTest, RenameNeedsPrivilegesAndChecksDropBoxesAndLinks) {
    WriteFile(Files("notes.txt"), "n");
    MakeDir(Files("Dir"));
    MakeDir(Files("Our Drop Box"));
    WriteFile(Files("target"), "t");
    Link(Files("target"), Files("old.lnk"));

    ExpectError(Rename("notes.txt", "other.txt"), "You are not allowed to rename files.");
    ExpectError(Rename("Dir", "Dir2"), "You are not allowed to rename folders.");
    // Same name: nothing to do, no privilege needed.
    ExpectEmptyReply(Rename("notes.txt", "notes.txt"));

    Grant({myAcc_RenameFiles, myAcc_RenameFolders});
    ExpectError(Rename("Our Drop Box", "Open"), "You are not allowed to rename drop boxes.");
    ExpectError(Rename("notes.txt", "notes.lnk"), "You are not allowed to hack servers.");
    ExpectError(Rename("notes.txt", "NOTES.LNK"), "You are not allowed to hack servers.");
    EXPECT_TRUE(Exists(Files("notes.txt")));
    EXPECT_TRUE(Exists(Files("Our Drop Box")));

    ExpectEmptyReply(Rename("old.lnk", "new.lnk"));
    EXPECT_TRUE(IsLink(Files("new.lnk")));
    EXPECT_EQ(Read(Files("new.lnk")), "t");

    ExpectEmptyReply(Rename("notes.txt", "a/b:c"));
    EXPECT_EQ(Read(Files("a-b-c")), "n");
    ExpectEmptyReply(Rename("Dir", ".."));
    EXPECT_TRUE(std::filesystem::is_directory(Files("--")));

    Grant({myAcc_ViewDropBoxes});
    ExpectEmptyReply(Rename("Our Drop Box", "Open"));
    EXPECT_TRUE(std::filesystem::is_directory(Files("Open")));

    // Renaming onto an existing name replaces nothing: the error-reply form.
    WriteFile(Files("x.txt"), "x");
    WriteFile(Files("y.txt"), "y");
    ExpectPrefixedError(Rename("x.txt", "y.txt"), "Cannot set info for " + Q("x.txt") + ":",
                        "An item with that name already exists.", "4/115");
    EXPECT_EQ(Read(Files("y.txt")), "y");
    EXPECT_EQ(Read(Files("x.txt")), "x");
}

TEST_F(FileManageTest, CommentsNeedTheirPrivilegeAndComeBeforeTheRename) {
    WriteFile(Files("f.txt"), "f");
    MakeDir(Files("Dir"));
    Link(Files("gone"), Files("broken.lnk"));
    const auto comment = [](const std::string& name) {
        return NameAndPath(name).Add(kFieldFileComment, std::string("hi"));
    };
    ExpectError(Send(kTranSetFileInfo, comment("f.txt")), "You are not allowed set comments for files.");
    ExpectError(Send(kTranSetFileInfo, comment("Dir")), "You are not allowed set comments for folders.");
    // An alias that cannot be followed takes no comment and needs no privilege for one.
    ExpectEmptyReply(Send(kTranSetFileInfo, comment("broken.lnk")));

    Grant({myAcc_SetFileComment});
    ExpectEmptyReply(Send(kTranSetFileInfo, comment("f.txt")));
    // The comment is accepted, then the rename is refused.
    ExpectError(Send(kTranSetFileInfo, comment("f.txt").Add(kFieldFileNewName, std::string("g.txt"))),
                "You are not allowed to rename files.");
    EXPECT_TRUE(Exists(Files("f.txt")));
}

TEST_F(FileManageTest, SetInfoRefusesMissingItemsTheRootAndEscapes) {
    Grant({myAcc_RenameFiles, myAcc_RenameFolders, myAcc_ViewDropBoxes});
    const auto none = [](const std::string& name) {
        return "Cannot set info because there is no file/folder named " + Q(name) + ".";
    };
    ExpectError(Rename("nothing", "x"), none("nothing"));
    ExpectError(Rename("", "Renamed"), none(""));
    ExpectError(Rename("outside.txt", "x", PathData({".."})), none("outside.txt"));
    ExpectError(Rename("", "x", PathData({".."})), none(""));
    ExpectError(Rename("../outside.txt", "x"), none("../outside.txt"));
    // A new name cannot climb either: it is only ever a name inside the item's folder.
    WriteFile(Files("in.txt"), "in");
    ExpectEmptyReply(Rename("in.txt", "../../moved.txt"));
    EXPECT_EQ(Read(Files("-.-..-moved.txt")), "in");
    EXPECT_FALSE(Exists(mDir / "moved.txt"));
    EXPECT_FALSE(Exists(Files("Renamed")));
    EXPECT_FALSE(Exists(mDir / "Renamed"));
    ExpectOutsideUntouched();
}

// ---- move ----

TEST_F(FileManageTest, MoveNeedsPrivilegesAndMovesIntoTheDestination) {
    WriteFile(Files("f.txt"), "f");
    MakeDir(Files("Dir/Sub"));
    MakeDir(Files("Dest"));
    Link(Files("Dest"), Files("dest.lnk"));

    ExpectError(Move("f.txt", {}, PathData({"Dest"})), "You are not allowed to move files.");
    ExpectError(Move("Dir", {}, PathData({"Dest"})), "You are not allowed to move folders.");
    Grant({myAcc_MoveFiles});
    ExpectError(Move("Dir", {}, PathData({"Dest"})), "You are not allowed to move folders.");

    ExpectEmptyReply(Move("f.txt", {}, PathData({"dest.lnk"})));
    EXPECT_EQ(Read(Files("Dest/f.txt")), "f");
    EXPECT_FALSE(Exists(Files("f.txt")));
    // No destination path: the root.
    ExpectEmptyReply(Move("f.txt", PathData({"Dest"}), {}));
    EXPECT_EQ(Read(Files("f.txt")), "f");

    Grant({myAcc_MoveFolders});
    ExpectEmptyReply(Move("Dir", {}, PathData({"Dest"})));
    EXPECT_TRUE(std::filesystem::is_directory(Files("Dest/Dir/Sub")));
}

TEST_F(FileManageTest, MoveRefusalsAndTheirMessages) {
    Grant({myAcc_MoveFiles, myAcc_MoveFolders});
    WriteFile(Files("f.txt"), "1");
    MakeDir(Files("Dest"));
    WriteFile(Files("Dest/f.txt"), "2");
    MakeDir(Files("Dir/Sub"));

    ExpectError(Move("nothing", {}, PathData({"Dest"})),
                "Cannot move because there is no file/folder named " + Q("nothing") + ".");
    ExpectError(Move("f.txt", {}, PathData({"Nowhere"})),
                "Cannot move " + Q("f.txt") + " because the destination folder could not be found.");
    ExpectError(Move("f.txt", {}, PathData({"Dest", "f.txt"})),
                "Cannot move " + Q("f.txt") + " because the destination folder could not be found.");
    ExpectError(Move("f.txt", {}, PathData({"Dest"})),
                "Cannot move " + Q("f.txt") +
                    " because there is already a file/folder in the destination folder with the same name.");
    ExpectError(Move("Dir", {}, PathData({"Dir", "Sub"})),
                "Cannot move " + Q("Dir") + " into itself or into a subfolder of itself.");
    ExpectError(Move("Dir", {}, PathData({"Dir"})), "Cannot move " + Q("Dir") + " into itself or into a subfolder of itself.");
    EXPECT_EQ(Read(Files("f.txt")), "1");
    EXPECT_EQ(Read(Files("Dest/f.txt")), "2");
    EXPECT_TRUE(std::filesystem::is_directory(Files("Dir/Sub")));
}

TEST_F(FileManageTest, MoveCannotTakeAnythingOutOfOrIntoBeyondTheRoot) {
    Grant({myAcc_MoveFiles, myAcc_MoveFolders});
    WriteFile(Files("f.txt"), "f");
    MakeDir(Files("a..b"));
    const std::string none = "Cannot move because there is no file/folder named ";
    ExpectError(Move("", {}, PathData({"Dest"})), none + Q("") + ".");
    ExpectError(Move("outside.txt", PathData({".."}), {}), none + Q("outside.txt") + ".");
    ExpectError(Move("key.txt", PathData({"..", "Secret"}), {}), none + Q("key.txt") + ".");
    ExpectError(Move("../outside.txt", {}, {}), none + Q("../outside.txt") + ".");
    for (const auto& dest : std::vector<std::vector<std::string>>{{".."}, {"..", "Secret"}, {"a..b"}, {"/tmp"}}) {
        ExpectError(Move("f.txt", {}, PathData(dest)),
                    "Cannot move " + Q("f.txt") + " because the destination folder could not be found.");
    }
    EXPECT_EQ(Read(Files("f.txt")), "f");
    EXPECT_FALSE(Exists(mDir / "f.txt"));
    EXPECT_FALSE(Exists(mDir / "Secret/f.txt"));
    ExpectOutsideUntouched();
}

// ---- make alias ----

TEST_F(FileManageTest, MakeAliasCreatesALinkToTheItemInsideTheRoot) {
    WriteFile(Files("song.mp3"), "music");
    MakeDir(Files("Links"));
    MakeDir(Files("Folder"));
    WriteFile(Files("Folder/in.txt"), "in");

    ExpectError(Alias("song.mp3", {}, PathData({"Links"})), "You are not allowed to make aliases.");
    Grant({myAcc_MakeAliases});
    ExpectEmptyReply(Alias("song.mp3", {}, PathData({"Links"})));
    ASSERT_TRUE(IsLink(Files("Links/song.mp3.lnk")));
    EXPECT_EQ(LinkTarget(Files("Links/song.mp3.lnk")), Files("song.mp3"));

    // An alias to a folder is a path component that leads into the folder.
    ExpectEmptyReply(Alias("Folder", {}, PathData({"Links"})));
    SFileReply listed = Send(kTranGetFileNameList, CFieldListBuilder().Add(kFieldFilePath, PathData({"Links", "Folder.lnk"})));
    ASSERT_EQ(listed.fields.size(), 1u);
    EXPECT_EQ(std::string(listed.fields[0].data.begin() + 20, listed.fields[0].data.end()), "in.txt");

    // Named by its path alone, the alias takes the item's own name.
    ExpectEmptyReply(Alias("", PathData({"Folder", "in.txt"}), {}));
    EXPECT_TRUE(IsLink(Files("in.txt.lnk")));

    ExpectError(Alias("song.mp3", {}, PathData({"Links"})),
                "Cannot make alias of " + Q("song.mp3") +
                    " because there is already a file/folder in the destination folder with the same name.");
    ExpectError(Alias("nothing", {}, PathData({"Links"})),
                "Cannot make alias because there is no file/folder named " + Q("nothing") + ".");
    ExpectError(Alias("song.mp3", {}, PathData({"Nowhere"})),
                "Cannot make alias of " + Q("song.mp3") + " because the destination folder could not be found.");
}

TEST_F(FileManageTest, MakeAliasCannotPointOutsideOrBeCreatedOutside) {
    Grant({myAcc_MakeAliases});
    WriteFile(Files("f.txt"), "f");
    const std::string none = "Cannot make alias because there is no file/folder named ";
    const std::string noDest = " because the destination folder could not be found.";
    ExpectError(Alias("outside.txt", PathData({".."}), {}), none + Q("outside.txt") + ".");
    ExpectError(Alias("Secret", PathData({".."}), {}), none + Q("Secret") + ".");
    ExpectError(Alias("", PathData({"..", "Secret"}), {}), none + Q("") + ".");
    ExpectError(Alias("../outside.txt", {}, {}), none + Q("../outside.txt") + ".");
    ExpectError(Alias(mDir / "outside.txt", {}, {}), none + Q(mDir / "outside.txt") + ".");
    // The root itself has no name to give an alias: nothing may appear beside it.
    ExpectError(Alias("", {}, {}), none + Q("") + ".");
    ExpectError(Alias("", {}, PathData({".."})), none + Q("") + ".");
    EXPECT_FALSE(Exists(mDir / "Files.lnk"));
    // A real item, but a destination beyond the root.
    ExpectError(Alias("f.txt", {}, PathData({".."})), "Cannot make alias of " + Q("f.txt") + noDest);
    ExpectError(Alias("f.txt", {}, PathData({"..", "Secret"})), "Cannot make alias of " + Q("f.txt") + noDest);
    EXPECT_FALSE(Exists(mDir / "f.txt.lnk"));
    EXPECT_FALSE(Exists(mDir / "Secret/f.txt.lnk"));
    ExpectOutsideUntouched();
}

TEST_F(FileManageTest, AccountRootKeepsEveryChangeInsideIt) {
    MakeDir(mDir / "Users/bob/Files");
    WriteFile(mDir / "Users/bob/Files/mine.txt", "m");
    WriteFile(Files("shared.txt"), "s");
    WriteFile(mDir / "Users/bob/UserData", "record");
    mClient->accountLogin = "bob";
    mApp->ResolveClientRoots(mClient);  // as a login does
    Grant({myAcc_DeleteFiles, myAcc_MoveFiles, myAcc_CreateFolders, myAcc_MakeAliases});

    ExpectError(Delete("shared.txt"), "Cannot delete " + Q("shared.txt") + " because it does not exist or cannot be found.");
    ExpectEmptyReply(NewFolder("Made"));
    EXPECT_TRUE(std::filesystem::is_directory(mDir / "Users/bob/Files/Made"));
    EXPECT_FALSE(Exists(Files("Made")));
    ExpectEmptyReply(Move("mine.txt", {}, PathData({"Made"})));
    EXPECT_EQ(Read(mDir / "Users/bob/Files/Made/mine.txt"), "m");
    ExpectError(Delete("UserData", PathData({".."})),
                "Cannot delete " + Q("UserData") + " because it does not exist or cannot be found.");
    ExpectEmptyReply(Delete("mine.txt", PathData({"Made"})));
    EXPECT_EQ(Read(mDir / "Trash/mine.txt"), "m");
    EXPECT_EQ(Read(Files("shared.txt")), "s");
}

}  // namespace
}  // namespace kx::test
