// `getdir` and `putdir`: a folder tree over one transfer connection, item by item. Running the
// command again resumes: a download skips the files it already has and resumes its ".kpf"
// partial files; an upload into a folder that exists asks the server to resume, and the server
// skips what it has and resumes its own partial files.
#include <algorithm>
#include <dirent.h>
#include <ostream>
#include <sys/stat.h>
#include <unistd.h>

#include "client/client_session.h"
#include "client/client_transfer.h"
#include "framework/byte_codec.h"
#include "framework/file_util.h"
#include "fs/file_path.h"
#include "fs/flat_file.h"
#include "fs/mac_roman.h"
#include "protocol/transaction_types.h"

namespace kx {

namespace {

[[noreturn]] void Bad(const std::string& why) { throw SClientFailure(kExitBadArgument, why); }
[[noreturn]] void Damaged() { throw SClientFailure(kExitConnection, "The server sent a damaged folder item."); }

void MakeFolder(const std::string& path) {
    try {
        UFileUtil::EnsureDirectory(path);
    } catch (const SError& e) {
        Bad("Cannot create the folder " + path + ": " + UClientLocal::Describe(e));
    }
    if (!UFileUtil::IsDirectory(path)) Bad(path + " is in the way of a folder");
}

struct SFolderCounts {
    std::uint32_t files = 0, folders = 0, skipped = 0, resumed = 0;
};

void PrintCounts(std::ostream& out, bool json, const std::string& verb, const std::string& from, const std::string& to,
                 const SFolderCounts& c) {
    if (json) {
        out << "{\"from\":" << JsonString(from) << ",\"to\":" << JsonString(to) << ",\"files\":" << c.files
            << ",\"folders\":" << c.folders << ",\"skipped\":" << c.skipped << ",\"resumed\":" << c.resumed << "}\n";
        return;
    }
    out << verb << " " << from << " to " << to << ": " << c.files << " files, " << c.folders << " folders";
    if (c.skipped) out << ", " << c.skipped << " skipped";
    if (c.resumed) out << ", " << c.resumed << " resumed";
    out << "\n";
}

// The local path of an item of a downloaded tree, from the item path the server sent; no
// name can climb out of `top` or name a folder twice.
std::string LocalItemPath(const std::string& top, const std::uint8_t* pathData, std::size_t pathSize) {
    const std::vector<SPathComponent> names = UFilePath::Parse(pathData, pathSize);
    if (names.empty() || names.size() != GetBE16(pathData)) Damaged();
    std::string local = top;
    for (const SPathComponent& c : names) local += "/" + UClientLocal::LocalName(c.name);
    return local;
}

// One item of a local tree to upload.
struct SLocalItem {
    bool folder = false;
    std::vector<std::string> names;  // Mac OS Roman, from below the uploaded folder down to the item
    std::string path;                // local path
    std::uint64_t size = 0;
};

// Pre-order, names sorted; files and folders only (links and other kinds are left out and
// reported, so a link can never make the walk endless).
void WalkLocal(const std::string& dir, const std::vector<std::string>& prefix, std::vector<SLocalItem>& items,
               std::ostream& err) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) Bad("Cannot read the folder " + dir);
    std::vector<std::string> entries;
    while (const dirent* e = ::readdir(d)) {
        const std::string n = e->d_name;
        if (n != "." && n != "..") entries.push_back(n);
    }
    ::closedir(d);
    std::sort(entries.begin(), entries.end());
    for (const std::string& n : entries) {
        SLocalItem item;
        item.path = dir + "/" + n;
        item.names = prefix;
        item.names.push_back(UClientLocal::WireName(n));
        if (ClientPathData(item.names).size() + 2 > kMaxPathData) Bad("The path " + item.path + " is too long");
        struct stat st {};
        if (::lstat(item.path.c_str(), &st) != 0) Bad("Cannot read " + item.path);
        if (S_ISDIR(st.st_mode)) {
            item.folder = true;
            const std::vector<std::string> inner = item.names;
            items.push_back(std::move(item));
            WalkLocal(dir + "/" + n, inner, items, err);
        } else if (S_ISREG(st.st_mode)) {
            item.size = static_cast<std::uint64_t>(st.st_size);
            if (item.size >= 0xFFFFFFFFull - 1024) Bad(item.path + " is too large to transfer (4 GiB or more)");
            items.push_back(std::move(item));
        } else {
            err << "kestrix: leaving out " << item.path << " (neither a file nor a folder)\n";
        }
    }
}

}  // namespace

void RunGetDir(CClientLink& link, const SClientOptions& opt, std::ostream& out, std::ostream& err) {
    NeedTransferArgs(opt, 1, 2, "getdir PATH [DEST]");
    std::vector<std::string> folder = ClientPathNames(opt.args[0]);
    if (folder.empty()) Bad("A path naming a folder is needed");
    const std::string name = folder.back();
    folder.pop_back();
    const std::string destDir = opt.args.size() == 2 ? opt.args[1] : ".";
    if (!UFileUtil::IsDirectory(destDir)) Bad("No folder " + destDir);
    const std::string top = destDir + "/" + UClientLocal::LocalName(name);
    if (UClientLocal::Exists(top) && !UFileUtil::IsDirectory(top)) Bad(top + " is in the way of the folder");

    CClientConnection& conn = link.Get();
    StFieldData req;
    UFieldData::AddString(req, kFieldFileName, name);
    AddClientPathField(req, folder);
    SClientTran reply = conn.Request(kTranDownloadFldr, req);
    const std::uint32_t total = ReplyU32(reply.Fields(), kFieldTransferSize);
    const std::uint32_t itemCount = ReplyU32(reply.Fields(), kFieldFolderItemCount);
    MakeFolder(top);
    SFolderCounts counts;
    if (itemCount != 0) {
        const SRefNum ref = RefNumOf(reply);
        CTransferProgress progress(err, opt.args[0], total, ::isatty(STDERR_FILENO) == 1);
        CTransferLink transfer(conn, OpenTransferChannel(opt, ref, 0, kTransferTypeFolder), ref, opt.limitRate,
                               progress);
        if (UFieldData::HasField(reply.Fields(), kFieldWaitingCount))
            transfer.SetQueuePosition(ReplyU32(reply.Fields(), kFieldWaitingCount));
        transfer.WriteAction(kFldrActionNextItem);
        std::uint8_t b[4];
        // The server closes the connection when no item is left.
        while (transfer.ReadExactOrEnd(b, 2)) {
            const std::uint16_t size = GetBE16(b);
            if (size < 4 || size > 2 + kMaxPathData) Damaged();
            std::vector<std::uint8_t> header(size);
            transfer.ReadExact(header.data(), size);
            const std::string local = LocalItemPath(top, header.data() + 2, size - 2);
            if (GetBE16(header.data()) & 1) {
                MakeFolder(local);
                ++counts.folders;
                transfer.WriteAction(kFldrActionNextItem);
                continue;
            }
            MakeFolder(local.substr(0, local.rfind('/')));
            if (UClientLocal::Exists(local)) {
                // Already here from an earlier run: never overwritten.
                progress.AddSkipped(static_cast<std::uint64_t>(std::max<std::int64_t>(0, UClientLocal::FileSize(local))));
                ++counts.skipped;
                transfer.WriteAction(kFldrActionNextItem);
                continue;
            }
            SPartialDownload p = OpenPartial(local + std::string(kPartialSuffix), true);
            if (p.resumeRecord.empty()) {
                transfer.WriteAction(kFldrActionSendFile);
            } else {
                transfer.WriteAction(kFldrActionResumeFile);
                transfer.WriteAction(static_cast<std::uint16_t>(p.resumeRecord.size()));
                transfer.Write(p.resumeRecord.data(), p.resumeRecord.size());
                progress.AddSkipped(p.resumeOffset);
                ++counts.resumed;
            }
            transfer.ReadExact(b, 4);
            ReceiveFlattened(transfer, p, GetBE32(b));
            FinishPartial(p, local);
            ++counts.files;
            transfer.WriteAction(kFldrActionNextItem);
        }
        progress.Finish();
    }
    PrintCounts(out, opt.json, "Downloaded", opt.args[0], top, counts);
}

void RunPutDir(CClientLink& link, const SClientOptions& opt, std::ostream& out, std::ostream& err) {
    NeedTransferArgs(opt, 1, 2, "putdir FOLDER [PATH]");
    const std::string& local = opt.args[0];
    if (!UFileUtil::IsDirectory(local)) Bad("No folder " + local);
    const std::string wireName = UClientLocal::WireName(UClientLocal::BaseName(local));
    const std::vector<std::string> dest = ClientPathNames(opt.args.size() == 2 ? opt.args[1] : "");
    std::vector<SLocalItem> items;
    WalkLocal(local, {}, items, err);
    std::uint64_t total = 0;
    for (const SLocalItem& i : items) total += i.size;
    const auto total32 = static_cast<std::uint32_t>(std::min<std::uint64_t>(total, 0xFFFFFFFFull));

    CClientConnection& conn = link.Get();
    // A folder that is already there is an earlier, interrupted upload: the server resumes it.
    const bool resume = RemoteItemExists(conn, dest, UFileSys::ValidateFileName(wireName));
    StFieldData req;
    UFieldData::AddString(req, kFieldFileName, wireName);
    AddClientPathField(req, dest);
    UFieldData::AddInteger(req, kFieldFolderItemCount, static_cast<std::int32_t>(items.size()));
    UFieldData::AddInteger(req, kFieldTransferSize, static_cast<std::int32_t>(total32));
    if (resume) UFieldData::AddInteger(req, kFieldFileTransferOptions, 1);
    SClientTran reply = conn.Request(kTranUploadFldr, req);

    SFolderCounts counts;
    if (!items.empty()) {
        const SRefNum ref = RefNumOf(reply);
        CTransferProgress progress(err, local, total, ::isatty(STDERR_FILENO) == 1);
        CTransferLink transfer(conn, OpenTransferChannel(opt, ref, total32, kTransferTypeFolder), ref, opt.limitRate,
                               progress);
        bool asked = false;  // a skip answer also asks for the next item
        for (const SLocalItem& item : items) {
            if (!asked && transfer.ReadAction() != kFldrActionNextItem) Damaged();
            asked = false;
            const std::vector<std::uint8_t> path = UFilePath::Build(item.names);
            std::vector<std::uint8_t> header;
            AppendBE16(header, static_cast<std::uint16_t>(path.size() + 2));
            AppendBE16(header, item.folder ? 1 : 0);
            header.insert(header.end(), path.begin(), path.end());
            transfer.Write(header.data(), header.size());
            if (item.folder) {
                ++counts.folders;
                continue;
            }
            const std::uint16_t decision = transfer.ReadAction();
            if (decision == kFldrActionNextItem) {
                // The server has the file already (or refused this item): it asks for the next.
                progress.AddSkipped(item.size);
                ++counts.skipped;
                asked = true;
                continue;
            }
            TFSRef file = UFileSys::NewFromPath(item.path);
            try {
                if (decision == kFldrActionSendFile) {
                    UFileSys::StartFlatten(*file);
                } else if (decision == kFldrActionResumeFile) {
                    const std::uint16_t recordSize = transfer.ReadAction();
                    if (recordSize > 512) Damaged();
                    std::vector<std::uint8_t> record(recordSize);
                    transfer.ReadExact(record.data(), record.size());
                    try {
                        UFileSys::ResumeFlatten(*file, record.data(), record.size());
                    } catch (const SError&) {
                        Damaged();
                    }
                    ++counts.resumed;
                } else {
                    Damaged();
                }
            } catch (const SError& e) {
                Bad("Cannot send " + item.path + ": " + UClientLocal::Describe(e));
            }
            const std::uint32_t streamSize = UFileSys::GetFlattenSize(*file);
            progress.AddSkipped(file->GetFlatten()->dataResumeSize);
            std::uint8_t announce[4];
            PutBE32(announce, streamSize);
            transfer.Write(announce, 4);
            SendFlattened(transfer, *file, streamSize);
            ++counts.files;
        }
        // The server closes the connection after the last item.
        transfer.WaitForEnd();
        progress.Finish();
    }
    std::string remote = opt.args.size() == 2 ? opt.args[1] : "";
    while (!remote.empty() && remote.back() == '/') remote.pop_back();
    remote += (remote.empty() ? "" : "/") + UMacRoman::ToUtf8(UFileSys::ValidateFileName(wireName));
    PrintCounts(out, opt.json, "Uploaded", local, remote, counts);
}

}  // namespace kx
