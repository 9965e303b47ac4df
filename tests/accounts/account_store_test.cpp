// The account store on a real temporary folder: create, read, rewrite, rename and delete with
// their exact errors, case-insensitive look-up, hostile logins that must never reach outside
// "Users", deletion into the trash without overwriting, and damaged records.
#include "accounts/account_store.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <stdlib.h>

#include "framework/file_util.h"
#include "support/error_checks.h"

namespace kx {
namespace {

namespace fs = std::filesystem;

class AccountStore : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kx-accounts-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
        users = root + "/Users";
        trash = root + "/Trash";
        fs::create_directory(users);
        store = std::make_unique<CMyAccountStore>(users, trash);
    }
    void TearDown() override { fs::remove_all(root); }

    static SMyUserDataFile Record(std::string_view login, std::string_view name = "Some One") {
        SMyUserDataFile rec;
        rec.SetLogin(login);
        rec.SetName(name);
        rec.SetPassword(UUserData::EncodeText("secret"));
        rec.access.SetPriv(myAcc_ReadChat);
        return rec;
    }

    static std::vector<std::uint8_t> FileBytes(const std::string& path) {
        return UFileUtil::ReadWholeFile(path).value_or(std::vector<std::uint8_t>{});
    }

    // Every path below the temporary root, relative to it.
    std::set<std::string> Tree() const {
        std::set<std::string> out;
        for (auto& e : fs::recursive_directory_iterator(root)) out.insert(fs::relative(e.path(), root).string());
        return out;
    }

    void WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                    static_cast<std::streamsize>(bytes.size()));
    }

    std::string root, users, trash;
    std::unique_ptr<CMyAccountStore> store;
};

#define EXPECT_KX_ERROR(stmt, cls, code) EXPECT_EQ(test::ErrorOf([&] { stmt; }), std::make_pair(int(cls), int(code))) << #stmt

TEST_F(AccountStore, NewUserWritesTheRecordIntoAFolderNamedByTheLogin) {
    const auto rec = Record("Bob");
    store->NewUser(rec);
    const auto bytes = FileBytes(users + "/Bob/UserData");
    const auto expected = UUserData::Encode(rec);
    EXPECT_EQ(bytes, std::vector<std::uint8_t>(expected.begin(), expected.end()));
    EXPECT_EQ(Tree(), (std::set<std::string>{"Users", "Users/Bob", "Users/Bob/UserData"}));
    EXPECT_EQ(store->GetUser("Bob"), rec);
    EXPECT_TRUE(store->ExistsUser("Bob"));
}

TEST_F(AccountStore, NewUserOnAnExistingAccountFailsAndLeavesItUntouched) {
    store->NewUser(Record("bob", "Original"));
    const auto before = FileBytes(users + "/bob/UserData");
    EXPECT_KX_ERROR(store->NewUser(Record("bob", "Intruder")), 4, 115);
    EXPECT_KX_ERROR(store->NewUser(Record("BOB", "Intruder")), 4, 115);
    EXPECT_EQ(FileBytes(users + "/bob/UserData"), before);
    EXPECT_FALSE(fs::exists(users + "/BOB"));
    // A plain file of that name blocks the creation as well.
    WriteFile(users + "/carol", {1, 2, 3});
    EXPECT_KX_ERROR(store->NewUser(Record("Carol")), 4, 115);
    EXPECT_EQ(FileBytes(users + "/carol"), (std::vector<std::uint8_t>{1, 2, 3}));
}

TEST_F(AccountStore, NewUserRefusesLongLoginsMalformedRecordsAndAMissingUsersFolder) {
    EXPECT_KX_ERROR(store->NewUser(Record(std::string(32, 'x'))), 1, 10);
    store->NewUser(Record(std::string(31, 'x')));
    EXPECT_TRUE(fs::exists(users + "/" + std::string(31, 'x') + "/UserData"));
    auto bad = Record("vers");
    bad.version = 2;
    EXPECT_KX_ERROR(store->NewUser(bad), 1, 2);
    EXPECT_FALSE(fs::exists(users + "/vers"));

    CMyAccountStore unset("", trash);
    EXPECT_KX_ERROR(unset.NewUser(Record("bob")), 4, 102);
    CMyAccountStore missing(root + "/NoUsers", trash);
    EXPECT_KX_ERROR(missing.NewUser(Record("bob")), 4, 104);
    EXPECT_FALSE(fs::exists(root + "/NoUsers"));
}

TEST_F(AccountStore, GetUserReportsEachMissingPieceWithItsOwnError) {
    EXPECT_KX_ERROR(store->GetUser(""), 4, 102);
    EXPECT_KX_ERROR(CMyAccountStore("", trash).GetUser("bob"), 4, 102);
    EXPECT_KX_ERROR(store->GetUser("nobody"), 4, 104);
    fs::create_directory(users + "/empty");
    EXPECT_KX_ERROR(store->GetUser("empty"), 4, 103);
    fs::create_directories(users + "/dirdata/UserData");
    EXPECT_KX_ERROR(store->GetUser("dirdata"), 4, 103);
    WriteFile(users + "/afile", std::vector<std::uint8_t>(734, 0));
    EXPECT_KX_ERROR(store->GetUser("afile"), 4, 104);
}

TEST_F(AccountStore, DamagedRecordsAreRefusedAndNotRepaired) {
    store->NewUser(Record("dave"));
    const std::string file = users + "/dave/UserData";
    auto good = FileBytes(file);

    WriteFile(file, std::vector<std::uint8_t>(good.begin(), good.end() - 1));
    EXPECT_KX_ERROR(store->GetUser("dave"), 1, 8);
    EXPECT_EQ(FileBytes(file).size(), 733u);

    auto longer = good;
    longer.push_back(0x55);
    WriteFile(file, longer);
    EXPECT_KX_ERROR(store->GetUser("dave"), 1, 8);

    auto swapped = good;
    swapped[0] = 0x01;
    swapped[1] = 0x00;
    WriteFile(file, swapped);
    EXPECT_KX_ERROR(store->GetUser("dave"), 1, 7);
    EXPECT_EQ(FileBytes(file), swapped);

    WriteFile(file, {});
    EXPECT_KX_ERROR(store->GetUser("dave"), 1, 8);
}

TEST_F(AccountStore, HiddenFoldersAreNeitherListedNorReadable) {
    fs::create_directory(users + "/.hidden");
    WriteFile(users + "/.hidden/UserData", [] {
        auto b = UUserData::Encode(Record(".hidden"));
        return std::vector<std::uint8_t>(b.begin(), b.end());
    }());
    store->NewUser(Record("zed"));
    store->NewUser(Record("amy"));
    WriteFile(users + "/notafolder", {0});
    EXPECT_EQ(store->GetUserFolderList(), (std::vector<std::string>{"amy", "zed"}));
    EXPECT_KX_ERROR(store->GetUser(".hidden"), 4, 102);
    EXPECT_FALSE(store->ExistsUser(".hidden"));
    EXPECT_EQ(CMyAccountStore("", trash).GetUserFolderList(), std::nullopt);
}

TEST_F(AccountStore, AccountFoldersAreFoundWithoutRegardToCase) {
    store->NewUser(Record("Bob"));
    EXPECT_EQ(store->GetUser("bob").GetLogin(), "Bob");
    EXPECT_EQ(store->GetUser("BOB").GetLogin(), "Bob");
    EXPECT_TRUE(store->ExistsUser("bOb"));

    auto changed = Record("bob", "Changed");
    store->SetUser(changed);
    EXPECT_EQ(store->GetUser("Bob").GetName(), "Changed");
    EXPECT_EQ(Tree(), (std::set<std::string>{"Users", "Users/Bob", "Users/Bob/UserData"}));

    // Folders that differ only in case, made by hand: an exact match wins, otherwise the lowest
    // name in byte order, every time.
    fs::create_directory(users + "/bOB");
    WriteFile(users + "/bOB/UserData", [] {
        auto b = UUserData::Encode(Record("bOB", "Second"));
        return std::vector<std::uint8_t>(b.begin(), b.end());
    }());
    EXPECT_EQ(store->GetUser("bOB").GetName(), "Second");
    EXPECT_EQ(store->GetUser("Bob").GetName(), "Changed");
    EXPECT_EQ(store->GetUser("BOB").GetName(), "Changed");  // "Bob" < "bOB"
}

TEST_F(AccountStore, SetUserNeverCreatesAnything) {
    EXPECT_KX_ERROR(store->SetUser(Record("ghost")), 4, 104);
    fs::create_directory(users + "/shell");
    EXPECT_KX_ERROR(store->SetUser(Record("shell")), 4, 103);
    EXPECT_KX_ERROR(store->SetUser(Record("")), 4, 102);
    EXPECT_EQ(Tree(), (std::set<std::string>{"Users", "Users/shell"}));

    store->NewUser(Record("erin"));
    auto rec = Record("erin", "Erin E.");
    rec.access = kFullAccessPrivs;
    store->SetUser(rec);
    const auto expected = UUserData::Encode(rec);
    EXPECT_EQ(FileBytes(users + "/erin/UserData"), std::vector<std::uint8_t>(expected.begin(), expected.end()));
    EXPECT_FALSE(fs::exists(users + "/erin/UserData.tmp"));
    auto bad = rec;
    bad.nameSize = 65;
    EXPECT_KX_ERROR(store->SetUser(bad), 1, 2);
    EXPECT_EQ(FileBytes(users + "/erin/UserData"), std::vector<std::uint8_t>(expected.begin(), expected.end()));
}

TEST_F(AccountStore, RenameMovesTheFolderAndKeepsTheRecord) {
    store->NewUser(Record("frank"));
    const auto before = FileBytes(users + "/frank/UserData");
    store->RenameUser("FRANK", Record("Francis"));
    EXPECT_FALSE(fs::exists(users + "/frank"));
    EXPECT_EQ(FileBytes(users + "/Francis/UserData"), before);  // not rewritten

    store->RenameUser("francis", Record("FRANCIS"));  // case only
    EXPECT_EQ(Tree(), (std::set<std::string>{"Users", "Users/FRANCIS", "Users/FRANCIS/UserData"}));

    store->NewUser(Record("gina"));
    EXPECT_KX_ERROR(store->RenameUser("gina", Record("francis")), 4, 115);
    EXPECT_KX_ERROR(store->RenameUser("nobody", Record("x")), 4, 104);
    EXPECT_KX_ERROR(store->RenameUser("", Record("x")), 4, 102);
    EXPECT_KX_ERROR(store->RenameUser("gina", Record(std::string(32, 'g'))), 1, 10);
    EXPECT_KX_ERROR(store->RenameUser("gina", Record("../gina")), 4, 119);
    EXPECT_TRUE(fs::exists(users + "/gina/UserData"));
    EXPECT_TRUE(fs::exists(users + "/FRANCIS/UserData"));
}

TEST_F(AccountStore, DeletedAccountsGoToTheTrashWithoutOverwritingAnything) {
    store->NewUser(Record("hank"));
    fs::create_directory(users + "/hank/Files");
    WriteFile(users + "/hank/Files/keep.txt", {'k'});
    const auto record = FileBytes(users + "/hank/UserData");

    EXPECT_EQ(store->DeleteUser("HANK"), trash + "/hank");
    EXPECT_FALSE(store->ExistsUser("hank"));
    EXPECT_EQ(FileBytes(trash + "/hank/UserData"), record);
    EXPECT_EQ(FileBytes(trash + "/hank/Files/keep.txt"), (std::vector<std::uint8_t>{'k'}));

    // The same login again, and a trash entry that happens to be an empty folder "hank 2": both
    // stay as they were.
    fs::create_directory(trash + "/hank 2");
    store->NewUser(Record("hank", "Second"));
    EXPECT_EQ(store->DeleteUser("hank"), trash + "/hank 3");
    EXPECT_EQ(FileBytes(trash + "/hank/UserData"), record);
    EXPECT_TRUE(fs::is_empty(trash + "/hank 2"));
    EXPECT_TRUE(fs::exists(trash + "/hank 3/UserData"));
    EXPECT_TRUE(fs::is_empty(users));

    EXPECT_EQ(store->DeleteUser(""), "");
    EXPECT_KX_ERROR(store->DeleteUser("hank"), 4, 104);
    EXPECT_KX_ERROR(CMyAccountStore("", trash).DeleteUser("hank"), 4, 102);
}

TEST_F(AccountStore, HostileLoginsNeverReachOutsideUsers) {
    // Things a hostile login could aim at: the folders around Users and an account.
    fs::create_directory(root + "/victim");
    WriteFile(root + "/victim/UserData", std::vector<std::uint8_t>(734, 0));
    store->NewUser(Record("real"));
    const auto before = Tree();

    const std::vector<std::string> hostile = {
        "..", ".", "../victim", "a/b", "/tmp", ".hidden", "x\x01y", std::string("nul\0x", 5),
        "tab\tx", "del\x7F", "back\\slash", "c:d", "trail.", "real/../../victim", "\r",
    };
    for (const auto& login : hostile) {
        SCOPED_TRACE(testing::PrintToString(login));
        EXPECT_KX_ERROR(store->NewUser(Record(login)), 4, 119);
        EXPECT_KX_ERROR(store->GetUser(login), 4, 102);
        EXPECT_KX_ERROR(store->SetUser(Record(login)), 4, 102);
        EXPECT_KX_ERROR(store->DeleteUser(login), 4, 102);
        EXPECT_KX_ERROR(store->RenameUser(login, Record("fine")), 4, 102);
        EXPECT_KX_ERROR(store->RenameUser("real", Record(login)), 4, 119);
        EXPECT_FALSE(store->ExistsUser(login));
        EXPECT_FALSE(store->ExistsUser(Record(login)));
    }
    EXPECT_EQ(Tree(), before);
}

TEST_F(AccountStore, ExistsUserOfARecordUsesTheFirst31BytesOfItsLogin) {
    const std::string login31(31, 'k');
    store->NewUser(Record(login31));
    EXPECT_TRUE(store->ExistsUser(Record(login31 + "z")));
    EXPECT_FALSE(store->ExistsUser(login31 + "z"));
    EXPECT_FALSE(store->ExistsUser(""));
    EXPECT_FALSE(CMyAccountStore("", trash).ExistsUser(login31));
}

TEST_F(AccountStore, ALinkToAFolderCountsAsTheAccount) {
    fs::create_directory(root + "/elsewhere");
    CMyAccountStore other(root + "/elsewhere", trash);
    other.NewUser(Record("ivy"));
    fs::create_directory_symlink(root + "/elsewhere/ivy", users + "/ivy");
    EXPECT_EQ(store->GetUser("IVY").GetLogin(), "ivy");
    EXPECT_EQ(store->GetUserFolderList(), (std::vector<std::string>{"ivy"}));
    // Deleting moves the link, not the folder it points at.
    store->DeleteUser("ivy");
    EXPECT_TRUE(fs::is_symlink(trash + "/ivy"));
    EXPECT_TRUE(fs::exists(root + "/elsewhere/ivy/UserData"));
}

}  // namespace
}  // namespace kx
