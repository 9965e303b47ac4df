// Byte-exact encoding and decoding of the 734-byte account record, and the complement coding of
// logins and passwords.
#include "protocol/user_data.h"

#include <algorithm>

#include "framework/byte_codec.h"
#include "framework/error.h"

namespace kx {

namespace {

// Field offsets within the file.
constexpr std::size_t kOffVersion = 0;
constexpr std::size_t kOffIconID = 2;
constexpr std::size_t kOffAccess = 4;
constexpr std::size_t kOffMaxSimulDownloads = 12;
constexpr std::size_t kOffRsvd = 14;
constexpr std::size_t kOffNameScript = 526;
constexpr std::size_t kOffAliasScript = 594;
constexpr std::size_t kOffLoginScript = 662;
constexpr std::size_t kOffPasswordScript = 698;
static_assert(kOffRsvd + kUserDataRsvdSize == kOffNameScript);
static_assert(kOffNameScript + 4 + kUserNameMax == kOffAliasScript);
static_assert(kOffAliasScript + 4 + kUserAliasMax == kOffLoginScript);
static_assert(kOffLoginScript + 4 + kUserLoginMax == kOffPasswordScript);
static_assert(kOffPasswordScript + 4 + kUserPasswordMax == kUserDataSize);

template <std::size_t N>
void PutBytes(UUserData::TUserDataBytes& out, std::size_t off, const std::array<std::uint8_t, N>& a) {
    std::copy(a.begin(), a.end(), out.begin() + static_cast<std::ptrdiff_t>(off));
}

template <std::size_t N>
void GetBytes(std::span<const std::uint8_t> in, std::size_t off, std::array<std::uint8_t, N>& a) {
    std::copy_n(in.begin() + static_cast<std::ptrdiff_t>(off), N, a.begin());
}

// A text field: script (2), size (2), then the data area.
template <std::size_t N>
void PutText(UUserData::TUserDataBytes& out, std::size_t off, std::uint16_t script, std::uint16_t size,
             const std::array<std::uint8_t, N>& data) {
    PutBE16(out.data() + off, script);
    PutBE16(out.data() + off + 2, size);
    PutBytes(out, off + 4, data);
}

template <std::size_t N>
void GetText(std::span<const std::uint8_t> in, std::size_t off, std::uint16_t& script, std::uint16_t& size,
             std::array<std::uint8_t, N>& data) {
    script = GetBE16(in.data() + off);
    size = GetBE16(in.data() + off + 2);
    GetBytes(in, off + 4, data);
}

template <std::size_t N>
std::string TextOf(const std::array<std::uint8_t, N>& data, std::uint16_t size) {
    const std::size_t n = std::min<std::size_t>(size, N);
    return std::string(reinterpret_cast<const char*>(data.data()), n);
}

template <std::size_t N>
void SetText(std::array<std::uint8_t, N>& data, std::uint16_t& size, std::string_view bytes) {
    const std::size_t n = std::min(bytes.size(), N);
    data.fill(0);
    std::copy_n(reinterpret_cast<const std::uint8_t*>(bytes.data()), n, data.begin());
    size = static_cast<std::uint16_t>(n);
}

}  // namespace

std::string SMyUserDataFile::GetName() const { return TextOf(nameData, nameSize); }
std::string SMyUserDataFile::GetAlias() const { return TextOf(aliasData, aliasSize); }
std::string SMyUserDataFile::GetLogin() const { return TextOf(loginData, loginSize); }
std::string SMyUserDataFile::GetPassword() const { return TextOf(passwordData, passwordSize); }

void SMyUserDataFile::SetName(std::string_view bytes) { SetText(nameData, nameSize, bytes); }
void SMyUserDataFile::SetAlias(std::string_view bytes) { SetText(aliasData, aliasSize, bytes); }
void SMyUserDataFile::SetLogin(std::string_view plain) { SetText(loginData, loginSize, plain); }
void SMyUserDataFile::SetPassword(std::string_view encoded) { SetText(passwordData, passwordSize, encoded); }

bool SMyUserDataFile::IsWellFormed() const {
    return version == kUserDataVersion && nameSize <= kUserNameMax && aliasSize <= kUserAliasMax &&
           loginSize <= kUserLoginMax && passwordSize <= kUserPasswordMax;
}

namespace UUserData {

TUserDataBytes Encode(const SMyUserDataFile& rec) {
    TUserDataBytes out{};
    PutBE16(out.data() + kOffVersion, rec.version);
    PutBE16(out.data() + kOffIconID, static_cast<std::uint16_t>(rec.iconID));
    PutBytes(out, kOffAccess, rec.access.bytes);
    PutBE16(out.data() + kOffMaxSimulDownloads, rec.maxSimulDownloads);
    PutBytes(out, kOffRsvd, rec.rsvd);
    PutText(out, kOffNameScript, rec.nameScript, rec.nameSize, rec.nameData);
    PutText(out, kOffAliasScript, rec.aliasScript, rec.aliasSize, rec.aliasData);
    PutText(out, kOffLoginScript, rec.loginScript, rec.loginSize, rec.loginData);
    PutText(out, kOffPasswordScript, rec.passwordScript, rec.passwordSize, rec.passwordData);
    return out;
}

SMyUserDataFile Decode(std::span<const std::uint8_t> in) {
    if (in.size() != kUserDataSize) KX_FAIL(kErrClassGeneral, kErrBadVersion);  // 8: see Decode in user_data.h
    SMyUserDataFile rec;
    rec.version = GetBE16(in.data() + kOffVersion);
    if (rec.version != kUserDataVersion) KX_FAIL(kErrClassGeneral, kErrBadFormat);
    rec.iconID = static_cast<std::int16_t>(GetBE16(in.data() + kOffIconID));
    GetBytes(in, kOffAccess, rec.access.bytes);
    rec.maxSimulDownloads = GetBE16(in.data() + kOffMaxSimulDownloads);
    GetBytes(in, kOffRsvd, rec.rsvd);
    GetText(in, kOffNameScript, rec.nameScript, rec.nameSize, rec.nameData);
    GetText(in, kOffAliasScript, rec.aliasScript, rec.aliasSize, rec.aliasData);
    GetText(in, kOffLoginScript, rec.loginScript, rec.loginSize, rec.loginData);
    GetText(in, kOffPasswordScript, rec.passwordScript, rec.passwordSize, rec.passwordData);
    return rec;
}

std::string Complement(std::string_view bytes) {
    std::string out(bytes);
    for (char& c : out) c = static_cast<char>(~static_cast<unsigned char>(c));
    return out;
}

}  // namespace UUserData

}  // namespace kx
