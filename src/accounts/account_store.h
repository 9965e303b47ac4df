// The account store: one folder per account inside "Users", each holding its 734-byte
// "UserData" record. Accounts live only on disk; nothing is cached. Every operation finishes its
// file work before it returns and reports failure by raising SError (classes and codes below).
//
// Account folders are found without regard to letter case (ASCII), as on a file system that
// compares names that way; an exact match is preferred. Only visible folders count: entries whose
// name begins with "." are hidden and never accounts. A symbolic link to a folder counts as the
// folder (the operator may place one); a plain file named like a login is not an account.
//
// Logins name folders, so a login is used only when it is a safe folder name
// (UAccountLogin::IsSafeFolderName). Creating or renaming to an unsafe login is refused with the
// invalid-name error and creates nothing; looking one up answers "item not found", as no account
// can have it. New folder names are limited to 31 bytes.
//
// Deleted accounts are moved, never destroyed: into the trash folder given at construction (a
// folder of the program, outside every client-visible tree), under the account's folder name or,
// when that is taken, "<name> 2", "<name> 3" and so on. Nothing already in the trash is ever
// replaced.
//
// Owned by the application (which holds the "Users" path); used on the application thread only.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/user_data.h"

namespace kx {

// File-system error codes (class 4) raised here beyond those named in framework/error.h.
inline constexpr std::int16_t kErrAccountInvalidName = 119;  // login unusable as a folder name

class CMyAccountStore {
public:
    // `usersFolder` empty means "not set": reads fail with item-not-found, ExistsUser is false.
    // `trashFolder` is created on the first deletion when missing.
    CMyAccountStore(std::string usersFolder, std::string trashFolder);

    const std::string& GetUsersFolder() const { return mUsersFolder; }
    const std::string& GetTrashFolder() const { return mTrashFolder; }

    // Names of the visible folders inside "Users" (candidate accounts), sorted by bytes; nullopt
    // when the users folder is unset or cannot be listed.
    std::optional<std::vector<std::string>> GetUserFolderList() const;

    // Creates the folder named by the record's login and writes UserData into it.
    // Class 4/102 users folder unset; 4/104 users folder missing; 4/119 login empty or unsafe;
    // class 1/10 login longer than 31 bytes; 4/115 an entry of that name (any letter case)
    // exists, and nothing is written; class 1/2 a record that is not well formed. When writing
    // the record fails, the new folder is removed again.
    void NewUser(const SMyUserDataFile& rec);

    // Reads the account's record.
    // 4/102 empty or unsafe login, users folder unset; 4/104 no such account folder;
    // 4/103 no UserData file in it; 1/8 UserData not exactly 734 bytes; 1/7 version not 1.
    SMyUserDataFile GetUser(std::string_view login) const;

    // Rewrites the UserData of the account named by the record's login (atomically: temporary
    // file, fsync, rename). Never creates anything: 4/102, 4/104 and 4/103 as for GetUser;
    // class 1/2 for a record that is not well formed.
    void SetUser(const SMyUserDataFile& rec);

    // Renames the folder of `oldLogin` (found as in GetUser, same errors) to the record's login.
    // The record file is not rewritten. 4/119 and 1/10 as for NewUser for the new login; 4/115
    // when another entry already has the new name (a change of letter case only is allowed).
    void RenameUser(std::string_view oldLogin, const SMyUserDataFile& rec);

    // Moves the account folder, with everything in it, into the trash and returns its path
    // there. Does nothing (returns "") for an empty login. 4/102 unsafe login or users folder
    // unset; 4/104 no such account folder; mapped platform errors when the move fails.
    std::string DeleteUser(std::string_view login);

    // True when the account folder exists. False for an empty or unsafe login or an unset users
    // folder. The record form uses at most the first 31 bytes of the record's login.
    bool ExistsUser(std::string_view login) const;
    bool ExistsUser(const SMyUserDataFile& rec) const;

    // Path of the account's folder (matched without regard to case), or nullopt.
    std::optional<std::string> GetAccountFolder(std::string_view login) const { return FindAccountFolder(login); }

private:
    // Path of the visible folder matching `login` without regard to case, or nullopt.
    std::optional<std::string> FindAccountFolder(std::string_view login) const;
    // Like FindAccountFolder, but raises 4/102 or 4/104 as GetUser describes.
    std::string RequireAccountFolder(std::string_view login) const;
    // Name of any visible entry (file or folder) matching `name` without regard to case.
    std::optional<std::string> FindEntryName(std::string_view name, bool foldersOnly) const;
    void RequireUsable(std::string_view newLogin) const;
    std::string UniqueTrashPath(const std::string& name) const;

    std::string mUsersFolder;
    std::string mTrashFolder;
};

}  // namespace kx
