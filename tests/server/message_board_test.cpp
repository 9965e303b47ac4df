// The message board: loading from the file, reading (cut at 65535 bytes), posting with the dated
// header, the size limit, notices to readers, the repetition rule on the inserted block, and the
// file always matching the board.
#include "server/chat_fixture.h"

#include <cstdlib>
#include <ctime>

#include "framework/file_util.h"

namespace kx::test {
namespace {

const std::string kSeparator = "\r" + std::string(58, '_') + "\r";

class MessageBoardTest : public ChatFixture {
protected:
    void SetUp() override {
        // Local time is what the header shows; pin it so the expected bytes are fixed.
        const char* tz = std::getenv("TZ");
        mOldTZ = tz ? std::optional<std::string>(tz) : std::nullopt;
        setenv("TZ", "UTC0", 1);
        tzset();
        mWall = 1741338300;  // 7 March 2025 09:05:00 UTC
        UClock::SetTestWallSource([this] { return mWall; });
        ChatFixture::SetUp();
    }
    void TearDown() override {
        ChatFixture::TearDown();
        UClock::SetTestWallSource(nullptr);
        if (mOldTZ) setenv("TZ", mOldTZ->c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }
    void CustomizePrefs(SMyPrefs&) override {
        if (!mInitialBoard.empty()) WriteFileText(mDir / "MessageBoard.txt", mInitialBoard);
    }
    std::vector<unsigned> Readers() { return {myAcc_ReadNews, myAcc_PostNews}; }

    std::optional<std::string> mOldTZ;
    std::time_t mWall = 0;
    std::string mInitialBoard;
};

TEST_F(MessageBoardTest, PostGetsTheDatedHeaderAndTheFileMatches) {
    auto alice = AddUser("alice", Readers());
    auto bob = AddUser("bob", Readers());
    auto blind = AddUser("blind", {myAcc_PostNews});
    const std::uint32_t id = Send(alice, kTranPostMsg, CFieldListBuilder().Add(kFieldData, "hello\rworld"));
    auto reply = Reply(alice, id);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->hdr.error, 0u);
    const std::string block = "From alice (Mar07 09:05):\r\rhello\rworld" + kSeparator;
    for (SChatUser* u : {&alice, &bob}) EXPECT_EQ(Text(Expect(*u, kTranMsgBoardPost), kFieldData), block);
    EXPECT_TRUE(Quiet(blind));
    EXPECT_EQ(ReadFileText(mDir / "MessageBoard.txt"), block);
    EXPECT_FALSE(UFileUtil::Exists(mDir / "MessageBoard.txt.tmp"));

    // The newest post comes first; single-digit fields are zero-padded.
    mWall = 1704070920;  // 1 January 2024 01:02 UTC
    const std::uint32_t second = Send(bob, kTranPostMsg, CFieldListBuilder().Add(kFieldData, "second"));
    Reply(bob, second);
    Next(bob);  // the post notice
    const std::string both = "From bob (Jan01 01:02):\r\rsecond" + kSeparator + block;
    EXPECT_EQ(ReadFileText(mDir / "MessageBoard.txt"), both);
    const std::uint32_t get = Send(bob, kTranGetMsgs, CFieldListBuilder());
    auto board = Reply(bob, get);
    ASSERT_TRUE(board);
    EXPECT_EQ(Text(*board, kFieldData), both);
}

TEST_F(MessageBoardTest, Exactly8192BytesAreAcceptedAnd8193Refused) {
    auto alice = AddUser("alice", Readers());
    std::uint32_t id = Send(alice, kTranPostMsg, CFieldListBuilder().Add(kFieldData, std::string(8193, 'x')));
    auto r = Reply(alice, id);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->hdr.error, 1u);
    EXPECT_EQ(Text(*r, kFieldErrorText), "Your news post was not accepted because it was too big.");
    EXPECT_TRUE(mApp->MsgBoard().empty());
    id = Send(alice, kTranPostMsg, CFieldListBuilder().Add(kFieldData, std::string(8192, 'x')));
    r = Reply(alice, id);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->hdr.error, 0u);
    EXPECT_EQ(mApp->MsgBoard().size(), 27u + 8192u + 60u);
}

TEST_F(MessageBoardTest, PrivilegesAreChecked) {
    auto alice = AddUser("alice", {});
    std::uint32_t id = Send(alice, kTranGetMsgs, CFieldListBuilder());
    auto r = Reply(alice, id);
    ASSERT_TRUE(r);
    EXPECT_EQ(Text(*r, kFieldErrorText), "You are not allowed to read news from the message board.");
    id = Send(alice, kTranPostMsg, CFieldListBuilder().Add(kFieldData, "x"));
    r = Reply(alice, id);
    ASSERT_TRUE(r);
    EXPECT_EQ(Text(*r, kFieldErrorText), "You are not allowed to post news to the message board.");
    EXPECT_EQ(ReadFileText(mDir / "MessageBoard.txt"), "");
}

TEST_F(MessageBoardTest, SixthIdenticalPostInOneMinuteBansButIsStored) {
    auto alice = AddUser("alice", Readers());
    auto post = [&] {
        const std::uint32_t id = Send(alice, kTranPostMsg, CFieldListBuilder().Add(kFieldData, "buy now"));
        Reply(alice, id);
        Next(alice);  // the notice
    };
    for (int i = 0; i < 5; ++i) post();
    // The same text a minute later has another header: the count starts again.
    mWall += 60;
    for (int i = 0; i < 5; ++i) post();
    EXPECT_FALSE(Banned());
    const std::uint32_t id = Send(alice, kTranPostMsg, CFieldListBuilder().Add(kFieldData, "buy now"));
    auto r = Reply(alice, id);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->hdr.error, 0u);
    EXPECT_TRUE(ServerClosed(*alice.conn));
    EXPECT_TRUE(Banned());
    const std::string one = "From alice (Mar07 09:06):\r\rbuy now" + kSeparator;
    EXPECT_EQ(mApp->MsgBoard().size(), 11 * one.size());
    EXPECT_EQ(ReadFileText(mDir / "MessageBoard.txt").substr(0, one.size() * 6),
              [&] { std::string s; for (int i = 0; i < 6; ++i) s += one; return s; }());
}

class LargeBoardTest : public MessageBoardTest {
    void SetUp() override {
        for (int i = 0; mInitialBoard.size() < 70000; ++i) mInitialBoard += "line " + std::to_string(i) + "\r";
        MessageBoardTest::SetUp();
    }
};

TEST_F(LargeBoardTest, BoardIsLoadedAtStartUpAndSentCutAt65535Bytes) {
    ASSERT_EQ(mApp->MsgBoard().size(), mInitialBoard.size());
    auto alice = AddUser("alice", Readers());
    const std::uint32_t id = Send(alice, kTranGetMsgs, CFieldListBuilder());
    auto r = Reply(alice, id);
    ASSERT_TRUE(r);
    EXPECT_EQ(Text(*r, kFieldData), mInitialBoard.substr(0, 65535));
    // A post goes in front of the loaded text, which the file keeps unchanged behind it.
    Send(alice, kTranPostMsg, CFieldListBuilder().Add(kFieldData, "news"));
    const std::string expected = "From alice (Mar07 09:05):\r\rnews" + kSeparator + mInitialBoard;
    EXPECT_EQ(ReadFileText(mDir / "MessageBoard.txt"), expected);
}

TEST_F(MessageBoardTest, ReloadPicksUpOperatorEditsAndAMissingFileIsCreatedEmpty) {
    WriteFileText(mDir / "MessageBoard.txt", "edited\r");
    mApp->LoadMessageBoard();
    EXPECT_EQ(std::string(mApp->MsgBoard().begin(), mApp->MsgBoard().end()), "edited\r");
    std::remove((mDir / "MessageBoard.txt").c_str());
    mApp->LoadMsgBoard();
    EXPECT_TRUE(mApp->MsgBoard().empty());
    EXPECT_TRUE(UFileUtil::Exists(mDir / "MessageBoard.txt"));
    auto alice = AddUser("alice", Readers());
    const std::uint32_t id = Send(alice, kTranGetMsgs, CFieldListBuilder());
    auto r = Reply(alice, id);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->hdr.error, 0u);
    EXPECT_FALSE(Has(*r, kFieldData));  // an empty board: an empty field is not sent
}

TEST_F(MessageBoardTest, UnwritableBoardRefusesThePostAndKeepsMemoryAndFileEqual) {
    auto alice = AddUser("alice", Readers());
    // A folder in the temporary file's place makes the rewrite fail.
    UFileUtil::EnsureDirectory(mDir / "MessageBoard.txt.tmp");
    const std::uint32_t id = Send(alice, kTranPostMsg, CFieldListBuilder().Add(kFieldData, "lost?"));
    auto r = Reply(alice, id);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->hdr.error, 1u);
    EXPECT_EQ(Text(*r, kFieldErrorText).rfind("Your news post was not accepted because the message board could not be saved.", 0), 0u);
    EXPECT_TRUE(mApp->MsgBoard().empty());
    EXPECT_EQ(ReadFileText(mDir / "MessageBoard.txt"), "");
    EXPECT_TRUE(Quiet(alice));
}

}  // namespace
}  // namespace kx::test
