// The flood rules that guard chat, instant messages, broadcasts, invitations and board posts:
// the repetition rule (the same text five times more in a row), the message-rate rule (more than
// 21 messages within a 60-second window) and the common disconnect-and-ban step.
#include "framework/clock.h"
#include "server/application.h"
#include "server/crc32_mpeg2.h"

namespace kx {

namespace {
constexpr std::uint32_t kMsgWindowSecs = 60;
constexpr std::uint16_t kMsgLimit = 20;     // messages counted before the next one bans
constexpr std::uint16_t kRepeatLimit = 5;   // repetitions that ban
}  // namespace

void CMyApplication::AutoBan(SMyClient* client, const char* logText) {
    client->tpt->Disconnect();
    AddTempBan(client->ipAddress);
    Log(client, logText);
    PostPass();
}

bool CMyApplication::ApplyRepetitionRule(SMyClient* client, const void* text, std::size_t size,
                                         const char* spamText) {
    const std::uint32_t crc = UCrc32Mpeg2::Compute(text, size);
    if (crc == client->lastPrivMsgCRC) {
        if (++client->dupePrivMsgCount >= kRepeatLimit) {
            AutoBan(client, spamText);
            return true;
        }
    } else {
        client->lastPrivMsgCRC = crc;
        client->dupePrivMsgCount = 0;
    }
    return false;
}

void CMyApplication::ResetMsgWindow(SMyClient* client) {
    const std::uint32_t now = UClock::UpSeconds();
    if (now - client->lastMsgSecs > kMsgWindowSecs) {
        client->lastMsgSecs = now;
        client->privMsgCount = 0;
    }
}

bool CMyApplication::CountMsg(SMyClient* client) {
    if (client->privMsgCount > kMsgLimit) {
        AutoBan(client, "Autobanned for flooding");
        return true;
    }
    ++client->privMsgCount;
    return false;
}

bool CMyApplication::ApplyMsgRate(SMyClient* client) {
    ResetMsgWindow(client);
    return CountMsg(client);
}

}  // namespace kx
