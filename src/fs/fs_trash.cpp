// Deleting by moving into the trash folder, and the volume queries (free space, read-only).
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "framework/error.h"
#include "fs/fs_internal.h"
#include "fs/fs_ref.h"

namespace kx::UFileSys {

using namespace FSInternal;

namespace {

std::string gTrashFolder;

// Bound on " 2", " 3", ... tried before giving up on a free name in the trash.
constexpr int kMaxTrashSuffix = 10000;

// `name` cut so that name + suffix fits the host's name limit, without splitting a UTF-8 character.
std::string FitName(std::string_view name, std::size_t suffixLen) {
    std::size_t keep = name.size();
    if (keep + suffixLen > kHostNameMax) {
        keep = kHostNameMax - suffixLen;
        while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
    }
    return std::string(name.substr(0, keep));
}

// The nearest existing folder at or above a path, for volume queries.
bool StatVolume(const std::string& path, struct statvfs& out) {
    std::string cur = path;
    for (int i = 0; i < 512; ++i) {
        if (::statvfs(cur.c_str(), &out) == 0) return true;
        if (cur == "/" || cur == ".") return false;
        cur = DirName(cur);
    }
    return false;
}

}  // namespace

void SetTrashFolder(const std::string& hostPath) { gTrashFolder = hostPath; }
const std::string& GetTrashFolder() { return gTrashFolder; }

void MoveToTrash(const TFSRefObj& ref) {
    struct stat st {};
    if (::lstat(ref.GetPath().c_str(), &st) != 0) return;
    KX_REQUIRE(!gTrashFolder.empty());
    if (::mkdir(gTrashFolder.c_str(), 0777) != 0 && errno != EEXIST) KX_FAIL_ERRNO(errno);

    const std::string_view name = BaseName(ref.GetPath());
    for (int n = 1; n <= kMaxTrashSuffix; ++n) {
        const std::string suffix = n == 1 ? std::string() : " " + std::to_string(n);
        const std::string dest = JoinPath(gTrashFolder, FitName(name, suffix.size()) + suffix);
        if (::renameat2(AT_FDCWD, ref.GetPath().c_str(), AT_FDCWD, dest.c_str(), RENAME_NOREPLACE) == 0) return;
        const int err = errno;
        if (err == EEXIST || err == ENOTEMPTY) continue;
        if (err == EINVAL || err == ENOSYS) {
            // No no-replace support: check first (single-threaded server).
            struct stat other {};
            if (::lstat(dest.c_str(), &other) == 0) continue;
            if (::rename(ref.GetPath().c_str(), dest.c_str()) == 0) return;
            KX_FAIL_ERRNO(errno);
        }
        KX_FAIL_ERRNO(err);
    }
    KX_FAIL(kErrClassFileSys, kErrAlreadyExists);
}

std::optional<std::uint64_t> GetFreeSpace(const TFSRefObj& ref) {
    struct statvfs vfs {};
    if (!StatVolume(ref.GetPath(), vfs)) return std::nullopt;
    return static_cast<std::uint64_t>(vfs.f_bavail) * static_cast<std::uint64_t>(vfs.f_frsize);
}

bool IsVolumeReadOnly(const TFSRefObj& ref) {
    struct statvfs vfs {};
    return StatVolume(ref.GetPath(), vfs) && (vfs.f_flag & ST_RDONLY) != 0;
}

}  // namespace kx::UFileSys
