// The single-account administration requests: create, delete, read and modify one account, and
// the log lines every account change writes. The list requests are in account_requests_list.cpp.
#include "accounts/account_request_fields.h"
#include "accounts/login_name.h"
#include "protocol/transaction_types.h"
#include "server/application.h"

namespace kx {

namespace {

// Not-found answers get their own text; every other failure is shown with its description.
bool IsAccountNotFound(const SError& err) {
    return err.type == kErrClassFileSys && (err.id == kErrItemNotFound || err.id == kErrFolderNotFound);
}

}  // namespace

void CMyApplication::LogAccountChange(const SMyClient* client, EMyAccountAction action, const std::string& affected) {
    // A rename's affected column is already the quoted pair; the others quote one login.
    const std::string text = action == EMyAccountAction::Rename ? UAccountRequest::RenameLogText(affected)
                           : action == EMyAccountAction::Create ? UAccountRequest::CreateLogText(affected)
                           : action == EMyAccountAction::Delete ? UAccountRequest::DeleteLogText(affected)
                                                                : UAccountRequest::ModifyLogText(affected);
    const std::string address = IPAddressText(client->ipAddress);
    try {
        mLogger.LogAccountChange(SMyLogPeer{address, client->accountLogin, client->userName}, action, affected);
    } catch (const SError& err) {
        Error(err);
    }
    Log(client, text);
}

void CMyApplication::ProcessTran_NewUser(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields) {
    if (!client->access.HasPriv(myAcc_CreateUsers)) {
        SendErrorMsg(session, kNoCreateAccountsText);
        return;
    }
    const SMyUserDataFile rec = UAccountRequest::RecordFromFields(fields);
    if (UUserAccess::ExceedsCreator(rec.access, client->access)) {
        SendErrorMsg(session, kMoreAccessText);
        return;
    }
    const std::string login = rec.GetLogin();
    try {
        mAccounts.NewUser(rec);
    } catch (const SError& err) {
        if (err.type == kErrClassFileSys && err.id == kErrAlreadyExists)
            SendErrorMsg(session, UAccountRequest::AlreadyExistsText(login));
        else
            SendErrorMsg(session, err, UAccountRequest::CannotCreateText(login));
        return;
    }
    SendNoError(session);
    LogAccountChange(client, EMyAccountAction::Create, login);
}

void CMyApplication::ProcessTran_DeleteUser(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields) {
    if (!client->access.HasPriv(myAcc_DeleteUsers)) {
        SendErrorMsg(session, kNoDeleteAccountsText);
        return;
    }
    const std::string login = UAccountLogin::LowerCase(
        UAccountRequest::LoginFromField(fields, kFieldUserLogin, kAccountRequestLoginMax, true));
    // An empty login names no account. Taken as a success it would "disconnect the clients of
    // account ''", which are all the clients that have not logged in yet.
    if (login.empty()) {
        SendErrorMsg(session, UAccountRequest::NoAccountText(login));
        return;
    }
    try {
        mAccounts.DeleteUser(login);
    } catch (const SError& err) {
        if (IsAccountNotFound(err))
            SendErrorMsg(session, UAccountRequest::NoAccountText(login));
        else
            SendErrorMsg(session, err, UAccountRequest::CannotDeleteText(login));
        return;
    }
    SendNoError(session);
    DeleteOnlineAccount(login, client);
    LogAccountChange(client, EMyAccountAction::Delete, login);
}

void CMyApplication::ProcessTran_GetUser(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields) {
    if (!client->access.HasPriv(myAcc_OpenUsers)) {
        SendErrorMsg(session, kNoGetAccountText);
        return;
    }
    // This one request carries its login plain.
    const std::string login = UAccountRequest::LoginFromField(fields, kFieldUserLogin, kAccountRequestLoginMax, false);
    SMyUserDataFile rec;
    try {
        rec = mAccounts.GetUser(login);
    } catch (const SError& err) {
        if (IsAccountNotFound(err))
            SendErrorMsg(session, UAccountRequest::NoAccountText(login));
        else
            SendErrorMsg(session, err, UAccountRequest::CannotReadText(login));
        return;
    }
    StFieldData reply;
    UAccountRequest::AddAccountFields(reply, rec, login);
    session->SendData(reply);
}

void CMyApplication::ProcessTran_SetUser(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields) {
    if (!client->access.HasPriv(myAcc_ModifyUsers)) {
        SendErrorMsg(session, kNoModifyAccountsText);
        return;
    }
    SMyUserDataFile rec = UAccountRequest::RecordFromFields(fields);
    const std::string login = UAccountLogin::LowerCase(rec.GetLogin());
    if (UAccountRequest::KeepsPassword(fields)) {
        try {
            UAccountRequest::CopyKeptPassword(rec, mAccounts.GetUser(login));
        } catch (const SError& err) {
            if (IsAccountNotFound(err))
                SendErrorMsg(session, UAccountRequest::NoAccountText(login));
            else
                SendErrorMsg(session, err, UAccountRequest::CannotReadText(login));
            return;
        }
    }
    try {
        mAccounts.SetUser(rec);
    } catch (const SError& err) {
        if (IsAccountNotFound(err))
            SendErrorMsg(session, UAccountRequest::NoAccountText(login));
        else
            SendErrorMsg(session, err, UAccountRequest::CannotModifyText(login));
        return;
    }
    SendNoError(session);
    SetOnlineAccount(login, rec);
    LogAccountChange(client, EMyAccountAction::Modify, login);
}

}  // namespace kx
