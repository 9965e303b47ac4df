// The start-up check of the head administrator account without a console: where the password
// comes from (terminal, environment), what is created or repaired, the log line when there is
// no password, and the real server serving on in every case.
#include "accounts/admin_check.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>

#include "accounts/admin_account.h"
#include "framework/file_util.h"
#include "support/server_process.h"
#include "support/test_client.h"

namespace kx {
namespace {

using namespace UAdminCheck;

class AdminCheck : public ::testing::Test {
protected:
    void SetUp() override {
        UFileUtil::EnsureDirectory(dir / "Users");
        store = std::make_unique<CMyAccountStore>(dir / "Users", dir / "Trash");
        io.log = [this](const std::string& text) { logged.push_back(text); };
    }
    // A terminal on which the operator types `answers` in turn (nullopt: no answer in time).
    void UseTerminal(std::deque<std::optional<std::string>> answers) {
        typed = std::move(answers);
        io.askPassword = [this](const std::string& prompt) {
            prompts.push_back(prompt);
            std::optional<std::string> a;
            if (!typed.empty()) {
                a = typed.front();
                typed.pop_front();
            }
            return a;
        };
        io.tellTerminal = [this](const std::string& text) { told.push_back(text); };
    }
    void MakeAccount(const std::string& password, const SMyUserAccess& access) {
        SMyUserDataFile rec;
        rec.SetLogin("admin");
        rec.SetName("Head");
        if (!password.empty()) rec.SetPassword(UUserData::EncodeText(password));
        rec.access = access;
        store->NewUser(rec);
    }

    test::TempDir dir;
    std::unique_ptr<CMyAccountStore> store;
    SAdminCheckIO io;
    std::vector<std::string> logged, prompts, told;
    std::deque<std::optional<std::string>> typed;
};

TEST_F(AdminCheck, MissingAccountIsCreatedFromTheEnvironmentPassword) {
    io.envPassword = "s3cret";
    EXPECT_EQ(CheckAdminAccount(*store, "admin", io), EAdminCheckResult::kCreated);
    const SMyUserDataFile rec = store->GetUser("admin");
    EXPECT_EQ(rec.GetName(), "administrator");
    EXPECT_EQ(rec.GetPassword(), UUserData::EncodeText("s3cret"));
    EXPECT_EQ(rec.access, kFullAccessPrivs);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0], "Head administrator account \"admin\" created.");
}

TEST_F(AdminCheck, WithoutTerminalOrEnvironmentOneLineSaysHowAndNothingIsCreated) {
    EXPECT_EQ(CheckAdminAccount(*store, "admin", io), EAdminCheckResult::kNotSet);
    EXPECT_FALSE(store->ExistsUser("admin"));
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0], "No head administrator account \"admin\": to create it, start the server from a terminal "
                         "or set KESTRIX_ADMIN_PASSWORD.");

    logged.clear();
    MakeAccount("", SMyUserAccess{});
    EXPECT_EQ(CheckAdminAccount(*store, "admin", io), EAdminCheckResult::kNotSet);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0], "The head administrator account \"admin\" has no password: to set one, start the server "
                         "from a terminal or set KESTRIX_ADMIN_PASSWORD.");

    // Under systemd the advice names the service's environment file and the console by hand.
    logged.clear();
    io.underService = true;
    EXPECT_EQ(CheckAdminAccount(*store, "admin", io), EAdminCheckResult::kNotSet);
    ASSERT_EQ(logged.size(), 2u);
    EXPECT_EQ(logged[0], "The head administrator account \"admin\" has no password: to set one, put "
                         "KESTRIX_ADMIN_PASSWORD=... into /etc/default/kestrix (read by the service) and restart the service,");
    EXPECT_EQ(logged[1], "or stop the service and type \"admin reset PASSWORD\" on the console of kestrix-server "
                         "run by hand as the service's user.");
}

TEST_F(AdminCheck, AccountWithoutPasswordGetsOneAndKeepsItsPrivileges) {
    const SMyUserAccess some = SMyUserAccess::FromBits({myAcc_ReadChat});
    MakeAccount("", some);
    io.envPassword = "pw";
    EXPECT_EQ(CheckAdminAccount(*store, "admin", io), EAdminCheckResult::kPasswordSet);
    const SMyUserDataFile rec = store->GetUser("admin");
    EXPECT_EQ(rec.GetPassword(), UUserData::EncodeText("pw"));
    EXPECT_EQ(rec.access, some);
    EXPECT_EQ(rec.GetName(), "Head");
}

TEST_F(AdminCheck, AccountWithPasswordIsLeftAlone) {
    MakeAccount("old", SMyUserAccess{});
    const auto before = UFileUtil::ReadWholeFile(dir / "Users/admin/UserData");
    io.envPassword = "new";
    UseTerminal({std::string("typed")});
    EXPECT_EQ(CheckAdminAccount(*store, "admin", io), EAdminCheckResult::kReady);
    EXPECT_EQ(UFileUtil::ReadWholeFile(dir / "Users/admin/UserData"), before);
    EXPECT_TRUE(prompts.empty());
    EXPECT_TRUE(logged.empty());
}

TEST_F(AdminCheck, TerminalIsAskedFirstAndAgainWhileThePasswordIsTooLong) {
    io.envPassword = "from-env";
    UseTerminal({std::string(32, 'x'), std::string(31, 'y')});
    EXPECT_EQ(CheckAdminAccount(*store, "admin", io), EAdminCheckResult::kCreated);
    EXPECT_EQ(prompts.size(), 2u);
    EXPECT_EQ(prompts[0], "Password for the head administrator account \"admin\": ");
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0], "Please select a password that is no longer than 31 characters.");
    EXPECT_EQ(store->GetUser("admin").GetPassword(), UUserData::EncodeText(std::string(31, 'y')));
}

TEST_F(AdminCheck, NoAnswerOnTheTerminalLeavesTheServerWithoutTheAccount) {
    for (auto answer : {std::optional<std::string>{}, std::optional<std::string>{""}}) {
        logged.clear();
        UseTerminal({answer});
        EXPECT_EQ(CheckAdminAccount(*store, "admin", io), EAdminCheckResult::kNotSet);
        EXPECT_FALSE(store->ExistsUser("admin"));
        EXPECT_EQ(logged.size(), 1u);
    }
}

TEST_F(AdminCheck, TooLongEnvironmentPasswordIsRefusedWithTheReason) {
    io.envPassword = std::string(32, 'z');
    EXPECT_EQ(CheckAdminAccount(*store, "admin", io), EAdminCheckResult::kNotSet);
    EXPECT_FALSE(store->ExistsUser("admin"));
    ASSERT_EQ(logged.size(), 2u);
    EXPECT_EQ(logged[0], "KESTRIX_ADMIN_PASSWORD: Please select a password that is no longer than 31 characters.");
}

TEST_F(AdminCheck, UnusableLoginFailsAndSaysSo) {
    io.envPassword = "pw";
    EXPECT_EQ(CheckAdminAccount(*store, "../up", io), EAdminCheckResult::kFailed);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0], "The head administrator account \"../up\" could not be created.");
}

TEST(AdminCheckProcess, ProcessSourcesCanBeSwitchedOff) {
    ::setenv(kAdminPasswordEnv, "pw", 1);
    SetProcessSourcesAllowed(false);
    SAdminCheckIO io = ProcessIO([](const std::string&) {});
    EXPECT_FALSE(io.envPassword.has_value());
    EXPECT_FALSE(io.askPassword);
    SetProcessSourcesAllowed(true);
    io = ProcessIO([](const std::string&) {});
    EXPECT_EQ(io.envPassword, "pw");
    ::unsetenv(kAdminPasswordEnv);
    io = ProcessIO([](const std::string&) {});
    EXPECT_FALSE(io.envPassword.has_value());
    SetProcessSourcesAllowed(false);  // as the in-process server tests expect
}

// The real binary, standard input not a terminal.
TEST(AdminCheckServer, EnvironmentPasswordCreatesTheAccountAndTheServerServes) {
    test::TempDir dir;
    test::ServerProcess server(dir.Path());
    ::setenv(kAdminPasswordEnv, "letmein", 1);
    const bool started = server.Start();
    ::unsetenv(kAdminPasswordEnv);
    ASSERT_TRUE(started) << server.StdOut() << server.StdErr();
    CMyAccountStore store(dir / "Users", dir / "Trash");
    const SMyUserDataFile rec = store.GetUser("admin");
    EXPECT_EQ(rec.GetPassword(), UUserData::EncodeText("letmein"));
    EXPECT_EQ(rec.access, kFullAccessPrivs);
}

TEST(AdminCheckServer, WithoutPasswordTheServerLogsHowAndServesOn) {
    test::TempDir dir;
    test::ServerProcess server(dir.Path());
    ::unsetenv(kAdminPasswordEnv);
    ASSERT_TRUE(server.Start()) << server.StdOut() << server.StdErr();
    test::CTestClient c;
    ASSERT_TRUE(c.Connect(server.Port()));
    ASSERT_EQ(c.Establish(), 0u);
    // A login is answered (refused: there is no such account).
    const std::uint32_t id = c.SendRequest(107, test::CFieldListBuilder().Add(105, UUserData::Complement("admin")).Build());
    auto reply = c.ReadReplyTo(id);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->hdr.error, 1u);
    EXPECT_NE(server.StdOut().find("No head administrator account \"admin\": to create it, start the server from a "
                                   "terminal or set KESTRIX_ADMIN_PASSWORD."),
              std::string::npos)
        << server.StdOut();
    EXPECT_FALSE(CMyAccountStore(dir / "Users", dir / "Trash").ExistsUser("admin"));
}

}  // namespace
}  // namespace kx
