// Host path helpers, client-name rules and item classification shared by the file-system layer.
#include "fs/fs_internal.h"

#include <unistd.h>

#include <cerrno>
#include <vector>

#include "framework/error.h"
#include "fs/fs_ref.h"
#include "fs/mac_roman.h"

namespace kx::FSInternal {

std::string JoinPath(const std::string& folder, std::string_view name) {
    std::string out = folder;
    if (out.empty() || out.back() != '/') out += '/';
    out += name;
    return out;
}

std::string_view BaseName(std::string_view path) {
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string DirName(std::string_view path) {
    const auto slash = path.rfind('/');
    if (slash == std::string_view::npos) return ".";
    if (slash == 0) return "/";
    return std::string(path.substr(0, slash));
}

bool HasAliasSuffix(std::string_view name) {
    if (name.size() < 4) return false;
    const std::string_view tail = name.substr(name.size() - 4);
    static constexpr char kLower[] = ".lnk";
    for (int i = 0; i < 4; ++i) {
        char c = tail[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != kLower[i]) return false;
    }
    return true;
}

std::string DiskNameOfItem(std::string_view macName) {
    if (macName.empty() || macName == "..") KX_FAIL(kErrClassFileSys, kErrInvalidName);
    for (char c : macName)
        if (c == '/' || c == '\\' || c == '\0') KX_FAIL(kErrClassFileSys, kErrInvalidName);
    std::string name(macName);
    if (name[0] == '.') name[0] = '-';
    std::string disk = UMacRoman::ToUtf8(name);
    if (disk.size() > kHostNameMax) KX_FAIL(kErrClassFileSys, kErrNameTooLong);
    return disk;
}

std::optional<std::string> DiskNameOfComponent(std::string_view macName) {
    if (macName.empty() || macName.find("..") != std::string_view::npos) return std::nullopt;
    std::string name(macName);
    for (char& c : name)
        if (c == '/' || c == '\\' || c == '\0') c = '-';
    if (name[0] == '.') name[0] = '-';
    std::string disk = UMacRoman::ToUtf8(name);
    if (disk.size() > kHostNameMax) return std::nullopt;
    return disk;
}

std::optional<std::string> ClientNameOfDiskName(std::string_view diskName) {
    if (diskName.empty() || diskName[0] == '.') return std::nullopt;
    std::string mac;
    if (!UMacRoman::FromUtf8(diskName, mac)) return std::nullopt;
    if (mac.size() > 255 || mac.find('\\') != std::string::npos) return std::nullopt;
    return mac;
}

void CheckPathLength(const std::string& path) {
    if (path.size() > kHostPathMax) KX_FAIL(kErrClassFileSys, kErrNameTooLong);
}

std::optional<std::string> ReadLinkTarget(const std::string& linkPath) {
    std::vector<char> buf(kHostPathMax + 1);
    const ssize_t n = ::readlink(linkPath.c_str(), buf.data(), buf.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= buf.size()) return std::nullopt;
    std::string target(buf.data(), static_cast<std::size_t>(n));
    if (target[0] != '/') target = JoinPath(DirName(linkPath), target);
    while (target.size() > 1 && target.back() == '/') target.pop_back();
    return target;
}

bool StatFollow(const std::string& path, struct stat& st) { return ::stat(path.c_str(), &st) == 0; }

int Classify(const std::string& path, std::string* outTarget) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        const int err = errno;
        if (err != ENOENT && err != ENOTDIR) KX_FAIL_ERRNO(err);
        struct stat parent {};
        return (StatFollow(DirName(path), parent) && S_ISDIR(parent.st_mode)) ? fsItem_Missing : fsItem_NoParent;
    }
    if (S_ISREG(st.st_mode)) return fsItem_File;
    if (S_ISDIR(st.st_mode)) return fsItem_Folder;
    if (!S_ISLNK(st.st_mode)) return fsItem_Missing;  // devices, pipes, sockets: not ours to serve

    struct stat target {};
    const bool reachable = StatFollow(path, target) && (S_ISREG(target.st_mode) || S_ISDIR(target.st_mode));
    if (!reachable) return fsItem_BrokenAlias;
    // A link the operator placed under any other name stands for its target.
    if (!HasAliasSuffix(BaseName(path))) return S_ISREG(target.st_mode) ? fsItem_File : fsItem_Folder;
    if (outTarget) {
        // Follow aliases to aliases to the first item that is not one.
        std::string cur = path;
        for (int hop = 0; hop < kMaxAliasHops; ++hop) {
            auto next = ReadLinkTarget(cur);
            if (!next) return fsItem_BrokenAlias;
            cur = *next;
            struct stat lst {};
            if (::lstat(cur.c_str(), &lst) != 0) return fsItem_BrokenAlias;
            if (!S_ISLNK(lst.st_mode) || !HasAliasSuffix(BaseName(cur))) break;
        }
        *outTarget = cur;
    }
    return S_ISREG(target.st_mode) ? fsItem_FileAlias : fsItem_FolderAlias;
}

}  // namespace kx::FSInternal
