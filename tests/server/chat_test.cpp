// Chat lines, private chats, instant messages, broadcasts and the flood rules, over loopback
// with several in-process clients.
#include "server/chat_fixture.h"

#include <algorithm>
#include <cstring>
#include <set>

namespace kx::test {
namespace {

class ChatTest : public ChatFixture {};

CFieldListBuilder Line(std::string_view text, int options = 0) {
    CFieldListBuilder b;
    b.Add(kFieldData, text);
    if (options) b.AddInt(kFieldChatOptions, options);
    return b;
}

TEST_F(ChatTest, PublicLineBytesInBothFormsAndMultiLine) {
    auto alice = AddUser("alice");
    auto bob = AddUser("bob");
    Send(alice, kTranChatSend, Line("hello"));
    for (SChatUser* u : {&alice, &bob}) {
        auto t = Expect(*u, kTranChatText);
        EXPECT_EQ(Text(t, kFieldData), "\r        alice:  hello");
        EXPECT_FALSE(Has(t, kFieldChatID));  // the public chat carries no ID
    }
    Send(alice, kTranChatSend, Line("hello", 1));
    EXPECT_EQ(Text(Expect(bob, kTranChatText), kFieldData), "\r *** alice hello");
    Send(alice, kTranChatSend, Line("one\rtwo"));
    EXPECT_EQ(Text(Expect(bob, kTranChatText), kFieldData), "\r        alice:  one\r        alice:  two");
    Send(alice, kTranChatSend, Line("one\rtwo", 1));
    EXPECT_EQ(Text(Expect(bob, kTranChatText), kFieldData), "\r *** alice one\r *** alice two");
}

TEST_F(ChatTest, LinesReachEveryReaderOnceAndInOneOrderUnderEachConnectionsOwnIDs) {
    std::vector<SChatUser> users;
    for (const char* name : {"alice", "bob", "carol", "dave"}) users.push_back(AddUser(name));
    // Two writers' lines arrive interleaved within one batch: each is encoded once and shared,
    // and lines in a row go to each reader as one run. A name change among them is told to
    // everyone in its place, under the next ID: the run before it is handed over first.
    for (int i = 0; i < 20; ++i) {
        users[0].conn->SendRequest(kTranChatSend, Line("a" + std::to_string(i)).Build());
        users[1].conn->SendRequest(kTranChatSend, Line("b" + std::to_string(i)).Build());
        if (i == 10) users[1].conn->SendRequest(kTranSetClientUserInfo, CFieldListBuilder().Add(kFieldUserName, "bob").Build());
    }
    Pump();
    std::vector<std::string> first;
    for (SChatUser& u : users) {
        std::vector<std::string> got;
        std::uint32_t lastID = 0;
        for (int i = 0; i < 41; ++i) {
            const std::optional<STestTransaction> t = Next(u);
            ASSERT_TRUE(t);
            EXPECT_EQ(t->hdr.isReply, 0);
            if (t->hdr.type == kTranClientUserInfo) {
                got.push_back("changed " + Text(*t, kFieldUserName));
            } else {
                EXPECT_EQ(t->hdr.type, kTranChatText);
                got.push_back(Text(*t, kFieldData));
            }
            if (lastID != 0) {
                EXPECT_EQ(t->hdr.id, lastID + 1);  // the connection's own sequence of IDs
            }
            lastID = t->hdr.id;
        }
        EXPECT_TRUE(Quiet(u));  // nothing twice
        EXPECT_EQ(std::count(got.begin(), got.end(), "changed bob"), 1);
        for (const char* who : {"alice", "bob"}) {
            std::vector<std::string> mine;
            for (const std::string& line : got)
                if (line.find(std::string(who) + ":") != std::string::npos) mine.push_back(line);
            ASSERT_EQ(mine.size(), 20u);
            for (int i = 0; i < 20; ++i)
                EXPECT_EQ(mine[i], "\r" + std::string(13 - std::strlen(who), ' ') + who + ":  " + who[0] + std::to_string(i));
        }
        if (first.empty()) first = got;
        EXPECT_EQ(got, first);  // every reader sees the same order
    }
}

TEST_F(ChatTest, LongNameIsCutToThirteenAndLongTextTo8192) {
    auto longName = AddUser("abcdefghijklmnopqrst");
    auto bob = AddUser("bob");
    Send(longName, kTranChatSend, Line("hi"));
    EXPECT_EQ(Text(Expect(bob, kTranChatText), kFieldData), "\rabcdefghijklm:  hi");
    Send(longName, kTranChatSend, Line(std::string(9000, 'x')));
    const std::string got = Text(Expect(bob, kTranChatText), kFieldData);
    ASSERT_EQ(got.size(), 8192u);
    EXPECT_EQ(got.substr(0, 17), "\rabcdefghijklm:  ");
    EXPECT_EQ(got.find_first_not_of('x', 17), std::string::npos);
}

TEST_F(ChatTest, ReadChatAndSendChatPrivileges) {
    auto alice = AddUser("alice");
    auto deaf = AddUser("deaf", {myAcc_SendChat});
    auto mute = AddUser("mute", {myAcc_ReadChat});
    Send(mute, kTranChatSend, Line("let me speak"));
    auto refusal = Expect(mute, kTranServerMsg);
    EXPECT_EQ(Int(refusal, kFieldChatOptions), 1);
    EXPECT_EQ(Text(refusal, kFieldData), "You are not allowed to participate in chat.");
    EXPECT_TRUE(Quiet(alice));

    Send(deaf, kTranChatSend, Line("can you hear"));
    EXPECT_EQ(Text(Expect(alice, kTranChatText), kFieldData), "\r         deaf:  can you hear");
    EXPECT_EQ(Text(Expect(mute, kTranChatText), kFieldData), "\r         deaf:  can you hear");
    EXPECT_TRUE(Quiet(deaf));  // without ReadChat not even its own line
}

TEST_F(ChatTest, SixthIdenticalLineBansAndADifferentLineResetsTheCount) {
    auto alice = AddUser("alice");
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 5; ++i) {
            Send(alice, kTranChatSend, Line("same"));
            Expect(alice, kTranChatText);
        }
        if (round == 0) {
            Send(alice, kTranChatSend, Line("different"));
            Expect(alice, kTranChatText);
        }
    }
    EXPECT_FALSE(Banned());
    EXPECT_EQ(alice.rec->dupePrivMsgCount, 4);
    TakeLogWindow();
    Send(alice, kTranChatSend, Line("same"));
    const std::string log = TakeLogWindow();
    EXPECT_TRUE(ServerClosed(*alice.conn));
    EXPECT_TRUE(Banned());
    EXPECT_NE(log.find("Autobanned for Chat Spam"), std::string::npos) << log;
}

TEST_F(ChatTest, ChatVolumeBansThe115thShortLineAndTheWindowRestarts) {
    auto alice = AddUser("alice", {myAcc_SendChat});  // reads nothing, so no replies pile up
    for (int i = 0; i < 100; ++i) alice.conn->SendRequest(kTranChatSend, Line("a" + std::to_string(i)).Build());
    Pump(50);
    EXPECT_EQ(alice.rec->nofloodChatSize, 9000);
    // A new minute starts a new count.
    AdvanceSeconds(61);
    for (int i = 0; i < 114; ++i) alice.conn->SendRequest(kTranChatSend, Line("b" + std::to_string(i)).Build());
    Pump(50);
    EXPECT_EQ(alice.rec->nofloodChatSize, 10260);
    EXPECT_FALSE(Banned());
    Send(alice, kTranChatSend, Line("one too many"));
    EXPECT_TRUE(ServerClosed(*alice.conn));
    EXPECT_TRUE(Banned());
}

TEST_F(ChatTest, LongLinesCountTheirLength) {
    auto alice = AddUser("alice", {myAcc_SendChat});
    Send(alice, kTranChatSend, Line(std::string(200, 'z')));
    EXPECT_EQ(alice.rec->nofloodChatSize, 217);  // prefix of 17 bytes + 200
    Send(alice, kTranChatSend, Line(std::string(8192, 'y')));
    EXPECT_EQ(alice.rec->nofloodChatSize, 217 + 8192);
    Send(alice, kTranChatSend, Line(std::string(8192, 'w')));
    EXPECT_FALSE(Banned());  // 8409 < 10241 when checked
    Send(alice, kTranChatSend, Line("x"));
    EXPECT_TRUE(ServerClosed(*alice.conn));
}

TEST_F(ChatTest, PrivateChatLifeCycle) {
    auto alice = AddUser("alice");
    auto bob = AddUser("bob");
    auto carol = AddUser("carol");

    CFieldListBuilder invite;
    invite.AddInt(kFieldUserID, bob.rec->userID).AddInt(kFieldUserID, alice.rec->userID).AddInt(kFieldUserID, bob.rec->userID);
    const std::uint32_t rid = Send(alice, kTranInviteNewChat, invite);
    auto reply = Reply(alice, rid);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->hdr.error, 0u);
    const auto chatID = static_cast<std::uint32_t>(Int(*reply, kFieldChatID));
    EXPECT_NE(chatID, 0u);
    EXPECT_EQ(Int(*reply, kFieldUserID), alice.rec->userID);
    EXPECT_EQ(Int(*reply, kFieldIconID), 128);
    EXPECT_EQ(Int(*reply, kFieldUserFlags), 0);
    EXPECT_EQ(Text(*reply, kFieldUserName), "alice");
    ASSERT_EQ(mApp->Chats().size(), 1u);

    // Bob is invited once although named twice; alice (herself) is not.
    auto inv = Expect(bob, kTranInviteToChat);
    EXPECT_EQ(static_cast<std::uint32_t>(Int(inv, kFieldChatID)), chatID);
    EXPECT_EQ(Int(inv, kFieldUserID), alice.rec->userID);
    EXPECT_EQ(Text(inv, kFieldUserName), "alice");
    EXPECT_TRUE(Quiet(bob));
    EXPECT_TRUE(Quiet(alice));

    // Bob joins: alice is told; bob's reply lists alice, then bob.
    const std::uint32_t jid = Send(bob, kTranJoinChat, CFieldListBuilder().AddInt(kFieldChatID, std::int32_t(chatID)));
    auto change = Expect(alice, kTranChatUserChange);
    EXPECT_EQ(static_cast<std::uint32_t>(Int(change, kFieldChatID)), chatID);
    EXPECT_EQ(Int(change, kFieldUserID), bob.rec->userID);
    EXPECT_EQ(Int(change, kFieldIconID), 128);
    EXPECT_EQ(Text(change, kFieldUserName), "bob");
    auto joined = Reply(bob, jid);
    ASSERT_TRUE(joined);
    EXPECT_FALSE(Has(*joined, kFieldChatSubject));
    auto entries = Fields(*joined);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].id, kFieldUserNameWithInfo);
    const Bytes aliceEntry = {0, std::uint8_t(alice.rec->userID), 0, 128, 0, 0, 0, 5, 'a', 'l', 'i', 'c', 'e'};
    EXPECT_EQ(entries[0].data, aliceEntry);
    EXPECT_EQ(entries[1].Text().substr(8), "bob");

    // A non-member sets the subject; the members are told, carol is not.
    Send(carol, kTranSetChatSubject, CFieldListBuilder().AddInt(kFieldChatID, std::int32_t(chatID)).Add(kFieldChatSubject, "plans"));
    for (SChatUser* u : {&alice, &bob}) EXPECT_EQ(Text(Expect(*u, kTranChatSubject), kFieldChatSubject), "plans");
    EXPECT_TRUE(Quiet(carol));

    // A line to the chat from a non-member reaches the members only, with the chat ID.
    Send(carol, kTranChatSend, Line("psst").AddInt(kFieldChatID, std::int32_t(chatID)));
    for (SChatUser* u : {&alice, &bob}) {
        auto t = Expect(*u, kTranChatText);
        EXPECT_EQ(Text(t, kFieldData), "\r        carol:  psst");
        EXPECT_EQ(static_cast<std::uint32_t>(Int(t, kFieldChatID)), chatID);
    }
    EXPECT_TRUE(Quiet(carol));
    // A line to a chat that does not exist goes nowhere.
    Send(carol, kTranChatSend, Line("void").AddInt(kFieldChatID, std::int32_t(chatID + 1)));
    EXPECT_TRUE(Quiet(alice));

    // Carol declines.
    Send(carol, kTranRejectChatInvite, CFieldListBuilder().AddInt(kFieldChatID, std::int32_t(chatID)));
    EXPECT_EQ(Text(Expect(alice, kTranChatText), kFieldData), "\r<<< \"carol\" declined invitation to chat >>>");
    Expect(bob, kTranChatText);

    // Carol joins anyway (no invitation needed) and sees the subject.
    const std::uint32_t cj = Send(carol, kTranJoinChat, CFieldListBuilder().AddInt(kFieldChatID, std::int32_t(chatID)));
    Expect(alice, kTranChatUserChange);
    Expect(bob, kTranChatUserChange);
    auto cr = Reply(carol, cj);
    ASSERT_TRUE(cr);
    EXPECT_EQ(Text(*cr, kFieldChatSubject), "plans");
    EXPECT_EQ(Fields(*cr).size(), 4u);

    // Leaving: the rest are told; the last one out closes the chat.
    Send(bob, kTranLeaveChat, CFieldListBuilder().AddInt(kFieldChatID, std::int32_t(chatID)));
    for (SChatUser* u : {&alice, &carol}) {
        auto t = Expect(*u, kTranChatUserLeave);
        EXPECT_EQ(Int(t, kFieldUserID), bob.rec->userID);
        EXPECT_EQ(static_cast<std::uint32_t>(Int(t, kFieldChatID)), chatID);
    }
    EXPECT_TRUE(Quiet(bob));  // no reply
    Send(carol, kTranLeaveChat, CFieldListBuilder().AddInt(kFieldChatID, std::int32_t(chatID)));
    Expect(alice, kTranChatUserLeave);
    Send(alice, kTranLeaveChat, CFieldListBuilder().AddInt(kFieldChatID, std::int32_t(chatID)));
    EXPECT_TRUE(mApp->Chats().empty());
    const std::uint32_t late = Send(bob, kTranJoinChat, CFieldListBuilder().AddInt(kFieldChatID, std::int32_t(chatID)));
    auto refused = Reply(bob, late);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->hdr.error, 1u);
    EXPECT_EQ(Text(*refused, kFieldErrorText), "Cannot join private chat because it has been closed already.");
}

TEST_F(ChatTest, EmptySubjectRemovesIt) {
    auto alice = AddUser("alice");
    const std::uint32_t rid = Send(alice, kTranInviteNewChat, CFieldListBuilder());
    const auto chatID = static_cast<std::int32_t>(Int(*Reply(alice, rid), kFieldChatID));
    Send(alice, kTranSetChatSubject, CFieldListBuilder().AddInt(kFieldChatID, chatID).Add(kFieldChatSubject, std::string(300, 's')));
    EXPECT_EQ(Text(Expect(alice, kTranChatSubject), kFieldChatSubject), std::string(255, 's'));
    Send(alice, kTranSetChatSubject, CFieldListBuilder().AddInt(kFieldChatID, chatID).Add(kFieldChatSubject, ""));
    auto cleared = Expect(alice, kTranChatSubject);
    EXPECT_EQ(Int(cleared, kFieldChatID), chatID);
    EXPECT_FALSE(Has(cleared, kFieldChatSubject));  // an empty field is not sent
    EXPECT_TRUE(mApp->Chats().front()->subject.empty());
}

TEST_F(ChatTest, InvitationsRespectRefusalsAutomaticResponsesAndMembership) {
    auto alice = AddUser("alice");
    auto shy = AddUser("shy");
    auto away = AddUser("away");
    auto bob = AddUser("bob");
    shy.rec->bRefusePrivateChat = true;
    away.rec->bAutomaticResponse = true;
    away.rec->psAutomaticResponseText = "gone fishing";

    const std::uint32_t rid = Send(alice, kTranInviteNewChat, CFieldListBuilder().AddInt(kFieldUserID, bob.rec->userID));
    const auto chatID = static_cast<std::int32_t>(Int(*Reply(alice, rid), kFieldChatID));
    Expect(bob, kTranInviteToChat);
    Send(bob, kTranJoinChat, CFieldListBuilder().AddInt(kFieldChatID, chatID));
    Expect(alice, kTranChatUserChange);
    Next(bob);  // join reply

    // To the existing chat: bob (member) and alice (self) are skipped.
    CFieldListBuilder more;
    more.AddInt(kFieldChatID, chatID)
        .AddInt(kFieldUserID, shy.rec->userID)
        .AddInt(kFieldUserID, away.rec->userID)
        .AddInt(kFieldUserID, bob.rec->userID)
        .AddInt(kFieldUserID, alice.rec->userID)
        .AddInt(kFieldUserID, 999);
    Send(alice, kTranInviteToChat, more);
    auto refusal = Expect(alice, kTranServerMsg);
    EXPECT_EQ(Int(refusal, kFieldOptions), 3);
    EXPECT_EQ(Int(refusal, kFieldUserID), shy.rec->userID);
    EXPECT_EQ(Text(refusal, kFieldUserName), "shy");
    EXPECT_EQ(Text(refusal, kFieldData), "shy does not accept private chats.");
    auto automatic = Expect(alice, kTranServerMsg);
    EXPECT_EQ(Int(automatic, kFieldOptions), 4);
    EXPECT_EQ(Text(automatic, kFieldData), "gone fishing");
    EXPECT_TRUE(Quiet(alice));  // no reply to an invitation into an existing chat
    EXPECT_TRUE(Quiet(shy));
    EXPECT_EQ(Int(Expect(away, kTranInviteToChat), kFieldChatID), chatID);
    EXPECT_TRUE(Quiet(bob));

    // An inviter who refuses instant messages gets no automatic answers.
    alice.rec->bRefusePrivateMsg = true;
    Send(alice, kTranInviteToChat, more);
    EXPECT_TRUE(Quiet(alice));
    Expect(away, kTranInviteToChat);
}

TEST_F(ChatTest, CreatingAChatNeedsThePrivilege) {
    auto alice = AddUser("alice", {myAcc_ReadChat});
    const std::uint32_t rid = Send(alice, kTranInviteNewChat, CFieldListBuilder());
    auto r = Reply(alice, rid);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->hdr.error, 1u);
    EXPECT_EQ(Text(*r, kFieldErrorText), "You are not allowed to create a new chat.");
    EXPECT_TRUE(mApp->Chats().empty());
}

TEST_F(ChatTest, DisconnectingMemberLeavesEveryChat) {
    auto alice = AddUser("alice");
    auto bob = AddUser("bob");
    std::int32_t ids[2];
    for (std::int32_t& id : ids) {
        const std::uint32_t rid = Send(alice, kTranInviteNewChat, CFieldListBuilder());
        id = static_cast<std::int32_t>(Int(*Reply(alice, rid), kFieldChatID));
        const std::uint32_t jid = Send(bob, kTranJoinChat, CFieldListBuilder().AddInt(kFieldChatID, id));
        Expect(alice, kTranChatUserChange);
        Reply(bob, jid);
    }
    // A chat only bob is in.
    const std::uint32_t rid = Send(bob, kTranInviteNewChat, CFieldListBuilder());
    Reply(bob, rid);
    ASSERT_EQ(mApp->Chats().size(), 3u);

    bob.conn->Close();
    ASSERT_TRUE(PumpUntil([&] { return mApp->Clients().size() == 1; }));
    std::vector<std::int64_t> leftChats;
    for (int i = 0; i < 2; ++i) {
        auto t = Expect(alice, kTranChatUserLeave);
        EXPECT_EQ(Int(t, kFieldUserID), 2);
        leftChats.push_back(Int(t, kFieldChatID));
    }
    std::sort(leftChats.begin(), leftChats.end());
    std::sort(std::begin(ids), std::end(ids));
    EXPECT_EQ(leftChats, (std::vector<std::int64_t>{ids[0], ids[1]}));
    EXPECT_EQ(mApp->Chats().size(), 2u);
    for (const auto& chat : mApp->Chats()) EXPECT_EQ(chat->clientList.size(), 1u);
    mApp->ResetServer();
    EXPECT_TRUE(mApp->Chats().empty());
}

TEST_F(ChatTest, ChatIDsAreNeverZeroAndNeverReused) {
    for (int i = 0; i < 600; ++i) EXPECT_NE(mApp->NewUniqueChatID(), 0u);
    auto alice = AddUser("alice");
    std::set<std::int64_t> ids;
    for (int i = 0; i < 20; ++i) {
        const std::uint32_t rid = Send(alice, kTranInviteNewChat, CFieldListBuilder());
        ids.insert(Int(*Reply(alice, rid), kFieldChatID));
        alice.rec->privMsgCount = 0;
    }
    EXPECT_EQ(ids.size(), 20u);
    EXPECT_EQ(mApp->Chats().size(), 20u);
}

}  // namespace
}  // namespace kx::test
