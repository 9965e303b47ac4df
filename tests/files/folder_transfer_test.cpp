// Folder transfers over loopback: the item-by-item dialogue of downloads (exact item headers,
// file announcements and flattened files, skipping, resuming, empty trees, aliases that point
// back into the tree or nowhere, paths too long for the path buffer, the shared download queue,
// a finished download whose client has gone) and of uploads (files and sub-folders, a close right
// after the last byte, existing files skipped, shortcuts failing, partial items resumed, 0 items,
// and item paths that try to leave the folder).
#include <netinet/in.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "files/transfer_fixture.h"
#include "framework/byte_codec.h"
#include "fs/fs_listing.h"

namespace kx::test {
namespace {

constexpr std::uint16_t kSend = 1, kResume = 2, kNext = 3;


// An item header as the sending side writes it.
Bytes ItemHeader(bool isFolder, std::initializer_list<std::string> path) {
    const Bytes p = UFilePath::Build(path);
    return Concat({Be16(static_cast<std::uint16_t>(2 + p.size())), Be16(isFolder ? 1 : 0), p});
}

class FolderTransferTest : public TransferFixture {
protected:
    void SetUp() override {
        TransferFixture::SetUp();
        MakeDirs(FilesDir() + "/Uploads");
    }
    void TearDown() override {
        UMyTransfer::SetFreeSpaceSource(nullptr);
        TransferFixture::TearDown();
    }
    bool Exists(const std::string& rel) { return UFileUtil::Exists(FilesDir() + "/" + rel); }

    SReply DownloadFldr(CTestClient& c, std::string_view name, const Bytes& path = {}) {
        CFieldListBuilder b;
        b.Add(kFieldFileName, name);
        if (!path.empty()) b.Add(kFieldFilePath, path);
        return Request(c, kTranDownloadFldr, b.Build());
    }
    SReply UploadFldr(CTestClient& c, std::string_view name, const Bytes& path, std::uint32_t items,
                      std::uint32_t size, bool resume = false) {
        CFieldListBuilder b;
        b.Add(kFieldFileName, name);
        if (!path.empty()) b.Add(kFieldFilePath, path);
        b.AddInt(kFieldFolderItemCount, static_cast<std::int32_t>(items));
        b.AddInt(kFieldTransferSize, static_cast<std::int32_t>(size));
        if (resume) b.AddInt(kFieldFileTransferOptions, 1);
        return Request(c, kTranUploadFldr, b.Build());
    }
    // Names in a folder in the order a listing gives them (the order items are walked in).
    std::vector<std::string> ListingOrder(const std::string& rel) {
        std::vector<std::string> out;
        TFSRef ref = UFileSys::NewFromPath(FilesDir() + "/" + rel);
        TFSList list = UFileSys::GetListing(*ref);
        SFSListItem item;
        while (UFileSys::GetListNext(*list, item)) out.push_back(item.name);
        return out;
    }
    // The item headers of Docs {a.txt, Sub/b.txt} in the order of its listing, a sub-folder
    // before its contents.
    std::vector<Bytes> DocsHeaders() {
        std::vector<Bytes> out;
        for (const std::string& n : ListingOrder("Docs")) {
            if (n == "a.txt") out.push_back(ItemHeader(false, {"a.txt"}));
            if (n == "Sub") {
                out.push_back(ItemHeader(true, {"Sub"}));
                out.push_back(ItemHeader(false, {"Sub", "b.txt"}));
            }
        }
        return out;
    }
    // Reads exactly n bytes, leaving whatever follows them on the connection.
    std::optional<Bytes> ReadExact(CTestClient& t, std::size_t n) {
        Bytes out(n);
        std::size_t got = 0;
        PumpUntil([&] {
            while (got < n) {
                const ssize_t r = recv(t.Fd(), out.data() + got, n - got, MSG_DONTWAIT);
                if (r <= 0) break;
                got += static_cast<std::size_t>(r);
            }
            return got == n;
        });
        if (got != n) return std::nullopt;
        return out;
    }
    // Reads one item header: its 2-byte size first, then the rest.
    std::optional<Bytes> ReadItemHeader(CTestClient& t) {
        auto size = ReadExact(t, 2);
        if (!size) return std::nullopt;
        auto rest = ReadExact(t, GetBE16(size->data()));
        if (!rest) return std::nullopt;
        return Concat({*size, *rest});
    }
    // The DATA fork of a flattened stream, checked for the layout this server writes.
    static std::optional<Bytes> DataFork(const Bytes& flat, std::string_view name) {
        const std::size_t infoSize = 74 + name.size();
        if (flat.size() < 24 + 16 + infoSize + 16) return std::nullopt;
        if (Bytes(flat.begin(), flat.begin() + 4) != Text("FILP")) return std::nullopt;
        const std::size_t dataHdr = 24 + 16 + infoSize;
        if (Bytes(flat.begin() + dataHdr, flat.begin() + dataHdr + 4) != Text("DATA")) return std::nullopt;
        const std::uint32_t n = GetBE32(flat.data() + dataHdr + 12);
        if (flat.size() != dataHdr + 16 + n) return std::nullopt;
        return Bytes(flat.begin() + dataHdr + 16, flat.end());
    }
};

// Docs {a.txt, Sub/b.txt}: exactly three items, each header byte for byte, files flattened.
TEST_F(FolderTransferTest, DownloadAnnouncesEveryItemWithExactHeadersAndFlattenedFiles) {
    const Bytes a = Pattern(150000, 3), b = Text("bee");
    WriteFile("Docs/a.txt", a);
    WriteFile("Docs/Sub/b.txt", b);
    auto u = NewUser({myAcc_DownloadFolders});
    SReply r = DownloadFldr(*u.conn, "Docs");
    ASSERT_EQ(r.error, 0u) << r.ErrorText();
    ASSERT_EQ(r.fields.size(), 3u);
    EXPECT_EQ(r.fields[0].id, kFieldTransferSize);
    EXPECT_EQ(r.Int(kFieldTransferSize), std::int64_t(a.size() + b.size()));
    EXPECT_EQ(r.fields[1].id, kFieldFolderItemCount);
    EXPECT_EQ(r.Int(kFieldFolderItemCount), 3);
    const Bytes ref = RefNumOf(r);
    ASSERT_EQ(ref.size(), 4u);
    EXPECT_EQ(ref[0] & 1, 1);
    EXPECT_EQ(mApp->Stats().dlCounter, 1u);

    const std::vector<Bytes> expected = DocsHeaders();
    ASSERT_EQ(expected.size(), 3u);
    EXPECT_EQ(ItemHeader(false, {"a.txt"}), (Bytes{0, 12, 0, 0, 0, 1, 0, 0, 5, 'a', '.', 't', 'x', 't'}));

    auto t = OpenTransfer(ref, 0, 1);
    ASSERT_TRUE(t->SendRaw(Be16(kNext)));
    for (const Bytes& want : expected) {
        auto hdr = ReadItemHeader(*t);
        ASSERT_TRUE(hdr);
        EXPECT_EQ(*hdr, want);
        if (want[3] == 1) {  // a folder: ask for the next item
            ASSERT_TRUE(t->SendRaw(Be16(kNext)));
            continue;
        }
        const bool isA = want.size() == 14;
        ASSERT_TRUE(t->SendRaw(Be16(kSend)));
        auto len = ReadExact(*t, 4);
        ASSERT_TRUE(len);
        auto flat = ReadExact(*t, GetBE32(len->data()));
        ASSERT_TRUE(flat);
        EXPECT_EQ(DataFork(*flat, isA ? "a.txt" : "b.txt"), isA ? a : b);
        ASSERT_TRUE(t->SendRaw(Be16(kNext)));
    }
    EXPECT_TRUE(ServerClosed(*t));  // nothing after the last item
    EXPECT_TRUE(PumpUntil([&] { return mApp->DownloadFldrList().empty(); }));
}

TEST_F(FolderTransferTest, ClientSkippingEveryFileGetsHeadersOnly) {
    WriteFile("Docs/a.txt", Pattern(5000, 1));
    WriteFile("Docs/Sub/b.txt", Pattern(7000, 2));
    auto u = NewUser({myAcc_DownloadFolders});
    SReply r = DownloadFldr(*u.conn, "Docs");
    ASSERT_EQ(r.Int(kFieldFolderItemCount), 3);
    const std::vector<Bytes> expected = DocsHeaders();
    ASSERT_EQ(expected.size(), 3u);
    auto t = OpenTransfer(RefNumOf(r), 0, 1);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(t->SendRaw(Be16(kNext)));
        auto hdr = ReadItemHeader(*t);
        ASSERT_TRUE(hdr) << i;
        EXPECT_EQ(*hdr, expected[static_cast<std::size_t>(i)]);  // no file bytes in between
        if ((*hdr)[3] == 0) {
            // Skipped: the file's length leaves the total.
            PumpUntil([&] { return mApp->DownloadFldrList().size() == 1 && mApp->DownloadFldrList()[0]->state == 1; });
        }
    }
    ASSERT_EQ(mApp->DownloadFldrList().size(), 1u);
    ASSERT_TRUE(t->SendRaw(Be16(kNext)));
    std::size_t discarded = 0;
    EXPECT_TRUE(PumpUntil([&] { return t->WaitClosed(1, &discarded); }));
    EXPECT_EQ(discarded, 0u);
    EXPECT_TRUE(PumpUntil([&] { return mApp->DownloadFldrList().empty(); }));
}

TEST_F(FolderTransferTest, EmptyFolderAnswersZeroItemsAndKeepsNoRecord) {
    MakeDirs(FilesDir() + "/Empty");
    auto u = NewUser({myAcc_DownloadFolders});
    SReply r = DownloadFldr(*u.conn, "Empty");
    ASSERT_EQ(r.error, 0u) << r.ErrorText();
    ASSERT_EQ(r.fields.size(), 2u);
    EXPECT_EQ(r.Int(kFieldTransferSize), 0);
    EXPECT_EQ(r.Int(kFieldFolderItemCount), 0);
    EXPECT_EQ(r.Find(kFieldRefNum), nullptr);
    EXPECT_TRUE(mApp->DownloadFldrList().empty());
    EXPECT_EQ(mApp->Stats().dlCounter, 0u);
}

TEST_F(FolderTransferTest, AliasesBackIntoTheTreeOrToNothingContributeNothing) {
    WriteFile("Docs/a.txt", Text("A"));
    MakeDirs(FilesDir() + "/Docs/Sub");
    ASSERT_EQ(::symlink((FilesDir() + "/Docs").c_str(), (FilesDir() + "/Docs/Sub/up.lnk").c_str()), 0);
    ASSERT_EQ(::symlink((FilesDir() + "/Docs/Sub").c_str(), (FilesDir() + "/Docs/Sub/self.lnk").c_str()), 0);
    ASSERT_EQ(::symlink((FilesDir() + "/Docs/a.txt").c_str(), (FilesDir() + "/Docs/again.lnk").c_str()), 0);
    ASSERT_EQ(::symlink((FilesDir() + "/Gone").c_str(), (FilesDir() + "/Docs/broken.lnk").c_str()), 0);
    auto u = NewUser({myAcc_DownloadFolders});
    SReply r = DownloadFldr(*u.conn, "Docs");
    ASSERT_EQ(r.error, 0u) << r.ErrorText();
    EXPECT_EQ(r.Int(kFieldFolderItemCount), 2);  // a.txt (once) and Sub
    EXPECT_EQ(r.Int(kFieldTransferSize), 1);
}

TEST_F(FolderTransferTest, DropBoxesAndRefusals) {
    WriteFile("Docs/a.txt", Text("A"));
    WriteFile("Docs/Drop Box/secret.txt", Text("S"));
    // An alias under an innocent name whose target is a drop box elsewhere in the tree.
    WriteFile("Drop Box/inbox.txt", Text("I"));
    ASSERT_EQ(::symlink((FilesDir() + "/Drop Box").c_str(), (FilesDir() + "/Docs/box.lnk").c_str()), 0);
    auto u = NewUser({myAcc_DownloadFolders});
    SReply r = DownloadFldr(*u.conn, "Docs");
    EXPECT_EQ(r.Int(kFieldFolderItemCount), 1);
    EXPECT_EQ(r.Int(kFieldTransferSize), 1);
    EXPECT_EQ(DownloadFldr(*u.conn, "Drop Box", PathData({"Docs"})).ErrorText(),
              "Cannot download \xD2" "Drop Box\xD3 because you are not permitted to access drop boxes.");
    EXPECT_EQ(DownloadFldr(*u.conn, "Nope").ErrorText(), "Cannot download because there is no folder named \xD2Nope\xD3.");
    auto v = NewUser({myAcc_DownloadFolders, myAcc_ViewDropBoxes});
    EXPECT_EQ(DownloadFldr(*v.conn, "Docs").Int(kFieldFolderItemCount), 5);
    auto w = NewUser({});
    EXPECT_EQ(DownloadFldr(*w.conn, "Docs").ErrorText(), "You are not allowed to download folders.");
    EXPECT_EQ(UploadFldr(*w.conn, "X", PathData({"Uploads"}), 1, 0).ErrorText(), "You are not allowed to upload folders.");
}

// The client resumes an announced file: the action, the record's length and the record may
// arrive in pieces; only the rest of the file follows, and the transfer's total is corrected.
TEST_F(FolderTransferTest, ResumedItemSendsOnlyTheRestOfTheFile) {
    const Bytes content = Pattern(150000, 5);
    WriteFile("Docs/part.bin", content);
    WriteFile("Bad/x.bin", Pattern(100, 6));
    auto u = NewUser({myAcc_DownloadFolders});
    SReply r = DownloadFldr(*u.conn, "Docs");
    ASSERT_EQ(r.Int(kFieldFolderItemCount), 1);
    auto t = OpenTransfer(RefNumOf(r), 0, 1);
    ASSERT_TRUE(t->SendRaw(Be16(kNext)));
    auto hdr = ReadItemHeader(*t);
    ASSERT_TRUE(hdr);
    EXPECT_EQ(*hdr, ItemHeader(false, {"part.bin"}));

    const Bytes record = ResumeRecord(100000);
    for (const Bytes& piece : {Be16(kResume), Be16(58), Bytes(record.begin(), record.begin() + 20)}) {
        ASSERT_TRUE(t->SendRaw(piece));
        Pump();
        EXPECT_TRUE(t->ExpectSilence(10));  // nothing until the whole record is there
    }
    ASSERT_TRUE(t->SendRaw(Bytes(record.begin() + 20, record.end())));
    const std::uint32_t flatSize = 24 + 16 + (74 + 8) + 16 + 50000;
    auto len = ReadExact(*t, 4);
    ASSERT_TRUE(len);
    EXPECT_EQ(*len, Be32(flatSize));
    auto flat = ReadExact(*t, flatSize);
    ASSERT_TRUE(flat);
    EXPECT_EQ(DataFork(*flat, "part.bin"), Bytes(content.begin() + 100000, content.end()));
    ASSERT_EQ(mApp->DownloadFldrList().size(), 1u);
    EXPECT_EQ(mApp->DownloadFldrList()[0]->totalSize, flatSize);  // 150000 + flattened rest - 150000
    EXPECT_EQ(mApp->DownloadFldrList()[0]->totalBytesSent, flatSize);
    ASSERT_TRUE(t->SendRaw(Be16(kNext)));
    EXPECT_TRUE(ServerClosed(*t));
    EXPECT_TRUE(PumpUntil([&] { return mApp->DownloadFldrList().empty(); }));

    // A damaged resume record ends the transfer instead of sending a wrong part of the file.
    SReply bad = DownloadFldr(*u.conn, "Bad");
    auto tb = OpenTransfer(RefNumOf(bad), 0, 1);
    ASSERT_TRUE(tb->SendRaw(Be16(kNext)));
    ASSERT_TRUE(ReadItemHeader(*tb));
    ASSERT_TRUE(tb->SendRaw(Concat({Be16(kResume), Be16(4), Text("RFLT")})));
    std::size_t discarded = 0;
    EXPECT_TRUE(PumpUntil([&] { return tb->WaitClosed(1, &discarded); }));
    EXPECT_EQ(discarded, 0u);
    EXPECT_TRUE(PumpUntil([&] { return mApp->DownloadFldrList().empty(); }));
}

// Items whose paths do not fit the path buffer (with its spare bytes) are left out, though they
// were counted; every other item still arrives, and the connection closes after the last one.
TEST_F(FolderTransferTest, ItemsWithOverlongPathsAreSkippedAndTheRestArrives) {
    // The path of an item costs 2 bytes plus, per component, its name and 3 bytes, the top
    // folder's name included: "D" (6) and four 250-byte folders (4 x 253) make 1018, which
    // leaves exactly the 6 spare bytes; anything inside the fourth folder does not fit.
    const std::string n1(250, 'a'), n2(250, 'b'), n3(250, 'c'), n4(250, 'd');
    const std::string deep = "D/" + n1 + "/" + n2 + "/" + n3 + "/" + n4;
    WriteFile(deep + "/deep.txt", Text("deep"));   // 1029: over the buffer
    WriteFile(deep + "/x", Text("x"));             // 1022: fits, but not with the spare bytes
    const Bytes ok = Pattern(3000, 8);
    WriteFile("D/ok.txt", ok);
    auto u = NewUser({myAcc_DownloadFolders});
    SReply r = DownloadFldr(*u.conn, "D");
    ASSERT_EQ(r.error, 0u) << r.ErrorText();
    EXPECT_EQ(r.Int(kFieldFolderItemCount), 7);  // the skipped items are counted
    EXPECT_EQ(r.Int(kFieldTransferSize), 3000 + 4 + 1);

    std::vector<Bytes> expected;
    for (const std::string& n : ListingOrder("D")) {
        if (n == "ok.txt") expected.push_back(ItemHeader(false, {"ok.txt"}));
        if (n == n1) {
            expected.push_back(ItemHeader(true, {n1}));
            expected.push_back(ItemHeader(true, {n1, n2}));
            expected.push_back(ItemHeader(true, {n1, n2, n3}));
            expected.push_back(ItemHeader(true, {n1, n2, n3, n4}));
        }
    }
    ASSERT_EQ(expected.size(), 5u);
    const Bytes fourth = ItemHeader(true, {n1, n2, n3, n4});
    ASSERT_EQ(fourth.size(), 2u + 1016u);
    EXPECT_EQ(Bytes(fourth.begin(), fourth.begin() + 7), (Bytes{0x03, 0xF8, 0, 1, 0, 4, 0}));

    auto t = OpenTransfer(RefNumOf(r), 0, 1);
    ASSERT_TRUE(t->SendRaw(Be16(kNext)));
    for (const Bytes& want : expected) {
        auto hdr = ReadItemHeader(*t);
        ASSERT_TRUE(hdr);
        EXPECT_EQ(*hdr, want);
        if (want[3] == 0) {
            ASSERT_TRUE(t->SendRaw(Be16(kSend)));
            auto len = ReadExact(*t, 4);
            ASSERT_TRUE(len);
            auto flat = ReadExact(*t, GetBE32(len->data()));
            ASSERT_TRUE(flat);
            EXPECT_EQ(DataFork(*flat, "ok.txt"), ok);
        }
        ASSERT_TRUE(t->SendRaw(Be16(kNext)));
    }
    std::size_t discarded = 0;
    EXPECT_TRUE(PumpUntil([&] { return t->WaitClosed(1, &discarded); }));
    EXPECT_EQ(discarded, 0u);  // no header for the items that did not fit
    EXPECT_TRUE(PumpUntil([&] { return mApp->DownloadFldrList().empty(); }));
}

TEST_F(FolderTransferTest, UnconnectedFolderDownloadIsDroppedAfterFiveHundredSeconds) {
    WriteFile("Docs/a.txt", Text("A"));
    auto u = NewUser({myAcc_DownloadFolders});
    SReply r = DownloadFldr(*u.conn, "Docs");
    ASSERT_EQ(mApp->DownloadFldrList().size(), 1u);
    AdvanceSeconds(500);
    Pump();
    EXPECT_EQ(mApp->DownloadFldrList().size(), 1u);
    AdvanceSeconds(1);
    EXPECT_TRUE(PumpUntil([&] { return mApp->DownloadFldrList().empty(); }));
    auto t = OpenTransfer(RefNumOf(r), 0, 1);
    EXPECT_TRUE(ServerClosed(*t));  // nothing to attach to any more
}

// Folder downloads share the download limits, the waiting queue and cancelling with files.
class FolderQueueTest : public FolderTransferTest {
protected:
    void CustomizePrefs(SMyPrefs& prefs) override { prefs.mOptions.nMaxDownloads = 1; }

    static std::pair<Bytes, std::int64_t> InfoOf(const std::vector<STestField>& notice) {
        const STestField* ref = FindField(notice, kFieldRefNum);
        const STestField* count = FindField(notice, kFieldWaitingCount);
        return {ref ? ref->data : Bytes{}, count && count->Int() ? *count->Int() : -1};
    }
};

TEST_F(FolderQueueTest, FolderDownloadWaitsBehindFilesAndFilesWaitBehindIt) {
    WriteFile("a.txt", Pattern(2000, 1));
    WriteFile("Docs/one.txt", Text("one"));
    auto a = NewUser({myAcc_DownloadFiles});
    auto b = NewUser({myAcc_DownloadFolders});
    SReply ra = Download(*a.conn, "a.txt");
    ASSERT_EQ(ra.Find(kFieldWaitingCount), nullptr);

    // Queued behind the file download: the whole reply, the place in the queue last.
    SReply rb = DownloadFldr(*b.conn, "Docs");
    ASSERT_EQ(rb.error, 0u) << rb.ErrorText();
    ASSERT_EQ(rb.fields.size(), 4u);
    EXPECT_EQ(rb.fields[0].id, kFieldTransferSize);
    EXPECT_EQ(rb.fields[1].id, kFieldFolderItemCount);
    EXPECT_EQ(rb.fields[2].id, kFieldRefNum);
    EXPECT_EQ(rb.fields[3].id, kFieldWaitingCount);
    EXPECT_EQ(rb.Int(kFieldWaitingCount), 1);
    ASSERT_EQ(mApp->DownloadWaitingList().size(), 1u);
    EXPECT_FALSE(mApp->DownloadWaitingList()[0]->bFileFolder);
    EXPECT_EQ(mApp->Stats().dlCounter, 2u);

    // Its client connects early and asks for the first item: nothing comes while it waits.
    auto tb = OpenTransfer(RefNumOf(rb), 0, 1);
    ASSERT_TRUE(tb->SendRaw(Be16(kNext)));
    Pump();
    EXPECT_TRUE(tb->ExpectSilence(20));
    EXPECT_NE(mApp->DownloadWaitingList()[0]->pDownloadFldrData->tpt, nullptr);

    // The file download ends: the folder starts, is told so, and the early request is answered.
    auto ta = OpenTransfer(RefNumOf(ra));
    ASSERT_TRUE(ReadTransfer(*ta, 2000 + 135));
    ta->Close();
    ASSERT_TRUE(PumpUntil([&] { return mApp->DownloadWaitingList().empty(); }));
    auto notices = Notices(*b.conn, kTranClientDownloadInfo);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(InfoOf(notices[0]), std::make_pair(RefNumOf(rb), std::int64_t(0)));
    auto hdr = ReadItemHeader(*tb);
    ASSERT_TRUE(hdr);
    EXPECT_EQ(*hdr, ItemHeader(false, {"one.txt"}));

    // The running folder download holds the only place: a file download now waits behind it.
    SReply ra2 = Download(*a.conn, "a.txt");
    EXPECT_EQ(ra2.Int(kFieldWaitingCount), 1);
    EXPECT_EQ(mApp->GetClientDownloadsNumber(b.record->userID), 1u);

    // Only its owner can cancel it; cancelling closes its connection and the file starts.
    Request(*a.conn, kTranKillDownload, CFieldListBuilder().Add(kFieldRefNum, RefNumOf(rb)).Build());
    EXPECT_EQ(mApp->DownloadFldrList().size(), 1u);
    SReply kill = Request(*b.conn, kTranKillDownload, CFieldListBuilder().Add(kFieldRefNum, RefNumOf(rb)).Build());
    EXPECT_EQ(kill.error, 0u);
    EXPECT_TRUE(ServerClosed(*tb));
    EXPECT_TRUE(mApp->DownloadFldrList().empty());
    ASSERT_TRUE(PumpUntil([&] { return mApp->DownloadWaitingList().empty(); }));
    notices = Notices(*a.conn, kTranClientDownloadInfo);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(InfoOf(notices[0]), std::make_pair(RefNumOf(ra2), std::int64_t(0)));
}

// The client information text lists the target's transfers from the real lists: running and
// waiting, files and folders, with their progress; other clients' transfers stay out.
class ClientInfoTransfersTest : public FolderTransferTest {
protected:
    void CustomizePrefs(SMyPrefs& prefs) override { prefs.mOptions.nMaxDownloadsClient = 2; }
};

TEST_F(ClientInfoTransfersTest, SectionsShowRunningAndWaitingTransfers) {
    WriteFile("a.txt", Pattern(2000, 1));
    WriteFile("b.txt", Pattern(3000, 2));
    WriteFile("Docs/one.txt", Text("one"));
    auto t = NewUser({myAcc_DownloadFiles, myAcc_DownloadFolders, myAcc_UploadFiles, myAcc_UploadFolders});
    auto admin = NewUser({myAcc_GetClientInfo, myAcc_DownloadFiles});
    ASSERT_EQ(Download(*admin.conn, "b.txt").error, 0u);

    SReply running = Download(*t.conn, "a.txt");
    auto tr = OpenTransfer(RefNumOf(running));
    ASSERT_TRUE(ReadTransfer(*tr, 2000 + 135));
    ASSERT_EQ(DownloadFldr(*t.conn, "Docs").Find(kFieldWaitingCount), nullptr);  // running, not connected
    EXPECT_EQ(Download(*t.conn, "b.txt").Int(kFieldWaitingCount), 1);
    EXPECT_EQ(DownloadFldr(*t.conn, "Docs").Int(kFieldWaitingCount), 2);

    const Bytes stream = FlatStream(Pattern(1800, 3), "up.bin");
    SReply up = Upload(*t.conn, "up.bin", PathData({"Uploads"}), static_cast<std::uint32_t>(stream.size()));
    auto tu = OpenTransfer(RefNumOf(up), static_cast<std::uint32_t>(stream.size()));
    const std::size_t half = stream.size() / 2;
    ASSERT_TRUE(SendPumping(*tu, Bytes(stream.begin(), stream.begin() + half)));
    ASSERT_TRUE(PumpUntil([&] { return mApp->UploadList().size() == 1 && mApp->UploadList()[0]->rcvdSize == half; }));
    ASSERT_EQ(UploadFldr(*t.conn, "Album", PathData({"Uploads"}), 3, 300000).error, 0u);

    SReply info = Request(*admin.conn, kTranGetClientInfoText,
                          CFieldListBuilder().AddInt(kFieldUserID, t.record->userID).Build());
    ASSERT_EQ(info.error, 0u) << info.ErrorText();
    ASSERT_NE(info.Find(kFieldData), nullptr);
    const std::string text = info.Find(kFieldData)->Text();
    const std::string sections = text.substr(text.find("-------- File Downloads"));
    EXPECT_EQ(sections,
              "-------- File Downloads ---------\r\r"
              "a.txt                 100% 3K\r\r"
              "------- Folder Downloads --------\r\r"
              "Docs                  0%   1K\r\r"
              "--------- File Uploads ----------\r\r"
              "up.bin                50%  2K\r\r"  // 968 of 1936 bytes
              "-------- Folder Uploads ---------\r\r"
              "Album                 0%   293K\r\r"
              "------- Waiting Downloads -------\r\r"
              "b.txt                 (File)\r"
              "Docs                  (Folder)\r");
}

// The server's end of a loopback connection whose client end is `clientFd` (the server runs in
// this process): the descriptor whose peer is the client's address. -1 when there is none.
int ServerEndOf(int clientFd) {
    sockaddr_in local{};
    socklen_t len = sizeof local;
    if (getsockname(clientFd, reinterpret_cast<sockaddr*>(&local), &len) != 0) return -1;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const int fd = std::atoi(entry.path().filename().c_str());
        sockaddr_in peer{};
        socklen_t peerLen = sizeof peer;
        if (fd == clientFd || getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLen) != 0) continue;
        if (peer.sin_family == AF_INET && peer.sin_port == local.sin_port && peer.sin_addr.s_addr == local.sin_addr.s_addr)
            return fd;
    }
    return -1;
}

// A finished folder download whose last bytes are still queued for a client that reads
// nothing holds a download place only while its client is there.
TEST_F(FolderQueueTest, FinishedFolderDownloadOfAGoneClientNoLongerCounts) {
    WriteFile("Docs/big.bin", Pattern(90000, 6));
    WriteFile("a.txt", Pattern(100, 2));
    auto a = NewUser({myAcc_DownloadFiles});
    auto b = NewUser({myAcc_DownloadFolders});
    SReply r = DownloadFldr(*b.conn, "Docs");
    ASSERT_EQ(r.Int(kFieldFolderItemCount), 1);
    CTestClient t(2000);
    t.SetReceiveBuffer(4096);
    ASSERT_TRUE(t.Connect(static_cast<std::uint16_t>(mPort + 1)));
    ASSERT_TRUE(t.SendRaw(Concat({Text("KXXF"), RefNumOf(r), Be32(0), {0, 1}, {0, 0}})));
    ASSERT_TRUE(PumpUntil([&] { return mApp->DownloadFldrList().size() == 1 && mApp->DownloadFldrList()[0]->tpt; }));
    // Small buffers on both ends, so most of the file stays queued in the server.
    const int serverEnd = ServerEndOf(t.Fd());
    ASSERT_GE(serverEnd, 0);
    const int small = 4096;
    ASSERT_EQ(setsockopt(serverEnd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    ASSERT_TRUE(t.SendRaw(Be16(kNext)));
    ASSERT_TRUE(PumpUntil([&] { return mApp->DownloadFldrList()[0]->state == 1; }));
    // The file and the request for the next item together: the walk ends with the file queued.
    ASSERT_TRUE(t.SendRaw(Concat({Be16(kSend), Be16(kNext)})));
    ASSERT_TRUE(PumpUntil([&] { return !mApp->DownloadFldrList()[0]->fldr; }));
    ASSERT_GT(mApp->DownloadFldrList()[0]->tpt->GetUnsentSize(), 0u);

    b.conn->Close();
    ASSERT_TRUE(PumpUntil([&] { return mApp->Clients().size() == 1; }));
    EXPECT_TRUE(mApp->DownloadFldrList().empty());
    EXPECT_TRUE(ServerClosed(t));
    SReply ra = Download(*a.conn, "a.txt");
    EXPECT_EQ(ra.error, 0u) << ra.ErrorText();
    EXPECT_EQ(ra.Find(kFieldWaitingCount), nullptr);  // the only place is free
}

// Sends one file item of an upload: header, the server's answer, the flattened stream.
class FolderUploadTest : public FolderTransferTest {
protected:
    void SendFile(CTestClient& t, std::initializer_list<std::string> path, const Bytes& content) {
        ASSERT_TRUE(t.SendRaw(ItemHeader(false, path)));
        auto action = ReadTransfer(t, 2);
        ASSERT_TRUE(action);
        ASSERT_EQ(*action, Be16(kSend));
        const Bytes flat = FlatStream(content);
        ASSERT_TRUE(SendPumping(t, Concat({Be32(static_cast<std::uint32_t>(flat.size())), flat})));
    }
    void ExpectNext(CTestClient& t) {
        auto action = ReadTransfer(t, 2);
        ASSERT_TRUE(action);
        EXPECT_EQ(*action, Be16(kNext));
    }
};

TEST_F(FolderUploadTest, FilesAndSubFoldersArriveInTheNewFolder) {
    auto u = NewUser({myAcc_UploadFolders});
    const Bytes top = Pattern(200000, 4), inner = Text("inner");
    SReply r = UploadFldr(*u.conn, "Album", PathData({"Uploads"}), 3, 300000);
    ASSERT_EQ(r.error, 0u) << r.ErrorText();
    ASSERT_EQ(r.fields.size(), 1u);
    const Bytes ref = RefNumOf(r);
    ASSERT_EQ(ref.size(), 4u);
    EXPECT_EQ(ref[0] & 1, 0);
    EXPECT_TRUE(UFileUtil::IsDirectory(FilesDir() + "/Uploads/Album"));
    EXPECT_EQ(mApp->Stats().ulCounter, 1u);

    TakeLogWindow();
    auto t = OpenTransfer(ref, 300000, 1);
    ExpectNext(*t);
    SendFile(*t, {"top.bin"}, top);
    ExpectNext(*t);
    ASSERT_TRUE(t->SendRaw(ItemHeader(true, {"Sub"})));
    ExpectNext(*t);
    SendFile(*t, {"Sub", "in.txt"}, inner);
    // The client may close right after its last byte: what came before the close is read first.
    ASSERT_EQ(::shutdown(t->Fd(), SHUT_WR), 0);
    const bool closed = ServerClosed(*t);
    const std::string log = TakeLogWindow();
    EXPECT_TRUE(closed);
    EXPECT_NE(log.find("Upload folder complete"), std::string::npos) << log;
    EXPECT_TRUE(mApp->UploadFldrList().empty());
    EXPECT_EQ(ReadFile("Uploads/Album/top.bin"), top);
    EXPECT_EQ(ReadFile("Uploads/Album/Sub/in.txt"), inner);
    EXPECT_FALSE(Exists("Uploads/Album/top.bin.kpf"));
}

TEST_F(FolderUploadTest, ZeroItemsCreatesTheFolderWithoutReference) {
    auto u = NewUser({myAcc_UploadFolders});
    SReply r = UploadFldr(*u.conn, "Nothing", PathData({"Uploads"}), 0, 0);
    ASSERT_EQ(r.error, 0u) << r.ErrorText();
    EXPECT_TRUE(r.fields.empty());
    EXPECT_TRUE(UFileUtil::IsDirectory(FilesDir() + "/Uploads/Nothing"));
    EXPECT_TRUE(mApp->UploadFldrList().empty());
    EXPECT_EQ(UploadFldr(*u.conn, "Nothing", PathData({"Uploads"}), 0, 0).ErrorText(),
              "Cannot accept upload because there is already a folder named \xD2Nothing\xD3. Try choosing a different name.");
    MakeDirs(FilesDir() + "/Public");
    EXPECT_EQ(UploadFldr(*u.conn, "X", PathData({"Public"}), 1, 0).ErrorText(),
              "Cannot accept upload of the folder \xD2X\xD3 because you are only allowed to upload to the \xD2Uploads\xD3 folder.");
    EXPECT_FALSE(Exists("Public/X"));
}

// A resumed folder: an existing file is skipped, a shortcut fails, a partial item resumes.
TEST_F(FolderUploadTest, ResumeSkipsExistingFailsShortcutsAndResumesPartials) {
    const Bytes big = Pattern(1048576 + 5000, 9);
    WriteFile("Uploads/Up/have.txt", Text("kept"));
    WriteFile("Uploads/Up/big.iso.kpf", Bytes(big.begin(), big.begin() + 1048576));
    auto u = NewUser({myAcc_UploadFolders});
    SReply r = UploadFldr(*u.conn, "Up", PathData({"Uploads"}), 3, 2000000, true);
    ASSERT_EQ(r.error, 0u) << r.ErrorText();
    auto t = OpenTransfer(RefNumOf(r), 2000000, 1);
    ExpectNext(*t);
    ASSERT_TRUE(t->SendRaw(ItemHeader(false, {"have.txt"})));
    ExpectNext(*t);  // skipped
    ASSERT_TRUE(t->SendRaw(ItemHeader(false, {"x.lnk"})));
    ExpectNext(*t);  // failed
    ASSERT_TRUE(t->SendRaw(ItemHeader(false, {"big.iso"})));
    auto answer = ReadTransfer(*t, 4 + 58);
    ASSERT_TRUE(answer);
    EXPECT_EQ(Bytes(answer->begin(), answer->begin() + 4), Concat({Be16(kResume), Be16(58)}));
    EXPECT_EQ(Bytes(answer->begin() + 4, answer->end()), ResumeRecord(1048576));
    const Bytes flat = FlatStream(Bytes(big.begin() + 1048576, big.end()));
    ASSERT_TRUE(SendPumping(*t, Concat({Be32(static_cast<std::uint32_t>(flat.size())), flat})));
    EXPECT_TRUE(ServerClosed(*t));
    EXPECT_EQ(ReadFile("Uploads/Up/have.txt"), Text("kept"));
    EXPECT_FALSE(Exists("Uploads/Up/x.lnk"));
    EXPECT_FALSE(Exists("Uploads/Up/x.lnk.kpf"));
    EXPECT_EQ(ReadFile("Uploads/Up/big.iso"), big);
}

// When the last announced item fails, the upload ends all the same and the log says so.
TEST_F(FolderUploadTest, LastItemFailingEndsTheUploadWithItsOwnLogLine) {
    WriteFile("Uploads/Two/Sub", Text("a file where the folder should go"));
    auto u = NewUser({myAcc_UploadFolders});
    SReply r = UploadFldr(*u.conn, "Two", PathData({"Uploads"}), 2, 0, true);
    ASSERT_EQ(r.error, 0u) << r.ErrorText();
    TakeLogWindow();
    auto t = OpenTransfer(RefNumOf(r), 0, 1);
    ExpectNext(*t);
    ASSERT_TRUE(t->SendRaw(ItemHeader(false, {"x.LNK.kpf"})));  // a shortcut, whatever the case
    ExpectNext(*t);
    ASSERT_TRUE(t->SendRaw(ItemHeader(true, {"Sub"})));         // a file of that name exists
    ExpectNext(*t);
    const bool closed = ServerClosed(*t);
    const std::string log = TakeLogWindow();
    EXPECT_TRUE(closed);
    EXPECT_NE(log.find("Upload folder item failed"), std::string::npos) << log;
    EXPECT_EQ(log.find("Upload folder complete"), std::string::npos) << log;
    EXPECT_TRUE(mApp->UploadFldrList().empty());
    EXPECT_EQ(ReadFile("Uploads/Two/Sub"), Text("a file where the folder should go"));
    EXPECT_FALSE(Exists("Uploads/Two/x.LNK.kpf"));
    EXPECT_FALSE(Exists("Uploads/Two/x.LNK.kpf.kpf"));
}

TEST_F(FolderUploadTest, HostileItemPathsNeverWriteOutsideTheFolder) {
    auto u = NewUser({myAcc_UploadFolders});
    SReply r = UploadFldr(*u.conn, "Evil", PathData({"Uploads"}), 6, 1000);
    ASSERT_EQ(r.error, 0u) << r.ErrorText();
    auto t = OpenTransfer(RefNumOf(r), 1000, 1);
    ExpectNext(*t);
    const std::vector<Bytes> hostile = {
        ItemHeader(false, {"..", "escaped.txt"}),
        ItemHeader(false, {"/tmp", "escaped.txt"}),
        ItemHeader(false, {std::string(255, 'n')}),         // with ".kpf" too long for the disk
        Concat({Be16(14), Be16(0), Be16(2), Bytes{0, 0, 7}, Text("x.txt"), Bytes{0, 0}}),  // count lies
        Concat({Be16(4), Be16(0), Be16(0)}),                   // no components: the folder itself
    };
    for (const Bytes& h : hostile) {
        ASSERT_TRUE(t->SendRaw(h));
        auto action = ReadTransfer(*t, 2);
        ASSERT_TRUE(action);
        EXPECT_EQ(*action, Be16(kNext));  // refused, the upload goes on
    }
    SendFile(*t, {"ok.txt"}, Text("ok"));
    EXPECT_TRUE(ServerClosed(*t));
    EXPECT_EQ(ReadFile("Uploads/Evil/ok.txt"), Text("ok"));
    EXPECT_FALSE(Exists("Uploads/escaped.txt"));
    EXPECT_FALSE(Exists("escaped.txt"));
    EXPECT_FALSE(UFileUtil::Exists(mDir / "escaped.txt"));
    EXPECT_FALSE(UFileUtil::Exists("/tmp/escaped.txt"));
    EXPECT_FALSE(Exists("Uploads/Evil/x.txt.kpf"));
}

TEST_F(FolderUploadTest, ConnectionArrivingAfterTheIdleTimeIsAborted) {
    auto u = NewUser({myAcc_UploadFolders});
    SReply r = UploadFldr(*u.conn, "Late", PathData({"Uploads"}), 2, 100);
    ASSERT_EQ(mApp->UploadFldrList().size(), 1u);
    AdvanceSeconds(121);
    auto t = OpenTransfer(RefNumOf(r), 100, 1);
    EXPECT_TRUE(PumpUntil([&] { return mApp->UploadFldrList().empty(); }));
}

}  // namespace
}  // namespace kx::test
