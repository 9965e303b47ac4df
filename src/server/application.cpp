// CMyApplication: construction, start-up in its fixed order, the message handler that turns
// every batch of notices into one processing pass, error counting with the automatic reset,
// transfer reference numbers, and the orderly quit.
#include "server/application.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "framework/clock.h"
#include "framework/file_util.h"
#include "fs/fs_ref.h"
#include "protocol/transaction_types.h"
#include "server/pref_file.h"

namespace kx {

CMyApplication* gApp = nullptr;

namespace {
constexpr std::uint32_t kErrorWindowSecs = 300;
constexpr std::uint16_t kErrorsBeforeReset = 100;
constexpr std::uint16_t kResetsBeforeExit = 10;
constexpr std::uint32_t kHousekeepingMs = 1000;

std::uint32_t RandomU32() {
    static std::mt19937 gen{std::random_device{}()};
    return static_cast<std::uint32_t>(gen());
}
}  // namespace

CMyApplication::CMyApplication(std::string programDir)
    : mProgramDir(std::move(programDir)),
      mLogger(mProgramDir),
      mBans(mProgramDir),
      mAccounts(mProgramDir + "/Users", mProgramDir + "/Trash") {
    gApp = this;
    BuildDispatchTable();
    mPrefs = SMyPrefs::Defaults();
    mOptions = mPrefs.mOptions;
}

CMyApplication::~CMyApplication() {
    if (mPassHook != 0) CEventLoop::Get().RemoveAfterBatch(mPassHook);
    CEventLoop::Get().RemoveMessages(this);
    mClientList.clear();
    mConnectList.clear();
    mTransfers.mTransferEstabList.clear();
    mListeners.Close();
    if (gApp == this) gApp = nullptr;
}

void SMyListeners::Close() {
    mListenTpt.reset();
    mListenHttpTpt.reset();
    mTransferListenTpt.reset();
    mTransferListenHttpTpt.reset();
    mListenTlsTpt.reset();
    mTransferListenTlsTpt.reset();
    mListenWebTpt.reset();
    mTransferListenWebTpt.reset();
    mWebListener.reset();
    mMetrics.reset();
}

void CMyApplication::StartUp() {
    mLogger.LogText("Kestrix Server", kServerVersionText);

    for (const char* folder : {"Users", "Files", "News"}) UFileUtil::EnsureDirectory(ProgramPath(folder));
    // Deleted accounts, files and news items go here, outside every client's root.
    UFileUtil::EnsureDirectory(ProgramPath("Trash"));
    UFileSys::SetTrashFolder(ProgramPath("Trash"));

    // A missing message board starts empty.
    if (!UFileUtil::Exists(ProgramPath(kMsgBoardFileName))) UFileUtil::WriteFileAtomic(ProgramPath(kMsgBoardFileName), "", 0);
    LoadMsgBoard();

    _gTransactMaxReceiveSize = 524288;

    UMyPrefs::ReadPrefs(ProgramPath(kMyPrefsFileName), mPrefs);
    mOptions = mPrefs.mOptions;
    mServerName = mPrefs.mServerName.Str();
    mServerDesc = mPrefs.mServerDesc.Str();
    mAdminLogin = mPrefs.mAdminLogin.Str();
    mLogger.SetSwitches(SMyLogSwitches::FromOptionBits(mOptions.nOpts));
    for (const std::string& note : mExtOptions.Read(ProgramPath(kExtOptionsFileName))) mLogger.LogText("Options", note);

    mBans.ReadPermBanList();

    LoadAgreement(false);

    CheckAdminAccount();

    CEventLoop& loop = CEventLoop::Get();
    mPassHook = loop.AddAfterBatch([this] {
        if (mPassRequested) ProcessPass();
    });
    mHousekeepingTimer.Start(kHousekeepingMs, [this] { Housekeeping(); }, kHousekeepingMs);

    OpenListeners();
    StartMetrics();
    // The start line comes once every listener is open, the encrypted, web and metrics ones
    // included: a supervisor (or a test) that waits for it can connect to any port of the server.
    if (mListeners.mListenTpt) LogStarted();

    StartTrackerRegistration();

    StartConsole();
}

void CMyApplication::LogStarted() {
    char who[32];
    const std::uint32_t n = mListeners.mListenTpt->GetTransport()->GetLocalAddressText(who, sizeof who);
    std::string whoText(who, n);
    if (mOptions.nCurPortNum != 5500) whoText += ":" + std::to_string(mOptions.nCurPortNum);
    mLogger.LogText(whoText, "Kestrix Server started");
}

void CMyApplication::OpenListeners() {
    const std::uint16_t base = mOptions.nBasePortNum;
    auto makeAddress = [](std::uint16_t port) {
        SInternetAddress a{};
        a.type = kInternetAddressType;
        a.port = port;
        return a;
    };
    auto handler = [this](std::uint32_t code, void* object) { HandleMessage(code, object); };
    SMyListeners& l = mListeners;
    try {
        SInternetAddress a = makeAddress(base);
        l.mListenTpt = std::make_unique<TTransactObj>(UTransport::New(kTransportStream, true));
        l.mListenTpt->SetIPAddress(mOptions.stIPAddress);
        l.mListenTpt->SetMessageHandler(handler);
        l.mListenTpt->Listen(&a, sizeof a);

        a = makeAddress(static_cast<std::uint16_t>(base + 1));
        l.mTransferListenTpt = UTransport::New(kTransportStream, true);
        l.mTransferListenTpt->SetIPAddress(mOptions.stIPAddress);
        l.mTransferListenTpt->SetMessageHandler(handler);
        l.mTransferListenTpt->Listen(&a, sizeof a);

        a = makeAddress(static_cast<std::uint16_t>(base + 2));
        l.mListenHttpTpt = std::make_unique<TTransactObj>(UTransport::New(kTransportStream, false));
        l.mListenHttpTpt->SetIPAddress(mOptions.stIPAddress);
        l.mListenHttpTpt->SetMessageHandler(handler);
        l.mListenHttpTpt->Listen(&a, sizeof a);

        a = makeAddress(static_cast<std::uint16_t>(base + 3));
        l.mTransferListenHttpTpt = UTransport::New(kTransportStream, false);
        l.mTransferListenHttpTpt->SetIPAddress(mOptions.stIPAddress);
        l.mTransferListenHttpTpt->SetMessageHandler(handler);
        l.mTransferListenHttpTpt->Listen(&a, sizeof a);
    } catch (const SError&) {
        l.Close();
        mLogger.LogText("Server Error",
                        "Please change the \"Server IP\" or \"Server port number\" from \"Options/General\" and restart the server");
        std::fprintf(stderr,
                     "Server Error: Cannot bind to the specified address because it is incorrect or it is already in use. "
                     "Please change the \"Server IP\" or \"Server port number\" from \"Options/General\" and restart the server.\n");
        return;
    }
    mOptions.nCurPortNum = base;
    OpenTlsListeners(base);
    OpenWebListener(base);
}

std::uint16_t CMyApplication::ListenPort() const { return mOptions.nCurPortNum; }

void CMyApplication::Run() {
    CEventLoop& loop = CEventLoop::Get();
    while (!mHasQuit) {
        try {
            loop.RunOnce(-1);
        } catch (const SError& err) {
            Error(err);
        }
    }
}

void CMyApplication::HandleMessage(std::uint32_t code, void*) {
    if (code >= 100 && code <= 106) mPassRequested = true;
}

void CMyApplication::PostPass() {
    mPassRequested = true;
    // A request made during a pass must get a pass of its own soon, not wait for the next
    // network event: a queued message makes the loop run another iteration at once.
    if (!mWakePosted) {
        mWakePosted = true;
        CEventLoop::Get().PostMessage(kMsgDataArrived, this, [this](std::uint32_t, void*) {
            mWakePosted = false;
            mPassRequested = true;
        });
    }
}

void CMyApplication::ProcessPass() {
    const auto started = std::chrono::steady_clock::now();
    mPassRequested = false;
    try {
        ProcessClients();
    } catch (const SError& err) {
        Error(err);
    }
    // The transfer steps, in this order: transfer connections being established, banner
    // downloads, file downloads, folder downloads, file uploads, folder uploads, the download
    // waiting queue.
    RunTransferPasses();
    mStats.passDurations.Add(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());

    // Only here is no client or transfer record in use any more.
    if (mResetDue) {
        mResetDue = false;
        try {
            ResetServer();
        } catch (...) {
            UError::DebugBreak("Reset failed! Terminating...");
            std::_Exit(EXIT_FAILURE);
        }
    }
}

void CMyApplication::Housekeeping() {
    const std::uint32_t now = UClock::UpSeconds();
    if ((!mDeadlines.empty() && mDeadlines.begin()->first <= now) || !mConnectList.empty()) PostPass();
    mBans.RemoveOldTempBans();
}

void CMyApplication::UserQuit(const std::string& farewell) {
    if (mClientList.empty() || !(mOptions.nOpts & kMyOptConfirmQuit) || farewell.empty()) {
        Quit();
        return;
    }
    mIsQuitting = true;
    StFieldData fields;
    const std::string text = farewell.substr(0, 255);
    UFieldData::AddField(fields, kFieldData, text.data(), static_cast<std::uint32_t>(text.size()));
    BroadcastTran(kTranServerQuitting, fields);
}

void CMyApplication::CancelQuit() { mIsQuitting = false; }

void CMyApplication::Quit() {
    if (mHasQuit) return;
    try {
        WriteOptions();
    } catch (const SError& err) {
        mLogger.LogError(err);
    }
    mHasQuit = true;
    CEventLoop::Get().Stop();
}

void CMyApplication::WriteOptions() {
    mPrefs.mOptions = mOptions;
    mPrefs.mServerName.Set(mServerName);
    mPrefs.mServerDesc.Set(mServerDesc);
    mPrefs.mAdminLogin.Set(mAdminLogin);
    UMyPrefs::WritePrefs(ProgramPath(kMyPrefsFileName), mPrefs);
}

void CMyApplication::Error(const SError& err) {
    ++mStats.errors;
    const std::uint32_t now = UClock::UpSeconds();
    if (mErrorCount == 0 || now - mFirstErrorTime > kErrorWindowSecs) {
        mErrorCount = 1;
        mFirstErrorTime = now;
    } else if (++mErrorCount > kErrorsBeforeReset && !mResetDue) {
        UError::DebugBreak("Too many errors! Resetting...");
        mResetDue = true;  // carried out by ProcessPass, which the PostPass below brings
    }
    try {
        mLogger.LogError(err);
    } catch (const SError&) {
        // The error log itself cannot be written: nothing further to report to.
    }
    PostPass();
}

void CMyApplication::TransferError(const SError& err) {
    ++mStats.transferErrors;
    try {
        mLogger.LogError(err);
    } catch (const SError&) {
        // The error log itself cannot be written: nothing further to report to.
    }
    PostPass();
}

void CMyApplication::ResetServer() {
    if (++mResetCount > kResetsBeforeExit) {
        UError::DebugBreak("Too many resets! Terminating...");
        std::_Exit(EXIT_FAILURE);
    }
    mStats.Reset();
    ++mStats.resets;
    mClientList.clear();
    mClientsByID.clear();
    mDepartedIDs.clear();
    mDeparturesHeldSince = 0;
    mAddressCounts.clear();
    mNotifiedClients.clear();
    mDeadlines.clear();
    mTransfers.Clear();
    mChats.mChatList.clear();

    mErrorCount = 0;
    mRefNumCounter = 1;
    Log("SERVER RESET - too many errors");
    UpdateDisplay();
}

std::uint32_t CMyApplication::NewRefNum() {
    const std::uint32_t random = RandomU32();
    if (++mRefNumCounter == 0) ++mRefNumCounter;
    return (std::uint32_t(mRefNumCounter) << 16) | (random & 0xFFFF);
}

void CMyApplication::Log(const std::string& text) { mLogger.LogText("", text); }

void CMyApplication::Log(const SMyClient* client, const std::string& text) {
    if (!client->userName.empty()) mLogger.LogText(client->userName, text);
    else Log(client->ipAddress, text);
}

void CMyApplication::Log(std::uint32_t ipAddress, const std::string& text) {
    mLogger.LogText(IPAddressText(ipAddress), text);
}

void CMyApplication::AddTempBan(std::uint32_t ipAddress) {
    mBans.AddTempBan(ToIPAddress(ipAddress));
    ++mStats.tempBansAdded;
}

void CMyApplication::DisconnectPermBan() {
    const std::size_t count = mBans.DisconnectPermBan(
        mClientList, [](const std::unique_ptr<SMyClient>& c) { return ToIPAddress(c->ipAddress); },
        [this](const std::unique_ptr<SMyClient>& c) {
            // The notice goes out before the connection closes: the orderly disconnect sends
            // what is queued first.
            StFieldData fields;
            UFieldData::AddField(fields, kFieldData, kPermBannedText.data(),
                                 static_cast<std::uint32_t>(kPermBannedText.size()));
            c->tpt->SendTransaction(kTranServerMsg, fields);
            c->tpt->StartDisconnect();
            const std::string who = !c->userName.empty() ? c->userName : IPAddressText(c->ipAddress);
            Log(c.get(), PermBanDisconnectLogText(who));
        });
    if (count) PostPass();
}

void CMyApplication::UpdateDisplay() {
    mStats.UpdatePeak();
}

}  // namespace kx
