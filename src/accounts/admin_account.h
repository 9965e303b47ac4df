// The head admin account: creating or repairing an account for administration (SetAdmin) and
// the start-up check that decides whether the operator must be asked for a password. The
// prompts themselves belong to the console; these are the effects they end in.
#pragma once

#include <cstddef>
#include <string_view>

#include "accounts/account_store.h"

namespace kx::UAdminAccount {

inline constexpr char kDefaultAdminLogin[] = "admin";
inline constexpr char kAdminDisplayName[] = "administrator";
inline constexpr std::size_t kAdminPasswordMax = 31;

// Console texts of the admin-account procedures.
inline constexpr char kPasswordTooLongText[] =
    "Please select a password that is no longer than 31 characters.";
inline constexpr char kInvalidLoginTitle[] = "Invalid Login";
inline constexpr char kInvalidLoginText[] =
    "You have used invalid characters in your account login. It has been changed to a valid "
    "alternative.";

// Applies an admin set-up to `rec` (all zero for a new account): version 1; a non-empty
// `password` (plain, at most its first 31 bytes) is stored encoded, an empty one keeps the
// stored password; a new account gets the name "administrator", the login and kFullAccessPrivs;
// an existing one gets kFullAccessPrivs only when `resetPrivs`.
void PrepareRecord(SMyUserDataFile& rec, bool isNew, std::string_view login, std::string_view password,
                   bool resetPrivs);

// Creates (when the account cannot be read) or rewrites the account `login` as PrepareRecord
// describes. False for an empty login or any failure; never raises.
bool SetAdmin(CMyAccountStore& store, std::string_view login, std::string_view password, bool resetPrivs);

enum class EAdminState {
    kMissing,     // cannot be read: ask for a password, then SetAdmin(login, password, true)
    kNoPassword,  // exists without a password: ask for one, then SetAdmin(login, password, false)
    kReady,       // nothing to do
};

// The start-up check of the head admin account `adminLogin`.
EAdminState CheckAdminAccount(const CMyAccountStore& store, std::string_view adminLogin);

// True when the record lacks any bit of kFullAccessPrivs (the operator is then offered to
// restore them with SetAdmin(login, "", true)).
bool LacksFullAccess(const SMyUserDataFile& rec);

}  // namespace kx::UAdminAccount
