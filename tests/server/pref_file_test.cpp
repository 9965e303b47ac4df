// The options file "pref": exact bytes written, versions 4 and 5 read back, every way a file is
// refused (short, unknown version, a string past the end) or read only in part (data that ends
// between strings), and the fix-ups applied after reading.
#include "server/pref_file.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "framework/byte_codec.h"
#include "framework/error.h"
#include "framework/file_util.h"
#include "support/scratch_files.h"

namespace kx {
namespace {

namespace fs = std::filesystem;

using test::ScratchDir;
using test::ReadRaw;
using test::WriteRaw;
using test::Image;

// The fixed part (offsets 0..75) with recognisable values.
Image FixedPart(std::uint16_t version) {
    Image im;
    im.U16(version).U16(0x0005);
    im.U16(10).U16(20).U16(300).U16(40);            // toolbar
    im.U16(0xFFFF).U16(0xFFFE).U16(500).U16(600);   // log: -1, -2 sign-extended
    im.U16(7).U16(8).U16(9).U16(10);                // statistics
    im.Zeros(26);
    im.U16(3);                                      // nMaxConnectionsIP
    im.U8(192).U8(168).U8(1).U8(20);                // stIPAddress
    im.U32(0x000000CB);                             // nOpts
    im.U16(6000).U16(50).U16(4);                    // base port, downloads, per client
    im.U8(1).U8(0);                                 // alias flag, zero
    im.U32(0x11223344);                             // pass ID
    return im;
}

void ExpectFixedValues(const SMyPrefs& p) {
    EXPECT_EQ(p.windowFlags, 5);
    EXPECT_EQ(p.toolbarRect, (SMyWinRect{10, 20, 300, 40}));
    EXPECT_EQ(p.logRect, (SMyWinRect{-1, -2, 500, 600}));
    EXPECT_EQ(p.statsRect, (SMyWinRect{7, 8, 9, 10}));
    EXPECT_EQ(p.mOptions.nMaxConnectionsIP, 3);
    EXPECT_EQ(p.mOptions.stIPAddress, (SIPAddress{{192, 168, 1, 20}}));
    EXPECT_EQ(p.mOptions.nOpts, 0xCBu);
    EXPECT_EQ(p.mOptions.nBasePortNum, 6000);
    EXPECT_EQ(p.mOptions.nMaxDownloads, 50);
    EXPECT_EQ(p.mOptions.nMaxDownloadsClient, 4);
    EXPECT_TRUE(p.resolveAliases);
    EXPECT_EQ(p.mTrackerPassID, 0x11223344u);
}

void ExpectDefaultsAfterFixUps(const SMyPrefs& p) {
    EXPECT_EQ(p.mOptions.stIPAddress, SIPAddress{});
    EXPECT_EQ(p.mOptions.nBasePortNum, 5500);
    EXPECT_EQ(p.mOptions.nMaxDownloads, 100);
    EXPECT_EQ(p.mOptions.nMaxDownloadsClient, 10);
    EXPECT_EQ(p.mOptions.nMaxConnectionsIP, 5);
    EXPECT_EQ(p.mOptions.nOpts, 0x30u);
    EXPECT_EQ(p.windowFlags, 7);
    EXPECT_EQ(p.toolbarRect, SMyWinRect{});
    EXPECT_EQ(p.logRect, SMyWinRect{});
    EXPECT_EQ(p.statsRect, SMyWinRect{});
    EXPECT_FALSE(p.resolveAliases);
    EXPECT_TRUE(p.mServerName.IsEmpty());
    EXPECT_TRUE(p.mServerDesc.IsEmpty());
    EXPECT_EQ(p.mAdminLogin.View(), "admin");
    EXPECT_TRUE(p.mAgreementUrl.IsEmpty());
    EXPECT_NE(p.mTrackerPassID, 0u);
    for (const auto& t : p.mTrackInfo) {
        EXPECT_EQ(t.Name(), kDefaultTrackerAddr);
        EXPECT_EQ(t.addr.type, kInternetNameAddressType);
        EXPECT_EQ(t.addr.port, 5499);
        EXPECT_TRUE(t.login.IsEmpty());
        EXPECT_TRUE(t.passwd.IsEmpty());
    }
}

SMyPrefs SamplePrefs() {
    SMyPrefs p = SMyPrefs::Defaults();
    p.windowFlags = 3;
    p.toolbarRect = {1, 2, 3, 4};
    p.logRect = {-5, 6, 7, -8};
    p.statsRect = {100, 200, 300, 400};
    p.mOptions.nMaxConnectionsIP = 0;
    p.mOptions.stIPAddress = SIPAddress{{10, 0, 0, 1}};
    p.mOptions.nOpts = 0x9F;
    p.mOptions.nBasePortNum = 7700;
    p.mOptions.nMaxDownloads = 12;
    p.mOptions.nMaxDownloadsClient = 2;
    p.resolveAliases = false;
    p.mTrackerPassID = 0xA1B2C3D4;
    p.mServerName.Set("Name");
    p.mServerDesc.Set("Desc");
    p.mAdminLogin.Set("boss");
    p.mAgreementBanner.Set("b.jpg");
    p.mAgreementBannerUrl.Set("http://x");
    p.mAgreementUrl.Set("http://y");
    p.mTrackInfo[0].SetName("tracker.example:5600");
    p.mTrackInfo[0].login.Set("me");
    p.mTrackInfo[0].passwd.Set("pw");
    p.mTrackInfo[2].SetName("10.0.0.9");
    p.mTrackInfo[2].passwd.Set("x");
    return p;
}

TEST(PrefFile, WritesVersion5ByteForByteAndReadsItBack) {
    ScratchDir dir;
    const std::string path = UMyPrefs::GetPrefsSpec(dir.path.string());
    EXPECT_EQ(path, dir.File("pref"));
    const SMyPrefs p = SamplePrefs();
    UMyPrefs::WritePrefs(path, p);

    Image want;
    want.U16(5).U16(3).U16(1).U16(2).U16(3).U16(4);
    want.U16(0xFFFB).U16(6).U16(7).U16(0xFFF8).U16(100).U16(200).U16(300).U16(400);
    want.Zeros(26).U16(0).U8(10).U8(0).U8(0).U8(1).U32(0x9F).U16(7700).U16(12).U16(2);
    want.U8(0).U8(0).U32(0xA1B2C3D4).Zeros(3);
    want.Str("Name").Zeros(1).Str("Desc").Str("boss").Str("b.jpg").Str("http://x").Str("http://y");
    want.Str("tracker.example:5600").Str("me").Str("pw");
    want.Zeros(3).Str("10.0.0.9").Zeros(1).Str("x").Zeros(6);
    auto onDisk = UFileUtil::ReadWholeFile(path);
    ASSERT_TRUE(onDisk);
    EXPECT_EQ(*onDisk, want.b);
    EXPECT_FALSE(UFileUtil::Exists(path + ".tmp"));

    SMyPrefs back;
    ASSERT_TRUE(UMyPrefs::ReadPrefs(path, back));
    EXPECT_EQ(back.windowFlags, p.windowFlags);
    EXPECT_EQ(back.logRect, p.logRect);
    EXPECT_EQ(back.statsRect, p.statsRect);
    EXPECT_EQ(back.mOptions.stIPAddress, p.mOptions.stIPAddress);
    EXPECT_EQ(back.mOptions.nOpts, p.mOptions.nOpts);
    EXPECT_EQ(back.mOptions.nBasePortNum, 7700);
    EXPECT_EQ(back.mOptions.nMaxConnectionsIP, 0);  // no limit stays no limit
    EXPECT_EQ(back.mTrackerPassID, 0xA1B2C3D4u);
    EXPECT_EQ(back.mServerName, p.mServerName);
    EXPECT_EQ(back.mServerDesc, p.mServerDesc);
    EXPECT_EQ(back.mAdminLogin, p.mAdminLogin);
    EXPECT_EQ(back.mAgreementBanner, p.mAgreementBanner);
    EXPECT_EQ(back.mAgreementBannerUrl, p.mAgreementBannerUrl);
    EXPECT_EQ(back.mAgreementUrl, p.mAgreementUrl);
    for (std::size_t i = 0; i < kMyTrackerCount; ++i) {
        EXPECT_EQ(back.mTrackInfo[i].Name(), p.mTrackInfo[i].Name()) << i;
        EXPECT_EQ(back.mTrackInfo[i].login, p.mTrackInfo[i].login) << i;
        EXPECT_EQ(back.mTrackInfo[i].passwd, p.mTrackInfo[i].passwd) << i;
    }
    EXPECT_EQ(back.mTrackInfo[0].addr.port, 0);  // port is part of the name
    EXPECT_EQ(back.mTrackInfo[2].addr.port, 5499);
    EXPECT_EQ(UMyPrefs::Build(back), want.b);
}

TEST(PrefFile, Version4KeepsAddressesAndPasswordsWithEmptyLoginsAndIsRewrittenAs5) {
    Image im = FixedPart(4);
    im.Zeros(3).Str("Srv").Zeros(1).Str("About").Str("root").Str("").Str("").Str("http://b");
    im.Str("t1.example").Str("p1");
    im.Str("t2.example:7000").Str("");
    for (int i = 0; i < 3; ++i) im.Str("").Str("");
    SMyPrefs p;
    ASSERT_TRUE(UMyPrefs::Parse(im.b, p));
    ExpectFixedValues(p);
    EXPECT_EQ(p.mServerName.View(), "Srv");
    EXPECT_EQ(p.mServerDesc.View(), "About");
    EXPECT_EQ(p.mAdminLogin.View(), "root");
    EXPECT_EQ(p.mAgreementUrl.View(), "http://b");
    EXPECT_EQ(p.mTrackInfo[0].Name(), "t1.example");
    EXPECT_EQ(p.mTrackInfo[0].passwd.View(), "p1");
    EXPECT_TRUE(p.mTrackInfo[0].login.IsEmpty());
    EXPECT_EQ(p.mTrackInfo[0].addr.port, 5499);
    EXPECT_EQ(p.mTrackInfo[1].Name(), "t2.example:7000");
    EXPECT_EQ(p.mTrackInfo[1].addr.port, 0);

    const auto rewritten = UMyPrefs::Build(p);
    EXPECT_EQ(rewritten[0], 0);
    EXPECT_EQ(rewritten[1], 5);
    SMyPrefs again;
    ASSERT_TRUE(UMyPrefs::Parse(rewritten, again));
    EXPECT_EQ(again.mTrackInfo[0].passwd.View(), "p1");
    EXPECT_EQ(again.mTrackInfo[1].Name(), "t2.example:7000");
}

TEST(PrefFile, MinimumSizeIs96Bytes) {
    ScratchDir dir;
    const std::string path = dir.File("pref");
    Image im = FixedPart(5);
    im.Zeros(96 - im.b.size());
    ASSERT_EQ(im.b.size(), 96u);

    // 96 bytes of version 5 with empty strings: the fixed values are taken; the tracker
    // entries that do not fit stay empty.
    WriteRaw(path, im.b);
    SMyPrefs p;
    EXPECT_TRUE(UMyPrefs::ReadPrefs(path, p));
    ExpectFixedValues(p);
    EXPECT_EQ(p.mAdminLogin.View(), "admin");

    // One byte less: defaults, and the file on disk is left alone.
    im.b.pop_back();
    WriteRaw(path, im.b);
    EXPECT_FALSE(UMyPrefs::ReadPrefs(path, p));
    ExpectDefaultsAfterFixUps(p);
    EXPECT_EQ(UFileUtil::ReadWholeFile(path)->size(), 95u);
}

TEST(PrefFile, RefusedFilesYieldDefaults) {
    ScratchDir dir;
    const std::string path = dir.File("pref");
    SMyPrefs p;

    EXPECT_FALSE(UMyPrefs::ReadPrefs(path, p));  // missing
    ExpectDefaultsAfterFixUps(p);

    fs::create_directory(path);  // not a file
    EXPECT_FALSE(UMyPrefs::ReadPrefs(path, p));
    ExpectDefaultsAfterFixUps(p);
    fs::remove(path);

    for (std::uint16_t version : {0, 3, 6, 0x0500}) {
        Image im = FixedPart(version);
        im.Zeros(200);
        EXPECT_FALSE(UMyPrefs::Parse(im.b, p)) << version;
        EXPECT_EQ(p.mOptions.nBasePortNum, 5500) << version;
        EXPECT_EQ(p.windowFlags, 7) << version;
    }
}

TEST(PrefFile, AStringPastTheEndDiscardsTheWholeFile) {
    // The server name claims more bytes than the file holds.
    Image im = FixedPart(5);
    im.Zeros(3).U8(200).Zeros(40);
    ASSERT_GE(im.b.size(), 96u);
    SMyPrefs p;
    EXPECT_FALSE(UMyPrefs::Parse(im.b, p));
    EXPECT_EQ(p.mOptions.nBasePortNum, 5500);  // fixed values are discarded too
    EXPECT_EQ(p.mOptions.nMaxConnectionsIP, 5);
    EXPECT_EQ(p.mTrackerPassID, 0u);
    EXPECT_EQ(p.toolbarRect, SMyWinRect{});

    // The last text before the trackers (banner URL) runs one byte past the end.
    Image late = FixedPart(5);
    late.Zeros(3).Str("Srv").Zeros(1).Str("").Str("").Str("").Str("").U8(20).Zeros(19);
    ASSERT_GE(late.b.size(), 96u);
    EXPECT_FALSE(UMyPrefs::Parse(late.b, p));
    EXPECT_TRUE(p.mServerName.IsEmpty());
    late.b.push_back('z');  // now it fits exactly
    EXPECT_TRUE(UMyPrefs::Parse(late.b, p));
    EXPECT_EQ(p.mServerName.View(), "Srv");
    EXPECT_EQ(p.mAgreementUrl.Length(), 20u);

    // A damaged tracker string discards the texts and the earlier tracker entries too.
    Image tracker = FixedPart(5);
    tracker.Zeros(3).Str("Srv").Zeros(1).Str("").Str("").Str("").Str("").Str("");
    tracker.Str("t1.example").Str("me").Str("pw").Str("t2.example").U8(9).Str("x");
    ASSERT_GE(tracker.b.size(), 96u);
    EXPECT_FALSE(UMyPrefs::Parse(tracker.b, p));
    EXPECT_TRUE(p.mServerName.IsEmpty());
    EXPECT_EQ(p.mOptions.nBasePortNum, 5500);
    EXPECT_TRUE(p.mTrackInfo[0].Name().empty());
    EXPECT_TRUE(p.mTrackInfo[0].passwd.IsEmpty());

    // Data that simply ends between two strings, even before the last text, keeps what it read.
    Image ends = FixedPart(5);
    ends.Zeros(3).Str(std::string(30, 's')).Zeros(1).Str("About");
    ASSERT_GE(ends.b.size(), 96u);
    EXPECT_TRUE(UMyPrefs::Parse(ends.b, p));
    ExpectFixedValues(p);
    EXPECT_EQ(p.mServerDesc.View(), "About");
    EXPECT_TRUE(p.mAdminLogin.IsEmpty());
}

TEST(PrefFile, LongTextsAreCutButKeepTheFileInStep) {
    Image im = FixedPart(5);
    const std::string name40(40, 'n'), desc200(200, 'd'), login50(50, 'l'), pw40(40, 'p');
    im.Zeros(3).Str(name40).Zeros(1).Str(desc200).Str(login50).Str("").Str("").Str("");
    im.Str("t").Str(login50).Str(pw40);
    SMyPrefs p;
    ASSERT_TRUE(UMyPrefs::Parse(im.b, p));
    EXPECT_EQ(p.mServerName.View(), std::string(31, 'n'));
    EXPECT_EQ(p.mServerDesc.View(), std::string(127, 'd'));
    EXPECT_EQ(p.mAdminLogin.View(), std::string(31, 'l'));
    EXPECT_EQ(p.mTrackInfo[0].Name(), "t");
    EXPECT_EQ(p.mTrackInfo[0].login.View(), std::string(31, 'l'));
    EXPECT_EQ(p.mTrackInfo[0].passwd.View(), std::string(31, 'p'));
    EXPECT_TRUE(p.mTrackInfo[1].Name().empty());
}

TEST(PrefFile, BytesBeyondTheReadLimitAreIgnored) {
    ScratchDir dir;
    const std::string path = dir.File("pref");
    Image im = FixedPart(5);
    im.Zeros(3).Str("Big").Zeros(1).Str("").Str("").Str("").Str("").Str("");
    im.Zeros(15);
    im.Zeros(9000);  // trailing bytes beyond the read limit are ignored
    WriteRaw(path, im.b);
    SMyPrefs p;
    EXPECT_TRUE(UMyPrefs::ReadPrefs(path, p));
    EXPECT_EQ(p.mServerName.View(), "Big");

    EXPECT_EQ(p.mTrackInfo[0].Name(), kDefaultTrackerAddr);
}

TEST(PrefFile, FixUpsAfterReading) {
    Image im = FixedPart(5);
    // Zero port and limits, zero pass ID, empty login and trackers.
    for (std::size_t off : {54, 55, 64, 65, 66, 67, 68, 69, 72, 73, 74, 75}) im.b[off] = 0;
    im.Zeros(3).Str("").Zeros(1).Str("").Str("").Str("").Str("").Str("").Zeros(15);
    SMyPrefs p;
    ASSERT_TRUE(UMyPrefs::Parse(im.b, p));
    EXPECT_EQ(p.mTrackerPassID, 0u);
    UMyPrefs::ApplyFixUps(p);
    EXPECT_EQ(p.mOptions.nBasePortNum, 5500);
    EXPECT_EQ(p.mOptions.nMaxDownloads, 100);
    EXPECT_EQ(p.mOptions.nMaxDownloadsClient, 10);
    EXPECT_EQ(p.mOptions.nMaxConnectionsIP, 0);
    EXPECT_NE(p.mTrackerPassID, 0u);
    EXPECT_EQ(p.mAdminLogin.View(), "admin");
    EXPECT_EQ(p.mTrackInfo[0].Name(), kDefaultTrackerAddr);
    EXPECT_EQ(p.mTrackInfo[0].addr.port, 5499);

    // Values that are set are kept.
    SMyPrefs kept = SamplePrefs();
    UMyPrefs::ApplyFixUps(kept);
    EXPECT_EQ(kept.mTrackerPassID, 0xA1B2C3D4u);
    EXPECT_EQ(kept.mAdminLogin.View(), "boss");
    EXPECT_EQ(kept.mTrackInfo[0].Name(), "tracker.example:5600");
    EXPECT_EQ(kept.mTrackInfo[0].login.View(), "me");
}

TEST(PrefFile, AFailedWriteRaisesAndLeavesTheOldFile) {
    ScratchDir dir;
    EXPECT_THROW(UMyPrefs::WritePrefs(dir.File("missing/pref"), SamplePrefs()), SError);

    const std::string path = dir.File("pref");
    UMyPrefs::WritePrefs(path, SamplePrefs());
    const auto before = UFileUtil::ReadWholeFile(path);
    fs::create_directory(path + ".tmp");  // the temporary file cannot be created
    SMyPrefs other = SamplePrefs();
    other.mServerName.Set("Other");
    EXPECT_THROW(UMyPrefs::WritePrefs(path, other), SError);
    EXPECT_EQ(UFileUtil::ReadWholeFile(path), before);
}

}  // namespace
}  // namespace kx
