// Logins as folder names: which are usable as they stand, case folding of ASCII letters only,
// and the operator's repair that always yields a usable name.
#include "accounts/login_name.h"

#include <gtest/gtest.h>

namespace kx {
namespace {

using namespace UAccountLogin;

TEST(AccountLogin, SafeFolderNames) {
    for (std::string_view ok : {"bob", "Bob Smith", "a.b", "guest", "x-1_2", "\xE9t\xE9", "-lead"})
        EXPECT_TRUE(IsSafeFolderName(ok)) << ok;
    EXPECT_TRUE(IsSafeFolderName(std::string(255, 'a')));
    for (std::string_view bad : {"", ".", "..", ".hidden", "a/b", "/", "a\\b", "a:b", "end.", "ctl\x1F",
                                 "del\x7F", "cr\r"})
        EXPECT_FALSE(IsSafeFolderName(bad)) << testing::PrintToString(std::string(bad));
    EXPECT_FALSE(IsSafeFolderName(std::string("a\0b", 3)));
    EXPECT_FALSE(IsSafeFolderName(std::string(256, 'a')));
}

TEST(AccountLogin, CaseFoldingTouchesAsciiLettersOnly) {
    EXPECT_EQ(LowerCase("AbC-Z@[\xC0\xE9"), "abc-z@[\xC0\xE9");
    EXPECT_TRUE(EqualsIgnoringCase("ADMIN", "admin"));
    EXPECT_FALSE(EqualsIgnoringCase("\xC0", "\xE0"));  // accented capitals are not folded
    EXPECT_FALSE(EqualsIgnoringCase("admin", "admin "));
    EXPECT_FALSE(EqualsIgnoringCase("@", "`"));       // 0x40 and 0x60 differ by the case bit only
}

TEST(AccountLogin, RepairReplacesWhatCannotNameAFolder) {
    EXPECT_EQ(MakeValidLogin("admin"), "admin");
    EXPECT_EQ(MakeValidLogin(".admin"), "-admin");
    EXPECT_EQ(MakeValidLogin(".."), "--");
    EXPECT_EQ(MakeValidLogin("a/b:c\\d"), "a-b-c-d");
    EXPECT_EQ(MakeValidLogin("q\"*<>?|"), "q------");
    EXPECT_EQ(MakeValidLogin("ab. ."), "ab---");
    EXPECT_EQ(MakeValidLogin("x\x01\x7F\x81\x9E"), "x----");
    EXPECT_EQ(MakeValidLogin(std::string(40, 'a')), std::string(31, 'a'));
    for (std::string_view hostile : {"..", ".", "/", "a/../b", ".hidden", "\x01", "end.", "a:b"})
        EXPECT_TRUE(IsSafeFolderName(MakeValidLogin(hostile))) << hostile;
}

}  // namespace
}  // namespace kx
