// Folder downloads: the request that walks the tree once and prepares the record (started or
// queued beside file downloads), and the pass that goes through the tree with the client item
// by item: an item header for each item the client asks for, then, for each file, the file
// whole, resumed or skipped as the client decides.
#include <algorithm>

#include "files/file_tree.h"
#include "files/transfer_internal.h"
#include "framework/byte_codec.h"
#include "framework/clock.h"
#include "fs/file_path.h"
#include "fs/flat_file.h"
#include "fs/mac_roman.h"
#include "server/application.h"

namespace kx {

using UMacRoman::Quoted;

namespace {

constexpr std::uint32_t kQuickSendSecs = 10;
constexpr std::uint16_t kFldrStateClosing = 20;  // walk over, last bytes leaving

// The item header: its size, the item type (1 folder, 0 file) and the path inside the folder.
std::vector<std::uint8_t> ItemHeader(bool isFolder, const std::vector<std::string>& names) {
    const std::vector<std::uint8_t> path = UFilePath::Build(names);
    const std::size_t size = 2 + path.size();
    std::vector<std::uint8_t> out;
    AppendBE16(out, static_cast<std::uint16_t>(size));
    AppendBE16(out, isFolder ? 1 : 0);
    out.insert(out.end(), path.begin(), path.end());
    return out;
}

int AnnounceNextFldrItem(SMyDownloadFldrData* d);

}  // namespace

void CMyApplication::ProcessTran_DownloadFldr(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields) {
    const std::string name = UFileTree::ReadNameField(fields, kFieldFileName);
    const std::string path = UFileTree::ReadPathField(fields, kFieldFilePath);
    // Measured before this request changes anything.
    const std::uint32_t excess = GetDownloadExcess(client->userID);

    TFSRef root = UFileSys::NewFromPath(client->filesRoot);
    TFSRef folder;
    try {
        folder = UFileTree::LookUpClientItem(*root, path, name,
                                             fsOption_ResolveAliases | fsOption_NilIfNotExists | fsOption_NilIfNotFolder);
    } catch (const SError&) {
        folder.reset();  // a path no look-up can follow reaches no folder
    }
    if (!folder) {
        SendErrorMsg(session, "Cannot download because there is no folder named " + Quoted(name) + ".");
        return;
    }
    const bool viewDropBoxes = client->access.HasPriv(myAcc_ViewDropBoxes);
    if (!viewDropBoxes && (UFileTree::IsDropBoxName(name) || UFileTree::IsInDropBox(*root, *folder, path))) {
        SendErrorMsg(session, "Cannot download " + Quoted(name) + " because you are not permitted to access drop boxes.");
        return;
    }

    std::unique_ptr<CMyDLFldr> walker;
    try {
        walker = std::make_unique<CMyDLFldr>(std::move(folder), name, nullptr, viewDropBoxes, root.get());
    } catch (const SError& err) {
        SendErrorMsg(session, err, "Cannot download " + Quoted(name) + ".");
        TransferError(err);
        return;
    }
    const auto totalSize = static_cast<std::uint32_t>(std::min<std::uint64_t>(walker->GetTotalSize(), 0xFFFFFFFFu));
    SMyDLNext self;
    walker->GetNextItem(self);  // the folder itself, never announced
    const std::uint32_t count = walker->GetTotalItems() - 1;

    StFieldData reply;
    UFieldData::AddInteger(reply, kFieldTransferSize, static_cast<std::int32_t>(totalSize));
    UFieldData::AddInteger(reply, kFieldFolderItemCount, static_cast<std::int32_t>(count));
    if (count == 0) {
        session->SendData(reply);
        return;
    }

    auto d = std::make_unique<SMyDownloadFldrData>();
    d->fldr = std::move(walker);
    d->totalSize = totalSize;
    d->sendSize = kDownloadSendStart;
    d->refNum = NewRefNum() | 1;
    d->startSecs = UClock::UpSeconds();
    d->client = client;
    d->clientID = client->userID;
    d->name = UMyTransfer::Cut(name, kTransferNameMax);
    auto w = std::make_unique<SMyDownloadWaitingData>();
    w->bFileFolder = false;
    w->pDownloadFldrData = std::move(d);
    AcceptDownload(std::move(w), excess, client, session, reply, "Download " + Quoted(name), name);
}

void CMyApplication::ProcessFldrDownloads() {
    const auto serve = [this](SMyDownloadFldrData& d, SMyClient*, std::uint32_t now) {
        int step = kFldrStepMoved;
        const auto sentBefore = d.totalBytesSent;
        try {
            // A few steps per pass: answers that arrived together are served together, and a
            // client cannot hold the pass.
            for (int n = 0; n < 64 && step == kFldrStepMoved; ++n) step = UMyFldrTransfer::StepFldrDownload(&d, now);
        } catch (const SError& err) {
            // The next pass finds the connection closed and removes the record.
            d.tpt->Disconnect();
            TransferError(err);
            step = kFldrStepWait;
        }
        mStats.transferBytesSent += d.totalBytesSent - sentBefore;
        if (step == kFldrStepEnded) {
            if (d.tpt->GetUnsentSize() == 0) return SMyTransferVerdict::Remove(nullptr);  // the client has everything
            d.state = kFldrStateClosing;
            d.tpt->StartDisconnect();  // closes behind the queued bytes
        }
        if (step == kFldrStepMoved) WakeTransferPass();
        return SMyTransferVerdict::Keep();
    };
    // The walk is over: the record goes once the last queued bytes have left, or as soon as its
    // client has gone (a reader that never drains them would otherwise hold a download place for
    // good).
    const auto closing = [](SMyDownloadFldrData& d, SMyClient* client) -> std::optional<SMyTransferVerdict> {
        if (d.state != kFldrStateClosing) return std::nullopt;
        if (!d.tpt->IsConnected() || d.tpt->GetUnsentSize() == 0) return SMyTransferVerdict::Remove(nullptr);
        if (!client) return SMyTransferVerdict::Remove("Download connection closed");
        return SMyTransferVerdict::Keep();
    };
    RunTransferTurns<SMyDownloadFldrData>(mTransfers.mDownloadFldrList, false, serve, closing);
}

int UMyFldrTransfer::StepFldrDownload(SMyDownloadFldrData* d, std::uint32_t now) {
    TTransportObj* tpt = d->tpt.get();
    std::uint8_t b[2];
    switch (d->state) {
        case 0:
            if (!tpt->IsReadyToReceive(2)) return kFldrStepWait;
            tpt->Receive(b, 2);
            if (GetBE16(b) == kFldrActionNextItem) return AnnounceNextFldrItem(d);
            return kFldrStepMoved;
        case 1: {
            if (!tpt->IsReadyToReceive(2)) return kFldrStepWait;
            tpt->Receive(b, 2);
            const std::uint16_t action = GetBE16(b);
            if (action == kFldrActionSendFile) {
                UFileSys::StartFlatten(*d->file);
            } else if (action == kFldrActionResumeFile) {
                d->state = 10;
                return kFldrStepMoved;
            } else if (action == kFldrActionNextItem) {
                std::uint64_t length = 0;
                try {
                    length = UFileSys::GetSize(*d->file);
                } catch (const SError&) {
                    length = 0;  // gone meanwhile: nothing to subtract
                }
                d->totalSize -= static_cast<std::uint32_t>(std::min<std::uint64_t>(length, d->totalSize));
                d->file.reset();
                return AnnounceNextFldrItem(d);
            } else {
                return kFldrStepMoved;
            }
            break;
        }
        case 10:
            if (!tpt->IsReadyToReceive(2)) return kFldrStepWait;
            tpt->Receive(b, 2);
            d->resumeHdrSize = GetBE16(b);
            d->state = 11;
            return kFldrStepMoved;
        case 11: {
            if (!tpt->IsReadyToReceive(d->resumeHdrSize)) return kFldrStepWait;
            std::vector<std::uint8_t> record(d->resumeHdrSize);
            if (!record.empty()) tpt->Receive(record.data(), d->resumeHdrSize);
            UFileSys::ResumeFlatten(*d->file, record.data(), record.size());
            break;
        }
        case 2: {
            if (!d->file) {
                d->state = 0;
                return kFldrStepMoved;
            }
            if (tpt->GetUnsentSize() > d->sendSize && !tpt->IsReadyToSend()) return kFldrStepWait;
            if (d->size < kDownloadSendStart) {
                d->sendSize = std::max(d->sendSize, d->size);
            } else {
                if (tpt->GetUnsentSize() == 0) d->sendSize += kDownloadSendStep;
                if (d->sendSecs != 0 && now - d->sendSecs < kQuickSendSecs) d->sendSize += kDownloadSendStep;
                d->sendSecs = now;
                d->sendSize = std::min(d->sendSize, kDownloadSendMax);
            }
            const std::uint32_t chunk = std::min(d->sendSize, d->size - d->bytesSent);
            if (chunk > 0) UMyTransfer::SendFlattenBytes(*tpt, *d->file, chunk);
            d->bytesSent += chunk;
            d->totalBytesSent += chunk;
            tpt->NotifyReadyToSend();
            if (d->bytesSent >= d->size) {
                d->file.reset();
                d->size = 0;
                d->bytesSent = 0;
                d->state = 0;
                return kFldrStepMoved;
            }
            return kFldrStepWait;  // the next window when the transport has room
        }
        default:
            d->state = 0;
            return kFldrStepMoved;
    }

    // A flatten has started (whole or resumed): announce its length and send it.
    d->size = UFileSys::GetFlattenSize(*d->file);
    const std::uint64_t length = UFileSys::GetSize(*d->file);
    const std::int64_t corrected = std::int64_t(d->totalSize) + d->size - std::int64_t(length);
    d->totalSize = static_cast<std::uint32_t>(std::clamp<std::int64_t>(corrected, 0, 0xFFFFFFFF));
    std::uint8_t announce[4];
    PutBE32(announce, d->size);
    tpt->Send(announce, 4);
    tpt->NotifyReadyToSend();
    d->bytesSent = 0;
    d->state = 2;
    return kFldrStepMoved;
}

namespace {

// Sends the header of the next item whose path fits, or ends the transfer when none is left.
int AnnounceNextFldrItem(SMyDownloadFldrData* d) {
    SMyDLNext next;
    for (;;) {
        if (!d->fldr->GetNextItem(next)) {
            d->file.reset();
            d->fldr.reset();
            return kFldrStepEnded;
        }
        if (!next.pathOverflow && next.pathSize + kFldrPathSpare <= kFldrPathBuffer) break;
    }
    d->file = UFileSys::Clone(*next.ref);
    next.path.erase(next.path.begin());  // the transferred folder's own name is not sent
    const std::vector<std::uint8_t> header = ItemHeader(next.isFolder, next.path);
    d->tpt->Send(header.data(), static_cast<std::uint32_t>(header.size()));
    d->tpt->NotifyReadyToSend();
    if (next.isFolder) {
        d->file.reset();
        d->state = 0;
    } else {
        d->state = 1;
    }
    return kFldrStepMoved;
}

}  // namespace

}  // namespace kx
