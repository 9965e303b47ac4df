// How a chat room shows its members: the user status flags and the user-list entry (user ID,
// icon ID, flags, name length, name; all big-endian) sent in join replies and member notices.
#pragma once

#include <cstdint>
#include <vector>

#include "server/client.h"

namespace kx::UChatUserInfo {

// 0x01 away, 0x02 may disconnect users, 0x04 refuses instant messages, 0x08 refuses private
// chats, 0x10 holds every privilege of the full set, 0x20 holds no privilege at all.
std::uint16_t Flags(const SMyClient* client);

// The kFieldUserNameWithInfo value for the client.
std::vector<std::uint8_t> Entry(const SMyClient* client);

}  // namespace kx::UChatUserInfo
