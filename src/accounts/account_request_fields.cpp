// Converting between account requests and account records, and the account request texts.
#include "accounts/account_request_fields.h"

#include <algorithm>
#include <array>

#include "fs/mac_roman.h"
#include "protocol/transaction_types.h"

namespace kx::UAccountRequest {

using UMacRoman::Quoted;

namespace {

// At most `max` bytes of the field.
std::string FieldBytes(TFieldDataObj fields, std::uint16_t id, std::uint32_t max) {
    std::string out(max, '\0');
    out.resize(UFieldData::GetField(fields, id, out.data(), max));
    return out;
}

}  // namespace

std::string AlreadyExistsText(std::string_view login) {
    return "Cannot create account " + Quoted(login) + " because there is already an account with that login.";
}
std::string CannotCreateText(std::string_view login) { return "Cannot create account " + Quoted(login) + ":"; }
std::string NoAccountText(std::string_view login) { return "No account with login " + Quoted(login) + "."; }
std::string CannotDeleteText(std::string_view login) { return "Cannot delete account " + Quoted(login) + ":"; }
std::string CannotReadText(std::string_view login) { return "Cannot read account " + Quoted(login) + ":"; }
std::string CannotModifyText(std::string_view login) { return "Cannot modify account " + Quoted(login) + ":"; }

std::string CreateLogText(std::string_view login) { return "Create account " + Quoted(login); }
std::string DeleteLogText(std::string_view login) { return "Delete account " + Quoted(login); }
std::string ModifyLogText(std::string_view login) { return "Modify account " + Quoted(login); }
std::string RenameAffected(std::string_view oldLogin, std::string_view newLogin) {
    return Quoted(oldLogin) + " " + Quoted(newLogin);
}
std::string RenameLogText(std::string_view affected) { return "Rename account " + std::string(affected); }

SMyUserDataFile RecordFromFields(TFieldDataObj fields) {
    SMyUserDataFile rec;
    rec.SetName(FieldBytes(fields, kFieldUserName, kUserNameMax));
    rec.SetAlias(FieldBytes(fields, kFieldUserAlias, kUserAliasMax));
    rec.SetLogin(UUserData::DecodeText(FieldBytes(fields, kFieldUserLogin, kUserLoginMax)));
    rec.SetPassword(FieldBytes(fields, kFieldUserPassword, kUserPasswordMax));
    std::array<std::uint8_t, kUserAccessSize> access{};
    UFieldData::GetField(fields, kFieldUserAccess, access.data(), kUserAccessSize);
    rec.access.bytes = access;
    return rec;
}

bool KeepsPassword(TFieldDataObj fields) {
    if (UFieldData::GetFieldSize(fields, kFieldUserPassword) != 1) return false;
    std::uint8_t b = 0xFF;
    UFieldData::GetField(fields, kFieldUserPassword, &b, 1);
    return b == 0;
}

void CopyKeptPassword(SMyUserDataFile& rec, const SMyUserDataFile& stored) {
    const std::string pw = stored.GetPassword();
    rec.SetPassword(std::string_view(pw).substr(0, std::min(pw.size(), kKeptPasswordMax)));
}

std::string LoginFromField(TFieldDataObj fields, std::uint16_t id, std::uint32_t max, bool encoded) {
    std::string login = FieldBytes(fields, id, max);
    return encoded ? UUserData::DecodeText(login) : login;
}

void AddAccountFields(TFieldDataObj out, const SMyUserDataFile& rec, std::string_view login) {
    UFieldData::AddString(out, kFieldUserName, rec.GetName());
    UFieldData::AddString(out, kFieldUserLogin, UUserData::EncodeText(login));
    if (rec.passwordSize != 0) UFieldData::AddString(out, kFieldUserPassword, kPasswordPlaceholder);
    UFieldData::AddField(out, kFieldUserAccess, rec.access.bytes.data(), kUserAccessSize);
}

}  // namespace kx::UAccountRequest
