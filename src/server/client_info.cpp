// kTranGetClientInfoText: what an administrator learns about another connected user, including
// the user's transfers in progress and waiting.
#include "protocol/transaction_types.h"
#include "server/application.h"

namespace kx {

void CMyApplication::AddClientTransfers(const SMyClient* target, SMyClientInfoSections& s) const {
    using UMyClientInfo::DownloadPercentText;
    using UMyClientInfo::UploadPercentText;
    auto owns = [&](SMyClient* client, std::uint16_t clientID) { return TransferClient(client, clientID) == target; };
    for (const auto& d : mTransfers.mDownloadList) {
        if (!owns(d->client, d->clientID)) continue;
        const std::uint32_t unsent = d->tpt ? d->tpt->GetUnsentSize() : 0;
        s.AddTransfer(SMyClientInfoSections::kFileDownloads, d->name,
                      DownloadPercentText(d->tpt != nullptr, d->bytesSent, unsent, d->size), d->size);
    }
    for (const auto& d : mTransfers.mDownloadFldrList) {
        if (!owns(d->client, d->clientID)) continue;
        const std::uint32_t unsent = d->tpt ? d->tpt->GetUnsentSize() : 0;
        s.AddTransfer(SMyClientInfoSections::kFolderDownloads, d->name,
                      DownloadPercentText(d->tpt != nullptr, d->totalBytesSent, unsent, d->totalSize), d->totalSize);
    }
    for (const auto& u : mTransfers.mUploadList) {
        if (!owns(u->client, u->clientID)) continue;
        s.AddTransfer(SMyClientInfoSections::kFileUploads, u->name,
                      UploadPercentText(u->tpt != nullptr, u->rcvdSize, u->totalSize), u->totalSize);
    }
    for (const auto& u : mTransfers.mUploadFldrList) {
        if (!owns(u->client, u->clientID)) continue;
        s.AddTransfer(SMyClientInfoSections::kFolderUploads, u->name,
                      UploadPercentText(u->tpt != nullptr, u->rcvdSize, u->totalSize), u->totalSize);
    }
    for (const auto& w : mTransfers.mDownloadWaitingList) {
        if (w->bFileFolder && w->pDownloadData && owns(w->pDownloadData->client, w->pDownloadData->clientID))
            s.AddWaiting(w->pDownloadData->name, false);
        else if (!w->bFileFolder && w->pDownloadFldrData &&
                 owns(w->pDownloadFldrData->client, w->pDownloadFldrData->clientID))
            s.AddWaiting(w->pDownloadFldrData->name, true);
    }
}

void CMyApplication::ProcessTran_GetClientInfoText(SMyClient*, TTransactSessionObj* session,
                                                   TFieldDataObj fields) {
    SMyClient* target = GetClientByID(static_cast<std::uint16_t>(UFieldData::GetInteger(fields, kFieldUserID)));
    if (!target)
        return SendErrorMsg(session, "Cannot get info for the specified client because it does not exist.");

    SMyClientInfoSections sections;
    AddClientTransfers(target, sections);
    const std::string text = UMyClientInfo::BuildText(target->userName, target->accountName, target->accountLogin,
                                                      IPAddressText(target->ipAddress), sections);
    StFieldData reply;
    UFieldData::AddString(reply, kFieldData, text);
    const std::string& name = target->userName;
    UFieldData::AddField(reply, kFieldUserName, name.data(), static_cast<std::uint32_t>(name.size()));
    session->SendData(reply);
}

}  // namespace kx
