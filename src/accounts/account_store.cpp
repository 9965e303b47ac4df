// Account folders inside "Users": case-insensitive lookup, creation, record reads and atomic
// rewrites, renames, and deletion into the trash folder.
#include "accounts/account_store.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "accounts/login_name.h"
#include "framework/error.h"
#include "framework/file_util.h"

namespace kx {

namespace {

// More attempts than this at a free name in the trash means something is wrong there.
constexpr unsigned kTrashNameAttempts = 10000;
// Room left in a trash name for the " <n>" suffix.
constexpr std::size_t kTrashBaseMax = 240;

std::string Join(const std::string& folder, std::string_view name) {
    std::string path = folder;
    if (path.empty() || path.back() != '/') path += '/';
    path.append(name);
    return path;
}

std::string BaseName(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool IsFolder(const std::string& path) {
    struct stat st{};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

struct DirCloser {
    DIR* dir;
    ~DirCloser() {
        if (dir) closedir(dir);
    }
};

// Moves `from` to `to` unless `to` exists. Returns 0 or an errno value (EEXIST when taken).
int MoveNoReplace(const std::string& from, const std::string& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    int err = errno;
    if (err != EINVAL && err != ENOSYS) return err;
    // A file system without the no-replace flag: the application thread is the only writer
    // here, so a check before the rename is enough.
    struct stat st{};
    if (lstat(to.c_str(), &st) == 0) return EEXIST;
    return rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

void RequireNewLogin(std::string_view login) {
    if (!UAccountLogin::IsSafeFolderName(login)) KX_FAIL(kErrClassFileSys, kErrAccountInvalidName);
    if (login.size() > UAccountLogin::kLoginFolderMax) KX_FAIL(kErrClassGeneral, kErrSizeLimit);
}

}  // namespace

CMyAccountStore::CMyAccountStore(std::string usersFolder, std::string trashFolder)
    : mUsersFolder(std::move(usersFolder)), mTrashFolder(std::move(trashFolder)) {}

std::optional<std::vector<std::string>> CMyAccountStore::GetUserFolderList() const {
    if (mUsersFolder.empty()) return std::nullopt;
    DirCloser d{opendir(mUsersFolder.c_str())};
    if (!d.dir) return std::nullopt;
    std::vector<std::string> names;
    while (const dirent* ent = readdir(d.dir)) {
        std::string name = ent->d_name;
        if (name.empty() || name.front() == '.') continue;
        if (IsFolder(Join(mUsersFolder, name))) names.push_back(std::move(name));
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::optional<std::string> CMyAccountStore::FindEntryName(std::string_view name, bool foldersOnly) const {
    const std::string exact = Join(mUsersFolder, name);
    struct stat st{};
    if (stat(exact.c_str(), &st) == 0 && (!foldersOnly || S_ISDIR(st.st_mode))) return std::string(name);

    DirCloser d{opendir(mUsersFolder.c_str())};
    if (!d.dir) {
        if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
        KX_FAIL_ERRNO(errno);
    }
    // Folders differing only in case can be made outside the server; the lowest name in byte
    // order wins so that every look-up picks the same one.
    std::optional<std::string> best;
    while (const dirent* ent = readdir(d.dir)) {
        std::string_view entName = ent->d_name;
        if (entName.empty() || entName.front() == '.') continue;
        if (!UAccountLogin::EqualsIgnoringCase(entName, name)) continue;
        if (foldersOnly && !IsFolder(Join(mUsersFolder, entName))) continue;
        if (!best || entName < *best) best = std::string(entName);
    }
    return best;
}

std::optional<std::string> CMyAccountStore::FindAccountFolder(std::string_view login) const {
    if (mUsersFolder.empty() || !UAccountLogin::IsSafeFolderName(login)) return std::nullopt;
    auto name = FindEntryName(login, true);
    if (!name) return std::nullopt;
    return Join(mUsersFolder, *name);
}

std::string CMyAccountStore::RequireAccountFolder(std::string_view login) const {
    // An unsafe login cannot name an account: "not found", like a hidden folder.
    if (mUsersFolder.empty() || !UAccountLogin::IsSafeFolderName(login))
        KX_FAIL(kErrClassFileSys, kErrItemNotFound);
    auto path = FindAccountFolder(login);
    if (!path) KX_FAIL(kErrClassFileSys, kErrFolderNotFound);
    return *path;
}

void CMyAccountStore::NewUser(const SMyUserDataFile& rec) {
    KX_REQUIRE(rec.IsWellFormed());
    if (mUsersFolder.empty()) KX_FAIL(kErrClassFileSys, kErrItemNotFound);
    const std::string login = rec.GetLogin();
    RequireNewLogin(login);
    if (!IsFolder(mUsersFolder)) KX_FAIL(kErrClassFileSys, kErrFolderNotFound);
    if (FindEntryName(login, false)) KX_FAIL(kErrClassFileSys, kErrAlreadyExists);

    const std::string folder = Join(mUsersFolder, login);
    if (mkdir(folder.c_str(), 0755) != 0) KX_FAIL_ERRNO(errno);  // EEXIST maps to 4/115
    try {
        const auto bytes = UUserData::Encode(rec);
        UFileUtil::WriteFileAtomic(Join(folder, kUserDataFileName), bytes.data(), bytes.size());
    } catch (...) {
        // An account folder without a record would block the login forever; take it away.
        rmdir(folder.c_str());
        throw;
    }
}

SMyUserDataFile CMyAccountStore::GetUser(std::string_view login) const {
    const std::string file = Join(RequireAccountFolder(login), kUserDataFileName);
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) KX_FAIL(kErrClassFileSys, kErrFileNotFound);
        KX_FAIL_ERRNO(errno);
    }
    struct FdCloser {
        int fd;
        ~FdCloser() { close(fd); }
    } closer{fd};
    struct stat st{};
    if (fstat(fd, &st) != 0) KX_FAIL_ERRNO(errno);
    if (!S_ISREG(st.st_mode)) KX_FAIL(kErrClassFileSys, kErrFileNotFound);

    // One byte more than the record, so that an over-long file is seen as foreign.
    std::uint8_t buf[kUserDataSize + 1];
    std::size_t got = 0;
    while (got < sizeof buf) {
        ssize_t r = read(fd, buf + got, sizeof buf - got);
        if (r < 0) {
            if (errno == EINTR) continue;
            KX_FAIL_ERRNO(errno);
        }
        if (r == 0) break;
        got += static_cast<std::size_t>(r);
    }
    return UUserData::Decode(std::span<const std::uint8_t>(buf, got));
}

void CMyAccountStore::SetUser(const SMyUserDataFile& rec) {
    KX_REQUIRE(rec.IsWellFormed());
    const std::string file = Join(RequireAccountFolder(rec.GetLogin()), kUserDataFileName);
    struct stat st{};
    if (stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) KX_FAIL(kErrClassFileSys, kErrFileNotFound);
    const auto bytes = UUserData::Encode(rec);
    UFileUtil::WriteFileAtomic(file, bytes.data(), bytes.size());
}

void CMyAccountStore::RenameUser(std::string_view oldLogin, const SMyUserDataFile& rec) {
    const std::string from = RequireAccountFolder(oldLogin);
    const std::string newLogin = rec.GetLogin();
    RequireNewLogin(newLogin);
    const std::string fromName = BaseName(from);
    if (fromName == newLogin) return;

    // Another entry answering to the new name (in any letter case) blocks the rename; the
    // account's own folder does not, so a change of case alone goes through.
    DirCloser d{opendir(mUsersFolder.c_str())};
    if (!d.dir) KX_FAIL_ERRNO(errno);
    while (const dirent* ent = readdir(d.dir)) {
        std::string_view entName = ent->d_name;
        if (entName != fromName && UAccountLogin::EqualsIgnoringCase(entName, newLogin))
            KX_FAIL(kErrClassFileSys, kErrAlreadyExists);
    }
    if (int err = MoveNoReplace(from, Join(mUsersFolder, newLogin)); err != 0) KX_FAIL_ERRNO(err);
}

std::string CMyAccountStore::UniqueTrashPath(const std::string& name) const {
    const std::string base = name.substr(0, kTrashBaseMax);
    std::string candidate = Join(mTrashFolder, base);
    for (unsigned n = 2; n <= kTrashNameAttempts; ++n) {
        struct stat st{};
        if (lstat(candidate.c_str(), &st) != 0) return candidate;
        candidate = Join(mTrashFolder, base + " " + std::to_string(n));
    }
    KX_FAIL(kErrClassFileSys, kErrAlreadyExists);
}

std::string CMyAccountStore::DeleteUser(std::string_view login) {
    if (login.empty()) return {};
    const std::string from = RequireAccountFolder(login);
    KX_REQUIRE(!mTrashFolder.empty());
    UFileUtil::EnsureDirectory(mTrashFolder);
    const std::string name = BaseName(from);
    // The free name is re-checked by the move itself: a name taken in between is skipped, never
    // replaced.
    for (unsigned attempt = 0; attempt < kTrashNameAttempts; ++attempt) {
        const std::string to = UniqueTrashPath(name);
        int err = MoveNoReplace(from, to);
        if (err == 0) return to;
        if (err != EEXIST && err != ENOTEMPTY) KX_FAIL_ERRNO(err);
    }
    KX_FAIL(kErrClassFileSys, kErrAlreadyExists);
}

bool CMyAccountStore::ExistsUser(std::string_view login) const {
    if (login.empty()) return false;
    try {
        return FindAccountFolder(login).has_value();
    } catch (const SError&) {
        return false;
    }
}

bool CMyAccountStore::ExistsUser(const SMyUserDataFile& rec) const {
    const std::string login = rec.GetLogin();
    return ExistsUser(std::string_view(login).substr(0, std::min(login.size(), UAccountLogin::kLoginFolderMax)));
}

}  // namespace kx
