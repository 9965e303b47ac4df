// Folder uploads: the request that checks the destination and creates the folder, and the pass
// that asks the client for its items one by one, creates sub-folders, receives files into
// ".kpf" partial files (resuming those a previous attempt left), skips what already exists and
// fails shortcuts. Whatever path an item names, it lands inside the uploaded folder or nowhere.
#include <climits>
#include <cstdlib>

#include <algorithm>

#include "files/file_tree.h"
#include "files/transfer_internal.h"
#include "framework/byte_codec.h"
#include "framework/clock.h"
#include "fs/file_path.h"
#include "fs/file_types.h"
#include "fs/flat_file.h"
#include "fs/mac_roman.h"
#include "server/application.h"

namespace kx {

using UMyTransfer::kFreeSpaceMargin;
using UMyTransfer::kTransferOptionResume;
using UMacRoman::Quoted;

namespace {

constexpr std::uint32_t kReceiveChunk = 65536;
constexpr int kMaxChunksPerPass = 16;  // then other transfers get their turn

void SendAction(TTransportObj& tpt, std::uint16_t action) {
    std::uint8_t b[2];
    PutBE16(b, action);
    tpt.Send(b, 2);
    tpt.NotifyReadyToSend();
}

std::string RealPath(const std::string& path) {
    char buf[PATH_MAX];
    if (::realpath(path.c_str(), buf) == nullptr) return std::string();
    return std::string(buf);
}

// True when the item's folder is the uploaded folder or lies below it, links followed.
bool IsInsideFolder(const TFSRefObj& item, const std::string& folderReal) {
    TFSRef parent = UFileSys::GetParentFolder(item);
    if (!parent || folderReal.empty()) return false;
    const std::string real = RealPath(parent->GetPath());
    return !real.empty() && (real == folderReal || real.rfind(folderReal + "/", 0) == 0);
}

void ReduceTotal(SMyUploadFldrData* u, std::uint64_t length) {
    u->totalSize -= static_cast<std::uint32_t>(std::min<std::uint64_t>(length, u->totalSize));
}

int HandleFldrItemHeader(SMyUploadFldrData* u, bool& failedLast);
int FldrUploadItemDone(SMyUploadFldrData* u, bool failed, bool& failedLast);

}  // namespace

void CMyApplication::ProcessTran_UploadFldr(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields) {
    const std::string path = UFileTree::ReadPathField(fields, kFieldFilePath);
    const std::string name = UFileSys::ValidateFileName(UFileTree::ReadNameField(fields, kFieldFileName));
    const auto itemCount = static_cast<std::uint32_t>(UFieldData::GetInteger(fields, kFieldFolderItemCount));
    const auto transferSize = static_cast<std::uint32_t>(UFieldData::GetInteger(fields, kFieldTransferSize));
    const bool resume = UFieldData::GetInteger(fields, kFieldFileTransferOptions) == kTransferOptionResume;
    const std::string quoted = Quoted(name);
    TFSRef dest = FindUploadFolder(client, session, path.data(), path.size(), false, "the folder " + quoted);
    if (!dest) return;

    TFSRef folder;
    try {
        if (resume) {
            int kind = fsItem_Missing;
            // An empty name would name the destination itself, which is no uploaded folder.
            if (!name.empty()) folder = UFileSys::New(*dest, std::string_view(), name, fsOption_ResolveAliases, &kind);
            if (!folder || kind == fsItem_Missing || kind == fsItem_NoParent || kind == fsItem_BrokenAlias) {
                SendErrorMsg(session, "Cannot resume upload of the folder " + quoted + " because it does not exist.");
                return;
            }
            if (kind != fsItem_Folder) {
                SendErrorMsg(session, "Cannot resume upload because " + quoted + " is a file.");
                return;
            }
        } else {
            if (!name.empty()) folder = UFileSys::New(*dest, std::string_view(), name, fsOption_NilIfExists);
            if (!folder) {
                SendErrorMsg(session, "Cannot accept upload because there is already a folder named " + quoted +
                                          ". Try choosing a different name.");
                return;
            }
        }
        if (const auto free = UMyTransfer::FreeSpaceFor(*dest); free && std::uint64_t(transferSize) + kFreeSpaceMargin > *free) {
            Log(client, "Not enough free disk space for folder upload");
            SendErrorMsg(session, "Cannot accept upload of the folder " + quoted +
                                      " because there is not enough free disk space.");
            return;
        }
        if (!UFileSys::Exists(*folder)) UFileSys::CreateFolder(*folder);
    } catch (const SError& err) {
        SendErrorMsg(session, UMyTransfer::CannotAcceptText(quoted, err));
        return;
    }

    StFieldData reply;
    if (itemCount != 0) {
        auto u = std::make_unique<SMyUploadFldrData>();
        u->fldrRealPath = RealPath(folder->GetPath());
        u->fldr = std::move(folder);
        u->totalSize = transferSize;
        u->refNum = NewRefNum() & ~std::uint32_t(1);
        u->startSecs = UClock::UpSeconds();
        u->client = client;
        u->clientID = client->userID;
        u->name = UMyTransfer::Cut(name, kTransferNameMax);
        u->totalItems = itemCount;
        UMyTransfer::AddRefNum(reply, u->refNum);
        mTransfers.mUploadFldrList.push_back(std::move(u));
    }
    session->SendData(reply);

    mStats.UploadStarted();
    Log(client, "Upload folder " + quoted);
    UpdateDisplay();
    UMyTransfer::LogUploadFile(mLogger, client, name);
    WakeTransferPass();  // files the record's time rule
}

void CMyApplication::ProcessFldrUploads() {
    const auto reportError = [this](const SError& err) { TransferError(err); };
    const auto serve = [&](SMyUploadFldrData& u, SMyClient*, std::uint32_t now) {
        // A client may close right after its last byte: what arrived before the close is read
        // first, and only when it cannot take the upload further is the close honoured.
        const bool closed = !u.tpt->IsConnected();
        const std::uint32_t leftBefore = closed ? u.tpt->GetReceiveSize() : 0;
        int step = kFldrStepMoved;
        bool failedLast = false;
        const std::uint32_t receivedBefore = u.rcvdSize;
        try {
            for (int n = 0; n < 64 && step == kFldrStepMoved; ++n)
                step = UMyFldrTransfer::StepFldrUpload(&u, now, failedLast, reportError);
        } catch (const SError& err) {
            mStats.transferBytesReceived += u.rcvdSize - receivedBefore;  // taken before the failure
            // A write that failed: the upload cannot go on; its partial file stays to be resumed.
            TransferError(err);
            return SMyTransferVerdict::Remove("Upload aborted");
        }
        mStats.transferBytesReceived += u.rcvdSize - receivedBefore;
        if (step == kFldrStepEnded)
            return SMyTransferVerdict::Remove(failedLast ? "Upload folder item failed" : "Upload folder complete");
        if (closed && step != kFldrStepMoved) {
            // The rest of the item never comes; or, no notice following a close, another pass reads on.
            if (u.tpt->GetReceiveSize() == leftBefore) return SMyTransferVerdict::Remove("Upload aborted");
            step = kFldrStepMoved;
        }
        if (step == kFldrStepMoved) WakeTransferPass();
        return SMyTransferVerdict::Keep();
    };
    RunTransferTurns<SMyUploadFldrData>(mTransfers.mUploadFldrList, true, serve);
}

int UMyFldrTransfer::StepFldrUpload(SMyUploadFldrData* u, std::uint32_t now, bool& failedLast,
                                    const TFldrErrorSink& reportError) {
    TTransportObj* tpt = u->tpt.get();
    std::uint8_t b[4];
    switch (u->state) {
        case 0:
            SendAction(*tpt, kFldrActionNextItem);
            u->state = 1;
            return kFldrStepMoved;
        case 1:
            if (!tpt->IsReadyToReceive(2)) return kFldrStepWait;
            tpt->Receive(b, 2);
            u->headerSize = GetBE16(b);
            u->startSecs = now;
            u->state = 2;
            return kFldrStepMoved;
        case 2:
            if (u->headerSize > 0 && !tpt->IsReadyToReceive(u->headerSize)) return kFldrStepWait;
            u->startSecs = now;
            return HandleFldrItemHeader(u, failedLast);
        case 3:
            if (!tpt->IsReadyToReceive(4)) return kFldrStepWait;
            tpt->Receive(b, 4);
            u->fileTotalSize = GetBE32(b);
            u->fileUlSize = 0;
            u->startSecs = now;
            u->state = 4;
            return kFldrStepMoved;
        case 4: {
            std::vector<std::uint8_t> buf;
            for (int n = 0; n < kMaxChunksPerPass && u->fileUlSize < u->fileTotalSize; ++n) {
                // Only the announced bytes belong to the file; anything after them waits.
                const std::uint32_t want =
                    std::min({tpt->GetReceiveSize(), u->fileTotalSize - u->fileUlSize, kReceiveChunk});
                if (want == 0) break;
                buf.resize(want);
                const std::uint32_t got = tpt->Receive(buf.data(), want);
                if (got == 0) break;
                UFileSys::ProcessUnflatten(*u->file, buf.data(), got);
                u->fileUlSize += got;
                u->rcvdSize += got;
                u->startSecs = now;
            }
            if (u->fileUlSize < u->fileTotalSize) return kFldrStepWait;
            bool failed = false;
            try {
                UMyTransfer::FinishPartialFile(*u->file);
            } catch (const SError& err) {
                // The final name was taken meanwhile, or the stream was damaged: the ".kpf" stays.
                reportError(err);
                failed = true;
            }
            u->file.reset();
            if (++u->uploadedItems >= u->totalItems) {
                failedLast = failed;
                return kFldrStepEnded;
            }
            SendAction(*tpt, kFldrActionNextItem);
            u->state = 1;
            return kFldrStepMoved;
        }
        default:
            u->state = 1;
            return kFldrStepMoved;
    }
}

namespace {

// Reads the item header and decides about the item: created sub-folder, resumed or new partial
// file, skipped existing file, or failure (a bad path, a shortcut, a clash, a creation error).
int HandleFldrItemHeader(SMyUploadFldrData* u, bool& failedLast) {
    std::vector<std::uint8_t> header(u->headerSize);
    if (!header.empty()) u->tpt->Receive(header.data(), u->headerSize);
    bool failed = false;
    try {
        // Item type, then path data; the path must name at least one component and all that it
        // announces (a path cut short would put the item somewhere else).
        if (header.size() < 4 || header.size() - 2 > kMaxPathData) KX_FAIL(kErrClassGeneral, kErrParam);
        const bool isFolder = (GetBE16(header.data()) & 1) != 0;
        std::uint8_t* pathData = header.data() + 2;
        const std::size_t pathSize = header.size() - 2;
        UFileSys::ValidateFilePath(pathData, pathSize);
        const std::size_t declared = GetBE16(pathData);
        if (declared == 0 || UFilePath::Parse(pathData, pathSize).size() != declared) {
            KX_FAIL(kErrClassGeneral, kErrParam);
        }
        int kind = fsItem_NoParent;
        TFSRef item = UFileSys::New(*u->fldr, pathData, pathSize, std::string_view(), fsOption_NilIfNoParent, &kind);
        if (!item || !IsInsideFolder(*item, u->fldrRealPath)) KX_FAIL(kErrClassFileSys, kErrInvalidName);
        const std::string itemName = UFileSys::GetName(*item);

        if (isFolder) {
            if (kind == fsItem_Missing) UFileSys::CreateFolder(*item);
            else if (kind != fsItem_Folder) failed = true;
            return FldrUploadItemDone(u, failed, failedLast);
        }

        if (UMyTransfer::IsShortcutName(itemName)) return FldrUploadItemDone(u, true, failedLast);

        TFSRef parent = UFileSys::GetParentFolder(*item);
        const std::string partialName = itemName + std::string(kPartialSuffix);
        TFSRef partial = UFileSys::New(*parent, std::string_view(), partialName, fsOption_NilIfNotExists | fsOption_NilIfNotFile);
        if (partial) {
            ReduceTotal(u, UFileSys::GetSize(*partial));
            const std::vector<std::uint8_t> record = UFileSys::ResumeUnflatten(*partial);
            std::uint8_t head[4];
            PutBE16(head, kFldrActionResumeFile);
            PutBE16(head + 2, static_cast<std::uint16_t>(record.size()));
            u->tpt->Send(head, 4);
            u->tpt->Send(record.data(), static_cast<std::uint32_t>(record.size()));
            u->tpt->NotifyReadyToSend();
            u->file = std::move(partial);
            u->state = 3;
            return kFldrStepMoved;
        }
        if (kind != fsItem_Missing) {
            // Never overwritten; an alias or folder of that name is left alone too.
            if (kind == fsItem_File) ReduceTotal(u, UFileSys::GetSize(*item));
            return FldrUploadItemDone(u, kind != fsItem_File, failedLast);
        }
        TFSRef file = UFileSys::New(*parent, std::string_view(), partialName, fsOption_FailIfExists);
        UFileSys::CreateFile(*file, MakeCode("KXft"), MakeCode("KXLC"));
        UFileSys::StartUnflatten(*file);
        SendAction(*u->tpt, kFldrActionSendFile);
        u->file = std::move(file);
        u->state = 3;
        return kFldrStepMoved;
    } catch (const SError&) {
        failed = true;
    }
    return FldrUploadItemDone(u, failed, failedLast);
}

// Skips on past an item that needs no data: asks for the next one, or ends after the last.
int FldrUploadItemDone(SMyUploadFldrData* u, bool failed, bool& failedLast) {
    u->file.reset();
    SendAction(*u->tpt, kFldrActionNextItem);
    if (++u->uploadedItems >= u->totalItems) {
        failedLast = failed;
        return kFldrStepEnded;
    }
    u->state = 1;
    return kFldrStepMoved;
}

}  // namespace

}  // namespace kx
