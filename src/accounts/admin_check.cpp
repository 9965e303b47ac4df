// The head administrator check at start-up without a console window: terminal prompt (no
// echo, bounded wait), environment variable, or a log line.
#include "accounts/admin_check.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "accounts/admin_account.h"

namespace kx::UAdminCheck {

namespace {
std::atomic<bool> gSourcesAllowed{true};
constexpr std::size_t kTypedMax = 255;  // bytes read from one typed line; the rest is discarded

// Reads one line from standard input with echo off, waiting at most kPromptTimeoutMs for each
// keystroke. Nullopt on time-out, end of input or error.
std::optional<std::string> ReadTerminalLine(const std::string& prompt) {
    std::fputs(prompt.c_str(), stderr);
    std::fflush(stderr);
    termios saved{};
    const bool haveTermios = tcgetattr(STDIN_FILENO, &saved) == 0;
    if (haveTermios) {
        termios quiet = saved;
        quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string line;
    bool ok = false;
    for (;;) {
        pollfd p{STDIN_FILENO, POLLIN, 0};
        const int r = poll(&p, 1, kPromptTimeoutMs);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        char c = 0;
        const ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (c == '\n' || c == '\r') {
            ok = true;
            break;
        }
        if (line.size() < kTypedMax) line.push_back(c);
    }
    if (haveTermios) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::fputs("\n", stderr);
    if (!ok) return std::nullopt;
    return line;
}

// A password from the terminal (asked again while too long) or from the environment.
std::optional<std::string> ObtainPassword(const std::string& login, const SAdminCheckIO& io) {
    if (io.askPassword) {
        const std::string prompt = "Password for the head administrator account \"" + login + "\": ";
        for (int attempt = 0; attempt < kPromptAttempts; ++attempt) {
            std::optional<std::string> typed = io.askPassword(prompt);
            if (!typed || typed->empty()) return std::nullopt;  // the operator cancelled
            if (typed->size() <= UAdminAccount::kAdminPasswordMax) return typed;
            if (io.tellTerminal) io.tellTerminal(UAdminAccount::kPasswordTooLongText);
        }
        return std::nullopt;
    }
    if (io.envPassword && !io.envPassword->empty()) {
        if (io.envPassword->size() <= UAdminAccount::kAdminPasswordMax) return io.envPassword;
        io.log(std::string(kAdminPasswordEnv) + ": " + UAdminAccount::kPasswordTooLongText);
    }
    return std::nullopt;
}
}  // namespace

EAdminCheckResult CheckAdminAccount(CMyAccountStore& store, std::string_view adminLogin, const SAdminCheckIO& io) {
    const std::string login(adminLogin);
    const UAdminAccount::EAdminState state = UAdminAccount::CheckAdminAccount(store, login);
    if (state == UAdminAccount::EAdminState::kReady) return EAdminCheckResult::kReady;
    const bool missing = state == UAdminAccount::EAdminState::kMissing;

    const std::optional<std::string> password = ObtainPassword(login, io);
    if (!password) {
        const std::string start = std::string(missing ? "No head administrator account \"" : "The head administrator account \"") +
                                  login + (missing ? "\": to create it, " : "\" has no password: to set one, ");
        if (!io.underService) {
            io.log(start + "start the server from a terminal or set " + kAdminPasswordEnv + ".");
        } else {
            // Two lines: a log line holds about 200 characters.
            io.log(start + "put " + kAdminPasswordEnv + "=... into " + kServiceEnvironmentFile +
                   " (read by the service) and restart the service,");
            io.log("or stop the service and type \"" + (missing ? "admin create " + login + " PASSWORD" : std::string("admin reset PASSWORD")) +
                   "\" on the console of kestrix-server run by hand as the service's user.");
        }
        return EAdminCheckResult::kNotSet;
    }
    if (!UAdminAccount::SetAdmin(store, login, *password, missing)) {
        io.log("The head administrator account \"" + login + "\" could not be " +
               (missing ? "created." : "given a password."));
        return EAdminCheckResult::kFailed;
    }
    io.log(missing ? "Head administrator account \"" + login + "\" created."
                   : "Password of the head administrator account \"" + login + "\" set.");
    return missing ? EAdminCheckResult::kCreated : EAdminCheckResult::kPasswordSet;
}

SAdminCheckIO ProcessIO(std::function<void(const std::string& text)> log) {
    SAdminCheckIO io;
    io.log = std::move(log);
    if (!gSourcesAllowed.load()) return io;
    if (isatty(STDIN_FILENO) == 1) {
        io.askPassword = ReadTerminalLine;
        io.tellTerminal = [](const std::string& text) {
            std::fputs((text + "\n").c_str(), stderr);
            std::fflush(stderr);
        };
    }
    if (const char* env = std::getenv(kAdminPasswordEnv); env && *env) io.envPassword = std::string(env);
    // systemd gives every service it starts an invocation ID.
    io.underService = std::getenv("INVOCATION_ID") != nullptr && isatty(STDIN_FILENO) != 1;
    return io;
}

void SetProcessSourcesAllowed(bool allowed) { gSourcesAllowed.store(allowed); }

}  // namespace kx::UAdminCheck
