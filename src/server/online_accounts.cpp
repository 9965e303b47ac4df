// Keeping connected clients in step with their account when it is changed or deleted through
// the server, and the files and news roots each client keeps from its account.
#include "accounts/online_account.h"
#include "framework/file_util.h"
#include "framework/text_format.h"
#include "protocol/transaction_types.h"
#include "server/application.h"

namespace kx {

void CMyApplication::ResolveClientRoots(SMyClient* client) const {
    std::optional<std::string> account;
    if (!client->accountLogin.empty()) account = mAccounts.GetAccountFolder(client->accountLogin);
    const auto root = [&](const char* name) {
        if (account) {
            std::string own = *account + "/" + name;
            if (UFileUtil::IsDirectory(own)) return own;
        }
        return ProgramPath(name);
    };
    client->filesRoot = root("Files");
    client->newsRoot = root("News");
}

void CMyApplication::ResolveAccountRoots(const std::string& login) {
    for (const auto& client : mClientList)
        if (client->accountLogin == login) ResolveClientRoots(client.get());
}

void CMyApplication::SetOnlineAccount(const std::string& login, const SMyUserDataFile& rec) {
    for (const auto& owned : mClientList) {
        SMyClient* client = owned.get();
        if (client->accountLogin != login) continue;
        SMyOnlineAccountState state{client->access, client->accountName, client->accountLogin, client->userName,
                                    client->realName};
        const SMyOnlineAccountChange change = UpdateOnlineAccount(state, rec);
        client->access = state.access;
        client->accountName = state.accountName;
        client->accountLogin = state.accountLogin;
        ResolveClientRoots(client);
        // A client still between login and agreement has not been announced: it takes its names
        // and privileges from the record when it agrees, so nothing is sent to it or about it.
        if (!client->hasLoggedIn) continue;
        client->userName = state.userName;
        if (change.accessChanged) {
            StFieldData fields;
            UFieldData::AddField(fields, kFieldUserAccess, client->access.bytes.data(),
                                 static_cast<std::uint32_t>(client->access.bytes.size()));
            client->tpt->SendTransaction(kTranUserAccess, fields);
        }
        if (change.changed) BroadcastClientUserInfo(client);
    }
}

void CMyApplication::DeleteOnlineAccount(const std::string& login, SMyClient* acting) {
    bool any = false;
    for (const auto& owned : mClientList) {
        SMyClient* client = owned.get();
        if (client->accountLogin != login) continue;
        StFieldData msg;
        UFieldData::AddString(msg, kFieldData, kAccountDeletedText);
        client->tpt->SendTransaction(kTranServerMsg, msg);
        client->tpt->StartDisconnect();
        any = true;
        const std::string who = client->userName.empty() ? IPAddressText(client->ipAddress) : client->userName;
        const std::string text = UText::FormatString("Disconnect \xD2%s\xD3", who);
        if (acting) Log(acting, text);
        else Log(text);
    }
    if (any) PostPass();
}

}  // namespace kx
