// The account-list requests: reading every account at once, and applying a client's edited list
// entry by entry (create, rename, modify, delete).
#include <string>
#include <vector>

#include "accounts/account_request_fields.h"
#include "accounts/login_name.h"
#include "protocol/transaction_types.h"
#include "server/application.h"

namespace kx {

namespace {

// What one entry of an account-list change came to.
struct SMyEntryOutcome {
    bool failed = false;               // a file operation failed: the batch ends in an error
    const char* refusal = nullptr;     // a privilege the entry needs is missing: the batch stops
};

constexpr SMyEntryOutcome kEntryFailed{true, nullptr};

SMyEntryOutcome Refused(const char* text) { return SMyEntryOutcome{false, text}; }

// The entry is an account's edited fields plus, for an account that existed when the client read
// the list, its login at that time (kFieldData). An entry with neither name nor login deletes
// that account; the logins of deleted accounts are added to `deleted` (lower case) so that their
// connected clients can be sent away once the requester has its answer.
SMyEntryOutcome ApplyAccountEntry(CMyApplication& app, SMyClient* client, TFieldDataObj entry,
                                  std::vector<std::string>& deleted) {
    CMyAccountStore& accounts = app.Accounts();
    const SMyUserAccess& own = client->access;
    const std::string prevLogin =
        UAccountRequest::LoginFromField(entry, kFieldData, kAccountEntryPrevLoginMax, true);
    SMyUserDataFile rec = UAccountRequest::RecordFromFields(entry);

    if (rec.nameSize == 0 && rec.loginSize == 0) {
        if (prevLogin.empty()) return kEntryFailed;
        if (!own.HasPriv(myAcc_DeleteUsers)) return Refused(kNoDeleteAccountsText);
        try {
            accounts.DeleteUser(prevLogin);
        } catch (const SError&) {
            return kEntryFailed;
        }
        // Connected clients hold their login in lower case, whatever case the list carried.
        deleted.push_back(UAccountLogin::LowerCase(prevLogin));
        app.LogAccountChange(client, EMyAccountAction::Delete, prevLogin);
        return {};
    }

    const std::string login = rec.GetLogin();
    const std::string logLogin = UAccountLogin::LowerCase(login);

    if (!prevLogin.empty() && UAccountRequest::KeepsPassword(entry)) {
        try {
            UAccountRequest::CopyKeptPassword(rec, accounts.GetUser(prevLogin));
        } catch (const SError&) {
            return kEntryFailed;
        }
    }

    if (!prevLogin.empty() && !UAccountLogin::EqualsIgnoringCase(prevLogin, login)) {
        if (!own.HasPriv(myAcc_ModifyUsers)) return Refused(kNoModifyAccountsText);
        try {
            accounts.RenameUser(prevLogin, rec);
        } catch (const SError&) {
            // The entry is abandoned: going on would write this account's record into whatever
            // account already holds the new login, or create a second account beside the first.
            return kEntryFailed;
        }
        // The folder has its new name: clients still holding the old login resolve their roots
        // again now, in case the write below fails and never brings them the new login.
        app.ResolveAccountRoots(UAccountLogin::LowerCase(prevLogin));
        app.LogAccountChange(client, EMyAccountAction::Rename, UAccountRequest::RenameAffected(prevLogin, logLogin));
    }

    if (!accounts.ExistsUser(rec)) {
        if (!own.HasPriv(myAcc_CreateUsers)) return Refused(kNoCreateAccountsText);
        if (UUserAccess::ExceedsCreator(rec.access, own)) return Refused(kMoreAccessText);
        try {
            accounts.NewUser(rec);
        } catch (const SError&) {
            return kEntryFailed;
        }
        app.LogAccountChange(client, EMyAccountAction::Create, logLogin);
        return {};
    }

    if (prevLogin.empty()) {
        // A new entry whose login is taken: the client is told, and the rest of the list goes on.
        const std::string text = UAccountRequest::AlreadyExistsText(login);
        StFieldData notice;
        UFieldData::AddString(notice, kFieldData, text);
        UFieldData::AddInteger(notice, kFieldChatOptions, 1);
        client->tpt->SendTransaction(kTranServerMsg, notice);
        return {};
    }

    if (!own.HasPriv(myAcc_ModifyUsers)) return Refused(kNoModifyAccountsText);
    try {
        accounts.SetUser(rec);
    } catch (const SError&) {
        return kEntryFailed;
    }
    app.SetOnlineAccount(UAccountLogin::LowerCase(prevLogin), rec);
    app.LogAccountChange(client, EMyAccountAction::Modify, logLogin);
    return {};
}

}  // namespace

void CMyApplication::ProcessTran_GetUserList(SMyClient*, TTransactSessionObj* session, TFieldDataObj) {
    const auto names = mAccounts.GetUserFolderList();
    if (!names) {
        SendErrorMsg(session, kCannotReadListText);
        return;
    }
    StFieldData reply;
    for (const std::string& name : *names) {
        if (UFieldData::GetFieldCount(reply) >= UFieldData::kMaxFieldCount) break;
        SMyUserDataFile rec;
        try {
            rec = mAccounts.GetUser(name);
        } catch (const SError&) {
            continue;  // an unreadable account is left out; the others are still listed
        }
        StFieldData entry;
        UAccountRequest::AddAccountFields(entry, rec, name);
        UFieldData::AddFieldList(reply, kFieldData, entry);
    }
    session->SendData(reply);
}

void CMyApplication::ProcessTran_SetUserList(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields) {
    const SMyUserAccess& own = client->access;
    if (!own.HasPriv(myAcc_CreateUsers) && !own.HasPriv(myAcc_ModifyUsers) && !own.HasPriv(myAcc_DeleteUsers)) {
        SendErrorMsg(session, kNoModifyAccountsText);
        return;
    }
    const std::uint16_t count = UFieldData::GetFieldCount(fields);
    if (count == 0) {
        SendErrorMsg(session, kErrorSavingListText);
        return;
    }
    // Entries are applied one at a time and stay applied whatever happens to later ones.
    // Clients of deleted accounts are disconnected after the reply: the requester may be one of
    // them, and a disconnecting connection sends nothing more.
    bool batchFailed = false;
    std::vector<std::string> deleted;
    for (std::uint16_t index = 1; index <= count; ++index) {
        std::uint8_t buf[kAccountEntryMax];
        const std::uint32_t size = UFieldData::GetFieldByIndex(fields, index, buf, kAccountEntryMax);
        if (size == 0) {
            batchFailed = true;
            continue;
        }
        StFieldData entry(UFieldData::NewFromBytes(buf, size));
        const SMyEntryOutcome outcome = ApplyAccountEntry(*this, client, entry, deleted);
        if (outcome.refusal) {
            SendErrorMsg(session, outcome.refusal);
            for (const std::string& login : deleted) DeleteOnlineAccount(login, client);
            return;
        }
        if (outcome.failed) batchFailed = true;
    }
    if (batchFailed)
        SendErrorMsg(session, kErrorSavingListText);
    else
        SendNoError(session);
    for (const std::string& login : deleted) DeleteOnlineAccount(login, client);
}

}  // namespace kx
