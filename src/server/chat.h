// SMyChat: one private chat room, and SMyChatRooms, the application's record of the open rooms
// (mChatList) and of the counter new chat IDs come from. The public chat (ID 0) has no record.
// A room lives while it has members: the last one leaving (or disconnecting) deletes it. Members are clients of mClientList; KillClient takes a departing
// client out of every room before its record is freed, so the pointers never dangle.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "server/client.h"

namespace kx {

inline constexpr std::size_t kMaxChatSubject = 255;

struct SMyChat {
    std::vector<SMyClient*> clientList;  // members, in the order they joined
    std::uint32_t id = 0;                // unique among the open chats, never 0
    std::string subject;                 // at most kMaxChatSubject characters; empty = none

    bool HasMember(const SMyClient* client) const;
    // True when the client was a member.
    bool RemoveMember(const SMyClient* client);
};

struct SMyChatRooms {
    std::vector<std::unique_ptr<SMyChat>> mChatList;  // newest first
    std::uint8_t mChatIDCounter = 0;                  // low byte of the next new chat ID
};

}  // namespace kx
