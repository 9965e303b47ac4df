// Creating, repairing and checking the head admin account.
#include "accounts/admin_account.h"

#include "framework/error.h"

namespace kx::UAdminAccount {

void PrepareRecord(SMyUserDataFile& rec, bool isNew, std::string_view login, std::string_view password,
                   bool resetPrivs) {
    rec.version = kUserDataVersion;
    if (!password.empty()) rec.SetPassword(UUserData::EncodeText(password.substr(0, kAdminPasswordMax)));
    if (isNew) {
        rec.SetName(kAdminDisplayName);
        rec.SetLogin(login);
    }
    if (isNew || resetPrivs) rec.access = kFullAccessPrivs;
}

bool SetAdmin(CMyAccountStore& store, std::string_view login, std::string_view password, bool resetPrivs) {
    if (login.empty()) return false;
    try {
        SMyUserDataFile rec{};
        bool isNew = false;
        try {
            rec = store.GetUser(login);
        } catch (const SError&) {
            // A damaged record lands here too; NewUser then finds the folder and refuses, so
            // nothing of it is overwritten.
            isNew = true;
            rec = SMyUserDataFile{};
        }
        PrepareRecord(rec, isNew, login, password, resetPrivs);
        if (isNew)
            store.NewUser(rec);
        else
            store.SetUser(rec);
        return true;
    } catch (const SError&) {
        return false;
    } catch (const std::exception&) {
        return false;
    }
}

EAdminState CheckAdminAccount(const CMyAccountStore& store, std::string_view adminLogin) {
    try {
        return store.GetUser(adminLogin).passwordSize == 0 ? EAdminState::kNoPassword : EAdminState::kReady;
    } catch (const SError&) {
        return EAdminState::kMissing;
    }
}

bool LacksFullAccess(const SMyUserDataFile& rec) { return !rec.access.HasAll(kFullAccessPrivs); }

}  // namespace kx::UAdminAccount
