// File uploads: the upload request (destination and name rules, new or resumed partial ".kpf"
// file, free-space check) and the pass that writes received flattened streams into partial
// files, gives completed files their final names and aborts silent uploads. Aborting never
// deletes a partial file: it stays to be resumed.
#include <unistd.h>

#include <algorithm>

#include "files/file_tree.h"
#include "files/transfer_internal.h"
#include "framework/clock.h"
#include "fs/file_path.h"
#include "fs/file_types.h"
#include "fs/flat_file.h"
#include "fs/mac_roman.h"
#include "server/application.h"

namespace kx {

using UMyTransfer::EndsWith;
using UMyTransfer::kFreeSpaceMargin;
using UMyTransfer::kTransferOptionResume;
using UMacRoman::Quoted;

namespace {

constexpr int kMaxBuffersPerPass = 8;  // then other transfers get their turn

std::function<std::optional<std::uint64_t>(const TFSRefObj&)>& FreeSpaceSource() {
    static std::function<std::optional<std::uint64_t>(const TFSRefObj&)> source;
    return source;
}

std::optional<std::uint64_t> FreeSpace(const TFSRefObj& ref) {
    if (FreeSpaceSource()) return FreeSpaceSource()(ref);
    return UFileSys::GetFreeSpace(ref);
}

// The names of an uploaded file and, once opened, its partial file.
struct SPartialUpload {
    std::string finalName;
    std::string partialName;              // the final name with ".kpf"
    TFSRef file;
    std::vector<std::uint8_t> resumeData;  // a resumed upload's resume record
    bool noSpace = false;                  // refused for want of disk space
};

// Opens the partial file of an upload in `folder`: the ".kpf" a previous attempt left, with its
// resume record (`resume`), or a new one, once the final name is free and the volume has room
// for `transferSize` bytes. The refusal when it cannot; nothing is created then.
CMyApplication::TRefusal OpenPartialUpload(const TFSRefObj& folder, bool resume, std::uint32_t transferSize,
                                           SPartialUpload& p) {
    const std::string quotedFinal = Quoted(p.finalName);
    const std::string nameTaken = "Cannot accept upload because there is already a file named " + quotedFinal +
                                  ". Try choosing a different name.";
    try {
        if (resume) {
            p.file = UFileSys::New(folder, std::string_view(), p.partialName,
                                   fsOption_ResolveAliases | fsOption_NilIfNotExists | fsOption_NilIfNotFile);
            if (!p.file) return "Cannot resume upload of the file " + quotedFinal + " because it does not exist.";
            std::uint32_t type = 0, creator = 0;
            UFileSys::GetTypeAndCreator(*p.file, type, creator);
            if (type != MakeCode("KXft") || creator != MakeCode("KXLC"))
                return "Cannot resume upload of the file " + quotedFinal + " because it is already fully transfered.";
        } else {
            if (!UFileSys::New(folder, std::string_view(), p.finalName, fsOption_NilIfExists)) return nameTaken;
            if (const auto free = FreeSpace(folder); free && std::uint64_t(transferSize) + kFreeSpaceMargin > *free) {
                p.noSpace = true;
                return "Cannot accept upload of the file " + quotedFinal + " because there is not enough free disk space.";
            }
            p.file = UFileSys::New(folder, std::string_view(), p.partialName, fsOption_NilIfExists);
            if (!p.file) return nameTaken;
        }
    } catch (const SError& err) {
        // The name cannot be stored here (too long for the disk): nothing was created.
        return UMyTransfer::CannotAcceptText(quotedFinal, err);
    }
    bool created = false;
    try {
        if (resume) {
            p.resumeData = UFileSys::ResumeUnflatten(*p.file);
        } else {
            UFileSys::CreateFile(*p.file, MakeCode("KXft"), MakeCode("KXLC"));
            created = true;
            UFileSys::StartUnflatten(*p.file);
        }
    } catch (const SError& err) {
        if (created) ::unlink(p.file->GetPath().c_str());  // a failure here changes nothing for the client
        if (resume && err.type == kErrClassFileSys && err.id == kErrInUse)
            return "Cannot resume upload of the file " + quotedFinal + " because it is already in use.";
        return UMyTransfer::CannotAcceptText(quotedFinal, err);
    }
    return {};
}

}  // namespace

namespace UMyTransfer {
void SetFreeSpaceSource(std::function<std::optional<std::uint64_t>(const TFSRefObj&)> source) {
    FreeSpaceSource() = std::move(source);
}
std::optional<std::uint64_t> FreeSpaceFor(const TFSRefObj& ref) { return FreeSpace(ref); }

void FinishPartialFile(TFSRefObj& file) {
    UFileSys::ProcessUnflatten(file, nullptr, 0);
    const std::string current = UFileSys::GetName(file);
    if (current.size() > kPartialSuffix.size() && EndsWith(current, kPartialSuffix)) {
        const std::string finalName =
            UFileSys::ValidateFileName(std::string_view(current).substr(0, current.size() - kPartialSuffix.size()));
        UFileSys::StopUnflatten(file);
        UFileSys::SetName(file, finalName);
    } else {
        UFileSys::StopUnflatten(file);
    }
}
}  // namespace UMyTransfer

TFSRef CMyApplication::FindUploadFolder(SMyClient* client, TTransactSessionObj* session, const void* path,
                                        std::size_t pathSize, bool byPathName, const std::string& what) {
    TFSRef root = UFileSys::NewFromPath(client->filesRoot);
    TFSRef folder;
    try {
        folder = UFileSys::New(*root, path, pathSize, std::string_view(),
                               fsOption_ResolveAliases | fsOption_NilIfNotExists | fsOption_NilIfNotFolder);
    } catch (const SError&) {
        folder.reset();  // a path no look-up can follow is no folder
    }
    const std::string cannot = "Cannot accept upload of " + what + " because ";
    if (!folder) {
        SendErrorMsg(session, cannot + "the specified folder could not be found.");
        return nullptr;
    }
    if (!client->access.HasPriv(myAcc_UploadAnywhere)) {
        const std::string target = byPathName ? UFileSys::GetPathTargetName(path, pathSize) : UFileSys::GetName(*folder);
        if (!UFileTree::IsUploadFolderName(target) && !UFileTree::IsDropBoxName(target)) {
            SendErrorMsg(session, cannot + "you are only allowed to upload to the \xD2Uploads\xD3 folder.");
            return nullptr;
        }
    }
    if (UFileSys::IsVolumeReadOnly(*folder)) {
        SendErrorMsg(session, cannot + "the destination volume is read-only or locked.");
        return nullptr;
    }
    return folder;
}

void CMyApplication::ProcessTran_UploadFile(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields) {
    const std::vector<std::uint8_t> path = UFieldData::GetBytes(fields, kFieldFilePath);
    const std::string name =
        UFileSys::ValidateFileName(UMyTransfer::Cut(UFieldData::GetString(fields, kFieldFileName), kMaxNameLength));
    const bool resume = UFieldData::GetInteger(fields, kFieldFileTransferOptions) == kTransferOptionResume;
    const auto transferSize = static_cast<std::uint32_t>(UFieldData::GetInteger(fields, kFieldTransferSize));
    if (UMyTransfer::IsShortcutName(name)) {
        SendErrorMsg(session, "Cannot upload shortcuts.");
        return;
    }
    TFSRef folder = FindUploadFolder(client, session, path.data(), path.size(), true, "the file " + Quoted(name));
    if (!folder) return;

    SPartialUpload partial;
    partial.finalName = name;
    partial.partialName = name + std::string(kPartialSuffix);
    if (name.size() > kPartialSuffix.size() && EndsWith(name, kPartialSuffix)) {
        partial.partialName = name;
        partial.finalName = name.substr(0, name.size() - kPartialSuffix.size());
    }
    const std::string quotedFinal = Quoted(partial.finalName);
    if (const TRefusal refusal = OpenPartialUpload(*folder, resume, transferSize, partial)) {
        if (partial.noSpace) Log(client, "Not enough free disk space for upload");
        SendErrorMsg(session, *refusal);
        return;
    }

    auto u = std::make_unique<SMyUploadData>();
    u->file = std::move(partial.file);
    u->totalSize = transferSize;
    u->refNum = NewRefNum() & ~std::uint32_t(1);
    u->startSecs = UClock::UpSeconds();
    u->client = client;
    u->clientID = client->userID;
    u->name = UMyTransfer::Cut(partial.finalName, kTransferNameMax);
    const std::uint32_t refNum = u->refNum;
    mTransfers.mUploadList.push_back(std::move(u));

    StFieldData reply;
    if (resume) {
        UFieldData::AddField(reply, kFieldFileResumeData, partial.resumeData.data(),
                             static_cast<std::uint32_t>(partial.resumeData.size()));
    }
    UMyTransfer::AddRefNum(reply, refNum);
    session->SendData(reply);

    mStats.UploadStarted();
    Log(client, "Upload " + quotedFinal);
    UpdateDisplay();
    UMyTransfer::LogUploadFile(mLogger, client, partial.finalName);
    WakeTransferPass();  // files the record's time rule
}

void CMyApplication::ProcessUploads() {
    const auto serve = [this](SMyUploadData& u, SMyClient*, std::uint32_t now) {
        bool readAny = false;
        try {
            for (int n = 0; n < kMaxBuffersPerPass && u.rcvdSize < u.totalSize; ++n) {
                TTransportBuffer buf = u.tpt->ReceiveBuffer();
                if (!buf) break;
                readAny = true;
                // Bytes past the announced size are not part of the file.
                const auto take =
                    static_cast<std::uint32_t>(std::min<std::size_t>(buf->data.size(), u.totalSize - u.rcvdSize));
                UFileSys::ProcessUnflatten(*u.file, buf->data.data(), take);
                u.rcvdSize += take;
                mStats.transferBytesReceived += take;
                u.startSecs = now;
            }
        } catch (const SError& err) {
            // Aborted at once, keeping the partial file: what the connection still holds is
            // not to be read into the damaged file.
            u.tpt->Disconnect();
            TransferError(err);
            return SMyTransferVerdict::Remove("Upload aborted");
        }
        if (u.rcvdSize >= u.totalSize) {
            Log(u.tpt->GetRemoteIPAddress().AsHostOrder(), "Upload complete");
            FinishUpload(&u);
            return SMyTransferVerdict::Remove(nullptr);
        }
        if (!u.tpt->IsConnected()) {
            // No notice follows a close: another pass reads what is left, if this one could read.
            if (!readAny) return SMyTransferVerdict::Remove("Upload aborted");
            WakeTransferPass();
        }
        return SMyTransferVerdict::Keep();
    };
    RunTransferTurns<SMyUploadData>(mTransfers.mUploadList, true, serve);
}

// Gives a completed partial file its final name and releases the record's connection and file;
// a rename that fails (the final name was taken meanwhile) leaves the ".kpf" file and goes to the
// error log.
void CMyApplication::FinishUpload(SMyUploadData* u) {
    try {
        UMyTransfer::FinishPartialFile(*u->file);
    } catch (const SError& err) {
        TransferError(err);
    }
    u->tpt.reset();
    u->file.reset();
}

}  // namespace kx
