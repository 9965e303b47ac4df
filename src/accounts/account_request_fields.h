// The wire side of the account administration requests: the record a request describes, the
// account entry of the list transactions, the password placeholder, and the texts the handlers
// answer with. Nothing here touches the disk or the application; the handlers are in
// account_requests*.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/field_data.h"
#include "protocol/user_data.h"

namespace kx {

// Longest login taken from a delete or read request (the record form keeps at most 32).
inline constexpr std::uint32_t kAccountRequestLoginMax = 63;
// Longest previous login taken from an entry of an account-list change.
inline constexpr std::uint32_t kAccountEntryPrevLoginMax = 31;
// Longest entry read out of an account-list change.
inline constexpr std::uint32_t kAccountEntryMax = 512;
// Longest password carried over when a change keeps the stored one.
inline constexpr std::size_t kKeptPasswordMax = 31;

// Sent in place of a stored password: the stored bytes never leave the server.
inline constexpr char kPasswordPlaceholder[] = "x";

// Refusals and failures, byte for byte; “ and ” are the Mac Roman bytes 0xD2 and 0xD3.
inline constexpr char kNoCreateAccountsText[] = "You are not allowed to create new accounts.";
inline constexpr char kMoreAccessText[] = "Cannot create account with more access than yourself.";
inline constexpr char kNoDeleteAccountsText[] = "You are not allowed to delete accounts.";
inline constexpr char kNoGetAccountText[] = "You are not allowed to get account information.";
inline constexpr char kNoModifyAccountsText[] = "You are not allowed to modify account information.";
inline constexpr char kNoAdministerText[] = "You are not allowed to administer accounts.";
inline constexpr char kCannotReadListText[] = "Cannot read account list.";
inline constexpr char kErrorSavingListText[] = "Error saving list of accounts.";

namespace UAccountRequest {

// "Cannot create account “login” because there is already an account with that login."
std::string AlreadyExistsText(std::string_view login);
// "Cannot create account “login”:" (followed by the failure's description)
std::string CannotCreateText(std::string_view login);
// "No account with login “login”."
std::string NoAccountText(std::string_view login);
// "Cannot delete account “login”:"
std::string CannotDeleteText(std::string_view login);
// "Cannot read account “login”:"
std::string CannotReadText(std::string_view login);
// "Cannot modify account “login”:"
std::string CannotModifyText(std::string_view login);

// The general-log texts of the four changes, and the affected column of a rename
// ("“old” “new”").
std::string CreateLogText(std::string_view login);
std::string DeleteLogText(std::string_view login);
std::string ModifyLogText(std::string_view login);
std::string RenameAffected(std::string_view oldLogin, std::string_view newLogin);
std::string RenameLogText(std::string_view affected);

// A fresh record (version 1, everything else zero) from the name, alias, login, password and
// access fields of `fields`, each cut to its capacity (64, 64, 32, 32, 8 bytes; absent fields
// leave zeros). The login is decoded; the password is kept as it arrived (encoded).
SMyUserDataFile RecordFromFields(TFieldDataObj fields);

// True when the request's password field is exactly the one byte 0x00: keep the stored one.
bool KeepsPassword(TFieldDataObj fields);

// Copies the stored password of `stored` into `rec`, at most 31 bytes.
void CopyKeptPassword(SMyUserDataFile& rec, const SMyUserDataFile& stored);

// A login field's bytes (at most `max`), decoded when `encoded`.
std::string LoginFromField(TFieldDataObj fields, std::uint16_t id, std::uint32_t max, bool encoded);

// Appends the account's public fields to `out` in the order clients expect: name, login
// (encoded here from the plain `login`), the password placeholder (no field at all when the
// account has no password, an empty field being never written), access.
void AddAccountFields(TFieldDataObj out, const SMyUserDataFile& rec, std::string_view login);

}  // namespace UAccountRequest

}  // namespace kx
