// The application's side of the operator console: starting it on the server's standard input
// and output, and the effects its commands end in (options applied, ban list saved, broadcast,
// head administrator chosen, texts reloaded).
#include <cerrno>
#include <cstdio>
#include <unistd.h>

#include "accounts/admin_account.h"
#include "admin/tracker.h"
#include "console/console_commands.h"
#include "console/console_io.h"
#include "framework/file_util.h"
#include "protocol/transaction_types.h"
#include "server/application.h"

namespace kx {

namespace {

void WriteAll(int fd, const std::string& text) {
    if (fd < 0 || text.empty()) return;
    // Log lines go through stdio; keep them in order with the answers.
    std::fflush(stdout);
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // nobody reads the answers any more: drop them
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace

void CMyApplication::SetConsoleFds(int inFd, int outFd) {
    mConsole.inFd = inFd;
    mConsole.outFd = outFd;
}

void CMyApplication::StartConsole() {
    mConsole.commands = std::make_shared<CMyConsoleCommands>(*this);
    if (mConsole.inFd < 0) return;
    mConsole.input = std::make_shared<CMyConsoleInput>(
        mConsole.inFd,
        [this](const std::string& line, bool tooLong) {
            if (mHasQuit) return;  // lines after a quit are not carried out
            WriteAll(mConsole.outFd, tooLong ? std::string("Line too long: ignored.\n") : ConsoleCommand(line));
        },
        [] {
            // End of input: the server goes on serving; signals still reach it.
        });
}

std::string CMyApplication::ConsoleCommand(const std::string& line) {
    if (!mConsole.commands) mConsole.commands = std::make_shared<CMyConsoleCommands>(*this);
    return mConsole.commands->Execute(line);
}

void CMyApplication::ReloadTexts() {
    // A missing board starts empty again, as at start-up.
    if (!UFileUtil::Exists(ProgramPath(kMsgBoardFileName))) UFileUtil::WriteFileAtomic(ProgramPath(kMsgBoardFileName), "", 0);
    LoadMsgBoard();
    LoadAgreement(true);
    ReloadWeb();
}

SMyPrefs CMyApplication::CurrentPrefs() const {
    SMyPrefs p = mPrefs;
    p.mOptions = mOptions;
    p.mServerName.Set(mServerName);
    p.mServerDesc.Set(mServerDesc);
    p.mAdminLogin.Set(mAdminLogin);
    return p;
}

std::vector<std::string> CMyApplication::ApplyOptions(const SMyPrefs& edited) {
    std::vector<std::string> notes;
    const SMyPrefs before = CurrentPrefs();
    const SMyOptions& o = edited.mOptions;

    if (!(o.stIPAddress == before.mOptions.stIPAddress) || o.nBasePortNum != before.mOptions.nBasePortNum)
        notes.emplace_back("Changes of the Server IP or Port Number will only take effect after the server is restarted.");
    const std::uint16_t portInUse = mOptions.nCurPortNum;
    mOptions = o;
    mOptions.nCurPortNum = portInUse;

    mServerName = edited.mServerName.Str();
    mServerDesc = edited.mServerDesc.Str();
    mAdminLogin = edited.mAdminLogin.Str();
    const bool bannerChanged = ((before.mOptions.nOpts ^ o.nOpts) & kMyOptLocalBanner) ||
                               !(before.mAgreementBanner == edited.mAgreementBanner) ||
                               !(before.mAgreementBannerUrl == edited.mAgreementBannerUrl) ||
                               !(before.mAgreementUrl == edited.mAgreementUrl);
    mPrefs.mAgreementBanner = edited.mAgreementBanner;
    mPrefs.mAgreementBannerUrl = edited.mAgreementBannerUrl;
    mPrefs.mAgreementUrl = edited.mAgreementUrl;
    mPrefs.mTrackInfo = edited.mTrackInfo;
    for (SMyTrackInfo& e : mPrefs.mTrackInfo) e.ApplyPortRule();

    mLogger.SetSwitches(SMyLogSwitches::FromOptionBits(mOptions.nOpts));
    const bool registrationWanted = mOptions.nOpts & kMyOptTracker;
    RestartTracker();
    if (registrationWanted && !(mOptions.nOpts & kMyOptTracker))
        notes.emplace_back("Tracker registration stays off: it needs a server name and at least one tracker.");
    if (bannerChanged) LoadAgreement(true);

    SaveOptions();
    DisconnectPermBan();

    if (!(before.mAdminLogin == edited.mAdminLogin)) {
        PostAdminCheck();
        if (UAdminAccount::CheckAdminAccount(mAccounts, mAdminLogin) != UAdminAccount::EAdminState::kReady)
            notes.emplace_back("The head administrator account " + mAdminLogin +
                               " does not exist or has no password: \"admin create\" or \"admin reset\" sets it up.");
    }
    return notes;
}

void CMyApplication::SaveOptions() { WriteOptions(); }

std::size_t CMyApplication::SavePermBans(BanList& list) {
    mBans.WritePermBanInfo(list);
    std::size_t covered = 0;
    for (const auto& client : mClientList) covered += mBans.IsPermBanned(ToIPAddress(client->ipAddress));
    DisconnectPermBan();
    return covered;
}

std::size_t CMyApplication::ConsoleBroadcast(const std::string& macRomanText) {
    StFieldData fields;
    const std::string text = macRomanText.substr(0, 65535);
    UFieldData::AddField(fields, kFieldData, text.data(), static_cast<std::uint32_t>(text.size()));
    std::size_t count = 0;
    for (const auto& client : mClientList) count += client->hasLoggedIn && client->tpt->IsEstablished();
    BroadcastTran(kTranServerMsg, fields);
    return count;
}

void CMyApplication::SetHeadAdminLogin(const std::string& login) {
    const std::string before = mAdminLogin;
    mAdminLogin = login.substr(0, 31);
    SaveOptions();
    if (mAdminLogin != before) PostAdminCheck();
}

bool CMyApplication::SetExtendedOption(const std::string& name, const std::string& value,
                                       std::vector<std::string>& notes, std::string& error) {
    CMyExtendedOptions edited = mExtOptions;
    if (!edited.Set(name, value, error)) return false;
    edited.Write(ProgramPath(kExtOptionsFileName));
    mExtOptions = std::move(edited);
    if (name == "tls_certificate" || name == "tls_key") {
        ReloadTls();
        notes.emplace_back("The certificate is loaded again for new connections (see the log).");
    } else {
        notes.emplace_back("Changes of " + name + " take effect after the server is restarted.");
    }
    return true;
}

SMyTransferCounts CMyApplication::ConsoleTransferCounts() const {
    SMyTransferCounts counts;
    counts.downloading = static_cast<std::uint32_t>(mTransfers.mDownloadList.size() + mTransfers.mDownloadFldrList.size());
    counts.uploading = static_cast<std::uint32_t>(mTransfers.mUploadList.size() + mTransfers.mUploadFldrList.size());
    counts.waiting = static_cast<std::uint32_t>(mTransfers.mDownloadWaitingList.size());
    return counts;
}

}  // namespace kx
