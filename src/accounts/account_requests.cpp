// The single-account administration requests: create, delete, read and modify one account, and
// the log lines every account change writes. The list requests are in account_requests_list.cpp.
#include "accounts/account_request_fields.h"
#include "accounts/login_name.h"
#include "protocol/transaction_types.h"
#include "server/application.h"

namespace kx {

namespace {

using TFailureText = std::string (*)(std::string_view login);

// Runs one store operation of an account request. On failure the request is answered: a missing
// account (or, when creating, a taken login) with its own text, any other failure with `cannot`
// and the error's description. False when it failed.
template <class TOperation>
bool StoreStep(CMyApplication& app, TTransactSessionObj* session, const std::string& login, TFailureText cannot,
               TOperation operation, bool creating = false) {
    try {
        operation();
        return true;
    } catch (const SError& err) {
        const bool notFound = err.type == kErrClassFileSys && (err.id == kErrItemNotFound || err.id == kErrFolderNotFound);
        const bool taken = err.type == kErrClassFileSys && err.id == kErrAlreadyExists;
        if (creating && taken) app.SendErrorMsg(session, UAccountRequest::AlreadyExistsText(login));
        else if (!creating && notFound) app.SendErrorMsg(session, UAccountRequest::NoAccountText(login));
        else app.SendErrorMsg(session, err, cannot(login));
        return false;
    }
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
    const SMyUserDataFile rec = UAccountRequest::RecordFromFields(fields);
    if (UUserAccess::ExceedsCreator(rec.access, client->access)) {
        SendErrorMsg(session, kMoreAccessText);
        return;
    }
    const std::string login = rec.GetLogin();
    if (!StoreStep(*this, session, login, UAccountRequest::CannotCreateText, [&] { mAccounts.NewUser(rec); }, true))
        return;
    SendNoError(session);
    LogAccountChange(client, EMyAccountAction::Create, login);
}

void CMyApplication::ProcessTran_DeleteUser(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields) {
    const std::string login = UAccountLogin::LowerCase(
        UAccountRequest::LoginFromField(fields, kFieldUserLogin, kAccountRequestLoginMax, true));
    // An empty login names no account. Taken as a success it would "disconnect the clients of
    // account ''", which are all the clients that have not logged in yet.
    if (login.empty()) {
        SendErrorMsg(session, UAccountRequest::NoAccountText(login));
        return;
    }
    if (!StoreStep(*this, session, login, UAccountRequest::CannotDeleteText, [&] { mAccounts.DeleteUser(login); }))
        return;
    SendNoError(session);
    DeleteOnlineAccount(login, client);
    LogAccountChange(client, EMyAccountAction::Delete, login);
}

void CMyApplication::ProcessTran_GetUser(SMyClient*, TTransactSessionObj* session, TFieldDataObj fields) {
    // This one request carries its login plain.
    const std::string login = UAccountRequest::LoginFromField(fields, kFieldUserLogin, kAccountRequestLoginMax, false);
    SMyUserDataFile rec;
    if (!StoreStep(*this, session, login, UAccountRequest::CannotReadText, [&] { rec = mAccounts.GetUser(login); }))
        return;
    StFieldData reply;
    UAccountRequest::AddAccountFields(reply, rec, login);
    session->SendData(reply);
}

void CMyApplication::ProcessTran_SetUser(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields) {
    SMyUserDataFile rec = UAccountRequest::RecordFromFields(fields);
    const std::string login = UAccountLogin::LowerCase(rec.GetLogin());
    if (UAccountRequest::KeepsPassword(fields) &&
        !StoreStep(*this, session, login, UAccountRequest::CannotReadText,
                   [&] { UAccountRequest::CopyKeptPassword(rec, mAccounts.GetUser(login)); }))
        return;
    if (!StoreStep(*this, session, login, UAccountRequest::CannotModifyText, [&] { mAccounts.SetUser(rec); })) return;
    SendNoError(session);
    SetOnlineAccount(login, rec);
    LogAccountChange(client, EMyAccountAction::Modify, login);
}

}  // namespace kx
