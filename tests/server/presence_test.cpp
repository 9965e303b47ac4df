// Presence over loopback: the user list byte for byte, nickname changes and their flood rule,
// away notices, keep-alive, client information, disconnecting users with and without bans, and
// connected clients following changes to their account.
#include "admin/ban_record.h"
#include "framework/byte_codec.h"
#include "server/login_helpers.h"

namespace kx::test {
namespace {

class PresenceTest : public LoginFixture {
protected:
    const SMyUserAccess kUser = SMyUserAccess::FromBits({myAcc_ReadChat, myAcc_SendChat});
    const SMyUserAccess kNamed = SMyUserAccess::FromBits({myAcc_ReadChat, myAcc_AnyName});
};

Bytes Entry(std::uint16_t id, std::uint16_t icon, std::uint16_t flags, const std::string& name) {
    Bytes b(8 + name.size());
    const std::uint16_t header[4] = {id, icon, flags, static_cast<std::uint16_t>(name.size())};
    for (int i = 0; i < 4; ++i) PutBE16(b.data() + 2 * i, header[i]);
    std::copy(name.begin(), name.end(), b.begin() + 8);
    return b;
}

TEST_F(PresenceTest, UserListHasOneExactEntryPerLoggedInUserInConnectionOrder) {
    MakeAccount("admin", "a", "Boss", kFullAccessPrivs);
    MakeAccount("nobody", "n", "", SMyUserAccess{});
    auto a = ConnectAndLogIn("admin", "a", "Chief", 300);
    const std::uint16_t adminID = Newest()->userID;
    auto pending = Connect();  // not logged in: not listed
    auto n = ConnectAndLogIn("nobody", "n", "whoever", 0x8001);
    const std::uint16_t nobodyID = Newest()->userID;

    const std::uint32_t id = n->SendRequest(kTranGetUserNameList, CFieldListBuilder().Build());
    SReceived r = Drain(*n);
    const STestTransaction* reply = r.ReplyTo(id);
    ASSERT_NE(reply, nullptr);
    const auto f = Fields(*reply);
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0].id, kFieldUserNameWithInfo);
    // Holds every privilege of the full set (0x10) and the disconnect privilege (0x02).
    EXPECT_EQ(f[0].data, Entry(adminID, 300, 0x12, "Chief"));
    // No privilege at all (0x20); without myAcc_AnyName an empty account name shows as "***".
    EXPECT_EQ(f[1].data, Entry(nobodyID, 0x8001, 0x20, "***"));
}

TEST_F(PresenceTest, NicknameChangeIsCleanedAndAnnouncedToEveryoneIncludingTheSender) {
    MakeAccount("named", "p", "Named Account", kNamed);
    MakeAccount("plain", "p", "Plain Account", kUser);
    auto a = ConnectAndLogIn("named", "p", "first", 1);
    SMyClient* named = Newest();
    auto b = ConnectAndLogIn("plain", "p", "second", 2);
    SMyClient* plain = Newest();
    Drain(*a);
    Drain(*b);

    // Control characters become "*", one per byte; the name is cut to 31 characters.
    a->SendRequest(kTranSetClientUserInfo,
                   CFieldListBuilder().Add(kFieldUserName, "\x01\x02\x7F\xD2").AddInt(kFieldIconID, 77).Build());
    SReceived atA = Drain(*a), atB = Drain(*b);
    EXPECT_TRUE(atA.ReplyTo(1) == nullptr);
    for (SReceived* r : {&atA, &atB}) {
        const auto n = r->Notices(kTranClientUserInfo);
        ASSERT_EQ(n.size(), 1u);
        EXPECT_EQ(FieldText(*n[0], kFieldUserName), "****");
        EXPECT_EQ(FieldInt(*n[0], kFieldIconID), 77);
        EXPECT_EQ(FieldInt(*n[0], kFieldUserID), named->userID);
    }
    // A negative icon travels as a signed value: four bytes, whether it came in two or four.
    for (const Bytes& icon : {Bytes{0xFF, 0xFE}, Bytes{0xFF, 0xFF, 0xFF, 0xFE}}) {
        a->SendRequest(kTranSetClientUserInfo, CFieldListBuilder().Add(kFieldUserName, "n").Add(kFieldIconID, icon).Build());
        const SReceived got = Drain(*b);
        const auto n = got.Notices(kTranClientUserInfo);
        ASSERT_EQ(n.size(), 1u);
        const auto fields = Fields(*n[0]);
        ASSERT_NE(FindField(fields, kFieldIconID), nullptr);
        EXPECT_EQ(FindField(fields, kFieldIconID)->data, (Bytes{0xFF, 0xFF, 0xFF, 0xFE}));
        EXPECT_EQ(named->iconID, -2);
    }
    Drain(*a);
    a->SendRequest(kTranSetClientUserInfo, CFieldListBuilder().Add(kFieldUserName, std::string(40, 'x')).Build());
    Drain(*a);
    EXPECT_EQ(named->userName, std::string(31, 'x'));
    EXPECT_EQ(named->iconID, 0);  // absent icon
    a->SendRequest(kTranSetClientUserInfo, CFieldListBuilder().Build());
    Drain(*a);
    EXPECT_EQ(named->userName, "***");

    // Without myAcc_AnyName the account's name stays whatever the nickname.
    b->SendRequest(kTranSetClientUserInfo, CFieldListBuilder().Add(kFieldUserName, "Impostor").Build());
    atA = Drain(*a);
    const auto n = atA.Notices(kTranClientUserInfo);
    ASSERT_EQ(n.size(), 1u);
    EXPECT_EQ(FieldText(*n[0], kFieldUserName), "Plain Account");
    EXPECT_EQ(plain->realName, "Impostor");
}

TEST_F(PresenceTest, OptionsSetRefusalsAndTheAutomaticResponse) {
    MakeAccount("named", "p", "Named", kNamed);
    auto a = ConnectAndLogIn("named", "p", "me", 1);
    SMyClient* me = Newest();
    a->SendRequest(kTranSetClientUserInfo,
                   CFieldListBuilder().Add(kFieldUserName, "me").AddInt(kFieldOptions, 0x04).Build());
    SReceived r = Drain(*a);
    EXPECT_TRUE(me->bAutomaticResponse);
    EXPECT_FALSE(me->bRefusePrivateMsg);
    EXPECT_EQ(me->psAutomaticResponseText, "I'm not able to respond right now. Please try later!");
    ASSERT_EQ(r.Notices(kTranClientUserInfo).size(), 1u);
    EXPECT_EQ(FieldInt(*r.Notices(kTranClientUserInfo)[0], kFieldUserFlags), 0);

    a->SendRequest(kTranSetClientUserInfo, CFieldListBuilder()
                                               .Add(kFieldUserName, "me")
                                               .AddInt(kFieldOptions, 0x07)
                                               .Add(kFieldAutomaticResponse, std::string(200, 'r'))
                                               .Build());
    r = Drain(*a);
    EXPECT_EQ(me->psAutomaticResponseText, std::string(127, 'r'));
    EXPECT_EQ(FieldInt(*r.Notices(kTranClientUserInfo)[0], kFieldUserFlags), 0x04 | 0x08);

    // Options cleared: the text goes as well.
    a->SendRequest(kTranSetClientUserInfo, CFieldListBuilder().Add(kFieldUserName, "me").Build());
    Drain(*a);
    EXPECT_FALSE(me->bAutomaticResponse);
    EXPECT_TRUE(me->psAutomaticResponseText.empty());
}

TEST_F(PresenceTest, TwentySeventhNameChangeWithinAMinuteDisconnectsAndBans) {
    MakeAccount("named", "p", "Named", kNamed);
    auto watcher = ConnectAndLogIn("named", "p", "watcher", 1);
    auto a = ConnectAndLogIn("named", "p", "flood", 1);
    SMyClient* flooder = Newest();
    Drain(*watcher);
    for (int i = 1; i <= 26; ++i) {
        a->SendRequest(kTranSetClientUserInfo, CFieldListBuilder().Add(kFieldUserName, "n" + std::to_string(i)).Build());
        if (i % 5 == 0) Drain(*a);
    }
    Drain(*a);
    EXPECT_EQ(flooder->userName, "n26");
    EXPECT_EQ(Drain(*watcher).Notices(kTranClientUserInfo).size(), 26u);
    EXPECT_FALSE(mApp->Bans().IsTempBanned(ToIPAddress(0x7F000001)));

    a->SendRequest(kTranSetClientUserInfo, CFieldListBuilder().Add(kFieldUserName, "n27").Build());
    EXPECT_TRUE(ServerClosed(*a));
    EXPECT_TRUE(mApp->Bans().IsTempBanned(ToIPAddress(0x7F000001)));
    // The watcher is told the flooder left, and never saw the 27th name.
    SReceived r = Drain(*watcher);
    EXPECT_TRUE(r.Notices(kTranClientUserInfo).empty());
    EXPECT_EQ(r.Notices(kTranClientLeft).size(), 1u);
}

TEST_F(PresenceTest, NameChangeWindowStartsAgainAfterSixtySeconds) {
    MakeAccount("named", "p", "Named", kNamed);
    auto a = ConnectAndLogIn("named", "p", "x", 1);
    SMyClient* me = Newest();
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 26; ++i) {
            a->SendRequest(kTranSetClientUserInfo, CFieldListBuilder().Add(kFieldUserName, "r" + std::to_string(round)).Build());
            if (i % 5 == 0) Drain(*a);
        }
        Drain(*a);
        AdvanceSeconds(61);
    }
    EXPECT_EQ(me->userName, "r1");
    EXPECT_EQ(mApp->Clients().size(), 1u);
}

TEST_F(PresenceTest, SilenceOfSixHundredSecondsMarksAwayAndTheNextRequestBack) {
    MakeAccount("named", "p", "Named", kNamed);
    auto a = ConnectAndLogIn("named", "p", "idler", 1);
    SMyClient* idler = Newest();
    auto b = ConnectAndLogIn("named", "p", "busy", 1);
    SMyClient* busy = Newest();
    Drain(*a);
    Drain(*b);

    AdvanceSeconds(300);
    b->SendRequest(kTranKeepConnectionAlive, CFieldListBuilder().Build());
    EXPECT_TRUE(Drain(*a).Notices(kTranClientUserInfo).empty());  // a request that changes nothing
    AdvanceSeconds(302);
    ASSERT_TRUE(PumpUntil([&] { return idler->isAway; }));
    EXPECT_FALSE(busy->isAway);
    for (CTestClient* c : {a.get(), b.get()}) {
        const SReceived r = Drain(*c);
        const auto n = r.Notices(kTranClientUserInfo);
        ASSERT_EQ(n.size(), 1u);
        EXPECT_EQ(FieldInt(*n[0], kFieldUserID), idler->userID);
        EXPECT_EQ(FieldInt(*n[0], kFieldUserFlags), 0x01);
        EXPECT_EQ(FieldText(*n[0], kFieldUserName), "idler");
    }
    // Later passes do not repeat it (the busy user is not due before second 901).
    AdvanceSeconds(200);
    EXPECT_TRUE(Drain(*b).Notices(kTranClientUserInfo).empty());

    const std::uint32_t id = a->SendRequest(kTranKeepConnectionAlive, CFieldListBuilder().Build());
    SReceived atA = Drain(*a);
    EXPECT_FALSE(idler->isAway);
    const STestTransaction* reply = atA.ReplyTo(id);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->hdr.error, 0u);
    EXPECT_EQ(reply->data, (Bytes{0, 0}));
    const SReceived atB = Drain(*b);
    const auto back = atB.Notices(kTranClientUserInfo);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(FieldInt(*back[0], kFieldUserFlags), 0);
}

TEST_F(PresenceTest, ClientInfoTextNeedsThePrivilegeAndAnExistingTarget) {
    SMyUserAccess info = kNamed;
    info.SetPriv(myAcc_GetClientInfo);
    MakeAccount("admin", "a", "Boss", info);
    MakeAccount("user", "u", "Some User", kUser);
    auto u = ConnectAndLogIn("user", "u", "ignored", 1);
    const std::uint16_t userID = Newest()->userID;
    auto a = ConnectAndLogIn("admin", "a", "boss", 1);

    std::uint32_t id = u->SendRequest(kTranGetClientInfoText, CFieldListBuilder().AddInt(kFieldUserID, userID).Build());
    SReceived r = Drain(*u);
    ASSERT_NE(r.ReplyTo(id), nullptr);
    EXPECT_EQ(FieldText(*r.ReplyTo(id), kFieldErrorText), "You are not allowed to get client information.");

    id = a->SendRequest(kTranGetClientInfoText, CFieldListBuilder().AddInt(kFieldUserID, 999).Build());
    r = Drain(*a);
    EXPECT_EQ(FieldText(*r.ReplyTo(id), kFieldErrorText),
              "Cannot get info for the specified client because it does not exist.");

    // Without transfers every section says so (the sections are filled in the transfer tests).
    id = a->SendRequest(kTranGetClientInfoText, CFieldListBuilder().AddInt(kFieldUserID, userID).Build());
    r = Drain(*a);
    const STestTransaction* reply = r.ReplyTo(id);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->hdr.error, 0u);
    EXPECT_EQ(FieldText(*reply, kFieldUserName), "Some User");
    EXPECT_EQ(FieldText(*reply, kFieldData),
              "Nickname:   Some User\rName:       Some User\rAccount:    user\rAddress:    127.0.0.1\r\r"
              "-------- File Downloads ---------\r\rNone.\r\r"
              "------- Folder Downloads --------\r\rNone.\r\r"
              "--------- File Uploads ----------\r\rNone.\r\r"
              "-------- Folder Uploads ---------\r\rNone.\r\r"
              "------- Waiting Downloads -------\r\rNone.\r");
}

class DisconnectTest : public PresenceTest {
protected:
    void SetUpUsers() {
        SMyUserAccess admin = kNamed;
        admin.SetPriv(myAcc_DisconnectUsers);
        MakeAccount("admin", "a", "Boss", admin);
        SMyUserAccess guarded = kNamed;
        guarded.SetPriv(myAcc_CannotBeDisconnected);
        MakeAccount("guarded", "g", "Guarded", guarded);
        MakeAccount("user", "u", "User", kNamed);
        mAdmin = ConnectAndLogIn("admin", "a", "boss", 1);
        mGuarded = ConnectAndLogIn("guarded", "g", "safe", 1);
        mGuardedID = Newest()->userID;
        mUser = ConnectAndLogIn("user", "u", "victim", 1);
        mUserID = Newest()->userID;
        Drain(*mAdmin);
        Drain(*mGuarded);
        Drain(*mUser);
    }
    std::uint32_t Disconnect(CTestClient& by, std::uint16_t target, std::int32_t option = 0, const std::string& reason = "") {
        CFieldListBuilder b;
        b.AddInt(kFieldUserID, target);
        if (option) b.AddInt(kFieldOptions, option);
        if (!reason.empty()) b.Add(kFieldData, reason);
        return by.SendRequest(kTranDisconnectUser, b.Build());
    }
    std::unique_ptr<CTestClient> mAdmin, mGuarded, mUser;
    std::uint16_t mGuardedID = 0, mUserID = 0;
};

TEST_F(DisconnectTest, RefusalsAndAMissingTarget) {
    SetUpUsers();
    std::uint32_t id = Disconnect(*mUser, mGuardedID);
    SReceived r = Drain(*mUser);
    EXPECT_EQ(FieldText(*r.ReplyTo(id), kFieldErrorText), "You are not allowed to disconnect users.");

    id = Disconnect(*mAdmin, mGuardedID, 2);
    r = Drain(*mAdmin);
    EXPECT_EQ(r.ReplyTo(id)->hdr.error, 1u);
    EXPECT_EQ(FieldText(*r.ReplyTo(id), kFieldErrorText), "You are not allowed to disconnect user \xD2safe\xD3 (user is protected).");

    id = Disconnect(*mAdmin, 999, 2);
    r = Drain(*mAdmin);
    EXPECT_EQ(r.ReplyTo(id)->hdr.error, 0u);
    EXPECT_EQ(r.ReplyTo(id)->data, (Bytes{0, 0}));
    EXPECT_EQ(mApp->Clients().size(), 3u);
    EXPECT_TRUE(mApp->Bans().PermBans().empty());
    EXPECT_TRUE(Drain(*mGuarded).all.empty());
}

TEST_F(DisconnectTest, PlainDisconnectSendsNoMessageAndBansNothing) {
    SetUpUsers();
    const std::uint32_t id = Disconnect(*mAdmin, mUserID, 5);
    std::size_t discarded = 99;
    bool closed = false;
    PumpUntil([&] { return closed = mUser->WaitClosed(1, &discarded); });
    EXPECT_TRUE(closed);
    EXPECT_EQ(discarded, 0u);
    ASSERT_TRUE(PumpUntil([&] { return mApp->Clients().size() == 2; }));
    SReceived r = Drain(*mAdmin);
    EXPECT_EQ(r.ReplyTo(id)->hdr.error, 0u);
    ASSERT_EQ(r.Notices(kTranClientLeft).size(), 1u);
    EXPECT_EQ(FieldInt(*r.Notices(kTranClientLeft)[0], kFieldUserID), mUserID);
    EXPECT_FALSE(mApp->Bans().IsTempBanned(ToIPAddress(0x7F000001)));
}

TEST_F(DisconnectTest, TemporaryBanTellsTheUserAndBansTheAddress) {
    SetUpUsers();
    Disconnect(*mAdmin, mUserID, 1);
    Pump();
    auto msg = mUser->ReadTransaction(2000);
    ASSERT_TRUE(msg);
    EXPECT_EQ(msg->hdr.type, kTranServerMsg);
    EXPECT_EQ(FieldText(*msg, kFieldData), "You are temporarily banned on this server.");
    EXPECT_TRUE(ServerClosed(*mUser));
    EXPECT_TRUE(mApp->Bans().IsTempBanned(ToIPAddress(0x7F000001)));
    EXPECT_TRUE(mApp->Bans().PermBans().empty());
}

TEST_F(DisconnectTest, PermanentBanIsWrittenWithItsReason) {
    SetUpUsers();
    Disconnect(*mAdmin, mUserID, 2, "spamming the chat" + std::string(80, '!'));
    Pump();
    auto msg = mUser->ReadTransaction(2000);
    ASSERT_TRUE(msg);
    EXPECT_EQ(FieldText(*msg, kFieldData), "You are permanently banned on this server.");
    EXPECT_TRUE(ServerClosed(*mUser));
    ASSERT_EQ(mApp->Bans().PermBans().size(), 1u);
    EXPECT_TRUE(mApp->Bans().IsPermBanned(ToIPAddress(0x7F000001)));
    BanList onDisk;
    mApp->Bans().ReadPermBanInfo(onDisk);
    ASSERT_EQ(onDisk.size(), 1u);
    EXPECT_EQ(onDisk[0].description.Str(), ("spamming the chat" + std::string(80, '!')).substr(0, 63));
    // A new login from the address is now refused.
    auto c = Connect();
    c->SendRequest(kTranLogin, LoginFields("user", "u", "x", 1));
    EXPECT_EQ(OnlyErrorText(*c), "You are permanently banned on this server.");
}

TEST_F(PresenceTest, AccountChangesReachItsConnectedClients) {
    MakeAccount("user", "u", "User", kUser);
    auto u = ConnectAndLogIn("user", "u", "nick", 1);
    SMyClient* user = Newest();
    MakeAccount("other", "o", "Other", kNamed);
    auto o = ConnectAndLogIn("other", "o", "watcher", 1);
    Drain(*u);
    Drain(*o);

    // Only the alias changed: nothing is sent.
    SMyUserDataFile rec = mApp->Accounts().GetUser("user");
    rec.SetAlias("alias");
    mApp->SetOnlineAccount("user", rec);
    EXPECT_TRUE(Drain(*u).all.empty());
    EXPECT_TRUE(Drain(*o).all.empty());

    // New privileges with myAcc_AnyName: the user gets kTranUserAccess, everyone the new entry.
    rec.access = kNamed;
    mApp->SetOnlineAccount("user", rec);
    SReceived atU = Drain(*u), atO = Drain(*o);
    ASSERT_EQ(atU.Notices(kTranUserAccess).size(), 1u);
    EXPECT_EQ(Fields(*atU.Notices(kTranUserAccess)[0])[0].data, Bytes(kNamed.bytes.begin(), kNamed.bytes.end()));
    ASSERT_EQ(atO.Notices(kTranClientUserInfo).size(), 1u);
    EXPECT_EQ(FieldText(*atO.Notices(kTranClientUserInfo)[0], kFieldUserName), "nick");
    EXPECT_EQ(user->userName, "nick");

    // Deleting the account disconnects its client with the notice.
    mApp->DeleteOnlineAccount("user", Newest());
    Pump();
    auto msg = u->ReadTransaction(2000);
    ASSERT_TRUE(msg);
    EXPECT_EQ(msg->hdr.type, kTranServerMsg);
    EXPECT_EQ(FieldText(*msg, kFieldData), "You are logged in with an account which was deleted.");
    EXPECT_TRUE(ServerClosed(*u));
    EXPECT_TRUE(PumpUntil([&] { return mApp->Clients().size() == 1; }));
}

}  // namespace
}  // namespace kx::test
