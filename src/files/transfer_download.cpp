// File downloads: the download request (flattened or plain, resumed or not, started or queued)
// and the pass that streams active downloads to their transfer connections in growing windows.
// On a plain TCP connection file bytes go from the page cache to the socket (SendFile); on a
// tunnel each window is read straight into the transport buffer that is then sent.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "files/file_tree.h"
#include "files/transfer_internal.h"
#include "framework/clock.h"
#include "fs/file_path.h"
#include "fs/flat_file.h"
#include "fs/mac_roman.h"
#include "server/application.h"

namespace kx {

using UMacRoman::Quoted;

namespace {

constexpr std::uint32_t kTransferOptionPlain = 2;
constexpr std::uint32_t kMaxResumeData = 512;
constexpr std::uint32_t kQuickSendSecs = 10;
// Largest piece of the flattened stream before its DATA fork: 24 + 16 + (74 + 63) + 16.
constexpr std::uint32_t kFlatHeadMax = 193;

// Reads exactly `size` bytes at `offset`; a file that ends early cannot deliver what was announced.
void ReadExactly(int fd, std::uint8_t* dest, std::uint32_t size, std::uint64_t offset) {
    std::uint32_t done = 0;
    while (done < size) {
        const ssize_t got = ::pread(fd, dest + done, size - done, static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR) continue;
            KX_FAIL_ERRNO(errno);
        }
        if (got == 0) KX_FAIL(kErrClassFileSys, kErrCannotRead);
        done += static_cast<std::uint32_t>(got);
    }
}

// Prepares the record's stream: the file opened for plain reading (`isRaw`, `length` bytes), or its
// flattened form started, from a resume record when there is one. Raises when it cannot.
void OpenDownloadStream(SMyDownloadData& d, TFSRefObj& file, bool isRaw, std::uint32_t length,
                        const std::vector<std::uint8_t>* resume) {
    if (isRaw) {
        const int fd = ::open(file.GetPath().c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) KX_FAIL_ERRNO(errno);
        d.rawFile.Reset(fd);
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        d.size = length;
        d.isRaw = true;
        return;
    }
    if (resume) UFileSys::ResumeFlatten(file, resume->data(), resume->size());
    else UFileSys::StartFlatten(file);
    d.size = UFileSys::GetFlattenSize(file);
}

}  // namespace

void UMyTransfer::SendFlattenBytes(TTransportObj& tpt, TFSRefObj& file, std::uint32_t chunk) {
    if (tpt.CanSendFile()) {
        std::uint32_t left = chunk;
        while (left > 0) {
            int fd = -1;
            std::uint64_t at = 0;
            const std::size_t n = UFileSys::SkipFlattenData(file, left, &fd, &at);
            if (n > 0) {
                tpt.SendFile(fd, at, static_cast<std::uint32_t>(n));
                left -= static_cast<std::uint32_t>(n);
                continue;
            }
            TTransportBuffer head = TTransportObj::NewBuffer(std::min(left, kFlatHeadMax));
            const std::size_t got = UFileSys::ProcessFlatten(file, head->data.data(), head->data.size());
            if (got == 0) KX_FAIL(kErrClassFileSys, kErrCannotRead);  // stream ended early
            head->data.resize(got);
            tpt.SendBuffer(std::move(head));
            left -= static_cast<std::uint32_t>(got);
        }
        return;
    }
    TTransportBuffer buf = TTransportObj::NewBuffer(chunk);
    if (UFileSys::ProcessFlatten(file, buf->data.data(), chunk) != chunk) KX_FAIL(kErrClassFileSys, kErrCannotRead);
    tpt.SendBuffer(std::move(buf));
}

void CMyApplication::ProcessTran_DownloadFile(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields) {
    const std::string name = UMyTransfer::Cut(UFieldData::GetString(fields, kFieldFileName), kMaxNameLength);
    const std::vector<std::uint8_t> path = UFieldData::GetBytes(fields, kFieldFilePath);
    // Measured before this request changes anything.
    const std::uint32_t excess = GetDownloadExcess(client->userID);

    const bool isRaw = UFieldData::GetInteger(fields, kFieldFileTransferOptions) == std::int32_t(kTransferOptionPlain);
    const bool hasResume = UFieldData::HasField(fields, kFieldFileResumeData);
    std::vector<std::uint8_t> resume = UFieldData::GetBytes(fields, kFieldFileResumeData);
    if (resume.size() > kMaxResumeData) resume.resize(kMaxResumeData);

    const std::string notFound = "Cannot download because there is no file named " + Quoted(name) + ".";
    TFSRef root = UFileSys::NewFromPath(client->filesRoot);
    TFSRef file;
    try {
        file = UFileSys::New(*root, path.data(), path.size(), name,
                             fsOption_ResolveAliases | fsOption_NilIfNotExists | fsOption_NilIfNotFile);
    } catch (const SError&) {
        // A name no look-up can reach (a "..", a name too long): there is no such file to give.
        file.reset();
    }
    if (!file) {
        SendErrorMsg(session, notFound);
        return;
    }

    if (!client->access.HasPriv(myAcc_ViewDropBoxes)) {
        // The folder that holds the file after alias resolution, and every folder above it up to
        // the root: an alias outside a drop box must not hand out what lies anywhere below one.
        const std::string rawPath(reinterpret_cast<const char*>(path.data()), path.size());
        TFSRef parent = UFileSys::GetParentFolder(*file);
        if (UFileTree::IsDropBoxName(rawPath) || UFileTree::IsInDropBox(*root, *parent, rawPath)) {
            SendErrorMsg(session, "Cannot download " + Quoted(name) + " because it is in a drop box.");
            return;
        }
    }

    auto d = std::make_unique<SMyDownloadData>();
    std::uint32_t length = 0;
    try {
        length = UFileSys::GetSize32(*file);
        if (!isRaw || length != 0) OpenDownloadStream(*d, *file, isRaw, length, hasResume ? &resume : nullptr);
    } catch (const SError& err) {
        // The file cannot be sent as asked (unreadable, 4 GiB or more, a damaged resume record).
        // The client is told so instead of being left waiting for a reply that never comes.
        SendErrorMsg(session, err, "Cannot download " + Quoted(name) + ".");
        TransferError(err);
        return;
    }
    if (isRaw && length == 0) {  // nothing to transfer
        StFieldData reply;
        UFieldData::AddInteger(reply, kFieldTransferSize, 0);
        session->SendData(reply);
        return;
    }

    d->file = std::move(file);
    d->refNum = NewRefNum() | 1;
    d->startSecs = UClock::UpSeconds();
    d->client = client;
    d->clientID = client->userID;
    d->name = UMyTransfer::Cut(name, kTransferNameMax);

    StFieldData reply;
    UFieldData::AddInteger(reply, kFieldTransferSize, static_cast<std::int32_t>(d->size));
    UFieldData::AddInteger(reply, kFieldFileSize, static_cast<std::int32_t>(length));
    auto w = std::make_unique<SMyDownloadWaitingData>();
    w->bFileFolder = true;
    w->pDownloadData = std::move(d);
    AcceptDownload(std::move(w), excess, client, session, reply, (isRaw ? "View " : "Download ") + Quoted(name), name);
}

void CMyApplication::ProcessDownloads() {
    const auto serve = [this](SMyDownloadData& d, SMyClient*, std::uint32_t now) {
        // Nothing is expected from the client on this connection; reading whatever it sends
        // keeps its close visible.
        d.tpt->ReceiveBuffer();
        const bool hasFile = d.file != nullptr || d.rawFile.Get() >= 0;
        if (hasFile && (d.tpt->GetUnsentSize() <= d.sendSize || d.tpt->IsReadyToSend())) {
            try {
                SendDownloadChunk(&d, now);
            } catch (const SError& err) {
                // The next pass finds the connection closed and removes the record.
                d.tpt->Disconnect();
                TransferError(err);
            }
        }
        return SMyTransferVerdict::Keep();
    };
    RunTransferTurns<SMyDownloadData>(mTransfers.mDownloadList, false, serve);
}

void CMyApplication::SendDownloadChunk(SMyDownloadData* d, std::uint32_t now) {
    TTransportObj* tpt = d->tpt.get();
    if (tpt->GetUnsentSize() == 0) d->sendSize += kDownloadSendStep;
    if (d->sendSecs != 0 && now - d->sendSecs < kQuickSendSecs) d->sendSize += kDownloadSendStep;
    d->sendSecs = now;
    d->sendSize = std::min(d->sendSize, kDownloadSendMax);
    const std::uint32_t chunk = std::min(d->sendSize, d->size - d->bytesSent);

    if (d->isRaw) {
        if (tpt->CanSendFile()) {
            tpt->SendFile(d->rawFile.Get(), d->offset, chunk);
        } else {
            TTransportBuffer buf = TTransportObj::NewBuffer(chunk);
            ReadExactly(d->rawFile.Get(), buf->data.data(), chunk, d->offset);
            tpt->SendBuffer(std::move(buf));
        }
        d->offset += chunk;
    } else {
        UMyTransfer::SendFlattenBytes(*tpt, *d->file, chunk);
    }
    d->bytesSent += chunk;
    mStats.transferBytesSent += chunk;
    tpt->NotifyReadyToSend();

    if (d->bytesSent >= d->size) {
        d->file.reset();
        d->rawFile.Reset(-1);
        Log(tpt->GetRemoteIPAddress().AsHostOrder(), "Download complete");
    }
}

}  // namespace kx
