// Folder listings and the per-item facts they report (see fs_listing.h).
#include "fs/fs_listing.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "framework/byte_codec.h"
#include "framework/error.h"
#include "fs/file_types.h"
#include "fs/fs_internal.h"
#include "fs/mac_roman.h"

namespace kx {

using namespace FSInternal;

namespace FSListing {

namespace {

struct timespec ToTimespec(const struct statx_timestamp& t) {
    struct timespec ts {};
    ts.tv_sec = t.tv_sec;
    ts.tv_nsec = t.tv_nsec;
    return ts;
}

bool StatxAt(int dirFd, const char* name, bool follow, struct statx& out) {
    const int flags = follow ? 0 : AT_SYMLINK_NOFOLLOW;
    return ::statx(dirFd, name, flags, STATX_BASIC_STATS | STATX_BTIME, &out) == 0;
}

SItemTimes TimesOf(const struct statx& sx) {
    SItemTimes t;
    t.modified = UDateTime::FromTimespec(ToTimespec(sx.stx_mtime));
    // Linux file systems that keep no birth time leave it out of the mask.
    t.created = (sx.stx_mask & STATX_BTIME) ? UDateTime::FromTimespec(ToTimespec(sx.stx_btime)) : t.modified;
    return t;
}

bool IsListableType(mode_t mode) { return S_ISREG(mode) || S_ISDIR(mode) || S_ISLNK(mode); }

// The next directory entry a client may see; its disk name and client name.
bool NextVisible(DIR* dir, std::string& outDisk, std::string& outName, struct statx& outLst) {
    while (const dirent* ent = ::readdir(dir)) {
        const std::string_view disk = ent->d_name;
        if (disk == "." || disk == "..") continue;
        auto name = ClientNameOfDiskName(disk);
        if (!name) continue;
        if (!StatxAt(::dirfd(dir), ent->d_name, false, outLst)) continue;  // vanished meanwhile
        if (!IsListableType(outLst.stx_mode)) continue;
        outDisk.assign(disk);
        outName = std::move(*name);
        return true;
    }
    return false;
}

}  // namespace

bool GetTimes(const std::string& path, bool follow, SItemTimes& out) {
    struct statx sx {};
    if (!StatxAt(AT_FDCWD, path.c_str(), follow, sx)) return false;
    out = TimesOf(sx);
    return true;
}

std::uint32_t CountItems(const std::string& folderPath) {
    DIR* dir = ::opendir(folderPath.c_str());
    if (dir == nullptr) return 0;
    std::uint32_t count = 0;
    std::string disk, name;
    struct statx lst {};
    while (NextVisible(dir, disk, name, lst)) ++count;
    ::closedir(dir);
    return count;
}

void FileCodes(const std::string& path, std::uint32_t& outType, std::uint32_t& outCreator) {
    std::string finalPath = path;
    struct stat lst {};
    if (::lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
        if (char* real = ::realpath(path.c_str(), nullptr)) {
            finalPath = real;
            std::free(real);
        }
    }
    UFileTypes::GetCodes(UMacRoman::FromUtf8Lossy(BaseName(finalPath)), outType, outCreator);
}

}  // namespace FSListing

TFSListObj::TFSListObj(DIR* dir, std::string folderPath, std::uint32_t options)
    : mDir(dir), mFolderPath(std::move(folderPath)), mOptions(options) {}

TFSListObj::~TFSListObj() {
    if (mDir) ::closedir(mDir);
}

bool TFSListObj::Next(SFSListItem& out) {
    std::string disk;
    struct statx lst {};
    out = SFSListItem{};
    if (!FSListing::NextVisible(mDir, disk, out.name, lst)) return false;
    const std::string path = JoinPath(mFolderPath, disk);

    struct statx sx = lst;
    bool asAlias = false;
    if (S_ISLNK(lst.stx_mode)) {
        struct statx target {};
        if ((mOptions & kFSListOptionNoAliasFollow) || !FSListing::StatxAt(::dirfd(mDir), disk.c_str(), true, target) ||
            !(S_ISREG(target.stx_mode) || S_ISDIR(target.stx_mode))) {
            asAlias = true;
        } else {
            sx = target;
        }
    }

    const auto times = FSListing::TimesOf(sx);
    out.createdDate = times.created;
    out.modifiedDate = times.modified;
    if (asAlias) {
        out.typeCode = kTypeAlias;
        out.creatorCode = 0;
        out.size = 0;
    } else if (S_ISDIR(sx.stx_mode)) {
        out.typeCode = kTypeFolder;
        out.creatorCode = 0;
        out.size = FSListing::CountItems(path);
    } else {
        FSListing::FileCodes(path, out.typeCode, out.creatorCode);
        // Sizes travel in 32 bits; a larger file shows the largest size rather than a wrapped one.
        out.size = sx.stx_size > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<std::uint32_t>(sx.stx_size);
    }
    return true;
}

namespace UFileSys {

TFSList GetListing(const TFSRefObj& folder, std::uint32_t options) {
    DIR* dir = ::opendir(folder.GetPath().c_str());
    if (dir == nullptr) {
        const int err = errno;
        if (err == ENOENT) KX_FAIL(kErrClassFileSys, kErrFolderNotFound);
        if (err == ENOTDIR) KX_FAIL(kErrClassFileSys, kErrNotAFolder);
        KX_FAIL_ERRNO(err);
    }
    return std::make_unique<TFSListObj>(dir, folder.GetPath(), options);
}

bool GetListNext(TFSListObj& list, SFSListItem& out) { return list.Next(out); }

std::vector<std::uint8_t> EncodeFileInfo(const SFSListItem& item) {
    const std::size_t n = std::min<std::size_t>(item.name.size(), 255);
    std::vector<std::uint8_t> out;
    out.reserve(20 + n);
    AppendBE32(out, item.typeCode);
    AppendBE32(out, item.creatorCode);
    AppendBE32(out, item.size);
    AppendBE32(out, 0);
    AppendBE16(out, 0);
    AppendBE16(out, static_cast<std::uint16_t>(n));
    out.insert(out.end(), item.name.begin(), item.name.begin() + static_cast<std::ptrdiff_t>(n));
    return out;
}

}  // namespace UFileSys

}  // namespace kx
