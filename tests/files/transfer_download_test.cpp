// Downloads over loopback: the flattened stream byte for byte, plain mode, resume, large files in
// windows, the refusals, the 500-second rule, the download log, and transfer connections that
// arrive on the client port.
#include <unistd.h>

#include <filesystem>

#include "files/transfer_fixture.h"
#include "support/fake_transport.h"

namespace kx::test {
namespace {

class DownloadTest : public TransferFixture {
protected:
    void CustomizePrefs(SMyPrefs& prefs) override { prefs.mOptions.nOpts |= kMyOptDownloadLog; }
};

TEST_F(DownloadTest, FlattenedDownloadIsParsedByteForByte) {
    const Bytes content = Pattern(5000);
    WriteFile("Docs/notes.txt", content);
    auto u = NewUser({myAcc_DownloadFiles});
    SReply r = Download(*u.conn, "notes.txt", PathData({"Docs"}));
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.error, 0u) << r.ErrorText();
    const std::uint32_t total = 5000 + 130 + 9;
    EXPECT_EQ(r.Int(kFieldTransferSize), total);
    EXPECT_EQ(r.Int(kFieldFileSize), 5000);
    EXPECT_EQ(r.Find(kFieldWaitingCount), nullptr);
    const Bytes ref = RefNumOf(r);
    ASSERT_EQ(ref.size(), 4u);
    EXPECT_EQ(ref[0] & 1, 1);  // downloads are odd
    // The fields come in their fixed order.
    ASSERT_EQ(r.fields.size(), 3u);
    EXPECT_EQ(r.fields[0].id, kFieldTransferSize);
    EXPECT_EQ(r.fields[1].id, kFieldFileSize);
    EXPECT_EQ(r.fields[2].id, kFieldRefNum);
    EXPECT_EQ(mApp->Stats().dlCounter, 1u);

    auto t = OpenTransfer(ref);
    auto got = ReadTransfer(*t, total);
    ASSERT_TRUE(got);
    const Bytes& s = *got;
    EXPECT_EQ(Bytes(s.begin(), s.begin() + 24), Concat({Text("FILP"), {0, 1}, Bytes(16, 0), {0, 2}}));
    EXPECT_EQ(Bytes(s.begin() + 24, s.begin() + 40), Concat({Text("INFO"), Be32(0), Be32(0), Be32(74 + 9)}));
    const std::uint8_t* info = s.data() + 40;
    EXPECT_EQ(std::string(info, info + 12), "MWINTEXTttxt");
    EXPECT_EQ(Bytes(info + 12, info + 70), Bytes(58, 0));  // flags, reserved, dates, script
    EXPECT_EQ(info[70], 0);
    EXPECT_EQ(info[71], 9);
    EXPECT_EQ(std::string(info + 72, info + 81), "notes.txt");
    EXPECT_EQ(info[81], 0);
    EXPECT_EQ(info[82], 0);
    const std::uint8_t* data = info + 83;
    EXPECT_EQ(Bytes(data, data + 16), Concat({Text("DATA"), Be32(0), Be32(0), Be32(5000)}));
    EXPECT_EQ(Bytes(data + 16, s.data() + s.size()), content);
    EXPECT_TRUE(t->ExpectSilence(20));  // nothing more follows

    // The record stays until the client closes its connection.
    EXPECT_EQ(mApp->DownloadList().size(), 1u);
    t->Close();
    EXPECT_TRUE(PumpUntil([&] { return mApp->DownloadList().empty(); }));

    auto log = UFileUtil::ReadWholeFile(mDir / "Download Log.txt");
    ASSERT_TRUE(log);
    EXPECT_NE(std::string(log->begin(), log->end()).find("notes.txt"), std::string::npos);
}

TEST_F(DownloadTest, PlainModeSendsTheBytesAloneAndAnEmptyFileNeedsNoTransfer) {
    const Bytes content = Pattern(70000, 3);
    WriteFile("view.bin", content);
    WriteFile("empty.txt", {});
    auto u = NewUser({myAcc_DownloadFiles});

    SReply r = Download(*u.conn, "view.bin", {}, 2);
    ASSERT_EQ(r.error, 0u) << r.ErrorText();
    EXPECT_EQ(r.Int(kFieldTransferSize), 70000);
    EXPECT_EQ(r.Int(kFieldFileSize), 70000);
    auto t = OpenTransfer(RefNumOf(r));
    auto got = ReadTransfer(*t, content.size());
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, content);

    SReply e = Download(*u.conn, "empty.txt", {}, 2);
    ASSERT_EQ(e.error, 0u);
    ASSERT_EQ(e.fields.size(), 1u);
    EXPECT_EQ(e.fields[0].id, kFieldTransferSize);
    EXPECT_EQ(e.Int(kFieldTransferSize), 0);
    EXPECT_EQ(mApp->Stats().dlCounter, 1u);  // the empty view is not counted
    EXPECT_EQ(mApp->DownloadList().size(), 1u);

    // A flattened empty file is the headers and an empty DATA fork.
    SReply f = Download(*u.conn, "empty.txt");
    EXPECT_EQ(f.Int(kFieldTransferSize), 130 + 9);
    auto tf = OpenTransfer(RefNumOf(f));
    auto flat = ReadTransfer(*tf, 139);
    ASSERT_TRUE(flat);
    EXPECT_EQ(Bytes(flat->end() - 16, flat->end()), Concat({Text("DATA"), Be32(0), Be32(0), Be32(0)}));
}

TEST_F(DownloadTest, ResumedDownloadSendsTheRestOfTheFile) {
    const Bytes content = Pattern(5000, 7);
    WriteFile("big.dat", content);
    auto u = NewUser({myAcc_DownloadFiles});
    const Bytes resume = ResumeRecord(1000);
    SReply r = Download(*u.conn, "big.dat", {}, -1, &resume);
    ASSERT_EQ(r.error, 0u) << r.ErrorText();
    EXPECT_EQ(r.Int(kFieldTransferSize), 4000 + 130 + 7);
    EXPECT_EQ(r.Int(kFieldFileSize), 5000);
    auto t = OpenTransfer(RefNumOf(r));
    auto got = ReadTransfer(*t, 4000 + 137);
    ASSERT_TRUE(got);
    const std::size_t dataAt = 24 + 16 + 74 + 7;
    EXPECT_EQ(Bytes(got->begin() + dataAt, got->begin() + dataAt + 16), Concat({Text("DATA"), Be32(0), Be32(0), Be32(4000)}));
    EXPECT_EQ(Bytes(got->begin() + dataAt + 16, got->end()), Bytes(content.begin() + 1000, content.end()));

    // A resume offset at or past the end leaves the DATA fork empty; a damaged record is refused.
    const Bytes past = ResumeRecord(9000);
    EXPECT_EQ(Download(*u.conn, "big.dat", {}, -1, &past).Int(kFieldTransferSize), 137);
    const Bytes shortRecord(41, 0);
    SReply bad = Download(*u.conn, "big.dat", {}, -1, &shortRecord);
    EXPECT_EQ(bad.error, 1u);
    EXPECT_EQ(bad.ErrorText().rfind("Cannot download \xD2" "big.dat\xD3.\r", 0), 0u) << bad.ErrorText();
}

TEST_F(DownloadTest, LargeFileArrivesWholeInGrowingWindows) {
    const Bytes content = Pattern(6 * 1024 * 1024 + 123, 11);
    WriteFile("large.bin", content);
    auto u = NewUser({myAcc_DownloadFiles});
    SReply r = Download(*u.conn, "large.bin");
    const std::size_t total = content.size() + 130 + 9;
    ASSERT_EQ(r.Int(kFieldTransferSize), static_cast<std::int64_t>(total));
    auto t = OpenTransfer(RefNumOf(r));
    auto got = ReadTransfer(*t, total, 20000);
    ASSERT_TRUE(got);
    EXPECT_TRUE(std::equal(content.begin(), content.end(), got->begin() + 139));
    EXPECT_EQ(mApp->DownloadList().front()->bytesSent, total);
    EXPECT_EQ(mApp->DownloadList().front()->file, nullptr);  // released once everything was queued
}

// On an endpoint that cannot send files itself (a tunnel), every window is read into a buffer;
// the window starts at 100 KiB, grows by 100 KiB when everything was sent and again when sends
// follow quickly, and stops at 2 MiB.
TEST_F(DownloadTest, BufferedWindowsGrowUpToTwoMebibytes) {
    const Bytes content = Pattern(16 * 1024 * 1024, 4);
    WriteFile("w.bin", content);
    auto u = NewUser({myAcc_DownloadFiles});
    for (int options : {-1, 2}) {
        SReply r = Download(*u.conn, "w.bin", {}, options);
        ASSERT_EQ(r.error, 0u) << r.ErrorText();
        SMyDownloadData* d = mApp->DownloadList().back().get();
        auto fake = std::make_unique<CFakeTransport>();
        CFakeTransport* f = fake.get();
        f->SetMessageHandler([this](std::uint32_t code, void* object) { mApp->HandleMessage(code, object); });
        d->tpt = std::move(fake);
        f->NotifyReadyToSend();
        ASSERT_TRUE(PumpUntil([&] { return d->bytesSent == d->size; }));
        const std::vector<std::size_t> expected = {204800, 409600, 614400, 819200, 1024000, 1228800,
                                                   1433600, 1638400, 1843200, 2048000, 2097152};
        ASSERT_GE(f->SendCalls().size(), expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(f->SendCalls()[i].size(), expected[i]) << i;
        const Bytes& sent = f->Sent();
        if (options == 2) {
            EXPECT_EQ(sent, content);
        } else {
            ASSERT_EQ(sent.size(), content.size() + 135);
            EXPECT_TRUE(std::equal(content.begin(), content.end(), sent.begin() + 135));
        }
        f->PeerClose();
        ASSERT_TRUE(PumpUntil([&] { return mApp->DownloadList().empty(); }));
    }
}

TEST_F(DownloadTest, RefusalsAndPathEscapes) {
    WriteFile("Public/a.txt", Text("a"));
    WriteFile("Drop Box/secret.txt", Text("s"));
    WriteFile("Inbox (drop box)/Deep/x.txt", Text("x"));
    UFileUtil::WriteFileAtomic(mDir / "outside.txt", Text("outside"));

    auto none = NewUser({});
    EXPECT_EQ(Download(*none.conn, "a.txt", PathData({"Public"})).ErrorText(), "You are not allowed to download files.");

    auto u = NewUser({myAcc_DownloadFiles});
    const std::string missing = "Cannot download because there is no file named \xD2";
    EXPECT_EQ(Download(*u.conn, "b.txt", PathData({"Public"})).ErrorText(), missing + "b.txt\xD3.");
    EXPECT_EQ(Download(*u.conn, "Public").ErrorText(), missing + "Public\xD3.");  // a folder is no file
    // Climbing out of the root in the path or in the name finds nothing.
    EXPECT_EQ(Download(*u.conn, "outside.txt", PathData({".."})).ErrorText(), missing + "outside.txt\xD3.");
    EXPECT_EQ(Download(*u.conn, "outside.txt", PathData({"Public", ".."})).ErrorText(), missing + "outside.txt\xD3.");
    EXPECT_EQ(Download(*u.conn, "..").ErrorText(), missing + "..\xD3.");
    EXPECT_EQ(Download(*u.conn, "../outside.txt").ErrorText(), missing + "../outside.txt\xD3.");
    EXPECT_EQ(Download(*u.conn, "outside.txt", PathData({"Public/../.."})).ErrorText(), missing + "outside.txt\xD3.");

    EXPECT_EQ(Download(*u.conn, "secret.txt", PathData({"Drop Box"})).ErrorText(),
              "Cannot download \xD2secret.txt\xD3 because it is in a drop box.");
    EXPECT_EQ(Download(*u.conn, "x.txt", PathData({"Inbox (drop box)", "Deep"})).ErrorText(),
              "Cannot download \xD2x.txt\xD3 because it is in a drop box.");

    // Aliases outside any drop box, made by the client itself, reach no further than the paths:
    // to a folder below a drop box, to a file there, and through a link the operator placed to a
    // tree outside the root. Resuming is refused the same way.
    std::filesystem::create_directories(mDir / "Elsewhere/Drop Box/Sub");
    UFileUtil::WriteFileAtomic(mDir / "Elsewhere/Drop Box/Sub/x.txt", Text("e"));
    ASSERT_EQ(::symlink((mDir / "Elsewhere").c_str(), (FilesDir() + "/Shared.lnk").c_str()), 0);
    u.record->access.SetPriv(myAcc_MakeAliases);
    for (const auto& [name, path] : {std::pair<std::string, Bytes>{"Deep", PathData({"Inbox (drop box)"})},
                                     {"x.txt", PathData({"Inbox (drop box)", "Deep"})},
                                     {"Sub", PathData({"Shared.lnk", "Drop Box"})}}) {
        SReply made = Request(*u.conn, kTranMakeFileAlias,
                              CFieldListBuilder().Add(kFieldFileName, name).Add(kFieldFilePath, path)
                                  .Add(kFieldFileNewPath, PathData({"Public"})).Build());
        ASSERT_EQ(made.error, 0u) << made.ErrorText();
    }
    const std::string inDropBox = "Cannot download \xD2x.txt\xD3 because it is in a drop box.";
    EXPECT_EQ(Download(*u.conn, "x.txt", PathData({"Public", "Deep.lnk"})).ErrorText(), inDropBox);
    EXPECT_EQ(Download(*u.conn, "x.txt.lnk", PathData({"Public"})).ErrorText(),
              "Cannot download \xD2x.txt.lnk\xD3 because it is in a drop box.");
    EXPECT_EQ(Download(*u.conn, "x.txt", PathData({"Public", "Sub.lnk"})).ErrorText(), inDropBox);
    const Bytes resume = ResumeRecord(0);
    EXPECT_EQ(Download(*u.conn, "x.txt", PathData({"Public", "Deep.lnk"}), -1, &resume).ErrorText(), inDropBox);
    EXPECT_TRUE(mApp->DownloadList().empty());
    EXPECT_EQ(mApp->Stats().dlCounter, 0u);

    u.record->access.SetPriv(myAcc_ViewDropBoxes);
    SReply ok = Download(*u.conn, "secret.txt", PathData({"Drop Box"}));
    EXPECT_EQ(ok.error, 0u) << ok.ErrorText();
    EXPECT_EQ(ok.Int(kFieldFileSize), 1);
    EXPECT_EQ(Download(*u.conn, "x.txt", PathData({"Public", "Sub.lnk"})).error, 0u);
}

TEST_F(DownloadTest, UnconnectedDownloadIsDroppedAfterFiveHundredSeconds) {
    WriteFile("a.txt", Text("abc"));
    auto u = NewUser({myAcc_DownloadFiles});
    SReply r = Download(*u.conn, "a.txt");
    ASSERT_EQ(mApp->DownloadList().size(), 1u);
    AdvanceSeconds(500);
    Pump();
    EXPECT_EQ(mApp->DownloadList().size(), 1u);
    AdvanceSeconds(2);
    // No network event: the wake-up alone runs the pass.
    EXPECT_TRUE(PumpUntil([&] { return mApp->DownloadList().empty(); }));
    // Its reference number is no longer accepted.
    auto t = OpenTransfer(RefNumOf(r));
    EXPECT_TRUE(ServerClosed(*t));
}

TEST_F(DownloadTest, DownloadsOfAClientThatLeavesAreRemoved) {
    WriteFile("a.txt", Pattern(1000));
    auto u = NewUser({myAcc_DownloadFiles});
    SReply r = Download(*u.conn, "a.txt");
    auto t = OpenTransfer(RefNumOf(r));
    ASSERT_TRUE(ReadTransfer(*t, 1000 + 135));
    u.conn->Close();
    EXPECT_TRUE(PumpUntil([&] { return mApp->DownloadList().empty(); }));
    EXPECT_TRUE(ServerClosed(*t));
}

TEST_F(DownloadTest, TransferConnectionOnTheClientPortWithSubVersionThree) {
    WriteFile("a.txt", Pattern(300));
    auto u = NewUser({myAcc_DownloadFiles});
    SReply r = Download(*u.conn, "a.txt");
    auto t = ConnectClient(3);
    ASSERT_TRUE(t->SendRaw(Concat({Text("KXXF"), RefNumOf(r), Be32(0), {0, 0, 0, 0}})));
    auto got = ReadTransfer(*t, 300 + 135);
    ASSERT_TRUE(got);
    EXPECT_EQ(Bytes(got->end() - 300, got->end()), Pattern(300));
}

TEST_F(DownloadTest, BadHeadersAreClosedAndSilentConnectionsTimeOut) {
    WriteFile("a.txt", Pattern(10));
    auto u = NewUser({myAcc_DownloadFiles, myAcc_UploadFiles, myAcc_UploadAnywhere});
    SReply r = Download(*u.conn, "a.txt");
    const Bytes ref = RefNumOf(r);

    TakeLogWindow();
    auto wrongProtocol = OpenTransfer(ref, 0, 0, "KXXG");
    EXPECT_TRUE(ServerClosed(*wrongProtocol));
    auto unknown = OpenTransfer({0x11, 0x22, 0x33, 0x44});
    EXPECT_TRUE(ServerClosed(*unknown));
    // An upload's number with the banner type finds nothing.
    SReply up = Upload(*u.conn, "up.txt", {}, 10);
    auto uploadAsBanner = OpenTransfer(RefNumOf(up), 10, 2);
    EXPECT_TRUE(ServerClosed(*uploadAsBanner));
    const std::string out = TakeLogWindow();
    std::size_t count = 0;
    for (std::size_t p = out.find("Transfer connection establish failed!"); p != std::string::npos;
         p = out.find("Transfer connection establish failed!", p + 1))
        ++count;
    EXPECT_EQ(count, 3u) << out;

    // The record still takes its own connection, and only one.
    auto good = OpenTransfer(ref);
    auto second = OpenTransfer(ref);
    EXPECT_TRUE(ServerClosed(*second));
    EXPECT_TRUE(ReadTransfer(*good, 10 + 135));

    // A connection that never sends its header is closed after a minute.
    CTestClient silent(2000);
    ASSERT_TRUE(silent.Connect(static_cast<std::uint16_t>(mPort + 1)));
    ASSERT_TRUE(silent.SendRaw(Text("KXXF")));
    ASSERT_TRUE(PumpUntil([&] { return mApp->TransferEstabCount() == 1; }));
    AdvanceSeconds(kTransferHeaderWait);
    Pump();
    EXPECT_EQ(mApp->TransferEstabCount(), 1u);
    AdvanceSeconds(2);
    EXPECT_TRUE(ServerClosed(silent));
    EXPECT_EQ(mApp->TransferEstabCount(), 0u);
}

}  // namespace
}  // namespace kx::test
