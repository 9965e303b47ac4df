// The account record kept in each account folder as the file "UserData": exactly 734 bytes,
// every integer big-endian (layout in docs/formats/userdata.md). In memory the integers are host
// values; Encode and Decode convert. Decode keeps every byte it reads (reserved area, bytes past
// a text's size), so a record read and written back is byte for byte the same file.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "protocol/user_access.h"

namespace kx {

inline constexpr std::size_t kUserDataSize = 734;
inline constexpr std::uint16_t kUserDataVersion = 1;
inline constexpr char kUserDataFileName[] = "UserData";

inline constexpr std::size_t kUserNameMax = 64;
inline constexpr std::size_t kUserAliasMax = 64;
inline constexpr std::size_t kUserLoginMax = 32;
inline constexpr std::size_t kUserPasswordMax = 32;
inline constexpr std::size_t kUserDataRsvdSize = 512;

struct SMyUserDataFile {
    std::uint16_t version = kUserDataVersion;
    std::int16_t iconID = 0;
    SMyUserAccess access;
    std::uint16_t maxSimulDownloads = 0;
    std::array<std::uint8_t, kUserDataRsvdSize> rsvd{};
    std::uint16_t nameScript = 0;
    std::uint16_t nameSize = 0;
    std::array<std::uint8_t, kUserNameMax> nameData{};
    std::uint16_t aliasScript = 0;
    std::uint16_t aliasSize = 0;
    std::array<std::uint8_t, kUserAliasMax> aliasData{};
    std::uint16_t loginScript = 0;
    std::uint16_t loginSize = 0;
    std::array<std::uint8_t, kUserLoginMax> loginData{};
    std::uint16_t passwordScript = 0;
    std::uint16_t passwordSize = 0;
    std::array<std::uint8_t, kUserPasswordMax> passwordData{};

    // The texts, each cut to its field's capacity: a size read from a damaged file never makes
    // these read past their arrays.
    std::string GetName() const;
    std::string GetAlias() const;
    std::string GetLogin() const;      // plain
    std::string GetPassword() const;   // encoded form, as stored

    // Each stores at most the field's capacity and sets the size to the bytes taken. Bytes past
    // the new size are zeroed.
    void SetName(std::string_view bytes);
    void SetAlias(std::string_view bytes);
    void SetLogin(std::string_view plain);
    void SetPassword(std::string_view encoded);

    // True when version is 1 and every size is within its field's capacity.
    bool IsWellFormed() const;

    friend bool operator==(const SMyUserDataFile&, const SMyUserDataFile&) = default;
};

namespace UUserData {

using TUserDataBytes = std::array<std::uint8_t, kUserDataSize>;

TUserDataBytes Encode(const SMyUserDataFile& rec);

// Reads a whole UserData file. Anything but exactly 734 bytes raises class 1 code 8
// (kErrBadVersion); a version other than 1 raises class 1 code 7 (kErrBadFormat). These are the
// numbers replies and logs have always shown for the two cases, although the catalogue's texts
// fit them the other way round. Nothing is repaired.
SMyUserDataFile Decode(std::span<const std::uint8_t> bytes);

// Logins and passwords travel with every byte complemented; the same operation encodes and
// decodes.
std::string Complement(std::string_view bytes);
inline std::string EncodeText(std::string_view plain) { return Complement(plain); }
inline std::string DecodeText(std::string_view encoded) { return Complement(encoded); }

}  // namespace UUserData

}  // namespace kx
