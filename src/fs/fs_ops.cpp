// Changes to the tree: creating files and folders, renaming, moving and making aliases.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "framework/error.h"
#include "fs/fs_internal.h"
#include "fs/fs_ref.h"

namespace kx::UFileSys {

using namespace FSInternal;

namespace {

// Renames without ever replacing what is at `to`.
void RenameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return;
    int err = errno;
    if (err == EINVAL || err == ENOSYS) {
        // File systems without the no-replace flag: check, then rename (single-threaded server).
        struct stat st {};
        if (::lstat(to.c_str(), &st) == 0) KX_FAIL(kErrClassFileSys, kErrAlreadyExists);
        if (::rename(from.c_str(), to.c_str()) == 0) return;
        err = errno;
    }
    if (err == ENOTEMPTY) err = EEXIST;
    KX_FAIL_ERRNO(err);
}

// Length of the longest path below a folder, relative to it (links are not followed). Bounded
// by the host path limit: the walk stops descending once a path cannot get any longer usefully.
std::size_t DeepestRelativePath(const std::string& folder, std::size_t prefixLen, int depth) {
    if (depth > 256) return prefixLen;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return prefixLen;
    std::size_t deepest = prefixLen;
    while (const dirent* ent = ::readdir(dir)) {
        const std::string_view name = ent->d_name;
        if (name == "." || name == "..") continue;
        const std::size_t len = prefixLen + 1 + name.size();
        deepest = std::max(deepest, len);
        const std::string child = JoinPath(folder, name);
        struct stat st {};
        if (len <= kHostPathMax && ::lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            deepest = std::max(deepest, DeepestRelativePath(child, len, depth + 1));
    }
    ::closedir(dir);
    return deepest;
}

std::string RealPathOr(const std::string& path) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (real == nullptr) return path;
    std::string out = real;
    std::free(real);
    return out;
}

}  // namespace

void CreateFolder(const TFSRefObj& ref) {
    CheckPathLength(ref.GetPath());
    if (::mkdir(ref.GetPath().c_str(), 0777) != 0) KX_FAIL_ERRNO(errno);
}

void CreateFile(const TFSRefObj& ref, std::uint32_t, std::uint32_t) {
    CheckPathLength(ref.GetPath());
    const int fd = ::open(ref.GetPath().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) KX_FAIL_ERRNO(errno);
    ::close(fd);
}

void SetName(TFSRefObj& ref, std::string_view newName) {
    const std::string disk = DiskNameOfItem(newName);
    const std::string folder = DirName(ref.GetPath());
    const std::string newPath = JoinPath(folder, disk);
    CheckPathLength(newPath);
    if (newPath == ref.GetPath()) return;
    struct stat st {};
    if (::lstat(ref.GetPath().c_str(), &st) != 0) KX_FAIL_ERRNO(errno);
    if (S_ISDIR(st.st_mode) && DeepestRelativePath(ref.GetPath(), newPath.size(), 0) > kHostPathMax)
        KX_FAIL(kErrClassFileSys, kErrNameTooLong);
    RenameNoReplace(ref.GetPath(), newPath);
    ref.SetPath(newPath);
}

void Move(TFSRefObj& ref, const TFSRefObj& destFolder) {
    struct stat dst {};
    if (!StatFollow(destFolder.GetPath(), dst)) KX_FAIL(kErrClassFileSys, kErrFolderNotFound);
    if (!S_ISDIR(dst.st_mode)) KX_FAIL(kErrClassFileSys, kErrNotAFolder);
    struct stat st {};
    if (::lstat(ref.GetPath().c_str(), &st) != 0) KX_FAIL_ERRNO(errno);

    const std::string newPath = JoinPath(destFolder.GetPath(), BaseName(ref.GetPath()));
    CheckPathLength(newPath);
    if (S_ISDIR(st.st_mode)) {
        // Compare real paths, so that a link inside the folder cannot disguise the destination.
        const std::string src = RealPathOr(ref.GetPath());
        const std::string dest = RealPathOr(destFolder.GetPath());
        if (dest == src || (dest.size() > src.size() && dest.compare(0, src.size(), src) == 0 && dest[src.size()] == '/'))
            KX_FAIL(kErrClassFileSys, kErrMoveIntoItself);
        if (DeepestRelativePath(ref.GetPath(), newPath.size(), 0) > kHostPathMax)
            KX_FAIL(kErrClassFileSys, kErrNameTooLong);
    }
    try {
        RenameNoReplace(ref.GetPath(), newPath);
    } catch (const SError& e) {
        // The kernel's own into-itself refusal.
        if (e.special == EINVAL) KX_FAIL(kErrClassFileSys, kErrMoveIntoItself);
        throw;
    }
    ref.SetPath(newPath);
}

void CreateAlias(TFSRefObj& aliasRef, const TFSRefObj& target) {
    const std::string& targetPath = target.GetPath();
    // Targets come from look-ups, which never produce relative paths or "." / ".." steps; refuse
    // anything else rather than let a link climb out of the tree.
    if (targetPath.empty() || targetPath[0] != '/' || targetPath.find("/../") != std::string::npos ||
        targetPath.find("/./") != std::string::npos || BaseName(targetPath) == ".." || BaseName(targetPath) == ".")
        KX_FAIL_PARAM();
    struct stat st {};
    if (::lstat(targetPath.c_str(), &st) != 0) KX_FAIL(kErrClassFileSys, kErrItemNotFound);

    std::string aliasPath = aliasRef.GetPath();
    if (!HasAliasSuffix(BaseName(aliasPath))) aliasPath += ".lnk";
    if (BaseName(aliasPath).size() > kHostNameMax) KX_FAIL(kErrClassFileSys, kErrNameTooLong);
    CheckPathLength(aliasPath);
    if (::symlink(targetPath.c_str(), aliasPath.c_str()) != 0) KX_FAIL_ERRNO(errno);
    aliasRef.SetPath(aliasPath);
}

}  // namespace kx::UFileSys
