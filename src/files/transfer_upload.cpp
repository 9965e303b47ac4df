// File uploads: the upload request (destination and name rules, new or resumed partial ".kpf"
// file, free-space check) and the pass that writes received flattened streams into partial
// files, gives completed files their final names and aborts silent uploads. Aborting never
// deletes a partial file: it stays to be resumed.
#include <unistd.h>

#include <algorithm>

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

void CMyApplication::ProcessTran_UploadFile(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields) {
    if (!client->access.HasPriv(myAcc_UploadFiles)) {
        SendErrorMsg(session, "You are not allowed to upload files.");
        return;
    }
    const std::vector<std::uint8_t> path = UFieldData::GetBytes(fields, kFieldFilePath);
    std::string name = UMyTransfer::Cut(UFieldData::GetString(fields, kFieldFileName), kMaxNameLength);
    const bool resume = UFieldData::GetInteger(fields, kFieldFileTransferOptions) == kTransferOptionResume;
    const auto transferSize = static_cast<std::uint32_t>(UFieldData::GetInteger(fields, kFieldTransferSize));
    name = UFileSys::ValidateFileName(name);

    if (UMyTransfer::IsShortcutName(name)) {
        SendErrorMsg(session, "Cannot upload shortcuts.");
        return;
    }

    TFSRef root = UFileSys::NewFromPath(GetClientFilesRoot(client));
    TFSRef folder;
    try {
        folder = UFileSys::New(*root, path.data(), path.size(), std::string_view(),
                               fsOption_ResolveAliases | fsOption_NilIfNotExists | fsOption_NilIfNotFolder);
    } catch (const SError&) {
        folder.reset();  // a path no look-up can follow is no folder
    }
    if (!folder) {
        SendErrorMsg(session, "Cannot accept upload of the file " + Quoted(name) +
                                  " because the specified folder could not be found.");
        return;
    }
    if (!client->access.HasPriv(myAcc_UploadAnywhere)) {
        const std::string target = UMyTransfer::Lower(UFileSys::GetPathTargetName(path.data(), path.size()));
        if (target.find("upload") == std::string::npos && target.find("drop box") == std::string::npos) {
            SendErrorMsg(session, "Cannot accept upload of the file " + Quoted(name) +
                                      " because you are only allowed to upload to the \xD2Uploads\xD3 folder.");
            return;
        }
    }
    if (UFileSys::IsVolumeReadOnly(*folder)) {
        SendErrorMsg(session, "Cannot accept upload of the file " + Quoted(name) +
                                  " because the destination volume is read-only or locked.");
        return;
    }

    std::string finalName = name;
    std::string partialName = name + std::string(kPartialSuffix);
    if (name.size() > kPartialSuffix.size() && EndsWith(name, kPartialSuffix)) {
        partialName = name;
        finalName = name.substr(0, name.size() - kPartialSuffix.size());
    }
    const std::string quotedFinal = Quoted(finalName);
    const std::string nameTaken = "Cannot accept upload because there is already a file named " + quotedFinal +
                                  ". Try choosing a different name.";

    TFSRef file;
    try {
        if (resume) {
            file = UFileSys::New(*folder, std::string_view(), partialName,
                                 fsOption_ResolveAliases | fsOption_NilIfNotExists | fsOption_NilIfNotFile);
            if (!file) {
                SendErrorMsg(session, "Cannot resume upload of the file " + quotedFinal + " because it does not exist.");
                return;
            }
            std::uint32_t type = 0, creator = 0;
            UFileSys::GetTypeAndCreator(*file, type, creator);
            if (type != MakeCode("KXft") || creator != MakeCode("KXLC")) {
                SendErrorMsg(session, "Cannot resume upload of the file " + quotedFinal +
                                          " because it is already fully transfered.");
                return;
            }
        } else {
            if (!UFileSys::New(*folder, std::string_view(), finalName, fsOption_NilIfExists)) {
                SendErrorMsg(session, nameTaken);
                return;
            }
            if (const auto free = FreeSpace(*folder); free && std::uint64_t(transferSize) + kFreeSpaceMargin > *free) {
                Log(client, "Not enough free disk space for upload");
                SendErrorMsg(session, "Cannot accept upload of the file " + quotedFinal +
                                          " because there is not enough free disk space.");
                return;
            }
            file = UFileSys::New(*folder, std::string_view(), partialName, fsOption_NilIfExists);
            if (!file) {
                SendErrorMsg(session, nameTaken);
                return;
            }
        }
    } catch (const SError& err) {
        // The name cannot be stored here (too long for the disk): nothing was created.
        SendErrorMsg(session, "Cannot accept upload of " + quotedFinal + ":\r" + UError::GetMessage(err).substr(0, 255) +
                                  "\r" + UError::GetDetail(err).substr(0, 31));
        return;
    }

    auto u = std::make_unique<SMyUploadData>();
    std::vector<std::uint8_t> resumeData;
    bool created = false;
    try {
        if (resume) {
            resumeData = UFileSys::ResumeUnflatten(*file);
        } else {
            UFileSys::CreateFile(*file, MakeCode("KXft"), MakeCode("KXLC"));
            created = true;
            UFileSys::StartUnflatten(*file);
        }
    } catch (const SError& err) {
        if (created) ::unlink(file->GetPath().c_str());  // a failure here changes nothing for the client
        if (resume && err.type == kErrClassFileSys && err.id == kErrInUse) {
            SendErrorMsg(session, "Cannot resume upload of the file " + quotedFinal + " because it is already in use.");
        } else {
            SendErrorMsg(session, "Cannot accept upload of " + quotedFinal + ":\r" +
                                      UError::GetMessage(err).substr(0, 255) + "\r" +
                                      UError::GetDetail(err).substr(0, 31));
        }
        return;
    }

    u->file = std::move(file);
    u->totalSize = transferSize;
    u->refNum = NewRefNum() & ~std::uint32_t(1);
    u->startSecs = UClock::UpSeconds();
    u->client = client;
    u->clientID = client->userID;
    u->name = UMyTransfer::Cut(finalName, kTransferNameMax);
    const std::uint32_t refNum = u->refNum;
    mUploadList.push_back(std::move(u));

    StFieldData reply;
    if (resume) {
        UFieldData::AddField(reply, kFieldFileResumeData, resumeData.data(), static_cast<std::uint32_t>(resumeData.size()));
    }
    UMyTransfer::AddRefNum(reply, refNum);
    session->SendData(reply);

    mStats.UploadStarted();
    Log(client, "Upload " + quotedFinal);
    UpdateDisplay();
    UMyTransfer::LogUploadFile(mLogger, client, finalName);
    WakeTransferPass();  // files the record's time rule
}

void CMyApplication::ProcessUploads() {
    const std::uint32_t now = UClock::UpSeconds();
    for (std::size_t i = 0; i < mUploadList.size();) {
        SMyUploadData* u = mUploadList[i].get();
        SMyClient* client = TransferClient(u->client, u->clientID);
        auto abort = [&](const char* text) {
            const std::uint32_t address = TransferLogAddress(u->tpt, client);
            mUploadList.erase(mUploadList.begin() + static_cast<std::ptrdiff_t>(i));  // keeps the partial file
            Log(address, text);
            UpdateDisplay();
        };
        const char* text = nullptr;
        const ETransferTurn turn = CheckTransferTurn(u->tpt, client, u->startSecs, &u->wakeSecs, now, true, text);
        if (turn == ETransferTurn::kRemove) {
            abort(text);
            continue;
        }
        if (turn == ETransferTurn::kLater) {
            ++i;
            continue;
        }

        bool readAny = false;
        try {
            for (int n = 0; n < kMaxBuffersPerPass && u->rcvdSize < u->totalSize; ++n) {
                TTransportBuffer buf = u->tpt->ReceiveBuffer();
                if (!buf) break;
                readAny = true;
                // Bytes past the announced size are not part of the file.
                const auto take = static_cast<std::uint32_t>(
                    std::min<std::size_t>(buf->data.size(), u->totalSize - u->rcvdSize));
                UFileSys::ProcessUnflatten(*u->file, buf->data.data(), take);
                u->rcvdSize += take;
                mStats.transferBytesReceived += take;
                u->startSecs = now;
            }
        } catch (const SError& err) {
            // Aborted at once, keeping the partial file: what the connection still holds is
            // not to be read into the damaged file.
            u->tpt->Disconnect();
            TransferError(err);
            abort("Upload aborted");
            continue;
        }

        if (u->rcvdSize < u->totalSize && !u->tpt->IsConnected()) {
            // No notice follows a close: another pass reads what is left, if this one could read.
            if (!readAny) {
                abort("Upload aborted");
                continue;
            }
            WakeTransferPass();
        } else if (u->rcvdSize >= u->totalSize) {
            Log(u->tpt->GetRemoteIPAddress().AsHostOrder(), "Upload complete");
            std::unique_ptr<SMyUploadData> owned = std::move(mUploadList[i]);
            mUploadList.erase(mUploadList.begin() + static_cast<std::ptrdiff_t>(i));
            FinishUpload(owned.get());
            UpdateDisplay();
            continue;
        }
        // Data arrived now or never did: the idle rule counts from startSecs either way.
        mTransferWakeups.File(u->startSecs + kUploadIdleWait + 1, now, &u->wakeSecs);
        ++i;
    }
}

// Gives a completed partial file its final name. The record's connection and file are released
// by the caller whatever happens here; a rename that fails (the final name was taken meanwhile)
// leaves the ".kpf" file and goes to the error log.
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
