// kTranGetClientInfoText: what an administrator learns about another connected user.
#include "protocol/transaction_types.h"
#include "server/application.h"

namespace kx {

void CMyApplication::ProcessTran_GetClientInfoText(SMyClient* client, TTransactSessionObj* session,
                                                   TFieldDataObj fields) {
    if (!client->access.HasPriv(myAcc_GetClientInfo))
        return SendErrorMsg(session, "You are not allowed to get client information.");
    SMyClient* target = GetClientByID(static_cast<std::uint16_t>(UFieldData::GetInteger(fields, kFieldUserID)));
    if (!target)
        return SendErrorMsg(session, "Cannot get info for the specified client because it does not exist.");

    SMyClientInfoSections sections;
    for (const ClientInfoSource& source : mClientInfoSources) source(target, sections);
    const std::string text = UMyClientInfo::BuildText(target->userName, target->accountName, target->accountLogin,
                                                      IPAddressText(target->ipAddress), sections);
    StFieldData reply;
    UFieldData::AddString(reply, kFieldData, text);
    const std::string& name = target->userName;
    UFieldData::AddField(reply, kFieldUserName, name.data(), static_cast<std::uint32_t>(name.size()));
    session->SendData(reply);
}

}  // namespace kx
