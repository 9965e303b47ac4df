// Names, status flags, user-list entries and logins as the server derives them from a client
// record, and the bounded sections, size and percentage texts of the client information.
#include "server/user_info.h"

#include <gtest/gtest.h>

#include "server/client_info_text.h"

namespace kx {
namespace {

using namespace UMyUserInfo;

TEST(UserInfo, NamesAreCutCleanedAndNeverEmpty) {
    EXPECT_EQ(CleanName(""), "***");
    EXPECT_EQ(CleanName(std::string("\0\x1F\x7F\x80\xFF", 5)), "*****");
    EXPECT_EQ(CleanName(" ~plain~ "), " ~plain~ ");
    EXPECT_EQ(CleanName(std::string(32, 'n')), std::string(31, 'n'));
    // Cut first: a bad byte past the 31st does not count.
    EXPECT_EQ(CleanName(std::string(31, 'n') + "\x01"), std::string(31, 'n'));
    EXPECT_EQ(AccountShownName(""), "***");
    EXPECT_EQ(AccountShownName(std::string(64, 'a')), std::string(31, 'a'));
}

TEST(UserInfo, LoginsFromTheWire) {
    auto wire = [](std::string plain) {
        for (char& c : plain) c = static_cast<char>(~c);
        return plain;
    };
    EXPECT_EQ(LoginFromWire(""), "guest");
    EXPECT_EQ(LoginFromWire(wire("Admin")), "admin");
    EXPECT_EQ(LoginFromWire(wire("A\rB")), "a-b");
    // Only A-Z are folded; other bytes, including Mac Roman letters, stay.
    EXPECT_EQ(LoginFromWire(wire("\xC4Z[@")), "\xC4z[@");
    // A login sent plain (not complemented) is just other bytes.
    EXPECT_EQ(LoginFromWire("a"), std::string(1, '\x9E'));
}

TEST(UserInfo, FlagsFollowTheClientAndItsPrivileges) {
    EXPECT_EQ(GetClientFlags(nullptr), 0);
    SMyClient c;
    EXPECT_EQ(GetClientFlags(&c), kFlagNoAccess);
    c.access.SetPriv(myAcc_DisconnectUsers);
    EXPECT_EQ(GetClientFlags(&c), kFlagAdmin);
    c.isAway = true;
    c.bRefusePrivateMsg = true;
    c.bRefusePrivateChat = true;
    EXPECT_EQ(GetClientFlags(&c), 0x0F);
    c.access = kFullAccessPrivs;
    EXPECT_EQ(GetClientFlags(&c), 0x1F);
    // The full set is tested, not every bit: bit 27 adds nothing, losing one bit of the set
    // loses the flag.
    c.access.SetPriv(myAcc_NoAgreement);
    EXPECT_EQ(GetClientFlags(&c) & kFlagFullAccess, kFlagFullAccess);
    c.access.ClearPriv(myAcc_SendPrivMsg);
    EXPECT_EQ(GetClientFlags(&c) & kFlagFullAccess, 0);
}

TEST(UserInfo, UserListEntryIsBigEndianHeadAndName) {
    SMyClient c;
    c.userID = 0x1234;
    c.iconID = -2;
    c.userName = "Zoe";
    c.access.SetPriv(myAcc_ReadChat);
    c.isAway = true;
    EXPECT_EQ(UserNameWithInfo(c), (std::vector<std::uint8_t>{0x12, 0x34, 0xFF, 0xFE, 0x00, 0x01, 0x00, 0x03, 'Z', 'o', 'e'}));
    c.userName.clear();
    EXPECT_EQ(UserNameWithInfo(c).size(), 8u);
}

TEST(ClientInfo, SizeTextsInKilobytesAndMegabytes) {
    using UMyClientInfo::SizeText;
    EXPECT_EQ(SizeText(0), "0K");
    EXPECT_EQ(SizeText(1), "1K");
    EXPECT_EQ(SizeText(1024), "1K");
    EXPECT_EQ(SizeText(1025), "2K");
    EXPECT_EQ(SizeText(1024 * 1024 - 1), "1024K");
    EXPECT_EQ(SizeText(1024 * 1024), "1.0M");
    EXPECT_EQ(SizeText(1024 * 1024 * 5 / 2), "2.5M");
    EXPECT_EQ(SizeText(1024 * 1024 * 2 - 1), "1.9M");
    EXPECT_EQ(SizeText(~std::uint64_t{0}), "17592186044415.9M");
}

TEST(ClientInfo, PercentagesAreCappedAndZeroWithoutConnection) {
    using namespace UMyClientInfo;
    EXPECT_EQ(DownloadPercentText(true, 600, 100, 1000), "50%");
    EXPECT_EQ(DownloadPercentText(true, 100, 600, 1000), "0%");  // never negative
    EXPECT_EQ(DownloadPercentText(false, 600, 0, 1000), "0%");
    EXPECT_EQ(DownloadPercentText(true, 600, 0, 99), "0%");      // a hundredth of 0
    EXPECT_EQ(UploadPercentText(true, 2000, 1000), "100%");
    EXPECT_EQ(UploadPercentText(true, 999, 1000), "99%");
}

TEST(ClientInfo, SectionsStopAddingWhenFewerThanFortyBytesAreLeft) {
    CMyClientInfoSection s;
    EXPECT_EQ(s.Text(), "None.\r");
    const std::string entry(100, 'e');
    for (int i = 0; i < 10; ++i) s.AddEntry(entry);
    // 5 whole entries (500 bytes) leave 12: the sixth is not added.
    EXPECT_EQ(s.Text().size(), 500u);
    CMyClientInfoSection t;
    t.AddEntry(std::string(470, 'a'));
    t.AddEntry(std::string(100, 'b'));  // 42 left: added, cut at the section's end
    EXPECT_EQ(t.Text().size(), 512u);
    t.AddEntry("c");
    EXPECT_EQ(t.Text().size(), 512u);

    SMyClientInfoSections all;
    all.AddTransfer(SMyClientInfoSections::kFolderUploads, "A very long folder name indeed", "100%", 2048);
    all.AddWaiting("f", false);
    EXPECT_EQ(all.sections[SMyClientInfoSections::kFolderUploads].Text(), "A very long folder na 100% 2K\r");
    EXPECT_EQ(all.sections[SMyClientInfoSections::kWaitingDownloads].Text(), "f                     (File)\r");
}

TEST(ClientInfo, WholeTextIsCutTo1024Bytes) {
    SMyClientInfoSections s;
    for (auto& section : s.sections)
        for (int i = 0; i < 20; ++i) section.AddEntry(std::string(30, 'x') + "\r");
    const std::string text = UMyClientInfo::BuildText("n", "a", "l", std::string(100, '9'), s);
    EXPECT_EQ(text.size(), 1024u);
    EXPECT_EQ(text.substr(0, 42), "Nickname:   n\rName:       a\rAccount:    l\r");
    // The address is cut to 63 characters.
    EXPECT_NE(text.find("Address:    " + std::string(63, '9') + "\r"), std::string::npos);
    EXPECT_EQ(text.find(std::string(64, '9')), std::string::npos);
}

}  // namespace
}  // namespace kx
