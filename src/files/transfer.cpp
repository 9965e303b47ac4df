// Transfer connections: intake from the transfer listeners (plain, tunnel, TLS, web), the 16-byte
// "KXXF" header that names a transfer record by reference number, the look-ups by reference
// number, the order of the transfer steps in the processing pass, the turn loop the file and
// folder passes share (with the transfers' presence and time rules), the wake-ups of those rules,
// and the reset that discards every transfer.
#include <algorithm>
#include <cstring>
#include <optional>

#include "files/transfer_internal.h"
#include "framework/byte_codec.h"
#include "framework/clock.h"
#include "server/application.h"

namespace kx {

SMyTransferEstab::SMyTransferEstab(TTransport t) : tpt(std::move(t)), acceptSecs(UClock::UpSeconds()) {}

void CMyTransferWakeups::File(std::uint32_t dueSecs, std::uint32_t now, std::uint32_t* filed) {
    if (*filed != 0 && *filed > now && *filed <= dueSecs) return;  // the pending one comes first
    mTimes.insert(dueSecs);
    *filed = dueSecs;
    if (!mTimer.IsRunning()) mTimer.Start(1000, [this] { OnTimer(); }, 1000);
}

void CMyTransferWakeups::OnTimer() {
    const std::uint32_t now = UClock::UpSeconds();
    bool due = false;
    while (!mTimes.empty() && *mTimes.begin() <= now) {
        mTimes.erase(mTimes.begin());
        due = true;
    }
    if (due) mWake();
}

void UMyTransfer::LogDownloadFile(CMyLog& log, const SMyClient* client, std::string_view name) {
    log.LogDownload(SMyLogPeer{IPAddressText(client->ipAddress), client->accountLogin, client->userName}, name);
}

void UMyTransfer::LogUploadFile(CMyLog& log, const SMyClient* client, std::string_view name) {
    log.LogUpload(SMyLogPeer{IPAddressText(client->ipAddress), client->accountLogin, client->userName}, name);
}

void CMyApplication::RunTransferPasses() {
    for (void (CMyApplication::*step)() :
         {&CMyApplication::ProcessTransferEstab, &CMyApplication::ProcessBannerDownloads,
          &CMyApplication::ProcessDownloads, &CMyApplication::ProcessFldrDownloads,
          &CMyApplication::ProcessUploads, &CMyApplication::ProcessFldrUploads,
          &CMyApplication::ProcessDownloadsWaiting}) {
        try {
            (this->*step)();
        } catch (const SError& err) {
            Error(err);
        }
    }
}

void CMyApplication::WakeTransferPass() { PostPass(); }

SMyClient* CMyApplication::TransferClient(SMyClient* client, std::uint16_t clientID) const {
    return client != nullptr && GetClientByID(clientID) == client ? client : nullptr;
}

std::uint32_t CMyApplication::TransferLogAddress(const TTransport& tpt, const SMyClient* client) const {
    if (tpt) return tpt->GetRemoteIPAddress().AsHostOrder();
    return client ? client->ipAddress : 0;
}

void CMyApplication::ProcessTransferEstab() {
    const std::uint32_t now = UClock::UpSeconds();
    const SMyListeners& l = mListeners;
    for (TTransportObj* listener : {l.mTransferListenTpt.get(), l.mTransferListenHttpTpt.get(),
                                    l.mTransferListenTlsTpt.get(), l.mTransferListenWebTpt.get()}) {
        if (!listener) continue;
        for (;;) {
            SInternetAddress addr{};
            std::uint32_t size = sizeof addr;
            TTransport tpt = listener->Accept(&addr, &size);
            if (!tpt) break;
            const SIPAddress ip = tpt->GetRemoteIPAddress();
            if (mIsQuitting || mBans.IsPermBanned(ip) || mBans.IsTempBanned(ip)) {
                tpt->Disconnect();
                continue;  // disposed here
            }
            tpt->SetMessageHandler([this](std::uint32_t code, void* object) { HandleMessage(code, object); });
            mStats.Accepted(listener == l.mTransferListenTpt.get()      ? EMyListener::kTransfer
                            : listener == l.mTransferListenTlsTpt.get() ? EMyListener::kTlsTransfer
                            : listener == l.mTransferListenWebTpt.get() ? EMyListener::kWebTransfer
                                                                        : EMyListener::kTunnelTransfer);
            mTransfers.mTransferEstabList.emplace_back(std::move(tpt));
        }
    }

    auto& estab = mTransfers.mTransferEstabList;
    for (std::size_t i = 0; i < estab.size();) {
        SMyTransferEstab& e = estab[i];
        bool drop = false;
        // Read before the close is honoured: the header, the data and the close may arrive together.
        if (e.tpt->IsReadyToReceive(kTransferHeaderSize)) {
            std::uint8_t header[kTransferHeaderSize];
            const bool whole = e.tpt->Receive(header, sizeof header) == sizeof header;
            if (whole && AttachTransferConnection(e.tpt, header)) {
                estab.erase(estab.begin() + static_cast<std::ptrdiff_t>(i));
                WakeTransferPass();  // the record's step serves it in this pass or the next
                continue;
            }
            Log(e.tpt->GetRemoteIPAddress().AsHostOrder(), "Transfer connection establish failed!");
            drop = true;
        } else if (!e.tpt->IsConnected()) {
            drop = true;  // closed before it said anything
        } else if (now - e.acceptSecs > kTransferHeaderWait) {
            drop = true;
        } else {
            mTransfers.mWakeups.File(e.acceptSecs + kTransferHeaderWait + 1, now, &e.wakeSecs);
        }
        if (drop) {
            estab.erase(estab.begin() + static_cast<std::ptrdiff_t>(i));
            continue;
        }
        ++i;
    }
}

// Gives the connection to the record its header names. False when the header is not a transfer
// header or names nothing that waits for a connection; a record that already has its connection
// is not given a second one (that would mix two streams into one file).
bool CMyApplication::AttachTransferConnection(TTransport& tpt, const std::uint8_t* header) {
    if (std::memcmp(header, kTransferProtocol, 4) != 0) return false;
    // The reference number travels as the client received it (least significant byte first).
    const std::uint32_t refNum = GetLE32(header + 4);
    const std::uint32_t dataSize = GetBE32(header + 8);
    const std::uint16_t type = GetBE16(header + 12);
    const std::uint32_t address = tpt->GetRemoteIPAddress().AsHostOrder();

    if ((refNum & 1) == 0) {
        // Banners are only ever downloaded: an upload's number with the banner type is refused.
        if (type == kTransferTypeBanner) return false;
        if (type == kTransferTypeFolder) {
            SMyUploadFldrData* f = GetUploadFldrByRefNum(refNum);
            if (!f || f->tpt) return false;
            f->tpt = std::move(tpt);
            Log(address, "Upload connection established");
            return true;
        }
        SMyUploadData* u = GetUploadByRefNum(refNum);
        if (!u || u->tpt) return false;
        u->totalSize = dataSize;
        u->tpt = std::move(tpt);
        Log(address, "Upload connection established");
        return true;
    }
    if (type == kTransferTypeBanner) {
        SMyDownloadBannerData* b = GetDownloadBannerByRefNum(refNum);
        if (!b || b->tpt) return false;
        b->tpt = std::move(tpt);
    } else if (type == kTransferTypeFolder) {
        SMyDownloadFldrData* f = GetDownloadFldrByRefNum(refNum);
        if (!f || f->tpt) return false;
        f->tpt = std::move(tpt);
    } else {
        SMyDownloadData* d = GetDownloadByRefNum(refNum);
        if (!d || d->tpt) return false;
        d->tpt = std::move(tpt);
    }
    Log(address, "Download connection established");
    return true;
}

SMyDownloadData* CMyApplication::GetDownloadByRefNum(std::uint32_t refNum) const {
    for (const auto& d : mTransfers.mDownloadList) {
        if (d->refNum == refNum) return d.get();
    }
    for (const auto& w : mTransfers.mDownloadWaitingList) {
        if (w->bFileFolder && w->pDownloadData && w->pDownloadData->refNum == refNum) return w->pDownloadData.get();
    }
    return nullptr;
}

SMyDownloadFldrData* CMyApplication::GetDownloadFldrByRefNum(std::uint32_t refNum) const {
    for (const auto& d : mTransfers.mDownloadFldrList) {
        if (d->refNum == refNum) return d.get();
    }
    for (const auto& w : mTransfers.mDownloadWaitingList) {
        if (!w->bFileFolder && w->pDownloadFldrData && w->pDownloadFldrData->refNum == refNum) {
            return w->pDownloadFldrData.get();
        }
    }
    return nullptr;
}

SMyUploadFldrData* CMyApplication::GetUploadFldrByRefNum(std::uint32_t refNum) const {
    for (const auto& u : mTransfers.mUploadFldrList) {
        if (u->refNum == refNum) return u.get();
    }
    return nullptr;
}

SMyDownloadBannerData* CMyApplication::GetDownloadBannerByRefNum(std::uint32_t refNum) const {
    for (const auto& b : mTransfers.mDownloadBannerList) {
        if (b->refNum == refNum) return b.get();
    }
    return nullptr;
}

SMyUploadData* CMyApplication::GetUploadByRefNum(std::uint32_t refNum) const {
    for (const auto& u : mTransfers.mUploadList) {
        if (u->refNum == refNum) return u.get();
    }
    return nullptr;
}

template <class TRecord>
void CMyApplication::RunTransferTurns(std::vector<std::unique_ptr<TRecord>>& list, bool isUpload,
                                      const TTransferStep<TRecord>& serve, const TTransferSettle<TRecord>& settle) {
    const std::uint32_t now = UClock::UpSeconds();
    const char* closed = isUpload ? "Upload aborted" : "Download connection closed";
    for (std::size_t i = 0; i < list.size();) {
        TRecord& r = *list[i];
        SMyClient* client = TransferClient(r.client, r.clientID);
        std::optional<SMyTransferVerdict> settled;
        if (settle) settled = settle(r, client);
        SMyTransferVerdict verdict;
        if (settled) {
            verdict = *settled;
        } else if (!client || (r.tpt && !r.tpt->IsConnected() && !(isUpload && r.tpt->GetReceiveSize() != 0))) {
            // A client may close right after its last byte: an upload reads what arrived before
            // the close.
            verdict = SMyTransferVerdict::Remove(closed);
        } else if (!r.tpt) {
            if (now - r.startSecs > kTransferConnectWait)
                verdict = SMyTransferVerdict::Remove(isUpload ? "Upload aborted (no response)"
                                                              : "Download aborted (no response)");
            else
                mTransfers.mWakeups.File(r.startSecs + kTransferConnectWait + 1, now, &r.wakeSecs);
        } else if (isUpload && now - r.startSecs > kUploadIdleWait) {
            verdict = SMyTransferVerdict::Remove(closed);
        } else {
            verdict = serve(r, client, now);
            // Data arrived now or never did: the idle rule counts from startSecs either way.
            if (verdict.keep && isUpload) mTransfers.mWakeups.File(r.startSecs + kUploadIdleWait + 1, now, &r.wakeSecs);
        }
        if (verdict.keep) {
            ++i;
            continue;
        }
        const std::uint32_t address = TransferLogAddress(r.tpt, client);
        list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));  // an upload keeps its partial file
        if (verdict.text) Log(address, verdict.text);
        UpdateDisplay();
    }
}

// The four record types the file and folder passes run on.
#define KX_TRANSFER_TURNS(TRecord)                                                                      \
    template void CMyApplication::RunTransferTurns(std::vector<std::unique_ptr<TRecord>>&, bool,        \
                                                   const TTransferStep<TRecord>&, const TTransferSettle<TRecord>&)
KX_TRANSFER_TURNS(SMyDownloadData);
KX_TRANSFER_TURNS(SMyUploadData);
KX_TRANSFER_TURNS(SMyDownloadFldrData);
KX_TRANSFER_TURNS(SMyUploadFldrData);
#undef KX_TRANSFER_TURNS

void SMyTransferLists::Clear() {
    mTransferEstabList.clear();
    mDownloadWaitingList.clear();
    mDownloadList.clear();
    mDownloadBannerList.clear();
    mDownloadFldrList.clear();
    mUploadList.clear();
    mUploadFldrList.clear();
    mWakeups.Clear();
}

}  // namespace kx
