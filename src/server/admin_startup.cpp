// The start-up step that makes sure the head administrator account can be used.
#include "accounts/admin_check.h"
#include "server/application.h"

namespace kx {

void CMyApplication::CheckAdminAccount() {
    const UAdminCheck::SAdminCheckIO io = UAdminCheck::ProcessIO([this](const std::string& text) { Log(text); });
    UAdminCheck::CheckAdminAccount(mAccounts, mAdminLogin, io);
}

}  // namespace kx
