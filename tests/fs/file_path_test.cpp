// Path data (exact bytes, hostile data) and the client name rules.
#include "fs/file_path.h"

#include <gtest/gtest.h>

#include "framework/error.h"
#include "fs/fs_test_dir.h"

namespace kx {
namespace {

using test::Bytes;

std::vector<std::string> Names(const std::vector<std::uint8_t>& data) {
    std::vector<std::string> out;
    for (const auto& c : UFilePath::Parse(data.data(), data.size())) out.emplace_back(c.name);
    return out;
}

TEST(FilePathFormat, BuildGivesExactBytes) {
    EXPECT_EQ(UFilePath::Build({"Uploads", "a b"}),
              Bytes({0, 2, 0, 0, 7, 'U', 'p', 'l', 'o', 'a', 'd', 's', 0, 0, 3, 'a', ' ', 'b'}));
    EXPECT_EQ(UFilePath::Build({}), Bytes({0, 0}));
    EXPECT_THROW(UFilePath::Build({""}), SError);
    EXPECT_THROW(UFilePath::Build({std::string(256, 'x')}), SError);
}

TEST(FilePathFormat, ParseReadsComponentsAndReservedWords) {
    const auto data = Bytes({0, 2, 0x12, 0x34, 3, 'o', 'n', 'e', 0, 0, 3, 't', 'w', 'o'});
    const auto comps = UFilePath::Parse(data.data(), data.size());
    ASSERT_EQ(comps.size(), 2u);
    EXPECT_EQ(comps[0].rsvd, 0x1234);
    EXPECT_EQ(comps[0].name, "one");
    EXPECT_EQ(comps[1].name, "two");
}

TEST(FilePathFormat, HostileDataEndsTheReadingEarly) {
    // Shorter than 6 bytes, or a count of 0: the root.
    EXPECT_TRUE(Names(Bytes({0, 1, 0, 0, 1})).empty());
    EXPECT_TRUE(Names(Bytes({0, 0, 0, 0, 1, 'a', 0, 0})).empty());
    // A count that lies: only what is there is read.
    EXPECT_EQ(Names(Bytes({0xFF, 0xFF, 0, 0, 1, 'a', 0, 0, 2, 'b'})), std::vector<std::string>{"a"});
    // A length byte of 0 ends the reading.
    EXPECT_EQ(Names(Bytes({0, 3, 0, 0, 1, 'a', 0, 0, 0, 0, 0, 1, 'c'})), std::vector<std::string>{"a"});
    // A name that runs past the end ends it too.
    EXPECT_EQ(Names(Bytes({0, 2, 0, 0, 1, 'a', 0, 0, 200, 'b', 'c'})), std::vector<std::string>{"a"});
    EXPECT_TRUE(Names(Bytes({0, 1, 0, 0, 9, 'a', 'b'})).empty());
}

TEST(FilePathFormat, OnlyTheFirst2048BytesAreRead) {
    std::vector<std::string> names(20, std::string(120, 'n'));  // 2 + 20 * 123 = 2462 bytes
    const auto data = UFilePath::Build(names);
    ASSERT_GT(data.size(), kMaxPathData);
    EXPECT_EQ(Names(data).size(), (kMaxPathData - 2) / 123);  // 16 whole components fit
}

TEST(FileNameRules, ValidateFileNameRewritesWithoutRejecting) {
    EXPECT_EQ(UFileSys::ValidateFileName(".hidden"), "-hidden");
    EXPECT_EQ(UFileSys::ValidateFileName("a/b"), "a-b");
    EXPECT_EQ(UFileSys::ValidateFileName("name  "), "name--");
    EXPECT_EQ(UFileSys::ValidateFileName("x. ."), "x---");
    EXPECT_EQ(UFileSys::ValidateFileName(".."), "--");
    EXPECT_EQ(UFileSys::ValidateFileName("a\"*:<>?\\|b"), "a--------b");
    EXPECT_EQ(UFileSys::ValidateFileName(std::string("t\x01\x1F\x7F", 4)), "t--\x7F");
    EXPECT_EQ(UFileSys::ValidateFileName("\x81\x8D\x8E\x8F\x90\x9D\x9E\x8A\x80"), "-------\x8A\x80");
    EXPECT_EQ(UFileSys::ValidateFileName("caf\x8E.txt"), "caf-.txt");  // 0x8E is on the list
    EXPECT_EQ(UFileSys::ValidateFileName(std::string(300, 'a')).size(), 255u);
    EXPECT_EQ(UFileSys::ValidateFileName(""), "");
    EXPECT_EQ(UFileSys::ValidateFileName(" a b"), " a b");
}

TEST(FileNameRules, ValidateFilePathRewritesEveryComponent) {
    auto data = Bytes({0, 2, 0xAB, 0xCD, 4, '.', 'a', '/', ' ', 0, 1, 3, 'o', 'k', '.'});
    const auto before = data.size();
    EXPECT_EQ(UFileSys::ValidateFilePath(data.data(), data.size()), before);
    EXPECT_EQ(data, Bytes({0, 2, 0xAB, 0xCD, 4, '-', 'a', '-', '-', 0, 1, 3, 'o', 'k', '-'}));
}

TEST(FileNameRules, ValidateFilePathLeavesShortOrLyingDataAlone) {
    auto tiny = Bytes({0});
    EXPECT_EQ(UFileSys::ValidateFilePath(tiny.data(), tiny.size()), 1u);
    // Count 2 needs at least 2 + 8 bytes.
    auto lying = Bytes({0, 2, 0, 0, 2, '.', 'x'});
    const auto copy = lying;
    EXPECT_EQ(UFileSys::ValidateFilePath(lying.data(), lying.size()), lying.size());
    EXPECT_EQ(lying, copy);
    // A truncated second component: the first is rewritten, the rest left.
    auto truncated = Bytes({0, 2, 0, 0, 2, '.', 'x', 0, 0, 50, '.', 'y'});
    UFileSys::ValidateFilePath(truncated.data(), truncated.size());
    EXPECT_EQ(truncated, Bytes({0, 2, 0, 0, 2, '-', 'x', 0, 0, 50, '.', 'y'}));

    std::vector<std::uint8_t> big(kMaxPathData + 1, 0);
    EXPECT_EQ(test::ErrorOf([&] { UFileSys::ValidateFilePath(big.data(), big.size()); }), std::make_pair(1, 2));
}

TEST(FileNameRules, GetPathTargetNameGivesTheLastComponent) {
    const auto data = Bytes({0, 2, 0, 0, 3, 'o', 'n', 'e', 0x01, 0x02, 7, 'U', 'p', 'l', 'o', 'a', 'd', 's'});
    std::uint16_t rsvd = 0;
    EXPECT_EQ(UFileSys::GetPathTargetName(data.data(), data.size(), &rsvd), "Uploads");
    EXPECT_EQ(rsvd, 0x0102);
    EXPECT_EQ(UFileSys::GetPathTargetName(data.data(), data.size(), nullptr, 3), "Upl");

    const auto root = Bytes({0, 0, 0, 0, 0, 0});
    EXPECT_EQ(UFileSys::GetPathTargetName(root.data(), root.size()), "");
    const auto shortData = Bytes({0, 1, 0, 0, 1});
    EXPECT_EQ(UFileSys::GetPathTargetName(shortData.data(), shortData.size()), "");
    const auto truncated = Bytes({0, 2, 0, 0, 1, 'a', 0, 0, 9, 'U', 'p'});
    EXPECT_EQ(UFileSys::GetPathTargetName(truncated.data(), truncated.size()), "");
}

}  // namespace
}  // namespace kx
