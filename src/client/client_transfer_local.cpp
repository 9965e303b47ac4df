// The local side of transfers: names and paths on this machine, partial ".kpf" files that a
// download writes and a later run resumes, and sending a local file as a flattened file. The
// flattened-file streams and resume records are the file-system layer's own.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "client/client_session.h"
#include "client/client_transfer.h"
#include "fs/file_path.h"
#include "fs/flat_file.h"
#include "fs/mac_roman.h"
#include "protocol/transaction_types.h"

namespace kx {

namespace {

[[noreturn]] void Bad(const std::string& why) { throw SClientFailure(kExitBadArgument, why); }

constexpr std::size_t kStreamChunk = 65536;

}  // namespace

namespace UClientLocal {

std::string WireName(const std::string& localName) {
    std::string wire;
    if (localName.empty() || !UMacRoman::FromUtf8(localName, wire)) Bad("The name " + localName + " cannot be given to the server");
    if (wire.size() > kMaxNameLength) Bad("The name " + localName + " is too long");
    return wire;
}

std::string LocalName(std::string_view wireName) {
    std::string name = UMacRoman::ToUtf8(wireName);
    for (char& c : name)
        if (c == '/' || c == '\0') c = '-';
    if (name.empty() || name == "." || name == "..") name.assign(std::max<std::size_t>(1, name.size()), '-');
    return name;
}

std::string BaseName(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    const auto slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::int64_t FileSize(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return st.st_size;
}

void RenameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return;
    int err = errno;
    if (err == EINVAL || err == ENOSYS) {
        // File systems without the no-replace flag: check, then rename.
        if (Exists(to)) err = EEXIST;
        else if (::rename(from.c_str(), to.c_str()) == 0) return;
        else err = errno;
    }
    if (err == EEXIST) Bad(to + " already exists; the download stays in " + from);
    Bad("Cannot rename " + from + " to " + to + ": " + std::strerror(err));
}

std::string Describe(const SError& err) { return UError::GetMessage(err) + " (" + UError::GetDetail(err) + ")"; }

}  // namespace UClientLocal

std::vector<std::uint8_t> ClientPathData(const std::vector<std::string>& names) {
    if (names.empty()) return {};
    return UFilePath::Build(names);
}

void AddClientPathField(TFieldDataObj f, const std::vector<std::string>& folder) {
    const std::vector<std::uint8_t> path = ClientPathData(folder);
    if (!path.empty()) UFieldData::AddField(f, kFieldFilePath, path.data(), static_cast<std::uint32_t>(path.size()));
}

std::uint32_t ReplyU32(TFieldDataObj f, std::uint16_t id) { return static_cast<std::uint32_t>(UFieldData::GetInteger(f, id)); }

void NeedTransferArgs(const SClientOptions& opt, std::size_t min, std::size_t max, const char* usage) {
    if (opt.args.size() < min || opt.args.size() > max)
        throw SClientFailure(kExitBadArgument, std::string("Usage: kestrix HOST ") + usage);
}

bool RemoteItemExists(CClientConnection& conn, const std::vector<std::string>& folder, const std::string& name) {
    StFieldData req;
    UFieldData::AddString(req, kFieldFileName, name);
    const std::vector<std::uint8_t> path = ClientPathData(folder);
    if (!path.empty()) UFieldData::AddField(req, kFieldFilePath, path.data(), static_cast<std::uint32_t>(path.size()));
    return conn.RequestRaw(kTranGetFileInfo, req).hdr.error == 0;
}

SPartialDownload OpenPartial(const std::string& partial, bool resume) {
    SPartialDownload p;
    p.partial = partial;
    try {
        p.ref = UFileSys::NewFromPath(partial);
        const std::int64_t held = UClientLocal::FileSize(partial);
        if (held < 0) {
            if (UClientLocal::Exists(partial)) Bad(partial + " is in the way of the download");
            UFileSys::CreateFile(*p.ref);
            UFileSys::StartUnflatten(*p.ref);
        } else if (!resume || held == 0) {
            UFileSys::StartUnflatten(*p.ref);
            if (::ftruncate(p.ref->GetUnflatten()->file.Get(), 0) != 0) KX_FAIL_ERRNO(errno);
        } else {
            p.resumeRecord = UFileSys::ResumeUnflatten(*p.ref);
            p.resumeOffset = static_cast<std::uint64_t>(held);
        }
    } catch (const SError& err) {
        if (err.type == kErrClassFileSys && err.id == kErrInUse) Bad(partial + " is being written by another download");
        Bad("Cannot write " + partial + ": " + UClientLocal::Describe(err));
    }
    return p;
}

namespace {

// Bytes of the file an unflatten writes: the DATA fork lands at the file's end, so its length
// tells the progress what arrived, headers left out.
std::uint64_t WrittenSize(const TFSRefObj& ref) {
    struct stat st {};
    if (::fstat(ref.GetUnflatten()->file.Get(), &st) != 0) return 0;
    return static_cast<std::uint64_t>(st.st_size);
}

// DATA fork bytes a flatten has produced so far.
std::uint64_t FlattenedData(const TFSRefObj& ref) {
    const SFileFlatten& f = *ref.GetFlatten();
    if (f.stage == SFileFlatten::kFinished) return f.dataSize;
    return f.stage == SFileFlatten::kData ? f.pos : 0;
}

}  // namespace

void ReceiveFlattened(CTransferLink& link, SPartialDownload& p, std::uint32_t size) {
    std::vector<std::uint8_t> buf(kStreamChunk);
    std::uint32_t got = 0;
    std::uint64_t written = WrittenSize(*p.ref);
    while (got < size) {
        const std::size_t want = link.Limiter().Chunk(std::min<std::size_t>(buf.size(), size - got));
        const std::size_t n = link.Read(buf.data(), want);
        if (n == 0) throw SClientFailure(kExitConnection, "The transfer connection was lost.");
        try {
            UFileSys::ProcessUnflatten(*p.ref, buf.data(), n);
        } catch (const SError& err) {
            if (err.type == kErrClassGeneral && (err.id == kErrBadFormat || err.id == kErrBadVersion))
                throw SClientFailure(kExitConnection, "The server sent a damaged file.");
            Bad("Cannot write " + p.partial + ": " + UClientLocal::Describe(err));
        }
        got += static_cast<std::uint32_t>(n);
        link.Limiter().Moved(n);
        const std::uint64_t now = WrittenSize(*p.ref);
        if (now > written) link.Progress().Add(now - written);
        written = std::max(written, now);
    }
}

void FinishPartial(SPartialDownload& p, const std::string& finalPath) {
    try {
        UFileSys::ProcessUnflatten(*p.ref, nullptr, 0);
        UFileSys::StopUnflatten(*p.ref);
    } catch (const SError& err) {
        Bad("Cannot write " + p.partial + ": " + UClientLocal::Describe(err));
    }
    p.ref.reset();
    UClientLocal::RenameNoReplace(p.partial, finalPath);
}

std::uint64_t SendFlattened(CTransferLink& link, TFSRefObj& ref, std::uint32_t streamSize) {
    const std::uint64_t offset = ref.GetFlatten()->dataResumeSize;
    std::vector<std::uint8_t> buf(kStreamChunk);
    std::uint32_t sent = 0;
    while (sent < streamSize) {
        std::size_t n = 0;
        const std::uint64_t before = FlattenedData(ref);
        try {
            n = UFileSys::ProcessFlatten(ref, buf.data(), std::min<std::size_t>(link.Limiter().Chunk(buf.size()), streamSize - sent));
        } catch (const SError& err) {
            Bad("Cannot read " + ref.GetPath() + ": " + UClientLocal::Describe(err));
        }
        if (n == 0) Bad("Cannot read " + ref.GetPath() + ": it got shorter while it was sent");
        link.Write(buf.data(), n);
        link.Progress().Add(FlattenedData(ref) - before);
        sent += static_cast<std::uint32_t>(n);
    }
    UFileSys::StopFlatten(ref);
    return offset;
}

}  // namespace kx
