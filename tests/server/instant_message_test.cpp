// Instant messages (kinds, refusals, automatic answers), user broadcasts, the shared
// message-rate rule and the checksum that detects repetitions.
#include "server/chat_fixture.h"
#include "server/crc32_mpeg2.h"

namespace kx::test {
namespace {

class InstantMsgTest : public ChatFixture {};

CFieldListBuilder Msg(std::uint16_t to, int kind, std::string_view text) {
    CFieldListBuilder b;
    b.AddInt(kFieldUserID, to).AddInt(kFieldOptions, kind).Add(kFieldData, text);
    return b;
}

TEST(Crc32Mpeg2Test, KnownValuesAndIncrementalUse) {
    EXPECT_EQ(UCrc32Mpeg2::Compute("123456789", 9), 0x0376E6E7u);
    EXPECT_EQ(UCrc32Mpeg2::Compute("", 0), 0xFFFFFFFFu);
    EXPECT_EQ(UCrc32Mpeg2::Compute("a", 1), 0xE66C6494u);
    EXPECT_EQ(UCrc32Mpeg2::Compute("\r        alice:  hello", 22), 0x2BF2D931u);
    const std::uint32_t part = UCrc32Mpeg2::Update(UCrc32Mpeg2::kInitial, "12345", 5);
    EXPECT_EQ(UCrc32Mpeg2::Update(part, "6789", 4), 0x0376E6E7u);
}

TEST_F(InstantMsgTest, OrdinaryMessageIsDeliveredWithItsQuote) {
    auto alice = AddUser("alice");
    auto bob = AddUser("bob");
    const std::uint32_t id = Send(alice, kTranSendInstantMsg, Msg(bob.rec->userID, 1, "hi bob").Add(kFieldQuotedMsg, "earlier"));
    auto reply = Reply(alice, id);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->hdr.error, 0u);
    EXPECT_EQ(Fields(*reply).size(), 0u);
    auto t = Expect(bob, kTranServerMsg);
    EXPECT_EQ(Int(t, kFieldUserID), alice.rec->userID);
    EXPECT_EQ(Text(t, kFieldUserName), "alice");
    EXPECT_EQ(Int(t, kFieldOptions), 1);
    EXPECT_EQ(Text(t, kFieldData), "hi bob");
    EXPECT_EQ(Text(t, kFieldQuotedMsg), "earlier");
    // A text above 4096 bytes is cut.
    Send(alice, kTranSendInstantMsg, Msg(bob.rec->userID, 1, std::string(5000, 'q')));
    EXPECT_EQ(Text(Expect(bob, kTranServerMsg), kFieldData), std::string(4096, 'q'));
}

TEST_F(InstantMsgTest, RefusingTargetGetsNothingAndTheSenderIsToldForKindOneOnly) {
    auto alice = AddUser("alice");
    auto bob = AddUser("bob");
    bob.rec->bRefusePrivateMsg = true;
    const std::uint32_t id = Send(alice, kTranSendInstantMsg, Msg(bob.rec->userID, 1, "hello?"));
    auto reply = Reply(alice, id);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->hdr.error, 0u);
    auto notice = Expect(alice, kTranServerMsg);
    EXPECT_EQ(Int(notice, kFieldOptions), 2);
    EXPECT_EQ(Int(notice, kFieldUserID), bob.rec->userID);
    EXPECT_EQ(Text(notice, kFieldUserName), "bob");
    EXPECT_EQ(Text(notice, kFieldData), "bob does not accept private messages.");
    EXPECT_TRUE(Quiet(bob));
    // Kind 4 (itself an automatic answer) earns no answer, so two robots cannot loop.
    const std::uint32_t id2 = Send(alice, kTranSendInstantMsg, Msg(bob.rec->userID, 4, "auto"));
    Reply(alice, id2);
    EXPECT_TRUE(Quiet(alice));
    EXPECT_TRUE(Quiet(bob));
}

TEST_F(InstantMsgTest, AutomaticResponseAnswersAndTheMessageIsStillDelivered) {
    auto alice = AddUser("alice");
    auto bob = AddUser("bob");
    bob.rec->bAutomaticResponse = true;
    bob.rec->psAutomaticResponseText = "back at five";
    const std::uint32_t id = Send(alice, kTranSendInstantMsg, Msg(bob.rec->userID, 1, "ping"));
    Reply(alice, id);
    auto answer = Expect(alice, kTranServerMsg);
    EXPECT_EQ(Int(answer, kFieldOptions), 4);
    EXPECT_EQ(Text(answer, kFieldUserName), "bob");
    EXPECT_EQ(Text(answer, kFieldData), "back at five");
    EXPECT_EQ(Text(Expect(bob, kTranServerMsg), kFieldData), "ping");
    // A sender who refuses messages itself gets no automatic answer.
    alice.rec->bRefusePrivateMsg = true;
    const std::uint32_t id2 = Send(alice, kTranSendInstantMsg, Msg(bob.rec->userID, 1, "ping again"));
    Reply(alice, id2);
    EXPECT_TRUE(Quiet(alice));
    Expect(bob, kTranServerMsg);
}

TEST_F(InstantMsgTest, RefusalKindsCarryTheSendersNameAndEmptyTextsAreNotSent) {
    auto alice = AddUser("alice");
    auto bob = AddUser("bob");
    Send(alice, kTranSendInstantMsg, Msg(bob.rec->userID, 2, "ignored"));
    Next(alice);
    auto two = Expect(bob, kTranServerMsg);
    EXPECT_EQ(Int(two, kFieldOptions), 2);
    EXPECT_EQ(Text(two, kFieldData), "alice does not accept private messages.");
    Send(alice, kTranSendInstantMsg, Msg(bob.rec->userID, 3, ""));
    Next(alice);
    auto three = Expect(bob, kTranServerMsg);
    EXPECT_EQ(Int(three, kFieldOptions), 3);
    EXPECT_EQ(Text(three, kFieldData), "alice does not accept private chats.");
    Send(alice, kTranSendInstantMsg, Msg(bob.rec->userID, 1, ""));
    Next(alice);
    EXPECT_TRUE(Quiet(bob));
}

TEST_F(InstantMsgTest, RefusalsWithoutPrivilegeOrTarget) {
    auto alice = AddUser("alice", {myAcc_ReadChat});
    auto bob = AddUser("bob");
    std::uint32_t id = Send(alice, kTranSendInstantMsg, Msg(bob.rec->userID, 1, "x"));
    auto r = Reply(alice, id);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->hdr.error, 1u);
    EXPECT_EQ(Text(*r, kFieldErrorText), "You are not allowed to send private messages.");
    EXPECT_TRUE(Quiet(bob));
    id = Send(bob, kTranSendInstantMsg, Msg(77, 1, "y"));
    r = Reply(bob, id);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->hdr.error, 1u);
    EXPECT_EQ(Text(*r, kFieldErrorText), "Couldn't send your message because the client is not connected to this server.");
}

TEST_F(InstantMsgTest, BroadcastReachesEveryOtherLoggedInClient) {
    auto alice = AddUser("alice", {myAcc_Broadcast});
    auto bob = AddUser("bob");
    auto plain = AddUser("plain");
    auto stranger = ConnectClient();  // connected, not logged in
    ASSERT_TRUE(PumpUntil([&] { return mApp->Clients().size() == 4; }));
    const std::uint32_t id = Send(alice, kTranUserBroadcast, CFieldListBuilder().Add(kFieldData, "all hands"));
    auto reply = Reply(alice, id);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->hdr.error, 0u);
    for (SChatUser* u : {&bob, &plain}) {
        auto t = Expect(*u, kTranUserBroadcast);
        EXPECT_EQ(Int(t, kFieldUserID), alice.rec->userID);
        EXPECT_EQ(Text(t, kFieldUserName), "alice");
        EXPECT_EQ(Text(t, kFieldData), "all hands");
    }
    EXPECT_TRUE(Quiet(alice));
    Pump(5);
    EXPECT_TRUE(stranger->ExpectSilence(30));

    const std::uint32_t denied = Send(bob, kTranUserBroadcast, CFieldListBuilder().Add(kFieldData, "me too"));
    auto r = Reply(bob, denied);
    ASSERT_TRUE(r);
    EXPECT_EQ(Text(*r, kFieldErrorText), "You are not allowed to broadcast.");
    EXPECT_TRUE(Quiet(alice));
}

TEST_F(InstantMsgTest, TwentySecondMessageBroadcastOrInvitationInAMinuteBans) {
    auto alice = AddUser("alice", {myAcc_SendPrivMsg, myAcc_Broadcast, myAcc_CreateChat});
    auto bob = AddUser("bob", {});
    for (int i = 0; i < 7; ++i) {
        alice.conn->SendRequest(kTranSendInstantMsg, Msg(bob.rec->userID, 1, "m" + std::to_string(i)).Build());
        alice.conn->SendRequest(kTranUserBroadcast, CFieldListBuilder().Add(kFieldData, "b" + std::to_string(i)).Build());
        alice.conn->SendRequest(kTranInviteNewChat, CFieldListBuilder().Build());
    }
    Pump(30);
    EXPECT_EQ(alice.rec->privMsgCount, 21);
    EXPECT_FALSE(Banned());
    // A minute later the window starts again.
    AdvanceSeconds(61);
    for (int i = 0; i < 21; ++i)
        alice.conn->SendRequest(kTranSendInstantMsg, Msg(bob.rec->userID, 1, "n" + std::to_string(i)).Build());
    Pump(30);
    EXPECT_EQ(alice.rec->privMsgCount, 21);
    EXPECT_FALSE(Banned());
    TakeLogWindow();
    Send(alice, kTranInviteToChat, CFieldListBuilder().AddInt(kFieldChatID, 1));
    const std::string log = TakeLogWindow();
    EXPECT_NE(log.find("Autobanned for flooding"), std::string::npos);
    EXPECT_TRUE(ServerClosed(*alice.conn));
    EXPECT_TRUE(Banned());
}

TEST_F(InstantMsgTest, RepeatedMessagesBanBeforeThePrivilegeIsChecked) {
    auto alice = AddUser("alice", {});
    auto bob = AddUser("bob");
    for (int i = 0; i < 5; ++i) {
        const std::uint32_t id = Send(alice, kTranSendInstantMsg, Msg(bob.rec->userID, 1, "again"));
        EXPECT_EQ(Reply(alice, id)->hdr.error, 1u);
    }
    EXPECT_FALSE(Banned());
    TakeLogWindow();
    Send(alice, kTranSendInstantMsg, Msg(bob.rec->userID, 1, "again"));
    const std::string log = TakeLogWindow();
    EXPECT_NE(log.find("Autobanned for Message Spam"), std::string::npos);
    EXPECT_TRUE(ServerClosed(*alice.conn));
    EXPECT_TRUE(Banned());
}

}  // namespace
}  // namespace kx::test
