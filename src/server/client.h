// The records of a connection whose handshake is pending (SMyConnect) and of a client past the
// handshake (SMyClient). The application owns both; other modules refer to clients by userID
// across passes and by pointer only within one call.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "protocol/transact.h"
#include "protocol/user_access.h"

namespace kx {

struct SMyConnect {
    TTransact tpt;
    std::uint32_t ipAddress = 0;   // host order: first dotted number in the high byte
    std::uint32_t acceptSecs = 0;  // when the connection was accepted (handshake time-out)
    bool notified = true;          // its connection posted a notice since the last visit
    bool closing = false;          // refused after its handshake; waits for the close to finish
};

struct SMyClient {
    TTransact tpt;
    SMyUserAccess access{};
    std::uint32_t ipAddress = 0;
    std::uint16_t userID = 0;
    std::int16_t iconID = 0;
    std::string realName;       // at most 31 characters
    std::string userName;       // at most 31 characters
    std::string accountName;    // at most 31 characters
    std::string accountLogin;   // at most 31 characters, lower case
    std::string filesRoot;      // host paths of its file and news trees (CMyApplication::ResolveClientRoots)
    std::string newsRoot;
    std::uint32_t loginFailedSecs = 0;
    std::uint32_t activitySecs = 0;
    std::uint32_t lastMsgSecs = 0;
    std::uint32_t nofloodChatSecs = 0;
    std::uint32_t nofloodNameSecs = 0;
    std::uint32_t nofloodTranSecs = 0;
    bool bRefusePrivateMsg = false;
    bool bRefusePrivateChat = false;
    bool bAutomaticResponse = false;
    std::string psAutomaticResponseText;  // at most 127 characters
    std::uint32_t vers = 0;
    std::uint32_t lastPrivMsgCRC = 0;
    std::uint16_t dupePrivMsgCount = 0;
    std::uint16_t privMsgCount = 0;
    std::uint16_t nofloodChatSize = 0;
    std::uint16_t nofloodNameCount = 0;
    std::uint16_t nofloodTranCount = 0;
    bool hasLoggedIn = false;
    bool isAway = false;

    // Bookkeeping of the processing pass (not part of the protocol state).
    bool notified = false;             // its connection posted a notice since the last visit
    std::uint32_t scheduledCheck = 0;  // the deadline under which it is filed; 0 = none
};

// The clients in order of arrival. A list, so that a departure is taken out where it stands
// without moving the others (thousands may leave at once).
using TClientList = std::list<std::unique_ptr<SMyClient>>;

// Established and still open: a notice for a connection known to be closed would only be
// queued to be dropped.
inline bool IsReachable(const SMyClient* client) {
    return client->tpt && client->tpt->IsEstablished() && client->tpt->IsConnected();
}

}  // namespace kx
