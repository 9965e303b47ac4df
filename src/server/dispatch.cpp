// The dispatch table (one handler per transaction type, built from the master table) and the
// reply helpers every handler uses. A type without a handler is answered as unknown.
#include <algorithm>

#include "protocol/transaction_types.h"
#include "server/application.h"

namespace kx {

namespace {
constexpr std::size_t kMaxErrorText = 255;
constexpr std::size_t kMaxErrorTextWithDetail = 1024;
}  // namespace

void CMyApplication::BuildDispatchTable() {
    mDispatch.assign(kMaxTranType + 1, &CMyApplication::ProcessTran_Unknown);
    for (const auto& [type, handler] : HandlerTable()) {
        if (type <= kMaxTranType) mDispatch[type] = handler;
    }
}

void CMyApplication::Dispatch(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields) {
    const std::uint16_t type = session->GetReceiveType();
    TranHandler handler = type < mDispatch.size() ? mDispatch[type] : &CMyApplication::ProcessTran_Unknown;
    (this->*handler)(client, session, fields);
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

const std::vector<std::pair<std::uint16_t, CMyApplication::TranHandler>>& CMyApplication::HandlerTable() {
    // {type, handler}, grouped by subsystem.
    static const std::vector<std::pair<std::uint16_t, TranHandler>> table = {
        // ==== Login, agreement and presence ====
        {kTranLogin, &CMyApplication::ProcessTran_Login},
        {kTranAgreed, &CMyApplication::ProcessTran_Agreed},
        {kTranGetUserNameList, &CMyApplication::ProcessTran_GetUserNameList},
        {kTranSetClientUserInfo, &CMyApplication::ProcessTran_SetClientUserInfo},
        {kTranGetClientInfoText, &CMyApplication::ProcessTran_GetClientInfoText},
        {kTranDisconnectUser, &CMyApplication::ProcessTran_DisconnectUser},
        {kTranKeepConnectionAlive, &CMyApplication::ProcessTran_KeepConnectionAlive},

        // ==== Chat rooms and instant messages ====
        {kTranChatSend, &CMyApplication::ProcessTran_ChatSend},
        {kTranSendInstantMsg, &CMyApplication::ProcessTran_SendInstantMsg},
        {kTranUserBroadcast, &CMyApplication::ProcessTran_UserBroadcast},
        {kTranInviteNewChat, &CMyApplication::ProcessTran_InviteNewChat},
        {kTranInviteToChat, &CMyApplication::ProcessTran_InviteToChat},
        {kTranRejectChatInvite, &CMyApplication::ProcessTran_RejectChatInvite},
        {kTranJoinChat, &CMyApplication::ProcessTran_JoinChat},
        {kTranLeaveChat, &CMyApplication::ProcessTran_LeaveChat},
        {kTranSetChatSubject, &CMyApplication::ProcessTran_SetChatSubject},

        // ==== Message board ====
        {kTranGetMsgs, &CMyApplication::ProcessTran_GetMsgs},
        {kTranPostMsg, &CMyApplication::ProcessTran_PostMsg},

        // ==== Account administration ====
        {kTranGetUserList, &CMyApplication::ProcessTran_GetUserList},
        {kTranSetUserList, &CMyApplication::ProcessTran_SetUserList},
        {kTranNewUser, &CMyApplication::ProcessTran_NewUser},
        {kTranDeleteUser, &CMyApplication::ProcessTran_DeleteUser},
        {kTranGetUser, &CMyApplication::ProcessTran_GetUser},
        {kTranSetUser, &CMyApplication::ProcessTran_SetUser},

        // ==== File browsing and management ====
        {kTranGetFileNameList, &CMyApplication::ProcessTran_GetFileNameList},
        {kTranDeleteFile, &CMyApplication::ProcessTran_DeleteFile},
        {kTranNewFolder, &CMyApplication::ProcessTran_NewFolder},
        {kTranGetFileInfo, &CMyApplication::ProcessTran_GetFileInfo},
        {kTranSetFileInfo, &CMyApplication::ProcessTran_SetFileInfo},
        {kTranMoveFile, &CMyApplication::ProcessTran_MoveFile},
        {kTranMakeFileAlias, &CMyApplication::ProcessTran_MakeFileAlias},

        // ==== Transfers: connections, downloads, uploads, folders ====
        {kTranDownloadFile, &CMyApplication::ProcessTran_DownloadFile},
        {kTranUploadFile, &CMyApplication::ProcessTran_UploadFile},
        {kTranDownloadBanner, &CMyApplication::ProcessTran_DownloadBanner},
        {kTranKillDownload, &CMyApplication::ProcessTran_KillDownload},
        {kTranDownloadFldr, &CMyApplication::ProcessTran_DownloadFldr},
        {kTranUploadFldr, &CMyApplication::ProcessTran_UploadFldr},

        // ==== News ====
        {kTranGetNewsCatNameList, &CMyApplication::ProcessTran_GetNewsCatNameList},
        {kTranGetNewsArtNameList, &CMyApplication::ProcessTran_GetNewsArtNameList},
        {kTranDelNewsFldrItem, &CMyApplication::ProcessTran_DelNewsFldrItem},
        {kTranNewNewsFldr, &CMyApplication::ProcessTran_NewNewsFldr},
        {kTranNewNewsCat, &CMyApplication::ProcessTran_NewNewsCat},
        {kTranGetNewsArtData, &CMyApplication::ProcessTran_GetNewsArtData},
        {kTranPostNewsArt, &CMyApplication::ProcessTran_PostNewsArt},
        {kTranDelNewsArt, &CMyApplication::ProcessTran_DelNewsArt},

    };
    return table;
}

}  // namespace kx
