// The dispatch table (one row per transaction type: its handler and, for a request refused at
// once without a privilege, the privilege and its refusal text) and the reply helpers every
// handler uses. A type without a handler is answered as unknown. Handlers whose privilege depends
// on what the request names (the item's kind, the rules that run first) check it themselves.
#include <algorithm>

#include "accounts/account_request_fields.h"
#include "protocol/transaction_types.h"
#include "server/application.h"

namespace kx {

namespace {
constexpr std::size_t kMaxErrorText = 255;
constexpr std::size_t kMaxErrorTextWithDetail = 1024;
}  // namespace

void CMyApplication::BuildDispatchTable() {
    mDispatch.assign(kMaxTranType + 1, SMyTranRow{0, &CMyApplication::ProcessTran_Unknown});
    for (const SMyTranRow& row : HandlerTable()) {
        if (row.type <= kMaxTranType) mDispatch[row.type] = row;
    }
}

void CMyApplication::Dispatch(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields) {
    const std::uint16_t type = session->GetReceiveType();
    static const SMyTranRow kUnknown{0, &CMyApplication::ProcessTran_Unknown};
    const SMyTranRow& row = type < mDispatch.size() ? mDispatch[type] : kUnknown;
    if (row.priv != kNoPrivGate && !client->access.HasPriv(row.priv)) return SendErrorMsg(session, row.refusal);
    (this->*row.handler)(client, session, fields);
}

void CMyApplication::SendNoError(TTransactSessionObj* session) {
    StFieldData reply;
    session->SendData(reply);
}

void CMyApplication::SendErrorMsg(TTransactSessionObj* session, const std::string& text) {
    StFieldData reply;
    const std::string cut = text.substr(0, kMaxErrorText);
    UFieldData::AddField(reply, kFieldErrorText, cut.data(), static_cast<std::uint32_t>(cut.size()));
    session->SetSendError(1);
    session->SendData(reply);
}

void CMyApplication::SendErrorMsg(TTransactSessionObj* session, const SError& err, const std::string& text) {
    std::string full = text.substr(0, kMaxErrorText);
    full += '\r';
    full += UError::GetMessage(err);
    full += '\r';
    full += UError::GetDetail(err);
    if (full.size() > kMaxErrorTextWithDetail) full.resize(kMaxErrorTextWithDetail);
    StFieldData reply;
    UFieldData::AddField(reply, kFieldErrorText, full.data(), static_cast<std::uint32_t>(full.size()));
    session->SetSendError(1);
    session->SendData(reply);
}

void CMyApplication::ProcessTran_Unknown(SMyClient* client, TTransactSessionObj* session, TFieldDataObj) {
    SendErrorMsg(session, "Unknown transaction type!");
    Log(client, "Received unknown transaction type!");
}

}  // namespace kx

namespace kx {

const std::vector<CMyApplication::SMyTranRow>& CMyApplication::HandlerTable() {
    using A = CMyApplication;
    // {type, handler[, privilege, refusal]}, grouped by subsystem.
    static const std::vector<SMyTranRow> table = {
        // ==== Login, agreement and presence ====
        {kTranLogin, &A::ProcessTran_Login},
        {kTranAgreed, &A::ProcessTran_Agreed},
        {kTranGetUserNameList, &A::ProcessTran_GetUserNameList},
        {kTranSetClientUserInfo, &A::ProcessTran_SetClientUserInfo},
        {kTranGetClientInfoText, &A::ProcessTran_GetClientInfoText, myAcc_GetClientInfo,
         "You are not allowed to get client information."},
        {kTranDisconnectUser, &A::ProcessTran_DisconnectUser, myAcc_DisconnectUsers,
         "You are not allowed to disconnect users."},
        {kTranKeepConnectionAlive, &A::ProcessTran_KeepConnectionAlive},

        // ==== Chat rooms and instant messages (their flood rules come before the privilege) ====
        {kTranChatSend, &A::ProcessTran_ChatSend},
        {kTranSendInstantMsg, &A::ProcessTran_SendInstantMsg},
        {kTranUserBroadcast, &A::ProcessTran_UserBroadcast, myAcc_Broadcast, "You are not allowed to broadcast."},
        {kTranInviteNewChat, &A::ProcessTran_InviteNewChat},
        {kTranInviteToChat, &A::ProcessTran_InviteToChat},
        {kTranRejectChatInvite, &A::ProcessTran_RejectChatInvite},
        {kTranJoinChat, &A::ProcessTran_JoinChat},
        {kTranLeaveChat, &A::ProcessTran_LeaveChat},
        {kTranSetChatSubject, &A::ProcessTran_SetChatSubject},

        // ==== Message board ====
        {kTranGetMsgs, &A::ProcessTran_GetMsgs, myAcc_ReadNews,
         "You are not allowed to read news from the message board."},
        {kTranPostMsg, &A::ProcessTran_PostMsg, myAcc_PostNews, "You are not allowed to post news to the message board."},

        // ==== Account administration (a list change needs any one of three privileges) ====
        {kTranGetUserList, &A::ProcessTran_GetUserList, myAcc_OpenUsers, kNoAdministerText},
        {kTranSetUserList, &A::ProcessTran_SetUserList},
        {kTranNewUser, &A::ProcessTran_NewUser, myAcc_CreateUsers, kNoCreateAccountsText},
        {kTranDeleteUser, &A::ProcessTran_DeleteUser, myAcc_DeleteUsers, kNoDeleteAccountsText},
        {kTranGetUser, &A::ProcessTran_GetUser, myAcc_OpenUsers, kNoGetAccountText},
        {kTranSetUser, &A::ProcessTran_SetUser, myAcc_ModifyUsers, kNoModifyAccountsText},

        // ==== File browsing and management (delete, move and set info: by the item's kind) ====
        {kTranGetFileNameList, &A::ProcessTran_GetFileNameList},
        {kTranDeleteFile, &A::ProcessTran_DeleteFile},
        {kTranNewFolder, &A::ProcessTran_NewFolder, myAcc_CreateFolders, "You are not allowed to create folders."},
        {kTranGetFileInfo, &A::ProcessTran_GetFileInfo},
        {kTranSetFileInfo, &A::ProcessTran_SetFileInfo},
        {kTranMoveFile, &A::ProcessTran_MoveFile},
        {kTranMakeFileAlias, &A::ProcessTran_MakeFileAlias, myAcc_MakeAliases, "You are not allowed to make aliases."},

        // ==== Transfers: connections, downloads, uploads, folders ====
        {kTranDownloadFile, &A::ProcessTran_DownloadFile, myAcc_DownloadFiles, "You are not allowed to download files."},
        {kTranUploadFile, &A::ProcessTran_UploadFile, myAcc_UploadFiles, "You are not allowed to upload files."},
        {kTranDownloadBanner, &A::ProcessTran_DownloadBanner},
        {kTranKillDownload, &A::ProcessTran_KillDownload},
        {kTranDownloadFldr, &A::ProcessTran_DownloadFldr, myAcc_DownloadFolders,
         "You are not allowed to download folders."},
        {kTranUploadFldr, &A::ProcessTran_UploadFldr, myAcc_UploadFolders, "You are not allowed to upload folders."},

        // ==== News (deleting a bundle or category: by the item's kind) ====
        {kTranGetNewsCatNameList, &A::ProcessTran_GetNewsCatNameList},
        {kTranGetNewsArtNameList, &A::ProcessTran_GetNewsArtNameList},
        {kTranDelNewsFldrItem, &A::ProcessTran_DelNewsFldrItem},
        {kTranNewNewsFldr, &A::ProcessTran_NewNewsFldr, myAcc_CreateNewsBundles,
         "You are not allowed to create news bundles."},
        {kTranNewNewsCat, &A::ProcessTran_NewNewsCat, myAcc_CreateCategories,
         "You are not allowed to create news categories."},
        {kTranGetNewsArtData, &A::ProcessTran_GetNewsArtData, myAcc_ReadNews, "You are not allowed to read articles."},
        {kTranPostNewsArt, &A::ProcessTran_PostNewsArt, myAcc_PostNews, "You are not allowed to post articles."},
        {kTranDelNewsArt, &A::ProcessTran_DelNewsArt, myAcc_DeleteArticles, "You are not allowed to delete articles."},
    };
    return table;
}

}  // namespace kx
