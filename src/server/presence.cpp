// How a logged-in user is seen by the others: its names, icon, options and status flags, the
// kTranClientUserInfo notice that announces them, the user list, the nickname changes of
// kTranSetClientUserInfo with their flood rule, and kTranKeepConnectionAlive.
#include "framework/clock.h"
#include "protocol/transaction_types.h"
#include "server/application.h"
#include "server/user_info.h"

namespace kx {

namespace {
constexpr std::uint32_t kNameFloodWindowSecs = 60;
constexpr std::uint16_t kNameFloodLimit = 25;  // changes counted before the next one bans

// userName from the (cleaned) realName and the account: the nickname for myAcc_AnyName, else the
// account's name; without a record the name stays as it was.
void ApplyShownName(SMyClient* client, const SMyUserDataFile* rec) {
    if (client->access.HasPriv(myAcc_AnyName))
        client->userName = client->realName;
    else if (rec)
        client->userName = UMyUserInfo::AccountShownName(rec->GetName());
}
}  // namespace

std::uint16_t CMyApplication::GetClientFlags(const SMyClient* client) const {
    return UMyUserInfo::GetClientFlags(client);
}

void CMyApplication::SetClientUserInfo(SMyClient* client, std::string_view name, const SMyUserDataFile& rec) {
    client->access = rec.access;
    client->realName = UMyUserInfo::CleanName(name);
    ApplyShownName(client, &rec);
    BroadcastClientUserInfo(client);
}

void CMyApplication::SetClientUserInfo(SMyClient* client, TFieldDataObj fields, const SMyUserDataFile* rec) {
    if (rec) client->access = rec->access;
    client->realName = UMyUserInfo::CleanName(UFieldData::GetString(fields, kFieldUserName));
    ApplyShownName(client, rec);
    client->iconID = static_cast<std::int16_t>(UFieldData::GetInteger(fields, kFieldIconID));

    const std::int32_t options = UFieldData::GetInteger(fields, kFieldOptions);
    client->bRefusePrivateMsg = (options & UMyUserInfo::kOptRefuseMsg) != 0;
    client->bRefusePrivateChat = (options & UMyUserInfo::kOptRefuseChat) != 0;
    client->bAutomaticResponse = (options & UMyUserInfo::kOptAutoResponse) != 0;
    client->psAutomaticResponseText.clear();
    if (client->bAutomaticResponse) {
        std::string text =
            UFieldData::GetString(fields, kFieldAutomaticResponse).substr(0, UMyUserInfo::kAutoResponseMax);
        client->psAutomaticResponseText = text.empty() ? std::string(UMyUserInfo::kDefaultAutoResponse) : text;
    }
    BroadcastClientUserInfo(client);
}

void CMyApplication::BroadcastClientUserInfo(SMyClient* client) {
    StFieldData fields;
    UFieldData::AddInteger(fields, kFieldUserID, client->userID);
    UFieldData::AddInteger(fields, kFieldIconID, client->iconID);
    UFieldData::AddInteger(fields, kFieldUserFlags, GetClientFlags(client));
    const std::string name = client->userName.substr(0, UMyUserInfo::kNameMax);
    UFieldData::AddField(fields, kFieldUserName, name.data(), static_cast<std::uint32_t>(name.size()));
    BroadcastTran(kTranClientUserInfo, fields);
}

void CMyApplication::ProcessTran_GetUserNameList(SMyClient*, TTransactSessionObj* session, TFieldDataObj) {
    StFieldData reply;
    for (const auto& other : mClientList) {
        if (!other->hasLoggedIn || other->userName.empty()) continue;
        const std::vector<std::uint8_t> entry = UMyUserInfo::UserNameWithInfo(*other);
        UFieldData::AddField(reply, kFieldUserNameWithInfo, entry.data(), static_cast<std::uint32_t>(entry.size()));
    }
    session->SendData(reply);
}

void CMyApplication::ProcessTran_SetClientUserInfo(SMyClient* client, TTransactSessionObj*, TFieldDataObj fields) {
    const std::uint32_t now = UClock::UpSeconds();
    if (now - client->nofloodNameSecs > kNameFloodWindowSecs) {
        client->nofloodNameSecs = now;
        client->nofloodNameCount = 0;
    }
    if (client->nofloodNameCount > kNameFloodLimit) {
        DisconnectForFlood(client);
        return;
    }
    ++client->nofloodNameCount;
    SetClientUserInfo(client, fields, nullptr);
}

void CMyApplication::DisconnectForFlood(SMyClient* client) {
    client->tpt->Disconnect();
    AddTempBan(client->ipAddress);
    Log(client, "Autobanned for flooding");
    PostPass();
}

void CMyApplication::ProcessTran_KeepConnectionAlive(SMyClient*, TTransactSessionObj* session, TFieldDataObj) {
    SendNoError(session);
}

}  // namespace kx
