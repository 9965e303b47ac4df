// The head administrator check: at start-up, and again whenever the operator names another
// head administrator.
#include "accounts/admin_check.h"
#include "framework/event_loop.h"
#include "server/application.h"

namespace kx {

namespace {
constexpr std::uint32_t kMsgCheckAdmin = 1109;
}  // namespace

void CMyApplication::CheckAdminAccount() {
    const UAdminCheck::SAdminCheckIO io = UAdminCheck::ProcessIO([this](const std::string& text) { Log(text); });
    UAdminCheck::CheckAdminAccount(mAccounts, mAdminLogin, io);
}

void CMyApplication::PostAdminCheck() {
    CEventLoop::Get().PostMessage(kMsgCheckAdmin, this, [this](std::uint32_t, void*) {
        // The console reads the terminal now and the loop must not wait for anyone: a missing
        // password can come from the environment only, else the log says how to set one.
        UAdminCheck::SAdminCheckIO io = UAdminCheck::ProcessIO([this](const std::string& text) { Log(text); });
        io.askPassword = nullptr;
        io.tellTerminal = nullptr;
        UAdminCheck::CheckAdminAccount(mAccounts, mAdminLogin, io);
    });
}

}  // namespace kx
