// The download limits and the waiting queue (positions sent with kTranClientDownloadInfo),
// cancelling a download (kTranKillDownload), and banner downloads.
#include <algorithm>

#include "files/transfer_internal.h"
#include "framework/byte_codec.h"
#include "framework/clock.h"
#include "server/application.h"

namespace kx {

namespace {

std::uint32_t Excess(std::uint32_t count, std::uint32_t limit) { return count >= limit ? count - limit + 1 : 0; }

// The fields the queue needs of a waiting record, whichever kind of download it holds.
struct SWaitView {
    TTransport* tpt = nullptr;
    SMyClient* client = nullptr;
    std::uint16_t clientID = 0;
    std::uint32_t refNum = 0;
    std::uint32_t* startSecs = nullptr;
    std::uint32_t* wakeSecs = nullptr;
};

template <class T>
SWaitView ViewOf(T& d) {
    return SWaitView{&d.tpt, d.client, d.clientID, d.refNum, &d.startSecs, &d.wakeSecs};
}

SWaitView ViewOf(SMyDownloadWaitingData& w) {
    return w.bFileFolder ? ViewOf(*w.pDownloadData) : ViewOf(*w.pDownloadFldrData);
}

}  // namespace

std::uint32_t CMyApplication::GetClientDownloadsNumber(std::uint16_t userID) const {
    auto own = [userID](const auto& d) { return d->clientID == userID; };
    const auto& files = mTransfers.mDownloadList;
    const auto& folders = mTransfers.mDownloadFldrList;
    return static_cast<std::uint32_t>(std::count_if(files.begin(), files.end(), own) +
                                      std::count_if(folders.begin(), folders.end(), own));
}

std::uint32_t CMyApplication::GetDownloadExcess(std::uint16_t userID) const {
    const std::uint32_t maxAll = mOptions.nMaxDownloads ? mOptions.nMaxDownloads : kDefaultMaxDownloads;
    const std::uint32_t maxOwn = mOptions.nMaxDownloadsClient ? mOptions.nMaxDownloadsClient : kDefaultMaxDownloadsClient;
    const auto active = static_cast<std::uint32_t>(mTransfers.mDownloadList.size() + mTransfers.mDownloadFldrList.size());
    return std::max(Excess(active, maxAll), Excess(GetClientDownloadsNumber(userID), maxOwn));
}

void CMyApplication::SendClientDownloadInfo(SMyClient* client, std::uint32_t refNum, std::uint32_t position) {
    if (!client || !client->tpt || !client->tpt->IsEstablished()) return;
    StFieldData fields;
    UMyTransfer::AddRefNum(fields, refNum);
    UFieldData::AddInteger(fields, kFieldWaitingCount, static_cast<std::int32_t>(position));
    client->tpt->SendTransaction(kTranClientDownloadInfo, fields);
}

void CMyApplication::AcceptDownload(std::unique_ptr<SMyDownloadWaitingData> w, std::uint32_t excess, SMyClient* client,
                                    TTransactSessionObj* session, TFieldDataObj reply, const std::string& logText,
                                    std::string_view name) {
    const std::uint32_t refNum = ViewOf(*w).refNum;
    std::uint32_t position = 0;
    if (excess == 0) {
        if (w->bFileFolder) mTransfers.mDownloadList.push_back(std::move(w->pDownloadData));
        else mTransfers.mDownloadFldrList.push_back(std::move(w->pDownloadFldrData));
    } else {
        position = excess + static_cast<std::uint32_t>(mTransfers.mDownloadWaitingList.size());
        w->nWaitingCount = position;
        mTransfers.mDownloadWaitingList.push_back(std::move(w));
    }

    UMyTransfer::AddRefNum(reply, refNum);
    if (position != 0) UFieldData::AddInteger(reply, kFieldWaitingCount, static_cast<std::int32_t>(position));
    session->SendData(reply);

    mStats.DownloadStarted();
    Log(client, logText);
    UpdateDisplay();
    UMyTransfer::LogDownloadFile(mLogger, client, name);
    WakeTransferPass();  // a connection may already be waiting for this record
}

void CMyApplication::DeleteDownloadWaiting(std::unique_ptr<SMyDownloadWaitingData> w) {
    // Closes the queued record's connection, if any, and releases its file.
    w.reset();
}

void CMyApplication::ProcessDownloadsWaiting() {
    if (mTransfers.mDownloadWaitingList.empty()) return;
    const std::uint32_t now = UClock::UpSeconds();
    bool started = false;
    std::uint32_t kept = 0;
    for (std::size_t i = 0; i < mTransfers.mDownloadWaitingList.size();) {
        const SWaitView d = ViewOf(*mTransfers.mDownloadWaitingList[i]);
        SMyClient* client = TransferClient(d.client, d.clientID);
        if (!client || (*d.tpt && !(*d.tpt)->IsConnected())) {
            const std::uint32_t address = TransferLogAddress(*d.tpt, client);
            std::unique_ptr<SMyDownloadWaitingData> w = std::move(mTransfers.mDownloadWaitingList[i]);
            mTransfers.mDownloadWaitingList.erase(mTransfers.mDownloadWaitingList.begin() + static_cast<std::ptrdiff_t>(i));
            Log(address, "Download connection closed");
            DeleteDownloadWaiting(std::move(w));
            UpdateDisplay();
            continue;
        }
        // A connection that arrived early waits with its record; keep its close visible.
        // A folder download's client says nothing before its first item is asked for by
        // itself, so its bytes are left for the folder step.
        if (*d.tpt && mTransfers.mDownloadWaitingList[i]->bFileFolder) (*d.tpt)->ReceiveBuffer();
        const std::uint32_t excess = GetDownloadExcess(client->userID);
        if (excess == 0) {
            SendClientDownloadInfo(client, d.refNum, 0);
            std::unique_ptr<SMyDownloadWaitingData> w = std::move(mTransfers.mDownloadWaitingList[i]);
            mTransfers.mDownloadWaitingList.erase(mTransfers.mDownloadWaitingList.begin() + static_cast<std::ptrdiff_t>(i));
            *d.startSecs = now;
            *d.wakeSecs = 0;
            if (w->bFileFolder) mTransfers.mDownloadList.push_back(std::move(w->pDownloadData));
            else mTransfers.mDownloadFldrList.push_back(std::move(w->pDownloadFldrData));
            UpdateDisplay();
            started = true;
            continue;
        }
        const std::uint32_t position = excess + kept;
        if (position != mTransfers.mDownloadWaitingList[i]->nWaitingCount) {
            mTransfers.mDownloadWaitingList[i]->nWaitingCount = position;
            SendClientDownloadInfo(client, d.refNum, position);
        }
        ++kept;
        ++i;
    }
    if (started) WakeTransferPass();
}

bool CMyApplication::KillDownloadByRefNum(SMyClient* client, std::uint32_t refNum) {
    for (std::size_t i = 0; i < mTransfers.mDownloadWaitingList.size(); ++i) {
        const SWaitView d = ViewOf(*mTransfers.mDownloadWaitingList[i]);
        if (d.refNum != refNum) continue;
        if (d.client != client || d.clientID != client->userID) return false;
        const std::uint32_t address = TransferLogAddress(*d.tpt, client);
        std::unique_ptr<SMyDownloadWaitingData> w = std::move(mTransfers.mDownloadWaitingList[i]);
        mTransfers.mDownloadWaitingList.erase(mTransfers.mDownloadWaitingList.begin() + static_cast<std::ptrdiff_t>(i));
        Log(address, "Download connection closed");
        DeleteDownloadWaiting(std::move(w));
        UpdateDisplay();
        WakeTransferPass();  // positions behind it move up
        return true;
    }
    // A running file or folder download: 1 killed, 0 someone else's, -1 not in `list`.
    const auto killRunning = [&](auto& list) {
        for (std::size_t i = 0; i < list.size(); ++i) {
            const auto* d = list[i].get();
            if (d->refNum != refNum) continue;
            if (d->client != client || d->clientID != client->userID) return 0;
            const std::uint32_t address = TransferLogAddress(d->tpt, client);
            list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
            Log(address, "Download connection closed");
            UpdateDisplay();
            WakeTransferPass();  // a queued download may start
            return 1;
        }
        return -1;
    };
    int killed = killRunning(mTransfers.mDownloadList);
    if (killed < 0) killed = killRunning(mTransfers.mDownloadFldrList);
    return killed > 0;
}

void CMyApplication::ProcessTran_KillDownload(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields) {
    std::uint8_t b[4] = {0, 0, 0, 0};
    UFieldData::GetField(fields, kFieldRefNum, b, sizeof b);
    const std::uint32_t refNum = GetLE32(b);
    if (refNum != 0) KillDownloadByRefNum(client, refNum);
    SendNoError(session);
}

void CMyApplication::ProcessTran_DownloadBanner(SMyClient* client, TTransactSessionObj* session, TFieldDataObj) {
    const std::uint32_t refNum = NewRefNum() | 1;
    // Without a banner there is nothing to serve: the reply says so (size 0) and no record is
    // kept that would wait for a connection for ever.
    if (mAgreement.mServerBanner && !mAgreement.mServerBanner->empty()) {
        auto b = std::make_unique<SMyDownloadBannerData>();
        b->refNum = refNum;
        b->startSecs = UClock::UpSeconds();
        b->client = client;
        b->clientID = client->userID;
        mTransfers.mDownloadBannerList.push_back(std::move(b));
    }
    StFieldData reply;
    const auto& banner = mAgreement.mServerBanner;
    UFieldData::AddInteger(reply, kFieldTransferSize, static_cast<std::int32_t>(banner ? banner->size() : 0));
    UMyTransfer::AddRefNum(reply, refNum);
    session->SendData(reply);
}

void CMyApplication::ProcessBannerDownloads() {
    if (mTransfers.mDownloadBannerList.empty()) return;
    const std::uint32_t now = UClock::UpSeconds();
    for (std::size_t i = 0; i < mTransfers.mDownloadBannerList.size();) {
        SMyDownloadBannerData* b = mTransfers.mDownloadBannerList[i].get();
        SMyClient* client = TransferClient(b->client, b->clientID);
        if (!client || (b->tpt && !b->tpt->IsConnected())) {
            const std::uint32_t address = TransferLogAddress(b->tpt, client);
            mTransfers.mDownloadBannerList.erase(mTransfers.mDownloadBannerList.begin() + static_cast<std::ptrdiff_t>(i));
            Log(address, "Download connection closed");
            continue;
        }
        if (!b->tpt) {
            if (now - b->startSecs > kTransferConnectWait) {
                const std::uint32_t address = TransferLogAddress(b->tpt, client);
                mTransfers.mDownloadBannerList.erase(mTransfers.mDownloadBannerList.begin() + static_cast<std::ptrdiff_t>(i));
                Log(address, "Download banner aborted (no response)");
                continue;
            }
            mTransfers.mWakeups.File(b->startSecs + kTransferConnectWait + 1, now, &b->wakeSecs);
            ++i;
            continue;
        }
        b->tpt->ReceiveBuffer();
        if (b->bytesSent == 0 && mAgreement.mServerBanner && !mAgreement.mServerBanner->empty()) {
            b->tpt->Send(mAgreement.mServerBanner->data(), static_cast<std::uint32_t>(mAgreement.mServerBanner->size()));
            b->bytesSent = static_cast<std::uint32_t>(mAgreement.mServerBanner->size());
            mStats.transferBytesSent += b->bytesSent;
            b->tpt->NotifyReadyToSend();
            Log(b->tpt->GetRemoteIPAddress().AsHostOrder(), "Download banner complete");
        }
        ++i;
    }
}

}  // namespace kx
