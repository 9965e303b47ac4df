// Private chat rooms: the room list, chat IDs, delivery to members, and the requests that open a
// room, invite to it, decline, join, leave and set its subject. A departing client is taken out
// of every room here too (LeaveAllChats, from KillClient).
#include <algorithm>
#include <random>
#include <unordered_set>

#include "framework/text_format.h"
#include "protocol/transaction_types.h"
#include "server/application.h"
#include "server/user_info.h"

namespace kx {

bool SMyChat::HasMember(const SMyClient* client) const {
    return std::find(clientList.begin(), clientList.end(), client) != clientList.end();
}

bool SMyChat::RemoveMember(const SMyClient* client) {
    auto it = std::find(clientList.begin(), clientList.end(), client);
    if (it == clientList.end()) return false;
    clientList.erase(it);
    return true;
}

namespace {

std::uint32_t RandomChatBase() {
    static std::mt19937 gen{std::random_device{}()};
    return static_cast<std::uint32_t>(gen());
}

// The invitation every invitee of one request receives.
void BuildInvitation(TFieldDataObj invite, std::uint32_t chatID, const SMyClient* requester) {
    UFieldData::AddInteger(invite, kFieldChatID, static_cast<std::int32_t>(chatID));
    UFieldData::AddInteger(invite, kFieldUserID, requester->userID);
    UFieldData::AddString(invite, kFieldUserName, requester->userName);
}

}  // namespace

SMyChat* CMyApplication::GetChatByID(std::uint32_t id) const {
    for (const auto& chat : mChats.mChatList)
        if (chat->id == id) return chat.get();
    return nullptr;
}

std::uint32_t CMyApplication::NewUniqueChatID() {
    std::uint32_t id = (RandomChatBase() & 0xFFFFFF00u) | ++mChats.mChatIDCounter;
    while (id == 0 || GetChatByID(id) != nullptr) {
        ++id;
        if (id == 0) id = 1;
    }
    return id;
}

void CMyApplication::SendTextToChat(std::uint32_t chatID, const void* text, std::uint32_t size) {
    const SMyChat* chat = GetChatByID(chatID);
    if (!chat) return;
    StFieldData fields;
    UFieldData::AddInteger(fields, kFieldChatID, static_cast<std::int32_t>(chatID));
    UFieldData::AddField(fields, kFieldData, text, size);
    const TSharedBlock block = TTransactObj::ShareData(fields);
    for (SMyClient* member : chat->clientList) {
        if (IsReachable(member) && member->access.HasPriv(myAcc_ReadChat))
            member->tpt->SendTransaction(kTranChatText, block);
    }
}

void CMyApplication::BroadcastToChat(const SMyChat* chat, std::uint16_t type, TFieldDataObj fields) {
    const TSharedBlock block = TTransactObj::ShareData(fields);
    for (SMyClient* member : chat->clientList)
        if (IsReachable(member)) member->tpt->SendTransaction(type, block);
}

void CMyApplication::LeaveAllChats(SMyClient* client) {
    for (auto it = mChats.mChatList.begin(); it != mChats.mChatList.end();) {
        SMyChat* chat = it->get();
        if (!chat->RemoveMember(client)) {
            ++it;
            continue;
        }
        if (chat->clientList.empty()) {
            it = mChats.mChatList.erase(it);
            continue;
        }
        StFieldData fields;
        UFieldData::AddInteger(fields, kFieldChatID, static_cast<std::int32_t>(chat->id));
        UFieldData::AddInteger(fields, kFieldUserID, client->userID);
        BroadcastToChat(chat, kTranChatUserLeave, fields);
        ++it;
    }
}

namespace {

// Sends the invitation of one request to each kFieldUserID of it, in field order, with the
// automatic answers to the requester. Each client is handled once per request however often the
// request names it, so one request cannot multiply notices to a victim.
void InviteAll(CMyApplication& app, SMyClient* requester, TFieldDataObj fields, TFieldDataObj invite,
               const SMyChat* skipMembersOf) {
    std::unordered_set<std::uint16_t> seen;
    const std::uint32_t count = UFieldData::GetFieldCount(fields);
    for (std::uint32_t n = 1; n <= count; ++n) {  // field indices count from 1
        const auto index = static_cast<std::uint16_t>(n);
        if (UFieldData::GetFieldID(fields, index) != kFieldUserID) continue;
        const std::int32_t raw = UFieldData::GetIntegerByIndex(fields, index);
        if (raw <= 0 || raw > 0xFFFF) continue;
        const auto id = static_cast<std::uint16_t>(raw);
        SMyClient* invitee = app.GetClientByID(id);
        if (!invitee || !IsReachable(invitee) || invitee == requester) continue;
        if (skipMembersOf && skipMembersOf->HasMember(invitee)) continue;
        if (!seen.insert(id).second) continue;

        if (!requester->bRefusePrivateMsg && (invitee->bAutomaticResponse || invitee->bRefusePrivateChat)) {
            std::string text;
            std::int32_t kind;
            if (invitee->bAutomaticResponse) {
                kind = 4;
                text = invitee->psAutomaticResponseText;
            } else {
                kind = 3;
                text = UText::FormatString("%s does not accept private chats.", invitee->userName);
            }
            if (!text.empty()) {
                StFieldData notice;
                UFieldData::AddInteger(notice, kFieldUserID, invitee->userID);
                UFieldData::AddString(notice, kFieldUserName, invitee->userName);
                UFieldData::AddInteger(notice, kFieldOptions, kind);
                UFieldData::AddString(notice, kFieldData, text);
                requester->tpt->SendTransaction(kTranServerMsg, notice);
            }
        }
        if (!invitee->bRefusePrivateChat) invitee->tpt->SendTransaction(kTranInviteToChat, invite);
    }
}

}  // namespace

void CMyApplication::ProcessTran_InviteNewChat(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields) {
    if (ApplyMsgRate(client)) return;
    if (!client->access.HasPriv(myAcc_CreateChat)) {
        SendErrorMsg(session, "You are not allowed to create a new chat.");
        return;
    }
    auto chat = std::make_unique<SMyChat>();
    chat->id = NewUniqueChatID();
    chat->clientList.push_back(client);
    const std::uint32_t chatID = chat->id;
    mChats.mChatList.insert(mChats.mChatList.begin(), std::move(chat));

    StFieldData invite;
    BuildInvitation(invite, chatID, client);
    InviteAll(*this, client, fields, invite, nullptr);

    StFieldData reply;
    UFieldData::AddInteger(reply, kFieldChatID, static_cast<std::int32_t>(chatID));
    UFieldData::AddInteger(reply, kFieldUserID, client->userID);
    UFieldData::AddInteger(reply, kFieldIconID, client->iconID);
    UFieldData::AddInteger(reply, kFieldUserFlags, GetClientFlags(client));
    UFieldData::AddString(reply, kFieldUserName, client->userName);
    session->SendData(reply);
}

void CMyApplication::ProcessTran_InviteToChat(SMyClient* client, TTransactSessionObj*, TFieldDataObj fields) {
    if (ApplyMsgRate(client)) return;
    const auto chatID = static_cast<std::uint32_t>(UFieldData::GetInteger(fields, kFieldChatID));
    const SMyChat* chat = GetChatByID(chatID);
    if (!chat) return;
    StFieldData invite;
    BuildInvitation(invite, chatID, client);
    InviteAll(*this, client, fields, invite, chat);
}

void CMyApplication::ProcessTran_RejectChatInvite(SMyClient* client, TTransactSessionObj*, TFieldDataObj fields) {
    const auto chatID = static_cast<std::uint32_t>(UFieldData::GetInteger(fields, kFieldChatID));
    const std::string text =
        UText::FormatString("\r<<< \"%s\" declined invitation to chat >>>", client->userName);
    SendTextToChat(chatID, text.data(), static_cast<std::uint32_t>(text.size()));
}

void CMyApplication::ProcessTran_JoinChat(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields) {
    const auto chatID = static_cast<std::uint32_t>(UFieldData::GetInteger(fields, kFieldChatID));
    SMyChat* chat = GetChatByID(chatID);
    if (!chat) {
        SendErrorMsg(session, "Cannot join private chat because it has been closed already.");
        return;
    }
    if (!chat->HasMember(client)) {
        StFieldData change;
        UFieldData::AddInteger(change, kFieldChatID, static_cast<std::int32_t>(chatID));
        UFieldData::AddInteger(change, kFieldUserID, client->userID);
        UFieldData::AddInteger(change, kFieldIconID, client->iconID);
        UFieldData::AddInteger(change, kFieldUserFlags, GetClientFlags(client));
        UFieldData::AddString(change, kFieldUserName, client->userName);
        BroadcastToChat(chat, kTranChatUserChange, change);
        chat->clientList.push_back(client);
    }
    StFieldData reply;
    UFieldData::AddString(reply, kFieldChatSubject, chat->subject);
    for (const SMyClient* member : chat->clientList) {
        if (member->userName.empty()) continue;
        const std::vector<std::uint8_t> entry = UMyUserInfo::UserNameWithInfo(*member);
        UFieldData::AddField(reply, kFieldUserNameWithInfo, entry.data(), static_cast<std::uint32_t>(entry.size()));
    }
    session->SendData(reply);
}

void CMyApplication::ProcessTran_LeaveChat(SMyClient* client, TTransactSessionObj*, TFieldDataObj fields) {
    const auto chatID = static_cast<std::uint32_t>(UFieldData::GetInteger(fields, kFieldChatID));
    auto it = std::find_if(mChats.mChatList.begin(), mChats.mChatList.end(),
                           [chatID](const std::unique_ptr<SMyChat>& c) { return c->id == chatID; });
    if (it == mChats.mChatList.end() || !(*it)->RemoveMember(client)) return;
    if ((*it)->clientList.empty()) {
        mChats.mChatList.erase(it);
        return;
    }
    StFieldData leave;
    UFieldData::AddInteger(leave, kFieldChatID, static_cast<std::int32_t>(chatID));
    UFieldData::AddInteger(leave, kFieldUserID, client->userID);
    BroadcastToChat(it->get(), kTranChatUserLeave, leave);
}

void CMyApplication::ProcessTran_SetChatSubject(SMyClient*, TTransactSessionObj*, TFieldDataObj fields) {
    const auto chatID = static_cast<std::uint32_t>(UFieldData::GetInteger(fields, kFieldChatID));
    SMyChat* chat = GetChatByID(chatID);
    if (!chat) return;
    chat->subject = UFieldData::GetString(fields, kFieldChatSubject).substr(0, kMaxChatSubject);
    StFieldData notice;
    UFieldData::AddInteger(notice, kFieldChatID, static_cast<std::int32_t>(chatID));
    UFieldData::AddString(notice, kFieldChatSubject, chat->subject);  // none: the subject is cleared
    BroadcastToChat(chat, kTranChatSubject, notice);
}

}  // namespace kx
