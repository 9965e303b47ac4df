// Chat lines (public and private), instant messages with their refusals and automatic answers,
// and user broadcasts, each behind its flood rules.
#include <algorithm>

#include "framework/clock.h"
#include "framework/text_format.h"
#include "protocol/transact_fanout.h"
#include "protocol/transaction_types.h"
#include "server/application.h"

namespace kx {

namespace {
constexpr std::uint32_t kMaxChatText = 8192;
constexpr std::uint32_t kMaxInstantMsg = 4096;
constexpr std::uint32_t kChatVolumeWindowSecs = 60;
constexpr std::uint16_t kChatVolumeLimit = 10241;  // bytes within the window that ban
constexpr std::uint16_t kMinChatCharge = 90;       // a short line counts as this many bytes
constexpr std::size_t kMaxChatPrefix = 63;

std::string ReadFieldBytes(TFieldDataObj fields, std::uint16_t id, std::uint32_t max) {
    std::string text(std::min(UFieldData::GetFieldSize(fields, id), max), '\0');
    if (!text.empty()) {
        const std::uint32_t n = UFieldData::ReadField(fields, id, 0, text.data(), static_cast<std::uint32_t>(text.size()));
        text.resize(n);
    }
    return text;
}

// The prefix every line of a chat message carries: "\r *** name " in the action form, else the
// name right-aligned in 13 columns followed by a colon and two spaces.
std::string ChatPrefix(const std::string& userName, bool action) {
    std::string prefix = action ? UText::FormatString("\r *** %s ", userName)
                                : UText::FormatString("\r%13.13s:  ", userName);
    if (prefix.size() > kMaxChatPrefix) prefix.resize(kMaxChatPrefix);
    return prefix;
}

// The prefix, then the text with each carriage return replaced by the prefix, so every line of a
// multi-line message is marked; at most kMaxChatText bytes in all.
std::string BuildChatLine(const std::string& prefix, const std::string& text) {
    std::string line;
    line.reserve(std::min<std::size_t>(kMaxChatText, prefix.size() + text.size() + 64));
    line += prefix;
    for (char c : text) {
        if (line.size() >= kMaxChatText) break;
        if (c == '\r') line += prefix;
        else line += c;
    }
    if (line.size() > kMaxChatText) line.resize(kMaxChatText);
    return line;
}

void SendServerMsg(SMyClient* to, const SMyClient* about, std::int32_t kind, const std::string& text,
                   const std::string* quoted) {
    StFieldData notice;
    UFieldData::AddInteger(notice, kFieldUserID, about->userID);
    UFieldData::AddString(notice, kFieldUserName, about->userName);
    UFieldData::AddInteger(notice, kFieldOptions, kind);
    UFieldData::AddString(notice, kFieldData, text);
    if (quoted) UFieldData::AddField(notice, kFieldQuotedMsg, quoted->data(), static_cast<std::uint32_t>(quoted->size()));
    to->tpt->SendTransaction(kTranServerMsg, notice);
}

}  // namespace

void CMyApplication::ProcessTran_ChatSend(SMyClient* client, TTransactSessionObj*, TFieldDataObj fields) {
    const std::uint32_t now = UClock::UpSeconds();
    if (now - client->nofloodChatSecs > kChatVolumeWindowSecs) {
        client->nofloodChatSecs = now;
        client->nofloodChatSize = 0;
    }
    if (client->nofloodChatSize >= kChatVolumeLimit) {
        AutoBan(client, "Autobanned for flooding");
        return;
    }
    if (!client->access.HasPriv(myAcc_SendChat)) {
        StFieldData refusal;
        UFieldData::AddInteger(refusal, kFieldChatOptions, 1);
        UFieldData::AddString(refusal, kFieldData, "You are not allowed to participate in chat.");
        client->tpt->SendTransaction(kTranServerMsg, refusal);
        return;
    }
    const bool action = UFieldData::GetInteger(fields, kFieldChatOptions) == 1;
    const std::string text = ReadFieldBytes(fields, kFieldData, kMaxChatText);
    if (ApplyRepetitionRule(client, text.data(), text.size(), "Autobanned for Chat Spam")) return;

    const std::string line = BuildChatLine(ChatPrefix(client->userName, action), text);
    client->nofloodChatSize = static_cast<std::uint16_t>(
        client->nofloodChatSize + std::max<std::size_t>(line.size(), kMinChatCharge));
    ++mStats.chatLines;

    const auto chatID = static_cast<std::uint32_t>(UFieldData::GetInteger(fields, kFieldChatID));
    if (chatID != 0) {
        SendTextToChat(chatID, line.data(), static_cast<std::uint32_t>(line.size()));
        return;
    }
    // Lines that follow one another with nothing else sent in between go to each reader as one
    // run; who reads is decided when a run begins (the pass hands the run over before anything
    // that could change it).
    StFieldData out;
    UFieldData::AddField(out, kFieldData, line.data(), static_cast<std::uint32_t>(line.size()));
    TTransactFanOut::Add(&mClientList, kTranChatText, out, [this](std::vector<TTransactObj*>& readers) {
        for (const auto& c : Clients()) {
            if (IsReachable(c.get()) && c->access.HasPriv(myAcc_ReadChat)) readers.push_back(c->tpt.get());
        }
    });
}

void CMyApplication::ProcessTran_SendInstantMsg(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields) {
    const std::int32_t target = UFieldData::GetInteger(fields, kFieldUserID);
    const std::int32_t kind = UFieldData::GetInteger(fields, kFieldOptions);
    const std::string text = ReadFieldBytes(fields, kFieldData, kMaxInstantMsg);
    const bool hasQuote = UFieldData::HasField(fields, kFieldQuotedMsg);
    const std::string quoted = hasQuote ? ReadFieldBytes(fields, kFieldQuotedMsg, kMaxInstantMsg) : std::string();

    ResetMsgWindow(client);
    if (ApplyRepetitionRule(client, text.data(), text.size(), "Autobanned for Message Spam")) return;
    if (CountMsg(client)) return;

    if (!client->access.HasPriv(myAcc_SendPrivMsg)) {
        SendErrorMsg(session, "You are not allowed to send private messages.");
        return;
    }
    SMyClient* to = (target > 0 && target <= 0xFFFF) ? GetClientByID(static_cast<std::uint16_t>(target)) : nullptr;
    if (!to || !IsReachable(to)) {
        SendErrorMsg(session, "Couldn't send your message because the client is not connected to this server.");
        return;
    }
    SendNoError(session);
    ++mStats.privateMessages;

    if (kind == 1 && !client->bRefusePrivateMsg && (to->bAutomaticResponse || to->bRefusePrivateMsg)) {
        if (to->bAutomaticResponse) {
            if (!to->psAutomaticResponseText.empty()) SendServerMsg(client, to, 4, to->psAutomaticResponseText, nullptr);
        } else {
            SendServerMsg(client, to, 2, UText::FormatString("%s does not accept private messages.", to->userName),
                          nullptr);
        }
    }

    if (to->bRefusePrivateMsg) return;
    std::string deliver;
    if (kind == 2) deliver = UText::FormatString("%s does not accept private messages.", client->userName);
    else if (kind == 3) deliver = UText::FormatString("%s does not accept private chats.", client->userName);
    else deliver = text;
    if (!deliver.empty()) SendServerMsg(to, client, kind, deliver, hasQuote ? &quoted : nullptr);
}

void CMyApplication::ProcessTran_UserBroadcast(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields) {
    SendNoError(session);
    const std::string text = ReadFieldBytes(fields, kFieldData, kMaxInstantMsg);
    ResetMsgWindow(client);
    if (ApplyRepetitionRule(client, text.data(), text.size(), "Autobanned for Message Spam")) return;
    if (CountMsg(client)) return;
    if (text.empty()) return;

    StFieldData out;
    UFieldData::AddInteger(out, kFieldUserID, client->userID);
    UFieldData::AddString(out, kFieldUserName, client->userName);
    UFieldData::AddString(out, kFieldData, text);
    const TSharedBlock block = TTransactObj::ShareData(out);
    for (const auto& c : Clients()) {
        if (c.get() != client && c->hasLoggedIn && IsReachable(c.get())) c->tpt->SendTransaction(kTranUserBroadcast, block);
    }
}

}  // namespace kx
