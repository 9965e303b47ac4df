// The start-up check of the head administrator account, for a server that has no console
// window. When the account is missing or has no password, the password comes from the terminal
// the server was started from (when standard input is one; typed without echo, and given up
// after a while), else from the environment variable KESTRIX_ADMIN_PASSWORD; with neither, one
// log line tells the operator how to create it and the server starts without it. The check
// never waits for an operator who is not there.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "accounts/account_store.h"

namespace kx::UAdminCheck {

inline constexpr char kAdminPasswordEnv[] = "KESTRIX_ADMIN_PASSWORD";
inline constexpr int kPromptTimeoutMs = 120000;  // per prompt
inline constexpr int kPromptAttempts = 3;
// What the packaged service reads its environment from.
inline constexpr char kServiceEnvironmentFile[] = "/etc/default/kestrix";

// Where a password can come from, and where the outcome is told.
struct SAdminCheckIO {
    // Asks on the terminal (prompt without line end); nullopt when there is no terminal, the
    // operator gave nothing (an empty line) or did not answer in time.
    std::function<std::optional<std::string>(const std::string& prompt)> askPassword;
    // Tells the operator on the terminal (a too-long password); may be empty.
    std::function<void(const std::string& text)> tellTerminal;
    // The environment's password; nullopt when unset or empty.
    std::optional<std::string> envPassword;
    // One line of the activity log.
    std::function<void(const std::string& text)> log;
    // Run as a systemd service (no terminal, no console): the advice names the service's
    // environment file and the console of a server started by hand instead.
    bool underService = false;
};

enum class EAdminCheckResult {
    kReady,        // the account exists and has a password
    kCreated,      // created with the password given
    kPasswordSet,  // existed without a password; now has one
    kNotSet,       // no password was given: logged how to create it
    kFailed,       // a password was given but the account could not be written
};

// Checks the account `adminLogin` and acts as described above.
EAdminCheckResult CheckAdminAccount(CMyAccountStore& store, std::string_view adminLogin, const SAdminCheckIO& io);

// The IO of this process: the terminal when standard input is one (and terminal use is
// allowed), the environment variable when set (and allowed), the given log.
SAdminCheckIO ProcessIO(std::function<void(const std::string& text)> log);

// Test runs turn the terminal and the environment off, so that a developer's terminal or
// environment never changes what an in-process server does. Process-wide.
void SetProcessSourcesAllowed(bool allowed);

}  // namespace kx::UAdminCheck
