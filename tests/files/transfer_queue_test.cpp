// The download limits and the waiting queue with limits of 1, cancelling downloads, and banner
// downloads.
#include "files/transfer_fixture.h"

namespace kx::test {
namespace {

class ServerLimitOneTest : public TransferFixture {
protected:
    void CustomizePrefs(SMyPrefs& prefs) override { prefs.mOptions.nMaxDownloads = 1; }

    void SetUp() override {
        TransferFixture::SetUp();
        WriteFile("a.txt", Pattern(2000, 1));
        WriteFile("b.txt", Pattern(3000, 2));
    }

    static std::pair<Bytes, std::int64_t> InfoOf(const std::vector<STestField>& notice) {
        const STestField* ref = FindField(notice, kFieldRefNum);
        const STestField* count = FindField(notice, kFieldWaitingCount);
        return {ref ? ref->data : Bytes{}, count && count->Int() ? *count->Int() : -1};
    }
};

class ClientLimitOneTest : public ServerLimitOneTest {
protected:
    void CustomizePrefs(SMyPrefs& prefs) override { prefs.mOptions.nMaxDownloadsClient = 1; }
};

TEST_F(ServerLimitOneTest, QueuedDownloadsLearnTheirPositionsAndStartInTurn) {
    auto a = NewUser({myAcc_DownloadFiles});
    auto b = NewUser({myAcc_DownloadFiles});
    SReply ra = Download(*a.conn, "a.txt");
    EXPECT_EQ(ra.Find(kFieldWaitingCount), nullptr);
    SReply rb1 = Download(*b.conn, "b.txt");
    SReply rb2 = Download(*b.conn, "a.txt");
    EXPECT_EQ(rb1.Int(kFieldWaitingCount), 1);
    EXPECT_EQ(rb2.Int(kFieldWaitingCount), 2);
    ASSERT_EQ(rb2.fields.size(), 4u);
    EXPECT_EQ(rb2.fields[3].id, kFieldWaitingCount);
    EXPECT_EQ(rb1.Int(kFieldTransferSize), 3000 + 135);  // the reply is complete while queued
    EXPECT_EQ(mApp->DownloadWaitingList().size(), 2u);
    EXPECT_EQ(mApp->Stats().dlCounter, 3u);

    // A queued download may connect early: it is attached but gets nothing yet.
    auto tb2 = OpenTransfer(RefNumOf(rb2));
    EXPECT_EQ(mApp->TransferEstabCount(), 0u);
    EXPECT_EQ(mApp->DownloadWaitingList()[1]->pDownloadData->tpt != nullptr, true);
    EXPECT_TRUE(tb2->ExpectSilence(30));
    EXPECT_TRUE(Notices(*b.conn, kTranClientDownloadInfo).empty());  // positions unchanged

    // A's download finishes and its connection closes: B's first starts, its second moves up.
    auto ta = OpenTransfer(RefNumOf(ra));
    ASSERT_TRUE(ReadTransfer(*ta, 2000 + 135));
    Pump();
    EXPECT_EQ(mApp->DownloadWaitingList().size(), 2u);  // a finished download still counts
    ta->Close();
    ASSERT_TRUE(PumpUntil([&] { return mApp->DownloadWaitingList().size() == 1; }));
    auto notices = Notices(*b.conn, kTranClientDownloadInfo);
    ASSERT_EQ(notices.size(), 2u);
    EXPECT_EQ(InfoOf(notices[0]), std::make_pair(RefNumOf(rb1), std::int64_t(0)));
    EXPECT_EQ(InfoOf(notices[1]), std::make_pair(RefNumOf(rb2), std::int64_t(1)));

    auto tb1 = OpenTransfer(RefNumOf(rb1));
    auto got = ReadTransfer(*tb1, 3000 + 135);
    ASSERT_TRUE(got);
    EXPECT_EQ(Bytes(got->end() - 3000, got->end()), Pattern(3000, 2));
    tb1->Close();
    // The early connection of the second is served as soon as it starts.
    auto got2 = ReadTransfer(*tb2, 2000 + 135);
    ASSERT_TRUE(got2);
    EXPECT_EQ(Bytes(got2->end() - 2000, got2->end()), Pattern(2000, 1));
    EXPECT_TRUE(mApp->DownloadWaitingList().empty());
}

TEST_F(ClientLimitOneTest, OwnLimitQueuesOnlyThatClient) {
    auto a = NewUser({myAcc_DownloadFiles});
    auto b = NewUser({myAcc_DownloadFiles});
    EXPECT_EQ(Download(*a.conn, "a.txt").Find(kFieldWaitingCount), nullptr);
    EXPECT_EQ(Download(*a.conn, "b.txt").Int(kFieldWaitingCount), 1);
    EXPECT_EQ(Download(*b.conn, "b.txt").Find(kFieldWaitingCount), nullptr);
    EXPECT_EQ(mApp->DownloadList().size(), 2u);
    EXPECT_EQ(mApp->GetClientDownloadsNumber(a.record->userID), 1u);
}

TEST_F(ServerLimitOneTest, KillingDownloadsMovesTheQueueAndOnlyTheOwnerCanKill) {
    auto a = NewUser({myAcc_DownloadFiles});
    auto b = NewUser({myAcc_DownloadFiles});
    SReply ra = Download(*a.conn, "a.txt");
    SReply rb1 = Download(*b.conn, "b.txt");
    SReply rb2 = Download(*b.conn, "a.txt");
    ASSERT_EQ(rb2.Int(kFieldWaitingCount), 2);

    // Someone else's number changes nothing and is still answered with an empty reply.
    SReply foreign = Request(*a.conn, kTranKillDownload, CFieldListBuilder().Add(kFieldRefNum, RefNumOf(rb2)).Build());
    EXPECT_EQ(foreign.error, 0u);
    EXPECT_TRUE(foreign.fields.empty());
    EXPECT_EQ(mApp->DownloadWaitingList().size(), 2u);
    SReply zero = Request(*a.conn, kTranKillDownload, CFieldListBuilder().Add(kFieldRefNum, Bytes(4, 0)).Build());
    EXPECT_TRUE(zero.ok);

    // The owner cancels its first queued download: the second is told it moved up.
    SReply kill = Request(*b.conn, kTranKillDownload, CFieldListBuilder().Add(kFieldRefNum, RefNumOf(rb1)).Build());
    EXPECT_EQ(kill.error, 0u);
    EXPECT_TRUE(kill.fields.empty());
    ASSERT_EQ(mApp->DownloadWaitingList().size(), 1u);
    auto notices = Notices(*b.conn, kTranClientDownloadInfo);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(InfoOf(notices[0]), std::make_pair(RefNumOf(rb2), std::int64_t(1)));

    // A cancels its running download: its connection is closed and B's download starts.
    auto ta = OpenTransfer(RefNumOf(ra));
    SReply killA = Request(*a.conn, kTranKillDownload, CFieldListBuilder().Add(kFieldRefNum, RefNumOf(ra)).Build());
    EXPECT_EQ(killA.error, 0u);
    EXPECT_TRUE(ServerClosed(*ta));
    ASSERT_TRUE(PumpUntil([&] { return mApp->DownloadWaitingList().empty(); }));
    notices = Notices(*b.conn, kTranClientDownloadInfo);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(InfoOf(notices[0]), std::make_pair(RefNumOf(rb2), std::int64_t(0)));
    ASSERT_EQ(mApp->DownloadList().size(), 1u);
    EXPECT_EQ(mApp->DownloadList()[0]->clientID, b.record->userID);
}

TEST_F(ServerLimitOneTest, QueuedDownloadOfAClientThatLeavesIsDropped) {
    auto a = NewUser({myAcc_DownloadFiles});
    auto b = NewUser({myAcc_DownloadFiles});
    Download(*a.conn, "a.txt");
    Download(*b.conn, "b.txt");
    ASSERT_EQ(mApp->DownloadWaitingList().size(), 1u);
    b.conn->Close();
    EXPECT_TRUE(PumpUntil([&] { return mApp->DownloadWaitingList().empty(); }));
    EXPECT_EQ(mApp->DownloadList().size(), 1u);
    // Waiting does not count toward the 500 seconds; the active one without a connection does.
    AdvanceSeconds(501);
    EXPECT_TRUE(PumpUntil([&] { return mApp->DownloadList().empty(); }));
}

class BannerTest : public TransferFixture {};

TEST_F(BannerTest, BannerIsSentRawOnItsOwnConnection) {
    const Bytes banner = Pattern(40000, 9);
    mApp->ServerBanner() = banner;
    auto u = NewUser({});  // no privilege needed
    SReply r = Request(*u.conn, kTranDownloadBanner, CFieldListBuilder().Build());
    ASSERT_EQ(r.error, 0u);
    ASSERT_EQ(r.fields.size(), 2u);
    EXPECT_EQ(r.fields[0].id, kFieldTransferSize);
    EXPECT_EQ(r.Int(kFieldTransferSize), 40000);
    const Bytes ref = RefNumOf(r);
    ASSERT_EQ(ref.size(), 4u);
    EXPECT_EQ(ref[0] & 1, 1);

    // The banner type is required: a file-type header with its number finds nothing.
    auto wrongType = OpenTransfer(ref, 0, 0);
    EXPECT_TRUE(ServerClosed(*wrongType));
    auto t = OpenTransfer(ref, 0, 2);
    auto got = ReadTransfer(*t, banner.size());
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, banner);
    EXPECT_TRUE(t->ExpectSilence(20));
    // Banner downloads cannot be cancelled and do not count toward the download limits.
    Request(*u.conn, kTranKillDownload, CFieldListBuilder().Add(kFieldRefNum, ref).Build());
    EXPECT_FALSE(t->WaitClosed(20));
    EXPECT_EQ(mApp->GetClientDownloadsNumber(u.record->userID), 0u);
}

TEST_F(BannerTest, WithoutABannerTheSizeIsZeroAndNothingWaits) {
    auto u = NewUser({});
    SReply r = Request(*u.conn, kTranDownloadBanner, CFieldListBuilder().Build());
    EXPECT_EQ(r.Int(kFieldTransferSize), 0);
    EXPECT_EQ(RefNumOf(r).size(), 4u);
    auto t = OpenTransfer(RefNumOf(r), 0, 2);
    EXPECT_TRUE(ServerClosed(*t));
}

TEST_F(BannerTest, UnconnectedBannerDownloadIsDroppedAfterFiveHundredSeconds) {
    mApp->ServerBanner() = Pattern(10);
    auto u = NewUser({});
    SReply r = Request(*u.conn, kTranDownloadBanner, CFieldListBuilder().Build());
    AdvanceSeconds(502);
    Pump(50);
    auto t = OpenTransfer(RefNumOf(r), 0, 2);
    EXPECT_TRUE(ServerClosed(*t));
}

}  // namespace
}  // namespace kx::test
