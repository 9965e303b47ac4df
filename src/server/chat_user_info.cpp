// The user status flags and the user-list entry of a chat member.
#include "server/chat_user_info.h"

namespace kx::UChatUserInfo {

std::uint16_t Flags(const SMyClient* client) {
    if (!client) return 0;
    std::uint16_t flags = 0;
    if (client->isAway) flags |= 0x01;
    if (client->access.HasPriv(myAcc_DisconnectUsers)) flags |= 0x02;
    if (client->bRefusePrivateMsg) flags |= 0x04;
    if (client->bRefusePrivateChat) flags |= 0x08;
    if (client->access.HasAll(kFullAccessPrivs)) flags |= 0x10;
    if (client->access.IsEmpty()) flags |= 0x20;
    return flags;
}

std::vector<std::uint8_t> Entry(const SMyClient* client) {
    const std::uint16_t nameSize = static_cast<std::uint16_t>(client->userName.size());
    const std::uint16_t values[4] = {client->userID, static_cast<std::uint16_t>(client->iconID), Flags(client),
                                     nameSize};
    std::vector<std::uint8_t> entry;
    entry.reserve(8 + nameSize);
    for (std::uint16_t v : values) {
        entry.push_back(static_cast<std::uint8_t>(v >> 8));
        entry.push_back(static_cast<std::uint8_t>(v));
    }
    entry.insert(entry.end(), client->userName.begin(), client->userName.end());
    return entry;
}

}  // namespace kx::UChatUserInfo
