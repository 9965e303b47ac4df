// File references and look-ups: UFileSys::New with its options, item kinds, alias resolution and
// the read-only queries on one item.
#include "fs/fs_ref.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "framework/error.h"
#include "fs/file_path.h"
#include "fs/file_types.h"
#include "fs/flat_file.h"
#include "fs/fs_internal.h"
#include "fs/fs_listing.h"
#include "fs/mac_roman.h"

namespace kx {

using namespace FSInternal;

TFSRefObj::TFSRefObj(std::string hostPath) : mPath(std::move(hostPath)) {}
TFSRefObj::~TFSRefObj() = default;

void TFSRefObj::SetPath(std::string hostPath) {
    mFlatten.reset();
    mUnflatten.reset();
    mPath = std::move(hostPath);
}

void TFSRefObj::SetFlatten(std::unique_ptr<SFileFlatten> f) { mFlatten = std::move(f); }
void TFSRefObj::SetUnflatten(std::unique_ptr<SFileUnflatten> u) { mUnflatten = std::move(u); }

namespace UFileSys {

namespace {

bool IsExisting(int kind) { return kind >= fsItem_File; }

// The option tests, in their fixed order; the first bit present decides.
TFSRef ApplyOptions(TFSRef ref, int kind, std::uint32_t options) {
    if (IsExisting(kind)) {
        const bool isFile = kind == fsItem_File;
        const bool isFolder = kind == fsItem_Folder;
        if (options & fsOption_NilIfExists) return nullptr;
        if (options & fsOption_FailIfExists) KX_FAIL(kErrClassFileSys, kErrAlreadyExists);
        if (options & fsOption_NilIfNotFile) return isFile ? std::move(ref) : nullptr;
        if (options & fsOption_FailIfNotFile) {
            if (!isFile) KX_FAIL(kErrClassFileSys, kErrNotAFile);
            return ref;
        }
        if (options & fsOption_NilIfNotFolder) return isFolder ? std::move(ref) : nullptr;
        if (options & fsOption_FailIfNotFolder) {
            if (!isFolder) KX_FAIL(kErrClassFileSys, kErrNotAFolder);
            return ref;
        }
        return ref;
    }
    if ((options & fsOption_NilIfNoParent) && kind == fsItem_NoParent) return nullptr;
    if (options & fsOption_NilIfNotExists) return nullptr;
    if (options & fsOption_FailIfNotExists) {
        if (options & (fsOption_NilIfNotFile | fsOption_FailIfNotFile)) KX_FAIL(kErrClassFileSys, kErrFileNotFound);
        if (options & (fsOption_NilIfNotFolder | fsOption_FailIfNotFolder)) KX_FAIL(kErrClassFileSys, kErrFolderNotFound);
        KX_FAIL(kErrClassFileSys, kErrItemNotFound);
    }
    return ref;
}

// Walks folder components from `start`; nullopt when the path is invalid.
std::optional<std::string> WalkFolders(const std::string& start, const std::vector<std::string_view>& comps) {
    std::string cur = start;
    for (const auto& comp : comps) {
        const auto disk = DiskNameOfComponent(comp);
        if (!disk) return std::nullopt;
        std::string next = JoinPath(cur, *disk);
        CheckPathLength(next);
        std::string target;
        const int kind = Classify(next, &target);
        if (kind == fsItem_Folder) {
            cur = std::move(next);
        } else if (kind == fsItem_FolderAlias) {
            cur = std::move(target);
        } else {
            return std::nullopt;
        }
    }
    return cur;
}

TFSRef LookUp(const TFSRefObj& base, std::vector<std::string_view> comps, std::string_view name,
              std::uint32_t options, int* outKind) {
    if (outKind) *outKind = fsItem_NoParent;
    std::string itemDiskName;
    bool itemIsBase = false;
    if (!name.empty()) {
        itemDiskName = DiskNameOfItem(name);
    } else if (comps.empty()) {
        itemIsBase = true;
    } else {
        const auto disk = DiskNameOfComponent(comps.back());
        comps.pop_back();
        if (disk) itemDiskName = *disk;
    }

    std::optional<std::string> folder = WalkFolders(base.GetPath(), comps);
    if (!itemIsBase && itemDiskName.empty()) folder.reset();  // the last component itself was unusable
    if (!folder) {
        if (options & (fsOption_NilIfNoParent | fsOption_NilIfNotExists)) return nullptr;
        KX_FAIL(kErrClassFileSys, kErrFolderNotFound);
    }

    std::string path = itemIsBase ? *folder : JoinPath(*folder, itemDiskName);
    CheckPathLength(path);
    std::string target;
    int kind = Classify(path, &target);
    if (options & fsOption_ResolveAliases) {
        if (kind == fsItem_FileAlias || kind == fsItem_FolderAlias) {
            kind = kind == fsItem_FileAlias ? fsItem_File : fsItem_Folder;
            path = std::move(target);
        } else if (kind == fsItem_BrokenAlias) {
            if (outKind) *outKind = kind;
            if (options & fsOption_NilIfNotExists) return nullptr;
            KX_FAIL(kErrClassFileSys, kErrAliasTargetNotFound);
        }
    }
    if (outKind) *outKind = kind;
    return ApplyOptions(std::make_unique<TFSRefObj>(std::move(path)), kind, options);
}

}  // namespace

TFSRef NewFromPath(const std::string& hostPath) {
    KX_REQUIRE(!hostPath.empty());
    std::string path = hostPath;
    if (path[0] != '/') {
        std::vector<char> cwd(kHostPathMax + 1);
        if (::getcwd(cwd.data(), cwd.size()) == nullptr) KX_FAIL_ERRNO(errno);
        path = JoinPath(cwd.data(), path);
    }
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return std::make_unique<TFSRefObj>(std::move(path));
}

TFSRef New(const TFSRefObj& base, const void* pathData, std::size_t pathSize, std::string_view name,
           std::uint32_t options, int* outKind) {
    std::vector<std::string_view> comps;
    for (const auto& c : UFilePath::Parse(pathData, pathSize)) comps.push_back(c.name);
    return LookUp(base, std::move(comps), name, options, outKind);
}

TFSRef New(const TFSRefObj& base, std::string_view subPath, std::string_view name, std::uint32_t options,
           int* outKind) {
    std::vector<std::string_view> comps;
    std::size_t start = 0;
    while (start <= subPath.size()) {
        const auto cr = subPath.find('\r', start);
        const auto end = cr == std::string_view::npos ? subPath.size() : cr;
        if (end > start) comps.push_back(subPath.substr(start, end - start));
        if (cr == std::string_view::npos) break;
        start = cr + 1;
    }
    return LookUp(base, std::move(comps), name, options, outKind);
}

TFSRef Clone(const TFSRefObj& ref) { return std::make_unique<TFSRefObj>(ref.GetPath()); }

int GetType(const TFSRefObj& ref) { return Classify(ref.GetPath()); }

bool ResolveAlias(TFSRefObj& ref, int* outKind) {
    std::string target;
    const int kind = Classify(ref.GetPath(), &target);
    if (outKind) *outKind = kind;
    if (kind == fsItem_FileAlias || kind == fsItem_FolderAlias) {
        ref.SetPath(std::move(target));
        return true;
    }
    return kind == fsItem_File || kind == fsItem_Folder;
}

bool Exists(const TFSRefObj& ref) { return IsExisting(GetType(ref)); }

std::string GetName(const TFSRefObj& ref) { return UMacRoman::FromUtf8Lossy(BaseName(ref.GetPath())); }

TFSRef GetParentFolder(const TFSRefObj& ref) { return std::make_unique<TFSRefObj>(DirName(ref.GetPath())); }

bool Equals(const TFSRefObj& a, const TFSRefObj& b) {
    if (a.GetPath() == b.GetPath()) return true;
    // Links the operator placed are not retargeted by look-ups: compare where both really are.
    char* ra = ::realpath(a.GetPath().c_str(), nullptr);
    char* rb = ::realpath(b.GetPath().c_str(), nullptr);
    const bool same = ra && rb && std::string_view(ra) == std::string_view(rb);
    std::free(ra);
    std::free(rb);
    return same;
}

std::uint64_t GetSize(const TFSRefObj& ref) {
    struct stat st {};
    if (::stat(ref.GetPath().c_str(), &st) != 0) KX_FAIL_ERRNO(errno);
    if (!S_ISREG(st.st_mode)) return 0;
    return static_cast<std::uint64_t>(st.st_size);
}

std::uint32_t GetSize32(const TFSRefObj& ref) {
    const std::uint64_t size = GetSize(ref);
    if (size > 0xFFFFFFFFull) KX_FAIL(kErrClassGeneral, kErrSizeLimit);
    return static_cast<std::uint32_t>(size);
}

std::uint32_t GetFolderItemCount(const TFSRefObj& folder) { return FSListing::CountItems(folder.GetPath()); }

void GetDates(const TFSRefObj& ref, SDateTimeStamp* outCreated, SDateTimeStamp* outModified) {
    FSListing::SItemTimes times;
    if (!FSListing::GetTimes(ref.GetPath(), true, times)) KX_FAIL_ERRNO(errno);
    if (outCreated) *outCreated = times.created;
    if (outModified) *outModified = times.modified;
}

void GetTypeAndCreator(const TFSRefObj& ref, std::uint32_t& outType, std::uint32_t& outCreator) {
    std::string target;
    const int kind = Classify(ref.GetPath(), &target);
    switch (kind) {
        case fsItem_Folder:
        case fsItem_FolderAlias:
            outType = kTypeFolder;
            outCreator = 0;
            return;
        case fsItem_File:
            FSListing::FileCodes(ref.GetPath(), outType, outCreator);
            return;
        case fsItem_FileAlias:
            FSListing::FileCodes(target, outType, outCreator);
            return;
        case fsItem_BrokenAlias:
            outType = kTypeAlias;
            outCreator = 0;
            return;
        default:
            KX_FAIL(kErrClassFileSys, kErrItemNotFound);
    }
}

}  // namespace UFileSys

}  // namespace kx
