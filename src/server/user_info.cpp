// Names, status flags, user-list entries and logins of connected clients.
#include <algorithm>
#include "server/user_info.h"

#include "framework/byte_codec.h"

namespace kx::UMyUserInfo {

std::string CleanName(std::string_view raw) {
    std::string name(raw.substr(0, kNameMax));
    for (char& c : name) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b > 0x7E) c = '*';
    }
    return name.empty() ? std::string(kNoName) : name;
}

std::string AccountShownName(std::string_view displayName) {
    const std::string_view cut = displayName.substr(0, kNameMax);
    return cut.empty() ? std::string(kNoName) : std::string(cut);
}

std::uint16_t GetClientFlags(const SMyClient* client) {
    if (client == nullptr) return 0;
    std::uint16_t flags = 0;
    if (client->isAway) flags |= kFlagAway;
    if (client->access.HasPriv(myAcc_DisconnectUsers)) flags |= kFlagAdmin;
    if (client->bRefusePrivateMsg) flags |= kFlagRefuseMsg;
    if (client->bRefusePrivateChat) flags |= kFlagRefuseChat;
    if (client->access.HasAll(kFullAccessPrivs)) flags |= kFlagFullAccess;
    if (client->access.IsEmpty()) flags |= kFlagNoAccess;
    return flags;
}

std::vector<std::uint8_t> UserNameWithInfo(const SMyClient& client) {
    const std::string_view name = std::string_view(client.userName).substr(0, kNameMax);
    const auto icon = static_cast<std::uint16_t>(client.iconID);
    const std::uint16_t flags = GetClientFlags(&client);
    const auto size = static_cast<std::uint16_t>(name.size());
    std::vector<std::uint8_t> out(8 + name.size());
    const std::uint16_t header[4] = {client.userID, icon, flags, size};
    for (int i = 0; i < 4; ++i) PutBE16(out.data() + 2 * i, header[i]);
    std::copy(name.begin(), name.end(), out.begin() + 8);
    return out;
}

std::string LoginFromWire(std::string_view encoded) {
    if (encoded.empty()) return kGuestLogin;
    std::string login(encoded);
    for (char& c : login) {
        auto b = static_cast<unsigned char>(~static_cast<unsigned char>(c));
        if (b >= 'A' && b <= 'Z') b = static_cast<unsigned char>(b - 'A' + 'a');
        if (b == '\r') b = '-';
        c = static_cast<char>(b);
    }
    return login;
}

}  // namespace kx::UMyUserInfo
