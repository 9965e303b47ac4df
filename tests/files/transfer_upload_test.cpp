// Uploads over loopback: the ".kpf" partial file while running and its final name at the end,
// resume at the partial length, aborted uploads keeping their partial file, a client closing
// right after its last byte, the time rules, every refusal a client can reach, and path escapes.
#include <unistd.h>

#include "files/transfer_fixture.h"

namespace kx::test {
namespace {

class UploadTest : public TransferFixture {
protected:
    void CustomizePrefs(SMyPrefs& prefs) override { prefs.mOptions.nOpts |= kMyOptUploadLog; }
    void SetUp() override {
        TransferFixture::SetUp();
        MakeDirs(FilesDir() + "/Uploads");
        MakeDirs(FilesDir() + "/Public");
    }
    void TearDown() override {
        UMyTransfer::SetFreeSpaceSource(nullptr);
        TransferFixture::TearDown();
    }
    bool Exists(const std::string& rel) { return UFileUtil::Exists(FilesDir() + "/" + rel); }
};

TEST_F(UploadTest, UploadIsPartialWhileRunningAndRenamedAtTheEnd) {
    auto u = NewUser({myAcc_UploadFiles});
    const Bytes content = Pattern(300000, 5);
    const Bytes stream = FlatStream(content, "Report.doc");
    SReply r = Upload(*u.conn, "Report.doc", PathData({"Uploads"}), static_cast<std::uint32_t>(stream.size()));
    ASSERT_EQ(r.error, 0u) << r.ErrorText();
    ASSERT_EQ(r.fields.size(), 1u);  // the reference number alone
    const Bytes ref = RefNumOf(r);
    ASSERT_EQ(ref.size(), 4u);
    EXPECT_EQ(ref[0] & 1, 0);  // uploads are even
    EXPECT_TRUE(Exists("Uploads/Report.doc.kpf"));
    EXPECT_EQ(ReadFile("Uploads/Report.doc.kpf")->size(), 0u);
    EXPECT_EQ(mApp->Stats().ulCounter, 1u);

    auto t = OpenTransfer(ref, static_cast<std::uint32_t>(stream.size()));
    const std::size_t half = 150000;
    ASSERT_TRUE(SendPumping(*t, Bytes(stream.begin(), stream.begin() + half)));
    ASSERT_TRUE(PumpUntil([&] { return mApp->UploadList().size() == 1 && mApp->UploadList()[0]->rcvdSize == half; }));
    EXPECT_TRUE(Exists("Uploads/Report.doc.kpf"));
    EXPECT_FALSE(Exists("Uploads/Report.doc"));
    ASSERT_TRUE(SendPumping(*t, Bytes(stream.begin() + half, stream.end())));
    EXPECT_TRUE(ServerClosed(*t));  // the server closes after the last byte
    EXPECT_TRUE(mApp->UploadList().empty());
    EXPECT_FALSE(Exists("Uploads/Report.doc.kpf"));
    EXPECT_EQ(ReadFile("Uploads/Report.doc"), content);

    auto log = UFileUtil::ReadWholeFile(mDir / "Upload Log.txt");
    ASSERT_TRUE(log);
    EXPECT_NE(std::string(log->begin(), log->end()).find("Report.doc"), std::string::npos);
}

TEST_F(UploadTest, PartialNameRequestedIsStoredAsItIsAndEndsWithoutIt) {
    auto u = NewUser({myAcc_UploadFiles});
    const Bytes stream = FlatStream(Text("hello"));
    SReply r = Upload(*u.conn, "Report.doc.kpf", PathData({"Uploads"}), static_cast<std::uint32_t>(stream.size()));
    ASSERT_EQ(r.error, 0u) << r.ErrorText();
    EXPECT_TRUE(Exists("Uploads/Report.doc.kpf"));
    EXPECT_FALSE(Exists("Uploads/Report.doc.kpf.kpf"));
    auto t = OpenTransfer(RefNumOf(r), static_cast<std::uint32_t>(stream.size()));
    ASSERT_TRUE(SendPumping(*t, stream));
    EXPECT_TRUE(ServerClosed(*t));
    EXPECT_EQ(ReadFile("Uploads/Report.doc"), Text("hello"));
}

TEST_F(UploadTest, ResumedUploadAppendsAtThePartialLength) {
    const Bytes content = Pattern(100000, 8);
    WriteFile("Uploads/Report.doc.kpf", Bytes(content.begin(), content.begin() + 70000));
    auto u = NewUser({myAcc_UploadFiles});
    const Bytes rest(content.begin() + 70000, content.end());
    const Bytes stream = FlatStream(rest);
    SReply r = Upload(*u.conn, "Report.doc", PathData({"Uploads"}), static_cast<std::uint32_t>(stream.size()), true);
    ASSERT_EQ(r.error, 0u) << r.ErrorText();
    ASSERT_EQ(r.fields.size(), 2u);
    EXPECT_EQ(r.fields[0].id, kFieldFileResumeData);
    EXPECT_EQ(r.fields[0].data, ResumeRecord(70000));
    EXPECT_EQ(r.fields[0].data.size(), 58u);
    EXPECT_EQ(r.fields[1].id, kFieldRefNum);

    // While it runs the partial file is in use: a second resume is refused.
    SReply again = Upload(*u.conn, "Report.doc", PathData({"Uploads"}), 10, true);
    EXPECT_EQ(again.ErrorText(), "Cannot resume upload of the file \xD2Report.doc\xD3 because it is already in use.");
    // And a new upload of the same name finds the partial file.
    EXPECT_EQ(Upload(*u.conn, "Report.doc", PathData({"Uploads"}), 10).ErrorText(),
              "Cannot accept upload because there is already a file named \xD2Report.doc\xD3. Try choosing a different name.");

    auto t = OpenTransfer(RefNumOf(r), static_cast<std::uint32_t>(stream.size()));
    ASSERT_TRUE(SendPumping(*t, stream));
    EXPECT_TRUE(ServerClosed(*t));
    EXPECT_EQ(ReadFile("Uploads/Report.doc"), content);
}

TEST_F(UploadTest, AbortedUploadKeepsItsPartialFile) {
    auto u = NewUser({myAcc_UploadFiles});
    const Bytes stream = FlatStream(Pattern(50000));
    SReply r = Upload(*u.conn, "movie.avi", PathData({"Uploads"}), static_cast<std::uint32_t>(stream.size()));
    auto t = OpenTransfer(RefNumOf(r), static_cast<std::uint32_t>(stream.size()));
    ASSERT_TRUE(SendPumping(*t, Bytes(stream.begin(), stream.begin() + 20000)));
    ASSERT_TRUE(PumpUntil([&] { return !mApp->UploadList().empty() && mApp->UploadList()[0]->rcvdSize == 20000; }));
    t->Close();
    EXPECT_TRUE(PumpUntil([&] { return mApp->UploadList().empty(); }));
    const std::size_t written = 20000 - (stream.size() - 50000);  // minus the headers
    EXPECT_EQ(ReadFile("Uploads/movie.avi.kpf"), Bytes(stream.end() - 50000, stream.end() - 50000 + written));
    EXPECT_FALSE(Exists("Uploads/movie.avi"));
}

// A client may close its side right after its last byte: what arrived before the close is
// read first. Also when the header, the whole stream and the close reach a connection that was
// accepted before they came.
TEST_F(UploadTest, CloseRightAfterTheLastByteKeepsTheWholeFile) {
    auto u = NewUser({myAcc_UploadFiles});
    const Bytes content = Pattern(30000, 3);  // within one receive window: data and close arrive together
    const Bytes stream = FlatStream(content, "tail.bin");
    SReply r = Upload(*u.conn, "tail.bin", PathData({"Uploads"}), static_cast<std::uint32_t>(stream.size()));
    ASSERT_EQ(r.error, 0u) << r.ErrorText();
    auto t = OpenTransfer(RefNumOf(r), static_cast<std::uint32_t>(stream.size()));
    ASSERT_TRUE(SendPumping(*t, stream));
    ASSERT_EQ(::shutdown(t->Fd(), SHUT_WR), 0);
    EXPECT_TRUE(ServerClosed(*t));
    EXPECT_TRUE(mApp->UploadList().empty());
    EXPECT_EQ(ReadFile("Uploads/tail.bin"), content);
    EXPECT_FALSE(Exists("Uploads/tail.bin.kpf"));

    const Bytes small = FlatStream(Text("in one write"), "one.txt");
    r = Upload(*u.conn, "one.txt", PathData({"Uploads"}), static_cast<std::uint32_t>(small.size()));
    ASSERT_EQ(r.error, 0u) << r.ErrorText();
    CTestClient raw(2000);
    ASSERT_TRUE(raw.Connect(static_cast<std::uint16_t>(mPort + 1)));
    ASSERT_TRUE(PumpUntil([&] { return mApp->TransferEstabCount() == 1; }));
    ASSERT_TRUE(raw.SendRaw(Concat({Text("KXXF"), RefNumOf(r), Be32(static_cast<std::uint32_t>(small.size())),
                                    Bytes(4, 0), small})));
    raw.Close();
    EXPECT_TRUE(PumpUntil([&] { return mApp->UploadList().empty() && mApp->TransferEstabCount() == 0; }));
    EXPECT_EQ(ReadFile("Uploads/one.txt"), Text("in one write"));
    EXPECT_FALSE(Exists("Uploads/one.txt.kpf"));
}

TEST_F(UploadTest, SilentUploadIsAbortedAfterOneHundredTwentySeconds) {
    auto u = NewUser({myAcc_UploadFiles});
    const Bytes stream = FlatStream(Pattern(5000));
    SReply r = Upload(*u.conn, "a.bin", PathData({"Uploads"}), static_cast<std::uint32_t>(stream.size()));
    auto t = OpenTransfer(RefNumOf(r), static_cast<std::uint32_t>(stream.size()));
    ASSERT_TRUE(SendPumping(*t, Bytes(stream.begin(), stream.begin() + 1000)));
    ASSERT_TRUE(PumpUntil([&] { return mApp->UploadList()[0]->rcvdSize == 1000; }));
    AdvanceSeconds(120);
    Pump();
    EXPECT_EQ(mApp->UploadList().size(), 1u);
    AdvanceSeconds(2);
    EXPECT_TRUE(ServerClosed(*t));  // no network event needed
    EXPECT_TRUE(mApp->UploadList().empty());
    EXPECT_TRUE(Exists("Uploads/a.bin.kpf"));
}

TEST_F(UploadTest, ConnectionLaterThanOneHundredTwentySecondsIsAbortedAndNoConnectionAfterFiveHundred) {
    auto u = NewUser({myAcc_UploadFiles});
    SReply late = Upload(*u.conn, "late.bin", PathData({"Uploads"}), 200);
    AdvanceSeconds(130);
    Pump();
    EXPECT_EQ(mApp->UploadList().size(), 1u);  // waiting for its connection is allowed
    auto t = OpenTransfer(RefNumOf(late), 200);
    EXPECT_TRUE(ServerClosed(*t));
    EXPECT_TRUE(mApp->UploadList().empty());

    SReply never = Upload(*u.conn, "never.bin", PathData({"Uploads"}), 200);
    ASSERT_EQ(never.error, 0u);
    AdvanceSeconds(502);
    EXPECT_TRUE(PumpUntil([&] { return mApp->UploadList().empty(); }));
    EXPECT_TRUE(Exists("Uploads/never.bin.kpf"));
}

TEST_F(UploadTest, DamagedStreamAbortsKeepsThePartialFileAndIsNotCountedTowardTheReset) {
    auto u = NewUser({myAcc_UploadFiles});
    const Bytes stream = FlatStream(Pattern(100), "x", 1);  // compressed DATA fork
    SReply r = Upload(*u.conn, "c.bin", PathData({"Uploads"}), static_cast<std::uint32_t>(stream.size()));
    auto t = OpenTransfer(RefNumOf(r), static_cast<std::uint32_t>(stream.size()));
    ASSERT_TRUE(SendPumping(*t, stream));
    EXPECT_TRUE(ServerClosed(*t));
    EXPECT_TRUE(PumpUntil([&] { return mApp->UploadList().empty(); }));
    EXPECT_EQ(ReadFile("Uploads/c.bin.kpf"), Bytes{});
    EXPECT_FALSE(Exists("Uploads/c.bin"));
    // Logged, but not counted toward the reset: damaged uploads must not let one client reset
    // the server for everyone.
    EXPECT_EQ(mApp->ErrorCount(), 0u);
    EXPECT_NE(ReadFileText(mDir / "Error Log.txt").find("ID "), std::string::npos);
}

TEST_F(UploadTest, OnlyTheAnnouncedBytesAreWritten) {
    auto u = NewUser({myAcc_UploadFiles});
    const Bytes stream = FlatStream(Text("abc"));
    SReply r = Upload(*u.conn, "s.txt", PathData({"Uploads"}), 1);
    auto t = OpenTransfer(RefNumOf(r), static_cast<std::uint32_t>(stream.size()));  // the header's size counts
    ASSERT_TRUE(SendPumping(*t, Concat({stream, Pattern(64)})));
    EXPECT_TRUE(ServerClosed(*t));
    EXPECT_EQ(ReadFile("Uploads/s.txt"), Text("abc"));
}

TEST_F(UploadTest, RefusalsAndUploadFolders) {
    auto none = NewUser({});
    EXPECT_EQ(Upload(*none.conn, "a.txt", PathData({"Uploads"}), 10).ErrorText(), "You are not allowed to upload files.");

    auto u = NewUser({myAcc_UploadFiles});
    for (const char* shortcut : {"photo.lnk", "photo.lnk.kpf", "PHOTO.LNK.KPF"})
        EXPECT_EQ(Upload(*u.conn, shortcut, PathData({"Uploads"}), 10).ErrorText(), "Cannot upload shortcuts.") << shortcut;
    EXPECT_EQ(Upload(*u.conn, "photo.lnk.txt", PathData({"Uploads"}), 10).error, 0u);

    EXPECT_EQ(Upload(*u.conn, "a.txt", PathData({"Nowhere"}), 10).ErrorText(),
              "Cannot accept upload of the file \xD2" "a.txt\xD3 because the specified folder could not be found.");
    const std::string onlyUploads = "Cannot accept upload of the file \xD2" "a.txt\xD3 because you are only allowed to "
                                    "upload to the \xD2Uploads\xD3 folder.";
    EXPECT_EQ(Upload(*u.conn, "a.txt", PathData({"Public"}), 10).ErrorText(), onlyUploads);
    EXPECT_EQ(Upload(*u.conn, "a.txt", {}, 10).ErrorText(), onlyUploads);  // never the root
    MakeDirs(FilesDir() + "/Public/my uploads");
    MakeDirs(FilesDir() + "/Drop Box 2");
    EXPECT_EQ(Upload(*u.conn, "a.txt", PathData({"Public", "my uploads"}), 10).error, 0u);
    EXPECT_EQ(Upload(*u.conn, "a.txt", PathData({"Drop Box 2"}), 10).error, 0u);
    EXPECT_TRUE(Exists("Drop Box 2/a.txt.kpf"));

    WriteFile("Uploads/done.txt", Text("done"));
    EXPECT_EQ(Upload(*u.conn, "done.txt", PathData({"Uploads"}), 10).ErrorText(),
              "Cannot accept upload because there is already a file named \xD2" "done.txt\xD3. Try choosing a different name.");
    EXPECT_EQ(Upload(*u.conn, "gone.txt", PathData({"Uploads"}), 10, true).ErrorText(),
              "Cannot resume upload of the file \xD2gone.txt\xD3 because it does not exist.");

    // Path escapes never reach a folder outside the root.
    UFileUtil::EnsureDirectory(mDir / "Uploads");  // beside "Files", outside every root
    const std::string noFolder = "Cannot accept upload of the file \xD2x.txt\xD3 because the specified folder could not be found.";
    EXPECT_EQ(Upload(*u.conn, "x.txt", PathData({"..", "Uploads"}), 10).ErrorText(), noFolder);
    EXPECT_EQ(Upload(*u.conn, "x.txt", PathData({"Uploads", "..", "..", "Uploads"}), 10).ErrorText(), noFolder);
    u.record->access.SetPriv(myAcc_UploadAnywhere);
    EXPECT_EQ(Upload(*u.conn, "x.txt", PathData({".."}), 10).ErrorText(), noFolder);
    // A name cannot climb either: "/" and a leading "." are made harmless.
    ASSERT_EQ(Upload(*u.conn, "../x.txt", PathData({"Uploads"}), 10).error, 0u);
    EXPECT_TRUE(Exists("Uploads/-.-x.txt.kpf"));
    EXPECT_FALSE(UFileUtil::Exists(mDir / "x.txt.kpf"));
    EXPECT_FALSE(UFileUtil::Exists(mDir / "Uploads/x.txt.kpf"));
    // With the privilege the root itself is a destination.
    EXPECT_EQ(Upload(*u.conn, "root.txt", {}, 10).error, 0u);
    EXPECT_TRUE(Exists("root.txt.kpf"));
}

TEST_F(UploadTest, NotEnoughFreeSpaceIsRefusedAndLogged) {
    UMyTransfer::SetFreeSpaceSource([](const TFSRefObj&) { return std::optional<std::uint64_t>(1000000); });
    auto u = NewUser({myAcc_UploadFiles});
    TakeLogWindow();
    SReply big = Upload(*u.conn, "big.iso", PathData({"Uploads"}), 1000000 - 512000 + 1);
    const std::string out = TakeLogWindow();
    EXPECT_EQ(big.ErrorText(), "Cannot accept upload of the file \xD2" "big.iso\xD3 because there is not enough free disk space.");
    EXPECT_NE(out.find("Not enough free disk space for upload"), std::string::npos);
    EXPECT_FALSE(Exists("Uploads/big.iso.kpf"));
    EXPECT_EQ(Upload(*u.conn, "fits.iso", PathData({"Uploads"}), 1000000 - 512000).error, 0u);
    // When the free space cannot be told, the check is skipped.
    UMyTransfer::SetFreeSpaceSource([](const TFSRefObj&) { return std::optional<std::uint64_t>(); });
    EXPECT_EQ(Upload(*u.conn, "any.iso", PathData({"Uploads"}), 0xFFFFFFF0u).error, 0u);
}

}  // namespace
}  // namespace kx::test
