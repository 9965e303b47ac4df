// The ban file "Banned": exact bytes of version 2, version 1 read and rewritten as 2, the
// backup "Banned.bak", and damaged files that keep the records before the damage.
#include "admin/ban_file.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "admin/ban_list.h"
#include "framework/byte_codec.h"
#include "framework/error.h"
#include "framework/file_util.h"
#include "support/scratch_files.h"

namespace kx {
namespace {

namespace fs = std::filesystem;

using TempDir = test::ScratchDir;
using test::ReadRaw;
using test::WriteRaw;
using test::Image;

SIPAddress A(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) { return SIPAddress{{a, b, c, d}}; }

BanRecord Rec(std::uint8_t active, SIPAddress first, SIPAddress last, std::string_view date, std::string_view why) {
    BanRecord r;
    r.nActive = active;
    r.nAddrFirst = first;
    r.nAddrLast = last;
    r.psDateTime.Set(date);
    r.description.Set(why);
    return r;
}

TEST(BanFile, WritesVersion2ByteForByte) {
    const BanList list = {Rec(1, A(10, 0, 0, 0), A(10, 0, 0, 255), "01/02/2024 03:04:05", "spam"),
                          Rec(0, A(192, 168, 1, 1), A(192, 168, 1, 1), "", "")};
    Image want;
    want.U16(2).U32(2);
    want.U8(1).Addr(10, 0, 0, 0).Addr(10, 0, 0, 255).Str("01/02/2024 03:04:05", 32).Str("spam");
    want.U8(0).Addr(192, 168, 1, 1).Addr(192, 168, 1, 1).Str("", 32).Str("");
    EXPECT_EQ(UBanFile::Build(list), want.b);

    BanList back;
    EXPECT_EQ(UBanFile::Parse(want.b, back), EBanFileRead::kRead);
    EXPECT_EQ(back, list);
}

TEST(BanFile, Version1IsReadWithOneAddressAndRewrittenAsVersion2) {
    TempDir dir;
    CMyBanLists bans(dir.path.string());
    Image v1;
    v1.U16(1).U32(2);
    v1.U8(1).Addr(1, 2, 3, 4).Str("05/06/2001 07:08:09", 32).U8(0xAA).U8(0xBB).Str("old");
    v1.U8(0).Addr(5, 6, 7, 8).Str("x", 32).U8(0).U8(0).Str("");
    WriteRaw(bans.GetPermBanSpec(), v1.b);

    BanList list;
    EXPECT_EQ(bans.ReadPermBanInfo(list), EBanFileRead::kRead);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0], Rec(1, A(1, 2, 3, 4), A(1, 2, 3, 4), "05/06/2001 07:08:09", "old"));
    EXPECT_EQ(list[1], Rec(0, A(5, 6, 7, 8), A(5, 6, 7, 8), "x", ""));

    bans.ReadPermBanList();
    EXPECT_TRUE(bans.IsPermBanned(A(1, 2, 3, 4)));
    EXPECT_FALSE(bans.IsPermBanned(A(5, 6, 7, 8)));  // inactive records are not applied

    // The next change writes version 2 and keeps the version 1 file as the backup.
    bans.AddPermBan(A(9, 9, 9, 0), A(9, 9, 9, 9), "new");
    const auto now = ReadRaw(bans.GetPermBanSpec());
    ASSERT_GE(now.size(), 6u);
    EXPECT_EQ(now[0], 0);
    EXPECT_EQ(now[1], 2);
    EXPECT_EQ(ReadRaw(dir.File("Banned.bak")), v1.b);
    EXPECT_EQ(bans.ReadPermBanInfo(list), EBanFileRead::kRead);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[1].nActive, 0);
    EXPECT_EQ(list[2].nAddrFirst, A(9, 9, 9, 0));
    EXPECT_EQ(list[2].nAddrLast, A(9, 9, 9, 9));
    EXPECT_EQ(list[2].description.View(), "new");
    EXPECT_TRUE(bans.IsPermBanned(A(9, 9, 9, 5)));
    EXPECT_TRUE(bans.IsPermBanned(A(1, 2, 3, 4)));
}

TEST(BanFile, DamagedFilesKeepTheRecordsBeforeTheDamage) {
    Image good;
    good.U16(2).U32(3);
    good.U8(1).Addr(1, 1, 1, 1).Addr(1, 1, 1, 1).Str("d1", 32).Str("one");
    good.U8(1).Addr(2, 2, 2, 2).Addr(2, 2, 2, 2).Str("d2", 32).Str("two");
    const std::size_t secondEnd = good.b.size();
    good.U8(1).Addr(3, 3, 3, 3).Addr(3, 3, 3, 3).Str("d3", 32).Str("three");

    for (std::size_t cut = secondEnd; cut < good.b.size(); ++cut) {  // third record cut short
        BanList list;
        EXPECT_EQ(UBanFile::Parse(std::span(good.b).first(cut), list), EBanFileRead::kDamaged) << cut;
        ASSERT_EQ(list.size(), 2u) << cut;
        EXPECT_EQ(list[1].description.View(), "two");
    }

    // A reason longer than 63 stops the reading at that record.
    Image longReason;
    longReason.U16(2).U32(2);
    longReason.U8(1).Addr(1, 1, 1, 1).Addr(1, 1, 1, 1).Str("d1", 32).Str("one");
    longReason.U8(1).Addr(2, 2, 2, 2).Addr(2, 2, 2, 2).Str("d2", 32).Str(std::string(64, 'r'));
    BanList list;
    EXPECT_EQ(UBanFile::Parse(longReason.b, list), EBanFileRead::kDamaged);
    ASSERT_EQ(list.size(), 1u);

    // A count far above what the file holds: the records present are read.
    Image bigCount;
    bigCount.U16(2).U32(0xFFFFFFFF).U8(1).Addr(1, 1, 1, 1).Addr(1, 1, 1, 2).Str("", 32).Str("");
    list.clear();
    EXPECT_EQ(UBanFile::Parse(bigCount.b, list), EBanFileRead::kDamaged);
    EXPECT_EQ(list.size(), 1u);

    // A date length byte above 32 is cut to the 32 bytes of its field.
    Image badDate;
    badDate.U16(2).U32(1).U8(1).Addr(1, 1, 1, 1).Addr(1, 1, 1, 1).U8(200);
    badDate.b.insert(badDate.b.end(), 32, 'z');
    badDate.Str("ok");
    list.clear();
    EXPECT_EQ(UBanFile::Parse(badDate.b, list), EBanFileRead::kRead);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].psDateTime.View(), std::string(32, 'z'));
    EXPECT_EQ(list[0].description.View(), "ok");

    // Not even a header, or a version from the future: nothing.
    for (const auto& bytes : {std::vector<std::uint8_t>{}, std::vector<std::uint8_t>{0, 2, 0, 0, 0},
                              std::vector<std::uint8_t>{0, 3, 0, 0, 0, 1, 1}}) {
        list.clear();
        UBanFile::Parse(bytes, list);
        EXPECT_TRUE(list.empty());
    }
}

TEST(BanFile, FileStatesOnDisk) {
    TempDir dir;
    CMyBanLists bans(dir.path.string());
    const std::string path = bans.GetPermBanSpec();
    const std::string backup = dir.File("Banned.bak");
    BanList list;

    EXPECT_EQ(bans.ReadPermBanInfo(list), EBanFileRead::kMissing);
    EXPECT_TRUE(list.empty());

    // A file stating no records is deleted.
    WriteRaw(path, {0, 2, 0, 0, 0, 0});
    EXPECT_EQ(bans.ReadPermBanInfo(list), EBanFileRead::kCountZero);
    EXPECT_FALSE(UFileUtil::Exists(path));

    // Unknown version and too-short files are left alone.
    WriteRaw(path, {0, 3, 0, 0, 0, 1});
    EXPECT_EQ(bans.ReadPermBanInfo(list), EBanFileRead::kUnknownVersion);
    EXPECT_TRUE(UFileUtil::Exists(path));
    WriteRaw(path, {0, 2, 0});
    EXPECT_EQ(bans.ReadPermBanInfo(list), EBanFileRead::kTooShort);
    EXPECT_TRUE(UFileUtil::Exists(path));

    // A damaged file: what was read is kept; the next write keeps the damaged file as backup.
    Image damaged;
    damaged.U16(2).U32(2).U8(1).Addr(4, 4, 4, 4).Addr(4, 4, 4, 4).Str("", 32).Str("a").U8(1).U8(5);
    WriteRaw(path, damaged.b);
    bans.ReadPermBanList();
    EXPECT_EQ(bans.PermBans().size(), 1u);
    bans.AddPermBan(A(6, 6, 6, 6), A(6, 6, 6, 6));
    EXPECT_EQ(ReadRaw(backup), damaged.b);
    EXPECT_EQ(bans.ReadPermBanInfo(list), EBanFileRead::kRead);
    EXPECT_EQ(list.size(), 2u);

    // Each write moves the previous file into the backup.
    const auto beforeSecond = ReadRaw(path);
    bans.AddPermBan(A(7, 7, 7, 7), A(7, 7, 7, 7), "x");
    EXPECT_EQ(ReadRaw(backup), beforeSecond);

    // Saving an empty list leaves only the backup.
    const auto beforeEmpty = ReadRaw(path);
    BanList empty;
    bans.WritePermBanInfo(empty);
    EXPECT_FALSE(UFileUtil::Exists(path));
    EXPECT_EQ(ReadRaw(backup), beforeEmpty);
    EXPECT_TRUE(bans.PermBans().empty());
    EXPECT_FALSE(UFileUtil::Exists(path + ".tmp"));

    // And saving again with no "Banned" removes the backup too.
    bans.WritePermBanInfo(empty);
    EXPECT_FALSE(UFileUtil::Exists(backup));
}

TEST(BanFile, WriteRebuildsThePermanentListAndEmptiesTheGivenOne) {
    TempDir dir;
    CMyBanLists bans(dir.path.string());
    BanList list = {Rec(1, A(10, 0, 0, 0), A(10, 0, 0, 255), "", "a"), Rec(0, A(11, 0, 0, 1), A(11, 0, 0, 1), "", "b"),
                    Rec(1, A(12, 0, 0, 1), A(12, 0, 0, 1), "", "c")};
    const BanList saved = list;
    bans.WritePermBanInfo(list);
    EXPECT_TRUE(list.empty());
    ASSERT_EQ(bans.PermBans().size(), 2u);
    EXPECT_EQ(bans.PermBans()[0].description.View(), "a");
    EXPECT_EQ(bans.PermBans()[1].description.View(), "c");
    EXPECT_EQ(ReadRaw(bans.GetPermBanSpec()), UBanFile::Build(saved));  // inactive one kept on disk

    // Bans stay in force in memory when the file cannot be written.
    TempDir other;
    CMyBanLists unwritable((other.path / "missing").string());
    BanList one = {Rec(1, A(13, 0, 0, 1), A(13, 0, 0, 1), "", "")};
    EXPECT_THROW(unwritable.WritePermBanInfo(one), SError);
    EXPECT_TRUE(unwritable.IsPermBanned(A(13, 0, 0, 1)));
}

TEST(BanFile, TheFileHoldsAtMost500Bans) {
    TempDir dir;
    CMyBanLists bans(dir.path.string());
    BanList list;
    for (std::uint32_t i = 0; i < kMaxPermBans; ++i)
        list.push_back(Rec(1, ToIPAddress(0x0A000000 + i), ToIPAddress(0x0A000000 + i), "", ""));
    bans.WritePermBanInfo(list);
    bans.AddPermBan(A(11, 0, 0, 0), A(11, 0, 0, 0), std::string(80, 'w'));  // reason cut to 63

    BanList back;
    EXPECT_EQ(bans.ReadPermBanInfo(back), EBanFileRead::kRead);
    ASSERT_EQ(back.size(), kMaxPermBans);
    EXPECT_EQ(back.front().nAddrFirst, A(10, 0, 0, 1));  // the oldest gave way
    EXPECT_EQ(back.back().nAddrFirst, A(11, 0, 0, 0));
    EXPECT_EQ(back.back().description.View(), std::string(63, 'w'));
    EXPECT_FALSE(bans.IsPermBanned(A(10, 0, 0, 0)));
    EXPECT_TRUE(bans.IsPermBanned(A(11, 0, 0, 0)));

    // A file stating more than 500 records yields the first 500.
    Image big;
    big.U16(2).U32(501);
    for (int i = 0; i < 501; ++i) big.U8(1).Addr(1, 0, std::uint8_t(i >> 8), std::uint8_t(i)).Addr(1, 0, 0, 0).Str("", 32).Str("");
    back.clear();
    EXPECT_EQ(UBanFile::Parse(big.b, back), EBanFileRead::kRead);
    EXPECT_EQ(back.size(), kMaxPermBans);
}

}  // namespace
}  // namespace kx
