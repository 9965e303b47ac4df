// kTranDisconnectUser: an administrator disconnects another user, optionally banning its
// address for a while or for good.
#include "framework/text_format.h"
#include "fs/mac_roman.h"
#include "protocol/transaction_types.h"
#include "server/application.h"

namespace kx {

namespace {
constexpr std::int32_t kDisconnectTempBan = 1;
constexpr std::int32_t kDisconnectPermBan = 2;
constexpr std::size_t kBanReasonMax = 63;
}  // namespace

void CMyApplication::ProcessTran_DisconnectUser(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields) {
    SMyClient* target = GetClientByID(static_cast<std::uint16_t>(UFieldData::GetInteger(fields, kFieldUserID)));
    if (!target) return SendNoError(session);
    if (target->access.HasPriv(myAcc_CannotBeDisconnected))
        return SendErrorMsg(session, "You are not allowed to disconnect user " + UMacRoman::Quoted(target->userName) +
                                         " (user is protected).");

    const std::int32_t option = UFieldData::GetInteger(fields, kFieldOptions);
    auto tellTarget = [&](std::string_view text) {
        StFieldData msg;
        UFieldData::AddString(msg, kFieldData, text);
        target->tpt->SendTransaction(kTranServerMsg, msg);
    };
    if (option == kDisconnectTempBan) {
        tellTarget(kTempBannedText);
        AddTempBan(target->ipAddress);
    } else if (option == kDisconnectPermBan) {
        tellTarget(kPermBannedText);
        const std::string reason = UFieldData::GetString(fields, kFieldData).substr(0, kBanReasonMax);
        const SIPAddress address = ToIPAddress(target->ipAddress);
        try {
            ++mStats.permBansAdded;
            mBans.AddPermBan(address, address, reason);
        } catch (const SError& err) {
            // The ban file could not be written; the user is still disconnected.
            Error(err);
        }
    }
    // An orderly disconnect, so that the ban notice reaches the user before the connection ends.
    target->tpt->StartDisconnect();
    PostPass();

    const std::string who = target->userName.empty() ? IPAddressText(target->ipAddress) : target->userName;
    const char* format = option == kDisconnectPermBan   ? "Disconnect & permanent ban \xD2%s\xD3"
                         : option == kDisconnectTempBan ? "Disconnect & temporary ban \xD2%s\xD3"
                                                        : "Disconnect \xD2%s\xD3";
    Log(client, UText::FormatString(format, who));
    SendNoError(session);
}

}  // namespace kx
