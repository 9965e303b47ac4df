// Applying a rewritten account record to one connected client's copy of it.
#include "accounts/online_account.h"

#include "accounts/login_name.h"

namespace kx {

SMyOnlineAccountChange UpdateOnlineAccount(SMyOnlineAccountState& client, const SMyUserDataFile& rec) {
    SMyOnlineAccountChange result;
    if (client.access != rec.access) {
        client.access = rec.access;
        result.accessChanged = result.changed = true;
    }
    const std::string name = rec.GetName().substr(0, kOnlineTextMax);
    client.accountName = name;
    // Kept in lower case like every connected login, so that later changes and deletions of the
    // account still find this client.
    client.accountLogin = UAccountLogin::LowerCase(rec.GetLogin().substr(0, kOnlineTextMax));
    const std::string& shown = client.access.HasPriv(myAcc_AnyName) ? client.realName : name;
    if (client.userName != shown) {
        client.userName = shown;
        result.changed = true;
    }
    return result;
}

}  // namespace kx
