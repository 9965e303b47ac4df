// Keeping connected clients in step with their account. The client list belongs to the
// application; for each client logged in to a changed account (its accountLogin equal to the
// lower-cased login, byte for byte) the application copies the fields below in, calls
// UpdateOnlineAccount, copies them back and sends what the result asks for.
#pragma once

#include <string>

#include "protocol/user_data.h"

namespace kx {

// Notice sent (kTranServerMsg, kFieldData) to each client of a deleted account before it is
// disconnected.
inline constexpr char kAccountDeletedText[] = "You are logged in with an account which was deleted.";
// General-log line for each such disconnection, filled with the client's userName (or its
// address text when that is empty); the quotes are the Mac Roman bytes 0xD2 and 0xD3.
inline constexpr char kDisconnectLogFormat[] = "Disconnect \xD2%#s\xD3";

// Longest account name, login and shown name a connected client holds.
inline constexpr std::size_t kOnlineTextMax = 31;

// The account-derived fields of a connected client.
struct SMyOnlineAccountState {
    SMyUserAccess access;
    std::string accountName;   // the account's display name
    std::string accountLogin;  // lower case
    std::string userName;      // the name the client is shown under
    std::string realName;      // the nickname the client chose at login
};

struct SMyOnlineAccountChange {
    bool accessChanged = false;  // send the client kTranUserAccess with its new access
    bool changed = false;        // broadcast the client's user-list entry (kTranClientUserInfo)
};

// Brings `client` up to date with `rec`: access (a change is reported), account name and login
// (cut to 31 bytes, the login lower-cased; silently), and the shown name: the account name (31
// bytes) unless the new access holds myAcc_AnyName, else realName; a changed shown name is
// reported.
SMyOnlineAccountChange UpdateOnlineAccount(SMyOnlineAccountState& client, const SMyUserDataFile& rec);

}  // namespace kx
