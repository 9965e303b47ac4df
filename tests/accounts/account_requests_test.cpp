// The account administration requests over loopback against an in-process server: reply fields
// and their order, every refusal and failure text, the records on disk, what connected clients of
// a changed or deleted account receive, the list change applied entry by entry, and the log lines.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "framework/byte_codec.h"
#include "framework/file_util.h"
#include "protocol/transaction_types.h"
#include "protocol/user_data.h"
#include "server/app_fixture.h"

namespace kx::test {
namespace {

const std::string kOpenQ = "\xD2";
const std::string kCloseQ = "\xD3";
// The same quotes as the log window shows them (in UTF-8).
const std::string kWindowOpenQ = "\u201C";
const std::string kWindowCloseQ = "\u201D";

std::string Enc(std::string_view plain) { return UUserData::EncodeText(plain); }

Bytes AccessBytes(std::initializer_list<unsigned> bits) {
    const SMyUserAccess a = SMyUserAccess::FromBits(bits);
    return Bytes(a.bytes.begin(), a.bytes.end());
}

// The 734 bytes a record with these fields must have on disk, built from the layout by hand.
Bytes ExpectedUserData(std::string_view name, std::string_view login, std::string_view storedPassword,
                       const Bytes& access, std::string_view alias = "") {
    Bytes b(734, 0);
    b[1] = 1;
    std::copy(access.begin(), access.end(), b.begin() + 4);
    auto put = [&b](std::size_t sizeOff, std::string_view text) {
        PutBE16(b.data() + sizeOff, static_cast<std::uint16_t>(text.size()));
        std::copy(text.begin(), text.end(), b.begin() + static_cast<std::ptrdiff_t>(sizeOff + 2));
    };
    put(528, name);
    put(596, alias);
    put(664, login);
    put(700, storedPassword);
    return b;
}

std::vector<std::uint16_t> FieldIDs(const std::vector<STestField>& fields) {
    std::vector<std::uint16_t> ids;
    for (const auto& f : fields) ids.push_back(f.id);
    return ids;
}

// One entry of an account-list change.
Bytes Entry(std::string_view name, std::string_view plainLogin, std::string_view encPassword,
            const Bytes& access, std::string_view prevPlainLogin = "", std::string_view alias = "") {
    CFieldListBuilder b;
    if (!name.empty()) b.Add(kFieldUserName, name);
    if (!plainLogin.empty()) b.Add(kFieldUserLogin, Enc(plainLogin));
    if (!encPassword.empty()) b.Add(kFieldUserPassword, encPassword);
    b.Add(kFieldUserAccess, access);
    if (!alias.empty()) b.Add(kFieldUserAlias, alias);
    if (!prevPlainLogin.empty()) b.Add(kFieldData, Enc(prevPlainLogin));
    return b.Build();
}

Bytes DeletionEntry(std::string_view prevPlainLogin) {
    return CFieldListBuilder().Add(kFieldData, Enc(prevPlainLogin)).Build();
}

Bytes List(std::initializer_list<Bytes> entries) {
    CFieldListBuilder b;
    for (const auto& e : entries) b.Add(kFieldData, e);
    return b.Build();
}

struct SExchange {
    std::vector<STestTransaction> before;  // notices that arrived ahead of the reply
    std::optional<STestTransaction> reply;
    std::vector<STestField> fields;
    bool IsError() const { return reply && reply->hdr.error != 0; }
    std::string ErrorText() const { return STestReply{true, 0, fields}.Text(kFieldErrorText); }
};

struct SOnline {
    std::unique_ptr<CTestClient> conn;
    SMyClient* rec = nullptr;
};

class AccountRequestsTest : public AppFixture {
protected:
    void CustomizePrefs(SMyPrefs& prefs) override { prefs.mOptions.nOpts |= kMyOptAccountLog; }

    // A connected client, logged in to `login` (lower case) with these privileges.
    SOnline Online(const std::string& login, const std::string& userName, const SMyUserAccess& access) {
        const std::size_t before = mApp->Clients().size();
        SOnline o;
        o.conn = ConnectClient();
        EXPECT_TRUE(PumpUntil([&] { return mApp->Clients().size() == before + 1; }));
        o.rec = LogInNewest();
        o.rec->access = access;
        o.rec->accountLogin = login;
        o.rec->accountName = userName;
        o.rec->userName = userName;
        o.rec->realName = userName;
        return o;
    }
    SOnline Admin(std::initializer_list<unsigned> bits = {myAcc_CreateUsers, myAcc_DeleteUsers, myAcc_OpenUsers,
                                                          myAcc_ModifyUsers}) {
        return Online("admin", "Boss", SMyUserAccess::FromBits(bits));
    }

    SExchange Exchange(CTestClient& c, std::uint16_t type, const Bytes& body) {
        SExchange ex;
        const std::uint32_t id = c.SendRequest(type, body);
        Pump();
        for (int i = 0; i < 100; ++i) {
            auto t = c.ReadTransaction(2000);
            if (!t) break;
            if (t->hdr.isReply && t->hdr.id == id) {
                ex.reply = *t;
                break;
            }
            ex.before.push_back(*t);
            Pump(1);
        }
        EXPECT_TRUE(ex.reply.has_value()) << "no reply to type " << type;
        if (ex.reply && !ex.reply->data.empty()) {
            auto parsed = ParseFieldList(ex.reply->data);
            EXPECT_TRUE(parsed.has_value());
            if (parsed) ex.fields = *parsed;
        }
        return ex;
    }

    // Everything that has reached `c` and is waiting.
    std::vector<STestTransaction> Drain(CTestClient& c) {
        Pump();
        std::vector<STestTransaction> got;
        while (auto t = c.ReadTransaction(100)) got.push_back(*t);
        return got;
    }

    void PutAccount(const std::string& login, const std::string& name, const std::string& plainPassword,
                    const SMyUserAccess& access, const std::string& alias = "") {
        SMyUserDataFile rec;
        rec.SetLogin(login);
        rec.SetName(name);
        rec.SetPassword(Enc(plainPassword));
        rec.SetAlias(alias);
        rec.access = access;
        mApp->Accounts().NewUser(rec);
    }

    std::string UserFolder(const std::string& folder) const { return mDir / "Users" + "/" + folder; }
    Bytes DiskRecord(const std::string& folder) const {
        const std::string text = ReadFileText(UserFolder(folder) + "/UserData");
        return Bytes(text.begin(), text.end());
    }
    bool AccountFolderExists(const std::string& folder) const { return UFileUtil::IsDirectory(UserFolder(folder)); }

    // The account-log lines without their date column.
    std::vector<std::string> AccountLogLines() const {
        const std::string text = ReadFileText(mDir / "Account Log.txt");
        std::vector<std::string> lines;
        std::size_t start = 0;
        bool header = true;
        while (start < text.size()) {
            std::size_t end = text.find('\r', start);
            if (end == std::string::npos) end = text.size();
            std::string line = text.substr(start, end - start);
            start = end + 1;
            if (header) {
                EXPECT_EQ(line, "Date/time\tAddress\tAccount\tName\tAction\tAffected Account");
                header = false;
                continue;
            }
            const std::size_t tab = line.find('\t');
            lines.push_back(tab == std::string::npos ? line : line.substr(tab + 1));
        }
        return lines;
    }
};

const SMyUserAccess kChatOnly = SMyUserAccess::FromBits({myAcc_ReadChat, myAcc_SendChat});

// ---- kTranNewUser ----

TEST_F(AccountRequestsTest, NewUserWritesTheRecordAndBothLogLines) {
    auto admin = Admin({myAcc_CreateUsers, myAcc_ReadChat});
    const std::string longName(70, 'N');
    const Bytes body = CFieldListBuilder()
                           .Add(kFieldUserName, longName)
                           .Add(kFieldUserLogin, Enc("Bob"))
                           .Add(kFieldUserPassword, Enc("secret"))
                           .Add(kFieldUserAccess, AccessBytes({myAcc_ReadChat, myAcc_NoAgreement}))
                           .Add(kFieldUserAlias, "bobby")
                           .Build();
    TakeLogWindow();
    auto ex = Exchange(*admin.conn, kTranNewUser, body);
    const std::string window = TakeLogWindow();
    ASSERT_FALSE(ex.IsError()) << ex.ErrorText();
    EXPECT_TRUE(ex.fields.empty());
    // Name cut to 64, login stored plain with its case, password stored encoded as sent.
    EXPECT_EQ(DiskRecord("Bob"), ExpectedUserData(longName.substr(0, 64), "Bob", Enc("secret"),
                                                  AccessBytes({myAcc_ReadChat, myAcc_NoAgreement}), "bobby"));
    EXPECT_EQ(AccountLogLines(), (std::vector<std::string>{"127.0.0.1\tadmin\tBoss\tCreate\tBob"}));
    EXPECT_NE(window.find("Create account " + kWindowOpenQ + "Bob" + kWindowCloseQ), std::string::npos) << window;
}

TEST_F(AccountRequestsTest, NewUserRefusals) {
    PutAccount("bob", "Bob", "pw", kChatOnly);
    const Bytes before = DiskRecord("bob");
    auto creator = Admin({myAcc_CreateUsers, myAcc_ReadChat});
    auto noPriv = Online("guest", "Guest", SMyUserAccess::FromBits({myAcc_OpenUsers, myAcc_ModifyUsers,
                                                                     myAcc_DeleteUsers, myAcc_ReadChat}));
    auto req = [](std::string_view login, const Bytes& access) {
        return CFieldListBuilder().Add(kFieldUserName, "X").Add(kFieldUserLogin, Enc(login)).Add(kFieldUserAccess, access).Build();
    };

    auto ex = Exchange(*noPriv.conn, kTranNewUser, req("carol", AccessBytes({})));
    EXPECT_EQ(ex.ErrorText(), "You are not allowed to create new accounts.");
    EXPECT_EQ(ex.reply->hdr.error, 1u);

    // Bit 27 is outside the comparison; any other bit the creator lacks is not.
    ex = Exchange(*creator.conn, kTranNewUser, req("carol", AccessBytes({myAcc_NoAgreement, myAcc_ReadChat})));
    EXPECT_FALSE(ex.IsError()) << ex.ErrorText();
    ex = Exchange(*creator.conn, kTranNewUser, req("dave", AccessBytes({myAcc_NoAgreement, myAcc_SendChat})));
    EXPECT_EQ(ex.ErrorText(), "Cannot create account with more access than yourself.");
    EXPECT_FALSE(AccountFolderExists("dave"));

    // A login taken in any letter case; the existing record stays as it was.
    ex = Exchange(*creator.conn, kTranNewUser, req("BOB", AccessBytes({})));
    EXPECT_EQ(ex.ErrorText(), "Cannot create account " + kOpenQ + "BOB" + kCloseQ +
                                  " because there is already an account with that login.");
    EXPECT_EQ(DiskRecord("bob"), before);

    // A login that cannot name a folder fails with the store's description.
    ex = Exchange(*creator.conn, kTranNewUser, req("../evil", AccessBytes({})));
    EXPECT_EQ(ex.ErrorText().rfind("Cannot create account " + kOpenQ + "../evil" + kCloseQ + ":\rInvalid name.\rID 4/119", 0), 0u)
        << ex.ErrorText();
    ex = Exchange(*creator.conn, kTranNewUser, req("", AccessBytes({})));
    EXPECT_EQ(ex.ErrorText().rfind("Cannot create account " + kOpenQ + kCloseQ + ":\rInvalid name.", 0), 0u);
    EXPECT_FALSE(UFileUtil::Exists(mDir / "evil"));
    EXPECT_EQ(AccountLogLines().size(), 1u);  // only carol's creation
}

// ---- kTranDeleteUser ----

TEST_F(AccountRequestsTest, DeleteUserMovesTheFolderAndDisconnectsEveryClientOfTheAccount) {
    PutAccount("bob", "Bob", "pw", kChatOnly);
    PutAccount("carol", "Carol", "pw", kChatOnly);
    auto admin = Admin();
    auto bob1 = Online("bob", "Bobby", kChatOnly);
    auto bob2 = Online("bob", "", kChatOnly);
    auto carol = Online("carol", "Carol", kChatOnly);

    TakeLogWindow();
    // Encoded and in another letter case: it is lower-cased before the look-up.
    auto ex = Exchange(*admin.conn, kTranDeleteUser, CFieldListBuilder().Add(kFieldUserLogin, Enc("BOB")).Build());
    ASSERT_FALSE(ex.IsError()) << ex.ErrorText();
    EXPECT_FALSE(AccountFolderExists("bob"));
    EXPECT_TRUE(UFileUtil::IsDirectory(mDir / "Trash/bob"));
    for (SOnline* o : {&bob1, &bob2}) {
        auto first = o->conn->ReadTransaction(2000);
        ASSERT_TRUE(first);
        EXPECT_EQ(first->hdr.type, kTranServerMsg);
        EXPECT_EQ(ReplyOf(*first).Text(kFieldData), "You are logged in with an account which was deleted.");
        EXPECT_TRUE(ServerClosed(*o->conn));
    }
    EXPECT_TRUE(PumpUntil([&] { return mApp->Clients().size() == 2; }));
    const std::string window = TakeLogWindow();
    EXPECT_NE(window.find("Disconnect " + kWindowOpenQ + "Bobby" + kWindowCloseQ), std::string::npos);
    EXPECT_NE(window.find("Disconnect " + kWindowOpenQ + "127.0.0.1" + kWindowCloseQ), std::string::npos);
    EXPECT_NE(window.find("Delete account " + kWindowOpenQ + "bob" + kWindowCloseQ), std::string::npos);
    EXPECT_EQ(mApp->Clients().back()->accountLogin, "carol");
    EXPECT_EQ(AccountLogLines(), (std::vector<std::string>{"127.0.0.1\tadmin\tBoss\tDelete\tbob"}));
}

TEST_F(AccountRequestsTest, DeleteUserRefusalsAndMissingAccounts) {
    PutAccount("bob", "Bob", "pw", kChatOnly);
    auto admin = Admin({myAcc_DeleteUsers});
    auto noPriv = Online("carol", "Carol", SMyUserAccess::FromBits({myAcc_CreateUsers, myAcc_ModifyUsers, myAcc_OpenUsers}));
    // A connected client that has not logged in yet: an empty login must not reach it.
    auto pending = ConnectClient();
    ASSERT_TRUE(PumpUntil([&] { return mApp->Clients().size() == 3; }));

    auto del = [](std::string_view encoded) { return CFieldListBuilder().Add(kFieldUserLogin, encoded).Build(); };
    EXPECT_EQ(Exchange(*noPriv.conn, kTranDeleteUser, del(Enc("bob"))).ErrorText(), "You are not allowed to delete accounts.");
    EXPECT_EQ(Exchange(*admin.conn, kTranDeleteUser, del(Enc("Nobody"))).ErrorText(),
              "No account with login " + kOpenQ + "nobody" + kCloseQ + ".");
    EXPECT_EQ(Exchange(*admin.conn, kTranDeleteUser, del(Enc("../Users"))).ErrorText(),
              "No account with login " + kOpenQ + "../users" + kCloseQ + ".");
    EXPECT_EQ(Exchange(*admin.conn, kTranDeleteUser, CFieldListBuilder().Build()).ErrorText(),
              "No account with login " + kOpenQ + kCloseQ + ".");
    EXPECT_TRUE(AccountFolderExists("bob"));
    EXPECT_EQ(mApp->Clients().size(), 3u);
    EXPECT_TRUE(pending->ExpectSilence(50));
    EXPECT_TRUE(AccountLogLines().empty());
}

TEST_F(AccountRequestsTest, DeletingOnesOwnAccountAnswersFirstThenDisconnects) {
    PutAccount("admin", "Boss", "pw", SMyUserAccess{});
    auto admin = Admin();
    auto ex = Exchange(*admin.conn, kTranSetUserList, List({DeletionEntry("Admin"), Entry("Z", "zed", "", Bytes(8, 0))}));
    ASSERT_FALSE(ex.IsError()) << ex.ErrorText();
    EXPECT_TRUE(ex.before.empty());
    EXPECT_FALSE(AccountFolderExists("admin"));
    EXPECT_TRUE(AccountFolderExists("zed"));
    auto notice = admin.conn->ReadTransaction(2000);
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->hdr.type, kTranServerMsg);
    EXPECT_TRUE(ServerClosed(*admin.conn));
    EXPECT_TRUE(PumpUntil([&] { return mApp->Clients().empty(); }));
}

// ---- kTranGetUser ----

TEST_F(AccountRequestsTest, GetUserAnswersNameEncodedLoginPlaceholderAndAccessInOrder) {
    PutAccount("bob", "Bob B", "pw", kChatOnly, "the alias");
    PutAccount("nopw", "No Password", "", SMyUserAccess{});
    auto admin = Admin({myAcc_OpenUsers});

    auto ex = Exchange(*admin.conn, kTranGetUser, CFieldListBuilder().Add(kFieldUserLogin, "bob").Build());
    ASSERT_FALSE(ex.IsError()) << ex.ErrorText();
    EXPECT_EQ(FieldIDs(ex.fields), (std::vector<std::uint16_t>{kFieldUserName, kFieldUserLogin, kFieldUserPassword, kFieldUserAccess}));
    EXPECT_EQ(ex.fields[0].Text(), "Bob B");
    EXPECT_EQ(ex.fields[1].Text(), Enc("bob"));
    EXPECT_EQ(ex.fields[2].Text(), "x");
    EXPECT_EQ(ex.fields[3].data, AccessBytes({myAcc_ReadChat, myAcc_SendChat}));

    // No password: no password field at all (an empty field is never written).
    ex = Exchange(*admin.conn, kTranGetUser, CFieldListBuilder().Add(kFieldUserLogin, "nopw").Build());
    ASSERT_FALSE(ex.IsError());
    EXPECT_EQ(FieldIDs(ex.fields), (std::vector<std::uint16_t>{kFieldUserName, kFieldUserLogin, kFieldUserAccess}));
    EXPECT_EQ(ex.fields[2].data, Bytes(8, 0));
}

TEST_F(AccountRequestsTest, GetUserRefusalsAndFailures) {
    PutAccount("bob", "Bob", "pw", kChatOnly);
    PutAccount("short", "Short", "pw", kChatOnly);
    std::string damaged = ReadFileText(UserFolder("short") + "/UserData");
    damaged.pop_back();
    WriteFileText(UserFolder("short") + "/UserData", damaged);
    auto admin = Admin({myAcc_OpenUsers});
    auto noPriv = Online("carol", "Carol", SMyUserAccess::FromBits({myAcc_CreateUsers, myAcc_ModifyUsers, myAcc_DeleteUsers}));
    auto get = [](std::string_view login) { return CFieldListBuilder().Add(kFieldUserLogin, login).Build(); };

    EXPECT_EQ(Exchange(*noPriv.conn, kTranGetUser, get("bob")).ErrorText(), "You are not allowed to get account information.");
    // This request takes its login plain: an encoded one names no account.
    EXPECT_EQ(Exchange(*admin.conn, kTranGetUser, get(Enc("bob"))).ErrorText(),
              "No account with login " + kOpenQ + Enc("bob") + kCloseQ + ".");
    EXPECT_EQ(Exchange(*admin.conn, kTranGetUser, get("")).ErrorText(), "No account with login " + kOpenQ + kCloseQ + ".");
    const std::string text = Exchange(*admin.conn, kTranGetUser, get("short")).ErrorText();
    EXPECT_EQ(text.rfind("Cannot read account " + kOpenQ + "short" + kCloseQ + ":\r", 0), 0u) << text;
    EXPECT_NE(text.find("ID 1/8"), std::string::npos) << text;
}

// ---- kTranSetUser ----

TEST_F(AccountRequestsTest, SetUserRewritesTheRecordKeepingOrClearingThePassword) {
    PutAccount("bob", "Bob", "pw", kChatOnly, "old alias");
    auto admin = Admin({myAcc_ModifyUsers});
    const Bytes full(kFullAccessPrivs.bytes.begin(), kFullAccessPrivs.bytes.end());

    // Keep the password (one byte 0x00); a modifier may hand out privileges it lacks itself.
    TakeLogWindow();
    auto ex = Exchange(*admin.conn, kTranSetUser,
                       CFieldListBuilder()
                           .Add(kFieldUserName, "Robert")
                           .Add(kFieldUserLogin, Enc("Bob"))
                           .Add(kFieldUserPassword, Bytes{0})
                           .Add(kFieldUserAccess, full)
                           .Build());
    const std::string window = TakeLogWindow();
    ASSERT_FALSE(ex.IsError()) << ex.ErrorText();
    EXPECT_EQ(DiskRecord("bob"), ExpectedUserData("Robert", "Bob", Enc("pw"), full));
    EXPECT_NE(window.find("Modify account " + kWindowOpenQ + "bob" + kWindowCloseQ), std::string::npos);

    // No password field: the password is cleared.
    ex = Exchange(*admin.conn, kTranSetUser,
                  CFieldListBuilder().Add(kFieldUserName, "Robert").Add(kFieldUserLogin, Enc("bob")).Build());
    ASSERT_FALSE(ex.IsError()) << ex.ErrorText();
    EXPECT_EQ(DiskRecord("bob"), ExpectedUserData("Robert", "bob", "", Bytes(8, 0)));
    EXPECT_EQ(AccountLogLines(), (std::vector<std::string>{"127.0.0.1\tadmin\tBoss\tModify\tbob",
                                                           "127.0.0.1\tadmin\tBoss\tModify\tbob"}));
}

TEST_F(AccountRequestsTest, SetUserRefusalsAndMissingAccounts) {
    auto admin = Admin({myAcc_ModifyUsers});
    auto noPriv = Online("carol", "Carol", SMyUserAccess::FromBits({myAcc_CreateUsers, myAcc_OpenUsers, myAcc_DeleteUsers}));
    auto set = [](std::string_view login, const Bytes& password) {
        return CFieldListBuilder().Add(kFieldUserName, "N").Add(kFieldUserLogin, Enc(login)).Add(kFieldUserPassword, password).Build();
    };
    EXPECT_EQ(Exchange(*noPriv.conn, kTranSetUser, set("bob", Bytes{1})).ErrorText(),
              "You are not allowed to modify account information.");
    // Neither form creates anything.
    EXPECT_EQ(Exchange(*admin.conn, kTranSetUser, set("Ghost", Bytes{1})).ErrorText(),
              "No account with login " + kOpenQ + "ghost" + kCloseQ + ".");
    EXPECT_EQ(Exchange(*admin.conn, kTranSetUser, set("Ghost", Bytes{0})).ErrorText(),
              "No account with login " + kOpenQ + "ghost" + kCloseQ + ".");
    EXPECT_FALSE(AccountFolderExists("Ghost"));
    EXPECT_FALSE(AccountFolderExists("ghost"));

    // A folder without its record.
    ASSERT_EQ(mkdir(UserFolder("empty").c_str(), 0755), 0);
    std::string text = Exchange(*admin.conn, kTranSetUser, set("empty", Bytes{1})).ErrorText();
    EXPECT_EQ(text.rfind("Cannot modify account " + kOpenQ + "empty" + kCloseQ + ":\rFile not found.", 0), 0u) << text;
    text = Exchange(*admin.conn, kTranSetUser, set("empty", Bytes{0})).ErrorText();
    EXPECT_EQ(text.rfind("Cannot read account " + kOpenQ + "empty" + kCloseQ + ":\rFile not found.", 0), 0u) << text;
    EXPECT_FALSE(UFileUtil::Exists(UserFolder("empty") + "/UserData"));
    EXPECT_TRUE(AccountLogLines().empty());
}

TEST_F(AccountRequestsTest, SetUserUpdatesOnlineClientsOnlyForAccessOrShownName) {
    PutAccount("bob", "Bob", "pw", kChatOnly, "alias");
    auto admin = Admin({myAcc_ModifyUsers});
    auto bob = Online("bob", "Bob", kChatOnly);
    auto set = [](std::string_view alias, const Bytes& access) {
        return CFieldListBuilder()
            .Add(kFieldUserName, "Bob")
            .Add(kFieldUserLogin, Enc("bob"))
            .Add(kFieldUserPassword, Bytes{0})
            .Add(kFieldUserAccess, access)
            .Add(kFieldUserAlias, alias)
            .Build();
    };

    // Alias only: nobody hears of it.
    auto ex = Exchange(*admin.conn, kTranSetUser, set("new alias", AccessBytes({myAcc_ReadChat, myAcc_SendChat})));
    ASSERT_FALSE(ex.IsError()) << ex.ErrorText();
    EXPECT_TRUE(Drain(*admin.conn).empty());
    EXPECT_TRUE(Drain(*bob.conn).empty());

    // New privileges: one kTranUserAccess to bob, then its entry to every logged-in client.
    const Bytes newAccess = AccessBytes({myAcc_ReadChat, myAcc_DisconnectUsers});
    ex = Exchange(*admin.conn, kTranSetUser, set("new alias", newAccess));
    ASSERT_FALSE(ex.IsError()) << ex.ErrorText();
    auto got = Drain(*bob.conn);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].hdr.type, kTranUserAccess);
    auto f = ParseFieldList(got[0].data);
    ASSERT_TRUE(f);
    ASSERT_EQ(f->size(), 1u);
    EXPECT_EQ((*f)[0].id, kFieldUserAccess);
    EXPECT_EQ((*f)[0].data, newAccess);
    EXPECT_EQ(got[1].hdr.type, kTranClientUserInfo);
    auto adminGot = Drain(*admin.conn);
    ASSERT_EQ(adminGot.size(), 1u);
    EXPECT_EQ(adminGot[0].hdr.type, kTranClientUserInfo);
    auto info = ParseFieldList(adminGot[0].data);
    ASSERT_TRUE(info);
    ASSERT_NE(FindField(*info, kFieldUserID), nullptr);
    EXPECT_EQ(FindField(*info, kFieldUserID)->Int().value_or(-1), bob.rec->userID);
    ASSERT_NE(FindField(*info, kFieldUserFlags), nullptr);
    EXPECT_EQ(FindField(*info, kFieldUserFlags)->Int().value_or(-1), 0x02);  // now shown as an administrator
    EXPECT_EQ(bob.rec->access.bytes, SMyUserAccess::FromBits({myAcc_ReadChat, myAcc_DisconnectUsers}).bytes);
}

TEST_F(AccountRequestsTest, AccountChangesBringOnlineClientsTheirRoots) {
    PutAccount("bob", "Bob", "pw", kChatOnly);
    auto admin = Admin();
    auto bob = Online("bob", "Bob", kChatOnly);
    EXPECT_EQ(bob.rec->filesRoot, mDir / "Files");  // admitted with the shared trees
    // Folders the operator makes are seen once a change of the account reaches its clients.
    std::filesystem::create_directories(UserFolder("bob") + "/Files");
    std::filesystem::create_directories(UserFolder("bob") + "/News");
    const Bytes chat = AccessBytes({myAcc_ReadChat, myAcc_SendChat});
    const Bytes set = CFieldListBuilder()
                          .Add(kFieldUserName, "Bob")
                          .Add(kFieldUserLogin, Enc("bob"))
                          .Add(kFieldUserPassword, Bytes{0})
                          .Add(kFieldUserAccess, chat)
                          .Build();
    ASSERT_FALSE(Exchange(*admin.conn, kTranSetUser, set).IsError());
    EXPECT_EQ(bob.rec->filesRoot, UserFolder("bob") + "/Files");
    EXPECT_EQ(bob.rec->newsRoot, UserFolder("bob") + "/News");
    // A renamed account takes its folders along.
    ASSERT_FALSE(
        Exchange(*admin.conn, kTranSetUserList, List({Entry("Bob", "robert", std::string(1, '\0'), chat, "bob")})).IsError());
    EXPECT_EQ(bob.rec->accountLogin, "robert");
    EXPECT_EQ(bob.rec->filesRoot, UserFolder("robert") + "/Files");
    EXPECT_EQ(bob.rec->newsRoot, UserFolder("robert") + "/News");
}

// ---- kTranGetUserList ----

TEST_F(AccountRequestsTest, GetUserListListsReadableVisibleAccountsInOrder) {
    PutAccount("bob", "Bob", "pw", kChatOnly, "alias");
    PutAccount("alice", "Alice", "", SMyUserAccess{});
    ASSERT_EQ(mkdir(UserFolder(".hidden").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(UserFolder("broken").c_str(), 0755), 0);  // no record: left out
    WriteFileText(UserFolder("plainfile"), "not an account");
    auto admin = Admin({myAcc_OpenUsers});

    auto ex = Exchange(*admin.conn, kTranGetUserList, CFieldListBuilder().Build());
    ASSERT_FALSE(ex.IsError()) << ex.ErrorText();
    ASSERT_EQ(ex.fields.size(), 2u);
    std::vector<std::vector<STestField>> entries;
    for (const auto& f : ex.fields) {
        EXPECT_EQ(f.id, kFieldData);
        auto entry = ParseFieldList(f.data);
        ASSERT_TRUE(entry);
        entries.push_back(*entry);
    }
    EXPECT_EQ(FieldIDs(entries[0]), (std::vector<std::uint16_t>{kFieldUserName, kFieldUserLogin, kFieldUserAccess}));
    EXPECT_EQ(entries[0][0].Text(), "Alice");
    EXPECT_EQ(entries[0][1].Text(), Enc("alice"));
    EXPECT_EQ(FieldIDs(entries[1]),
              (std::vector<std::uint16_t>{kFieldUserName, kFieldUserLogin, kFieldUserPassword, kFieldUserAccess}));
    EXPECT_EQ(entries[1][0].Text(), "Bob");
    EXPECT_EQ(entries[1][1].Text(), Enc("bob"));
    EXPECT_EQ(entries[1][2].Text(), "x");
    EXPECT_EQ(entries[1][3].data, AccessBytes({myAcc_ReadChat, myAcc_SendChat}));
}

TEST_F(AccountRequestsTest, GetUserListRefusalAndUnreadableFolder) {
    auto admin = Admin({myAcc_OpenUsers});
    auto noPriv = Online("carol", "Carol", SMyUserAccess::FromBits({myAcc_CreateUsers, myAcc_ModifyUsers, myAcc_DeleteUsers}));
    EXPECT_EQ(Exchange(*noPriv.conn, kTranGetUserList, CFieldListBuilder().Build()).ErrorText(),
              "You are not allowed to administer accounts.");
    ASSERT_EQ(rmdir((mDir / "Users").c_str()), 0);
    EXPECT_EQ(Exchange(*admin.conn, kTranGetUserList, CFieldListBuilder().Build()).ErrorText(), "Cannot read account list.");
}

// ---- kTranSetUserList ----

TEST_F(AccountRequestsTest, SetUserListAppliesEveryEntryAndReportsTheOneThatFailed) {
    const SMyUserAccess adminAccess = SMyUserAccess::FromBits(
        {myAcc_CreateUsers, myAcc_DeleteUsers, myAcc_OpenUsers, myAcc_ModifyUsers, myAcc_ReadChat, myAcc_SendChat});
    PutAccount("bob", "Bob", "bobpw", kChatOnly);
    PutAccount("dave", "Dave", "davepw", kChatOnly);
    PutAccount("eve", "Eve", "evepw", kChatOnly);
    auto admin = Online("admin", "Boss", adminAccess);
    auto dave = Online("dave", "Dave", kChatOnly);
    auto eve = Online("eve", "Eve", kChatOnly);
    const Bytes chat = AccessBytes({myAcc_ReadChat, myAcc_SendChat});
    const Bytes daveAccess = AccessBytes({myAcc_ReadChat});

    auto ex = Exchange(*admin.conn, kTranSetUserList,
                       List({Entry("Carol", "carol", Enc("c"), chat),                         // create
                             Entry("Robert", "robert", std::string(1, '\0'), chat, "bob"),    // rename
                             DeletionEntry("ghost"),                                          // fails
                             Entry("David", "dave", std::string(1, '\0'), daveAccess, "dave"),  // modify
                             DeletionEntry("eve")}));                                         // delete
    ASSERT_TRUE(ex.IsError());
    EXPECT_EQ(ex.ErrorText(), "Error saving list of accounts.");

    EXPECT_EQ(DiskRecord("carol"), ExpectedUserData("Carol", "carol", Enc("c"), chat));
    EXPECT_FALSE(AccountFolderExists("bob"));
    EXPECT_EQ(DiskRecord("robert"), ExpectedUserData("Robert", "robert", Enc("bobpw"), chat));
    EXPECT_EQ(DiskRecord("dave"), ExpectedUserData("David", "dave", Enc("davepw"), daveAccess));
    EXPECT_FALSE(AccountFolderExists("eve"));

    // Besides eve leaving: one new access for dave and dave's entry.
    std::vector<std::uint16_t> daveTypes;
    for (const auto& t : Drain(*dave.conn))
        if (t.hdr.type != kTranClientLeft) daveTypes.push_back(t.hdr.type);
    EXPECT_EQ(daveTypes, (std::vector<std::uint16_t>{kTranUserAccess, kTranClientUserInfo}));
    EXPECT_EQ(dave.rec->userName, "David");
    // Eve still saw dave's entry before her own account went.
    auto eveFirst = eve.conn->ReadTransaction(2000);
    ASSERT_TRUE(eveFirst);
    EXPECT_EQ(eveFirst->hdr.type, kTranClientUserInfo);
    auto eveSecond = eve.conn->ReadTransaction(2000);
    ASSERT_TRUE(eveSecond);
    EXPECT_EQ(eveSecond->hdr.type, kTranServerMsg);
    EXPECT_TRUE(ServerClosed(*eve.conn));

    EXPECT_EQ(AccountLogLines(), (std::vector<std::string>{
                                     "127.0.0.1\tadmin\tBoss\tCreate\tcarol",
                                     "127.0.0.1\tadmin\tBoss\tRename\t" + kOpenQ + "bob" + kCloseQ + " " + kOpenQ + "robert" + kCloseQ,
                                     "127.0.0.1\tadmin\tBoss\tModify\trobert",
                                     "127.0.0.1\tadmin\tBoss\tModify\tdave",
                                     "127.0.0.1\tadmin\tBoss\tDelete\teve",
                                 }));
}

TEST_F(AccountRequestsTest, SetUserListTakenLoginIsANoticeAndCaseIsNotARename) {
    PutAccount("bob", "Bob", "pw", kChatOnly);
    const Bytes bobBefore = DiskRecord("bob");
    PutAccount("dave", "Dave", "pw", kChatOnly);
    auto admin = Admin();
    auto dave = Online("dave", "Dave", kChatOnly);
    const Bytes chat = AccessBytes({myAcc_ReadChat, myAcc_SendChat});

    auto ex = Exchange(*admin.conn, kTranSetUserList,
                       List({Entry("Other Bob", "BOB", Enc("z"), chat),                     // taken: notice
                             Entry("Dave", "DAVE", std::string(1, '\0'), chat, "Dave")}));  // case only
    ASSERT_FALSE(ex.IsError()) << ex.ErrorText();
    ASSERT_EQ(ex.before.size(), 1u);
    EXPECT_EQ(ex.before[0].hdr.type, kTranServerMsg);
    auto f = ParseFieldList(ex.before[0].data);
    ASSERT_TRUE(f);
    ASSERT_NE(FindField(*f, kFieldData), nullptr);
    EXPECT_EQ(FindField(*f, kFieldData)->Text(),
              "Cannot create account " + kOpenQ + "BOB" + kCloseQ + " because there is already an account with that login.");
    ASSERT_NE(FindField(*f, kFieldChatOptions), nullptr);
    EXPECT_EQ(FindField(*f, kFieldChatOptions)->Int().value_or(-1), 1);
    EXPECT_EQ(DiskRecord("bob"), bobBefore);

    // Same folder, record rewritten with the login as sent; a modification, not a rename.
    EXPECT_TRUE(AccountFolderExists("dave"));
    EXPECT_EQ(DiskRecord("dave"), ExpectedUserData("Dave", "DAVE", Enc("pw"), chat));
    EXPECT_EQ(AccountLogLines(), (std::vector<std::string>{"127.0.0.1\tadmin\tBoss\tModify\tdave"}));
    EXPECT_EQ(dave.rec->accountLogin, "dave");
    EXPECT_TRUE(Drain(*dave.conn).empty());  // same access and name: nothing to tell
}

TEST_F(AccountRequestsTest, SetUserListRefusalsStopTheBatchButKeepEarlierEntries) {
    PutAccount("eve", "Eve", "pw", kChatOnly);
    PutAccount("frank", "Frank", "pw", kChatOnly);
    const Bytes none = AccessBytes({});
    auto noPriv = Online("x", "X", SMyUserAccess::FromBits({myAcc_OpenUsers}));
    EXPECT_EQ(Exchange(*noPriv.conn, kTranSetUserList, List({Entry("A", "a", "", none)})).ErrorText(),
              "You are not allowed to modify account information.");

    auto deleter = Online("d", "D", SMyUserAccess::FromBits({myAcc_DeleteUsers}));
    EXPECT_EQ(Exchange(*deleter.conn, kTranSetUserList, CFieldListBuilder().Build()).ErrorText(),
              "Error saving list of accounts.");
    auto ex = Exchange(*deleter.conn, kTranSetUserList,
                       List({DeletionEntry("eve"), Entry("New", "newbie", "", none), DeletionEntry("frank")}));
    EXPECT_EQ(ex.ErrorText(), "You are not allowed to create new accounts.");
    EXPECT_FALSE(AccountFolderExists("eve"));
    EXPECT_FALSE(AccountFolderExists("newbie"));
    EXPECT_TRUE(AccountFolderExists("frank"));
    EXPECT_EQ(Exchange(*deleter.conn, kTranSetUserList, List({Entry("F", "frank", "", none, "frank")})).ErrorText(),
              "You are not allowed to modify account information.");
    EXPECT_EQ(Exchange(*deleter.conn, kTranSetUserList, List({Entry("F", "fred", "", none, "frank")})).ErrorText(),
              "You are not allowed to modify account information.");

    auto modifier = Online("m", "M", SMyUserAccess::FromBits({myAcc_ModifyUsers}));
    EXPECT_EQ(Exchange(*modifier.conn, kTranSetUserList, List({DeletionEntry("frank")})).ErrorText(),
              "You are not allowed to delete accounts.");

    // Bit 27 is outside the creator comparison, here as in the single request.
    auto creator = Online("c", "C", SMyUserAccess::FromBits({myAcc_CreateUsers}));
    ex = Exchange(*creator.conn, kTranSetUserList,
                  List({Entry("G", "gina", "", AccessBytes({myAcc_NoAgreement})),
                        Entry("H", "hank", "", AccessBytes({myAcc_NoAgreement, myAcc_ReadChat})),
                        Entry("I", "ivan", "", none)}));
    EXPECT_EQ(ex.ErrorText(), "Cannot create account with more access than yourself.");
    EXPECT_EQ(DiskRecord("gina"), ExpectedUserData("G", "gina", "", AccessBytes({myAcc_NoAgreement})));
    EXPECT_FALSE(AccountFolderExists("hank"));
    EXPECT_FALSE(AccountFolderExists("ivan"));
    EXPECT_TRUE(AccountFolderExists("frank"));
}

TEST_F(AccountRequestsTest, SetUserListFailuresOnlyMarkTheBatch) {
    PutAccount("bob", "Bob", "bobpw", kChatOnly);
    PutAccount("carol", "Carol", "carolpw", kChatOnly);
    const Bytes bobBefore = DiskRecord("bob");
    const Bytes carolBefore = DiskRecord("carol");
    auto admin = Admin();
    const Bytes none = AccessBytes({});

    // A rename onto a taken login is abandoned: neither account's record changes.
    auto ex = Exchange(*admin.conn, kTranSetUserList, List({Entry("Bob", "carol", Enc("n"), none, "bob")}));
    EXPECT_EQ(ex.ErrorText(), "Error saving list of accounts.");
    EXPECT_EQ(DiskRecord("bob"), bobBefore);
    EXPECT_EQ(DiskRecord("carol"), carolBefore);

    // Keeping the password of a missing account, an empty entry, a deletion without a login and
    // an unusable login each fail alone; the valid entry between them is applied.
    ex = Exchange(*admin.conn, kTranSetUserList,
                  CFieldListBuilder()
                      .Add(kFieldData, Entry("G", "ghost", std::string(1, '\0'), none, "ghost"))
                      .Add(kFieldData, Bytes{})
                      .Add(kFieldData, CFieldListBuilder().Add(kFieldUserAccess, none).Build())
                      .Add(kFieldData, Entry("Z", "zed", "", none))
                      .Add(kFieldData, Entry("Bad", "a/b", "", none))
                      .Build());
    EXPECT_EQ(ex.ErrorText(), "Error saving list of accounts.");
    EXPECT_FALSE(AccountFolderExists("ghost"));
    EXPECT_TRUE(AccountFolderExists("zed"));
    EXPECT_FALSE(UFileUtil::Exists(UserFolder("a")));
    EXPECT_EQ(AccountLogLines(), (std::vector<std::string>{"127.0.0.1\tadmin\tBoss\tCreate\tzed"}));
}

}  // namespace
}  // namespace kx::test
