// Signing in: kTranLogin (ban checks, the account and its password, the reply, the agreement
// notice) and kTranAgreed (the completion of a login that carried no nickname), the connect log
// line of a completed login, and the banner notice that follows the agreement.
#include <cstring>

#include "framework/byte_codec.h"
#include "framework/text_format.h"
#include "fs/file_types.h"
#include "fs/mac_roman.h"
#include "protocol/transaction_types.h"
#include "server/application.h"
#include "server/user_info.h"

namespace kx {

namespace {
constexpr std::int32_t kServerProtocolVersion = 192;
constexpr std::uint32_t kBannerMinClientVersion = 150;  // clients up to this one get no banner
constexpr std::size_t kErrorMessageMax = 255;
constexpr std::size_t kErrorDetailMax = 31;
constexpr char kIncorrectLoginText[] = "Incorrect login.";

bool IsNotFound(const SError& err) {
    return err.type == kErrClassFileSys && (err.id == kErrItemNotFound || err.id == kErrFolderNotFound);
}

void SendUserAccess(SMyClient* client) {
    StFieldData fields;
    UFieldData::AddField(fields, kFieldUserAccess, client->access.bytes.data(),
                         static_cast<std::uint32_t>(client->access.bytes.size()));
    client->tpt->SendTransaction(kTranUserAccess, fields);
}
}  // namespace

void CMyApplication::ProcessTran_Login(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields) {
    // Refuses, puts the client into the failed-login wait and logs it.
    auto fail = [&](const std::string& text) {
        SendErrorMsg(session, text);
        MarkLoginFailed(client);
        Log(client, "Login failed");
    };

    // Banned addresses are refused before anything of the request is looked at.
    const SIPAddress address = ToIPAddress(client->ipAddress);
    if (mBans.IsPermBanned(address)) return fail(std::string(kPermBannedText));
    if (mBans.IsTempBanned(address)) return fail(std::string(kTempBannedText));

    const std::string loginField =
        UFieldData::GetString(fields, kFieldUserLogin).substr(0, UMyUserInfo::kLoginFieldMax);
    const std::string password =
        UFieldData::GetString(fields, kFieldUserPassword).substr(0, UMyUserInfo::kPasswordFieldMax);
    client->vers = static_cast<std::uint32_t>(UFieldData::GetInteger(fields, kFieldVersion));
    const std::string name = UFieldData::GetString(fields, kFieldUserName).substr(0, UMyUserInfo::kNameFieldMax);
    const auto iconID = static_cast<std::int16_t>(UFieldData::GetInteger(fields, kFieldIconID));

    const std::string login = UMyUserInfo::LoginFromWire(loginField);
    SMyUserDataFile rec;
    try {
        rec = mAccounts.GetUser(login);
    } catch (const SError& err) {
        if (IsNotFound(err)) return fail(kIncorrectLoginText);
        return fail("Cannot read account " + UMacRoman::Quoted(login) + ":\r" +
                    UError::GetMessage(err).substr(0, kErrorMessageMax) + "\r" +
                    UError::GetDetail(err).substr(0, kErrorDetailMax));
    } catch (const std::exception&) {
        return fail(kIncorrectLoginText);
    }
    // Both sides are the encoded bytes: the password is never decoded.
    if (rec.GetPassword() != password) return fail(kIncorrectLoginText);

    StFieldData reply;
    UFieldData::AddInteger(reply, kFieldVersion, kServerProtocolVersion);
    UFieldData::AddInteger(reply, kFieldCommunityID, static_cast<std::int32_t>(mCommunityID));
    const std::string serverName = mServerName.substr(0, UMyUserInfo::kNameMax);
    UFieldData::AddField(reply, kFieldServerName, serverName.data(), static_cast<std::uint32_t>(serverName.size()));
    session->SendData(reply);

    client->accountName = rec.GetName().substr(0, UMyUserInfo::kNameMax);
    client->accountLogin = login.substr(0, UMyUserInfo::kNameMax);
    ResolveClientRoots(client);

    // A login that names the user and its icon is complete at once; otherwise kTranAgreed
    // completes it.
    const bool complete = !name.empty() && iconID != 0;
    if (complete) {
        client->iconID = iconID;
        // The others learn of the new user before it counts as logged in, so it is not told
        // about itself.
        SetClientUserInfo(client, name, rec);
        if (!client->hasLoggedIn) ++mStats.loginsSucceeded;
        client->hasLoggedIn = true;
        Log(client, "Login successful");
        SendUserAccess(client);
    }

    StFieldData agreement;
    if (rec.access.HasPriv(myAcc_NoAgreement)) {
        UFieldData::AddInteger(agreement, kFieldNoServerAgreement, 1);
    } else if (mAgreement.mServerAgreement) {
        UFieldData::AddString(agreement, kFieldData, *mAgreement.mServerAgreement);
    }
    client->tpt->SendTransaction(kTranShowAgreement, agreement);

    if (complete) LogConnect(client);
}

void CMyApplication::ProcessTran_Agreed(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields) {
    SMyUserDataFile rec;
    try {
        // An empty accountLogin (no successful kTranLogin before) fails here as well.
        rec = mAccounts.GetUser(client->accountLogin);
    } catch (const std::exception&) {
        SendErrorMsg(session, "Cannot read account " + UMacRoman::Quoted(client->accountLogin) + ".");
        MarkLoginFailed(client);
        return;
    }
    SendNoError(session);

    SetClientUserInfo(client, fields, &rec);
    if (!client->hasLoggedIn) ++mStats.loginsSucceeded;
    client->hasLoggedIn = true;
    Log(client, "Login successful");
    SendUserAccess(client);
    LogConnect(client);

    if (client->vers > kBannerMinClientVersion && mAgreement.mServerBannerType != 0) SendServerBanner(client);
}

void CMyApplication::SendServerBanner(SMyClient* client) {
    StFieldData fields;
    std::uint8_t type[4];
    PutBE32(type, mAgreement.mServerBannerType);
    if (mAgreement.mServerBannerType == MakeCode("URL ")) {
        if (!mAgreement.mServerBannerUrl) return;
        UFieldData::AddField(fields, kFieldServerBannerType, type, sizeof type);
        UFieldData::AddString(fields, kFieldServerBannerUrl, *mAgreement.mServerBannerUrl);
    } else {
        if (!mAgreement.mServerBanner) return;
        UFieldData::AddField(fields, kFieldServerBannerType, type, sizeof type);
        if (mAgreement.mServerBannerUrl) UFieldData::AddString(fields, kFieldServerBannerUrl, *mAgreement.mServerBannerUrl);
    }
    client->tpt->SendTransaction(kTranServerBanner, fields);
}

void CMyApplication::LogConnect(SMyClient* client) {
    try {
        const std::string address = IPAddressText(client->ipAddress);
        mLogger.LogConnect(SMyLogPeer{address, client->accountLogin, client->userName});
    } catch (const SError& err) {
        Error(err);
    }
}

}  // namespace kx
