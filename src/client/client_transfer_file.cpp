// `get` and `put`: one file over the transfer connection, resumed automatically. A download
// writes into "NAME.kpf" beside its destination and sends a resume record for what that file
// already holds; an upload whose partial file the server still has is resumed from the offset
// the server's resume record gives.
#include <ostream>
#include <unistd.h>

#include "client/client_session.h"
#include "client/client_transfer.h"
#include "framework/file_util.h"
#include "fs/file_path.h"
#include "fs/flat_file.h"
#include "fs/mac_roman.h"
#include "protocol/transaction_types.h"

namespace kx {

namespace {

[[noreturn]] void Bad(const std::string& why) { throw SClientFailure(kExitBadArgument, why); }


bool StderrIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

}  // namespace

bool IsTransferCommand(const std::string& command) {
    return command == "get" || command == "put" || command == "getdir" || command == "putdir";
}

void RunTransferCommand(CClientLink& link, const SClientOptions& opt, std::ostream& out, std::ostream& err) {
    if (opt.command == "get") RunGet(link, opt, out, err);
    else if (opt.command == "put") RunPut(link, opt, out, err);
    else if (opt.command == "getdir") RunGetDir(link, opt, out, err);
    else RunPutDir(link, opt, out, err);
}

void RunGet(CClientLink& link, const SClientOptions& opt, std::ostream& out, std::ostream& err) {
    NeedTransferArgs(opt, 1, 2, "get PATH [DEST]");
    std::vector<std::string> folder = ClientPathNames(opt.args[0]);
    if (folder.empty()) Bad("A path naming a file is needed");
    const std::string name = folder.back();
    folder.pop_back();
    const std::string localName = UClientLocal::LocalName(name);
    std::string target = localName;
    if (opt.args.size() == 2) {
        const std::string& dest = opt.args[1];
        if (dest.empty()) Bad("The destination is empty");
        target = UFileUtil::IsDirectory(dest) || dest.back() == '/' ? dest + (dest.back() == '/' ? "" : "/") + localName
                                                                       : dest;
    }
    if (UClientLocal::Exists(target)) Bad(target + " already exists");
    const std::string partial = target + std::string(kPartialSuffix);
    const bool created = !UClientLocal::Exists(partial);

    CClientConnection& conn = link.Get();
    // Opened (and locked) before the request, so the resume record says what the file holds.
    SPartialDownload p = OpenPartial(partial, true);
    StFieldData req;
    UFieldData::AddString(req, kFieldFileName, name);
    AddClientPathField(req, folder);
    if (!p.resumeRecord.empty())
        UFieldData::AddField(req, kFieldFileResumeData, p.resumeRecord.data(), static_cast<std::uint32_t>(p.resumeRecord.size()));
    // A refused (or unanswered) request leaves no empty partial file behind.
    auto dropCreated = [&] {
        p.ref.reset();
        if (created && UClientLocal::FileSize(partial) == 0) ::unlink(partial.c_str());
    };
    SClientTran reply;
    try {
        reply = conn.RequestRaw(kTranDownloadFile, req);
    } catch (const SClientFailure&) {
        dropCreated();
        throw;
    }
    if (reply.hdr.error != 0) {
        dropCreated();
        throw SClientFailure(kExitServerError, ErrorTextOf(reply));
    }
    const std::uint32_t transferSize = ReplyU32(reply.Fields(), kFieldTransferSize);
    const std::uint32_t fileSize = ReplyU32(reply.Fields(), kFieldFileSize);
    const SRefNum ref = RefNumOf(reply);
    if (p.resumeOffset > fileSize)
        Bad(partial + " holds more than the file on the server; remove it to download the file again");

    CTransferProgress progress(err, opt.args[0], fileSize, StderrIsTerminal());
    progress.AddSkipped(p.resumeOffset);
    CTransferLink transfer(conn, OpenTransferChannel(opt, ref, 0, kTransferTypeFile), ref, opt.limitRate, progress);
    if (UFieldData::HasField(reply.Fields(), kFieldWaitingCount)) transfer.SetQueuePosition(ReplyU32(reply.Fields(), kFieldWaitingCount));
    try {
        ReceiveFlattened(transfer, p, transferSize);
    } catch (const SClientFailure& f) {
        if (f.exitCode != kExitConnection) throw;
        throw SClientFailure(kExitConnection, std::string(f.what()) + " The partial download stays in " + partial +
                                                  "; run the command again to resume.");
    }
    progress.Finish();
    FinishPartial(p, target);
    const std::int64_t got = UClientLocal::FileSize(target);
    if (got != static_cast<std::int64_t>(fileSize))
        throw SClientFailure(kExitServerError, target + " has " + std::to_string(got) + " bytes, the server announced " +
                                                   std::to_string(fileSize));

    if (opt.json) {
        out << "{\"remote\":" << JsonString(opt.args[0]) << ",\"local\":" << JsonString(target) << ",\"size\":" << fileSize
            << ",\"resumedAt\":" << p.resumeOffset << "}\n";
    } else {
        out << "Downloaded " << opt.args[0] << " to " << target << " (" << fileSize << " bytes";
        if (p.resumeOffset) out << ", resumed at " << p.resumeOffset;
        out << ")\n";
    }
}

void RunPut(CClientLink& link, const SClientOptions& opt, std::ostream& out, std::ostream& err) {
    NeedTransferArgs(opt, 1, 2, "put FILE [PATH]");
    const std::string& local = opt.args[0];
    const std::int64_t size = UClientLocal::FileSize(local);
    if (size < 0) Bad("No file " + local);
    const std::vector<std::string> folder = ClientPathNames(opt.args.size() == 2 ? opt.args[1] : "");
    const std::string wireName = UClientLocal::WireName(UClientLocal::BaseName(local));
    // The server stores the upload as "NAME.kpf" until it is complete (a name that already ends
    // so is its own partial name).
    const std::string serverName = UFileSys::ValidateFileName(wireName);
    const bool hasSuffix = serverName.size() > kPartialSuffix.size() &&
                           serverName.compare(serverName.size() - 4, 4, kPartialSuffix) == 0;
    const std::string partialName = hasSuffix ? serverName : serverName + std::string(kPartialSuffix);

    TFSRef file = UFileSys::NewFromPath(local);
    std::uint32_t wholeSize = 0;
    try {
        UFileSys::StartFlatten(*file);
        wholeSize = UFileSys::GetFlattenSize(*file);
    } catch (const SError& e) {
        Bad("Cannot send " + local + ": " + UClientLocal::Describe(e));
    }

    CClientConnection& conn = link.Get();
    const bool resume = RemoteItemExists(conn, folder, partialName);
    StFieldData req;
    UFieldData::AddString(req, kFieldFileName, wireName);
    AddClientPathField(req, folder);
    UFieldData::AddInteger(req, kFieldTransferSize, static_cast<std::int32_t>(wholeSize));
    if (resume) UFieldData::AddInteger(req, kFieldFileTransferOptions, 1);
    SClientTran reply = conn.Request(kTranUploadFile, req);
    const SRefNum ref = RefNumOf(reply);
    if (resume) {
        const std::vector<std::uint8_t> record = UFieldData::GetBytes(reply.Fields(), kFieldFileResumeData);
        try {
            UFileSys::ResumeFlatten(*file, record.data(), record.size());
        } catch (const SError&) {
            throw SClientFailure(kExitServerError, "The server's resume record is damaged.");
        }
    }
    const std::uint32_t streamSize = UFileSys::GetFlattenSize(*file);
    const std::uint64_t offset = file->GetFlatten()->dataResumeSize;
    if (resume) {
        // The server's partial file must be a beginning of this file; one that is longer is not.
        const std::vector<std::uint8_t> record = UFieldData::GetBytes(reply.Fields(), kFieldFileResumeData);
        if (UFlatFile::ReadResumeData(record.data(), record.size()).value_or(0) > static_cast<std::uint64_t>(size))
            Bad("The server already holds more of " + UMacRoman::ToUtf8(partialName) + " than " + local +
                " has; upload it under another name");
    }

    CTransferProgress progress(err, local, static_cast<std::uint64_t>(size), StderrIsTerminal());
    progress.AddSkipped(offset);
    CTransferLink transfer(conn, OpenTransferChannel(opt, ref, streamSize, kTransferTypeFile), ref, opt.limitRate,
                           progress);
    SendFlattened(transfer, *file, streamSize);
    // The server closes the connection once it has stored the whole file.
    transfer.WaitForEnd();
    progress.Finish();

    std::string remote = opt.args.size() == 2 ? opt.args[1] : "";
    while (!remote.empty() && remote.back() == '/') remote.pop_back();
    remote += (remote.empty() ? "" : "/") + UMacRoman::ToUtf8(serverName);
    if (hasSuffix) remote.resize(remote.size() - kPartialSuffix.size());
    if (opt.json) {
        out << "{\"local\":" << JsonString(local) << ",\"remote\":" << JsonString(remote) << ",\"size\":" << size
            << ",\"resumedAt\":" << offset << "}\n";
    } else {
        out << "Uploaded " << local << " to " << remote << " (" << size << " bytes";
        if (offset) out << ", resumed at " << offset;
        out << ")\n";
    }
}

}  // namespace kx
