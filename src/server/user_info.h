// How a client appears to the others: its cleaned nickname, its status flags and its user-list
// entry (the value of kFieldUserNameWithInfo), and how a login received at sign-in becomes the
// account folder's name. Plain functions of the client record, used by the login and presence
// handlers and by account changes that reach connected clients.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "server/client.h"

namespace kx::UMyUserInfo {

inline constexpr std::size_t kNameMax = 31;           // realName, userName, accountName, accountLogin
inline constexpr std::size_t kLoginFieldMax = 32;     // bytes of kFieldUserLogin read at login
inline constexpr std::size_t kPasswordFieldMax = 32;  // bytes of kFieldUserPassword read at login
inline constexpr std::size_t kNameFieldMax = 32;      // bytes of kFieldUserName read at login
inline constexpr std::size_t kAutoResponseMax = 127;
inline constexpr char kNoName[] = "***";
inline constexpr char kGuestLogin[] = "guest";
inline constexpr char kDefaultAutoResponse[] = "I'm not able to respond right now. Please try later!";

// User status flags (kFieldUserFlags and the user-list entry).
inline constexpr std::uint16_t kFlagAway = 0x01;
inline constexpr std::uint16_t kFlagAdmin = 0x02;         // holds myAcc_DisconnectUsers
inline constexpr std::uint16_t kFlagRefuseMsg = 0x04;
inline constexpr std::uint16_t kFlagRefuseChat = 0x08;
inline constexpr std::uint16_t kFlagFullAccess = 0x10;    // holds every bit of kFullAccessPrivs
inline constexpr std::uint16_t kFlagNoAccess = 0x20;      // holds no privilege at all

// Options of kTranSetClientUserInfo and kTranAgreed (kFieldOptions).
inline constexpr std::int32_t kOptRefuseMsg = 0x01;
inline constexpr std::int32_t kOptRefuseChat = 0x02;
inline constexpr std::int32_t kOptAutoResponse = 0x04;

// The nickname as others may see it: cut to 31 bytes, every byte outside 0x20..0x7E becomes
// "*", and an empty name becomes "***".
std::string CleanName(std::string_view raw);

// The name shown for an account without myAcc_AnyName: its display name cut to 31 bytes, or
// "***" when that is empty.
std::string AccountShownName(std::string_view displayName);

// The user status flags of `client` (0 for none).
std::uint16_t GetClientFlags(const SMyClient* client);

// The 8-byte head (userID, iconID, flags, name length; big-endian) and the userName bytes.
std::vector<std::uint8_t> UserNameWithInfo(const SMyClient& client);

// The account login for the login bytes a client sent (complemented on the wire): empty means
// "guest"; otherwise every byte is complemented, A-Z become a-z and carriage returns become "-".
std::string LoginFromWire(std::string_view encoded);

}  // namespace kx::UMyUserInfo
