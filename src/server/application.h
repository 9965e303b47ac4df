// CMyApplication: the one object that owns the running server (gApp). It holds the pending
// connections and the clients, the options and the counters, and one record per subsystem's
// state (listeners, transfers, chat rooms, message board, agreement, tracker link, console), and
// answers every notice of the event loop with one processing pass. Start-up, quit and error
// counting are in application.cpp; the pass over connections and clients in process_clients.cpp;
// replies and the dispatch table (privileges included) in dispatch.cpp.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string_view>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "accounts/account_store.h"
#include "files/file_tree.h"
#include "admin/ban_list.h"
#include "admin/tracker.h"
#include "files/transfer_records.h"
#include "framework/error.h"
#include "framework/event_loop.h"
#include "fs/fs_ref.h"
#include "net/transport.h"
#include "protocol/field_data.h"
#include "protocol/transact.h"
#include "server/chat.h"
#include "server/client.h"
#include "server/client_info_text.h"
#include "server/extended_options.h"
#include "server/listeners.h"
#include "server/loaded_texts.h"
#include "server/log.h"
#include "server/options.h"
#include "server/pref_file.h"
#include "server/stats.h"

namespace kx {

inline constexpr const char* kServerVersionText = "1.9.2";
inline constexpr const char* kMsgBoardFileName = "MessageBoard.txt";
inline constexpr const char* kMyAgreementTextFileName = "Agreement.txt";
inline constexpr const char* kPrefFileName = "pref";

class CMyApplication;
class CMyConsoleCommands;
class CMyConsoleInput;
extern CMyApplication* gApp;

// Time rules of the main loop, in seconds; injectable so tests need not wait.
struct SMyTimeRules {
    std::uint32_t requestWindow = 60;     // request-rate window
    std::uint16_t requestLimit = 120;     // requests counted before the next one bans
    std::uint32_t loginIdle = 60;         // not logged in and silent: disconnect
    std::uint32_t awayIdle = 600;         // logged in and silent: away
    std::uint32_t loginFailedWait = 30;   // failed login: disconnect after
    std::uint32_t handshakeWait = 60;     // handshake not finished: close
    std::uint32_t floodWindow = 30;       // connection flood window
    std::uint16_t floodLimit = 10;        // connections counted before the next one bans
};

// The operator's console: its descriptors (-1: none), its input and its command interpreter
// (held through shared pointers so this header need not include the console's headers).
struct SMyConsoleLink {
    int inFd = -1;
    int outFd = -1;
    std::shared_ptr<CMyConsoleInput> input;
    std::shared_ptr<CMyConsoleCommands> commands;
};

// A privilege number no account holds: a dispatch row with it asks for none.
inline constexpr unsigned kNoPrivGate = kUserAccessBits;

class CMyApplication {
public:
    using TranHandler = void (CMyApplication::*)(SMyClient* client, TTransactSessionObj* session,
                                                 TFieldDataObj fields);
    // One row of the dispatch table: a transaction type's handler and, for a request refused at
    // once without a privilege, that privilege and the refusal text (kNoPrivGate: none needed).
    struct SMyTranRow {
        std::uint16_t type = 0;
        TranHandler handler = nullptr;
        unsigned priv = kNoPrivGate;
        const char* refusal = nullptr;
    };
    // A refusal text, or nothing when the request is accepted.
    using TRefusal = std::optional<std::string>;

    // programDir: the program folder ("beside the program").
    explicit CMyApplication(std::string programDir);
    ~CMyApplication();
    CMyApplication(const CMyApplication&) = delete;
    CMyApplication& operator=(const CMyApplication&) = delete;

    // Start-up in its fixed order; the listeners are opened at the end.
    void StartUp();
    // Runs the event loop until Quit.
    void Run();
    // Operator asks to quit: at once when nobody is connected or confirmation is off; else the
    // farewell message (empty text quits at once).
    void UserQuit(const std::string& farewell = std::string());
    void CancelQuit();
    // Writes the options file and ends the event loop.
    void Quit();
    bool IsQuitting() const { return mIsQuitting; }
    bool HasQuit() const { return mHasQuit; }

    // Every error that escapes a handler or a pass lands here: counted and logged. Past the
    // limit a reset is due; it happens when the processing pass ends, since the error may come
    // from inside a client's request whose records the reset would free under it.
    void Error(const SError& err);
    // An error that ended only one client's transfer (damaged stream or resume record, a file
    // that cannot be read or written): logged like any error but not counted toward the reset,
    // so no client can reset the server for everyone by sending damaged data.
    void TransferError(const SError& err);
    void ResetServer();
    std::uint32_t NewRefNum();

    // The processing pass (runs once per batch of notices); a reset that fell due meanwhile
    // ends it.
    void ProcessPass();
    void ProcessClients();
    void KillClient(SMyClient* client);
    SMyClient* GetClientByID(std::uint16_t userID) const;
    std::uint32_t GetClientAddressCount(std::uint32_t address) const;
    // The notice to every logged-in client that can receive it, the field list encoded once.
    void BroadcastTran(std::uint16_t type, TFieldDataObj fields);
    // Asks for a pass soon (a handler that disconnected another client).
    void PostPass();

    // Replies.
    void SendNoError(TTransactSessionObj* session);
    void SendErrorMsg(TTransactSessionObj* session, const std::string& text);
    void SendErrorMsg(TTransactSessionObj* session, const SError& err, const std::string& text);
    void ProcessTran_Unknown(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);

    // Logging with the "who" column.
    void Log(const std::string& text);
    void Log(const SMyClient* client, const std::string& text);
    void Log(std::uint32_t ipAddress, const std::string& text);

    // A failed login: the client is read no more and dropped after the wait.
    void MarkLoginFailed(SMyClient* client);
    // Marks the client away or back (the idle rule and every request).
    void SetClientAway(SMyClient* client, bool away);

    static constexpr std::uint16_t kMaxTranType = 511;

    // A temporary ban of the address (the flood rules, the disconnect request).
    void AddTempBan(std::uint32_t ipAddress);
    // Disconnects connected clients that the permanent bans now cover.
    void DisconnectPermBan();

    const std::string& ProgramDir() const { return mProgramDir; }
    std::string ProgramPath(const std::string& name) const { return mProgramDir + "/" + name; }
    SMyOptions& Options() { return mOptions; }
    CMyLog& Logger() { return mLogger; }
    SMyStats& Stats() { return mStats; }
    CMyBanLists& Bans() { return mBans; }
    CMyAccountStore& Accounts() { return mAccounts; }
    SMyPrefs& Prefs() { return mPrefs; }
    SMyTimeRules& TimeRules() { return mTimeRules; }
    const TClientList& Clients() const { return mClientList; }
    std::size_t PendingConnections() const { return mConnectList.size(); }
    std::uint16_t ListenPort() const;
    std::uint16_t ResetCount() const { return mResetCount; }
    std::uint16_t ErrorCount() const { return mErrorCount; }

    // Message handler for every endpoint the application owns.
    void HandleMessage(std::uint32_t code, void* object);

    // ==== Login, agreement and presence (src/server/login*.cpp, presence*.cpp) ====
    void ProcessTran_Login(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);
    void ProcessTran_Agreed(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);
    void ProcessTran_GetUserNameList(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);
    void ProcessTran_SetClientUserInfo(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);
    void ProcessTran_GetClientInfoText(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);
    void ProcessTran_DisconnectUser(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);
    void ProcessTran_KeepConnectionAlive(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);
    // The login form: privileges from the record, names from the nickname given at login.
    void SetClientUserInfo(SMyClient* client, std::string_view name, const SMyUserDataFile& rec);
    // The form of kTranAgreed (with the record) and kTranSetClientUserInfo (rec null).
    void SetClientUserInfo(SMyClient* client, TFieldDataObj fields, const SMyUserDataFile* rec);
    // kTranClientUserInfo about `client` to every logged-in client.
    void BroadcastClientUserInfo(SMyClient* client);
    std::uint16_t GetClientFlags(const SMyClient* client) const;
    // Loads "Agreement.txt" and the banner (start-up, and the console's reload).
    void LoadAgreement(bool reload);
    // The agreement text; null when none is loaded.
    const std::string* GetServerAgreement() const {
        return mAgreement.mServerAgreement ? &*mAgreement.mServerAgreement : nullptr;
    }
    // The banner picture (a local banner); null when none is loaded. Served by banner downloads.
    const std::vector<std::uint8_t>* GetServerBanner() const {
        return mAgreement.mServerBanner ? &*mAgreement.mServerBanner : nullptr;
    }
    std::uint32_t GetServerBannerType() const { return mAgreement.mServerBannerType; }
    const std::string* GetServerBannerUrl() const {
        return mAgreement.mServerBannerUrl ? &*mAgreement.mServerBannerUrl : nullptr;
    }
    // Brings every client logged in to `login` (lower case) up to date with the record, its files
    // and news roots included.
    void SetOnlineAccount(const std::string& login, const SMyUserDataFile& rec);
    // The client's files and news roots (host paths), resolved from its account: the account's own
    // "Files" / "News" folder when the account folder holds one, else the shared folder. Run at
    // admission and login and wherever an account change reaches online clients, so that requests
    // never look them up on disk.
    void ResolveClientRoots(SMyClient* client) const;
    // ResolveClientRoots for every client logged in to `login` (lower case): its folder was renamed.
    void ResolveAccountRoots(const std::string& login);
    // Disconnects every client logged in to `login`, each logged under `acting` (may be null).
    void DeleteOnlineAccount(const std::string& login, SMyClient* acting);
    // Start-up: makes sure the head administrator account exists and has a password, without
    // ever waiting for an operator who is not there.
    void CheckAdminAccount();
    // The same check on the head administrator named now, run from the event loop after the
    // current step (message 1109); it never asks on the terminal.
    void PostAdminCheck();

    // ==== Chat rooms and instant messages (src/server/chat*.cpp) ====
    void ProcessTran_ChatSend(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);
    void ProcessTran_SendInstantMsg(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);
    void ProcessTran_UserBroadcast(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);
    void ProcessTran_InviteNewChat(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);
    void ProcessTran_InviteToChat(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);
    void ProcessTran_RejectChatInvite(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);
    void ProcessTran_JoinChat(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);
    void ProcessTran_LeaveChat(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);
    void ProcessTran_SetChatSubject(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);
    // The open private chat with that ID, or null.
    SMyChat* GetChatByID(std::uint32_t id) const;
    // A non-zero ID that no open chat uses.
    std::uint32_t NewUniqueChatID();
    // kTranChatText to the members of chat `chatID` who are established and may read chat.
    void SendTextToChat(std::uint32_t chatID, const void* text, std::uint32_t size);
    // A notice to every established member of the chat.
    void BroadcastToChat(const SMyChat* chat, std::uint16_t type, TFieldDataObj fields);
    // Takes a departing client out of every chat; the remaining members are told, and chats left
    // empty are deleted. Called by KillClient before the record is freed.
    void LeaveAllChats(SMyClient* client);
    const std::vector<std::unique_ptr<SMyChat>>& Chats() const { return mChats.mChatList; }
    // The flood rules shared by chat, instant messages, broadcasts, invitations and board posts.
    // Each returns true when it disconnected and banned the client (the caller then stops).
    bool ApplyRepetitionRule(SMyClient* client, const void* text, std::size_t size, const char* spamText);
    void ResetMsgWindow(SMyClient* client);
    bool CountMsg(SMyClient* client);
    bool ApplyMsgRate(SMyClient* client);  // ResetMsgWindow, then CountMsg
    void AutoBan(SMyClient* client, const char* logText);

    // ==== Message board (src/server/message_board*.cpp) ====
    void ProcessTran_GetMsgs(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);
    void ProcessTran_PostMsg(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);
    // Host path of "MessageBoard.txt"; the file is created empty when missing.
    std::string GetMsgBoardFileSpec();
    // Reads the board file whole into memory (start-up and the console's reload).
    void LoadMsgBoard();
    void LoadMessageBoard() { LoadMsgBoard(); }
    // Inserts header, text and separator at the start of the board and rewrites the file; returns
    // the number of bytes inserted (the new post is then the board's first bytes).
    std::uint32_t AddToMsgBoard(TFieldDataObj fields, const std::string& posterName);
    const std::vector<std::uint8_t>& MsgBoard() const { return mBoard.mMsgData; }

    // ==== Account administration (src/accounts/account_requests*.cpp) ====
    void ProcessTran_NewUser(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);
    void ProcessTran_DeleteUser(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);
    void ProcessTran_GetUser(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);
    void ProcessTran_SetUser(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);
    void ProcessTran_GetUserList(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);
    void ProcessTran_SetUserList(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);
    // One line in the account log (when switched on) and one in the log window for a change
    // `client` made; a log file that cannot be written is reported through Error, never to the
    // client, since the change itself is done.
    void LogAccountChange(const SMyClient* client, EMyAccountAction action, const std::string& affected);

    // ==== File browsing and management (src/files/file_requests*.cpp) ====
    void ProcessTran_GetFileNameList(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);
    void ProcessTran_GetFileInfo(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);
    void ProcessTran_SetFileInfo(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);
    void ProcessTran_DeleteFile(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);
    void ProcessTran_NewFolder(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);
    void ProcessTran_MoveFile(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);
    void ProcessTran_MakeFileAlias(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);
    // The frame of the file requests: the path field read, the client's root opened, `body` run.
    // The body's refusal, or a file-system failure (`failure` and the error's text), answers the
    // request; otherwise its reply is sent and `logText` (when not empty) logged.
    void ServeFileRequest(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields,
                          const std::string& failure, const std::string& logText,
                          const std::function<TRefusal(SMyFileRequest&)>& body);

    // ==== Transfers: connections, downloads, uploads, folders (src/files/transfer*.cpp ...) ====
    // The transfer steps of the processing pass, in their order: connections being established,
    // banner downloads, file downloads, folder downloads, file uploads, folder uploads, the
    // download waiting queue (transfer.cpp).
    void RunTransferPasses();
    void ProcessTransferEstab();
    void ProcessBannerDownloads();
    void ProcessDownloads();
    void ProcessUploads();
    void ProcessDownloadsWaiting();
    void ProcessFldrDownloads();
    void ProcessFldrUploads();

    SMyDownloadData* GetDownloadByRefNum(std::uint32_t refNum) const;
    SMyDownloadBannerData* GetDownloadBannerByRefNum(std::uint32_t refNum) const;
    SMyUploadData* GetUploadByRefNum(std::uint32_t refNum) const;
    SMyDownloadFldrData* GetDownloadFldrByRefNum(std::uint32_t refNum) const;
    SMyUploadFldrData* GetUploadFldrByRefNum(std::uint32_t refNum) const;
    // Active downloads of the client (waiting ones do not count).
    std::uint32_t GetClientDownloadsNumber(std::uint16_t userID) const;
    // How far the client's next download is over the limits; 0 = it may start now.
    std::uint32_t GetDownloadExcess(std::uint16_t userID) const;
    bool KillDownloadByRefNum(SMyClient* client, std::uint32_t refNum);
    void SendClientDownloadInfo(SMyClient* client, std::uint32_t refNum, std::uint32_t position);

    void ProcessTran_DownloadFile(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);
    void ProcessTran_UploadFile(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);
    void ProcessTran_DownloadBanner(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);
    void ProcessTran_KillDownload(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);
    void ProcessTran_DownloadFldr(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);
    void ProcessTran_UploadFldr(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);

    // The banner picture sent by banner downloads (none: no picture loaded).
    std::optional<std::vector<std::uint8_t>>& ServerBanner() { return mAgreement.mServerBanner; }
    const std::vector<std::unique_ptr<SMyDownloadData>>& DownloadList() const { return mTransfers.mDownloadList; }
    const std::vector<std::unique_ptr<SMyDownloadWaitingData>>& DownloadWaitingList() const {
        return mTransfers.mDownloadWaitingList;
    }
    const std::vector<std::unique_ptr<SMyUploadData>>& UploadList() const { return mTransfers.mUploadList; }
    const std::vector<std::unique_ptr<SMyDownloadFldrData>>& DownloadFldrList() const {
        return mTransfers.mDownloadFldrList;
    }
    const std::vector<std::unique_ptr<SMyUploadFldrData>>& UploadFldrList() const { return mTransfers.mUploadFldrList; }
    std::size_t TransferEstabCount() const { return mTransfers.mTransferEstabList.size(); }

private:
    // Asks for another pass even when nothing else happens meanwhile: a pass requested from
    // inside a pass runs only after the event loop has something to do, so a message is posted.
    void WakeTransferPass();
    bool AttachTransferConnection(TTransport& tpt, const std::uint8_t* header);
    void SendDownloadChunk(SMyDownloadData* d, std::uint32_t now);
    void FinishUpload(SMyUploadData* u);
    void DeleteDownloadWaiting(std::unique_ptr<SMyDownloadWaitingData> w);
    std::uint32_t TransferLogAddress(const TTransport& tpt, const SMyClient* client) const;
    SMyClient* TransferClient(SMyClient* client, std::uint16_t clientID) const;
    // One step of a transfer pass on one record, given its client (present) and the time; and a
    // verdict reached before the time rules (nothing: the rules decide), given its client or null.
    template <class TRecord>
    using TTransferStep = std::function<SMyTransferVerdict(TRecord& record, SMyClient* client, std::uint32_t now)>;
    template <class TRecord>
    using TTransferSettle = std::function<std::optional<SMyTransferVerdict>(TRecord& record, SMyClient* client)>;
    // The turn loop of the file and folder transfer passes, over `list` in order. Each record
    // first meets `settle` (when given), then the presence and time rules: its client gone or its
    // connection closed, no connection within 500 seconds, an upload silent for 120 seconds
    // remove it; a record still waiting for its connection files its wake-up and waits. Otherwise
    // `serve` does its work. A removed record leaves the list with its log line (its connection's
    // address, else its client's); an upload that stays files its idle wake-up.
    template <class TRecord>
    void RunTransferTurns(std::vector<std::unique_ptr<TRecord>>& list, bool isUpload, const TTransferStep<TRecord>& serve,
                          const TTransferSettle<TRecord>& settle = {});
    // The destination folder of an upload request (`what`: "the file «x»", "the folder «x»"), found
    // from the client's root through the path data (aliases followed); without the upload-anywhere
    // privilege it must be an upload folder or drop box by the path's last name (`byPathName`) or
    // by its own name. Null after the refusal was answered.
    TFSRef FindUploadFolder(SMyClient* client, TTransactSessionObj* session, const void* path, std::size_t pathSize,
                            bool byPathName, const std::string& what);
    // Starts an accepted download (a file's or a folder's, held by `w`), or queues it when
    // `excess` is not 0, and completes its request: the reference number and the queue place
    // added to `reply`, which is sent, the counter, the log lines.
    void AcceptDownload(std::unique_ptr<SMyDownloadWaitingData> w, std::uint32_t excess, SMyClient* client,
                        TTransactSessionObj* session, TFieldDataObj reply, const std::string& logText, std::string_view name);

public:

    // ==== News (src/news/news_requests*.cpp) ====
    void ProcessTran_GetNewsCatNameList(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);
    void ProcessTran_GetNewsArtNameList(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);
    void ProcessTran_GetNewsArtData(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);
    void ProcessTran_PostNewsArt(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);
    void ProcessTran_DelNewsArt(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);
    void ProcessTran_DelNewsFldrItem(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);
    void ProcessTran_NewNewsFldr(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);
    void ProcessTran_NewNewsCat(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);
    // Replies built from the news tree (host paths). The category list has the short entries
    // below protocol version 15 and the long ones from 15 on. The article list and data raise
    // the database's error when the category cannot be read.
    static void BuildNewsCatList(const std::string& folder, TFieldDataObj fields, std::uint32_t clientVersion);
    static void BuildNewsArtList(const std::string& category, TFieldDataObj fields);
    static void BuildNewsArtData(const std::string& category, std::uint32_t articleID, const std::string& flavor,
                                 TFieldDataObj fields);

    // ==== Tracker registration (src/admin/tracker*.cpp) ====
    // Announces the server to every named tracker (the registration timer's work). Does nothing
    // unless registration is on and the server has a name.
    void UpdateTracker();
    // Start-up: creates the tracker endpoint and timer and, when registration is on, starts the
    // timer; the saved switch is left as it is.
    void StartTrackerRegistration();
    // After the options change: clears the registration switch when no tracker is named or the
    // server name is empty, then starts the five-minute timer (announcing at once) or stops it.
    void RestartTracker();
    bool IsTrackerRunning() const;
    // Starts the five-minute timer, announcing at once, when registration is on; else stops it.
    void RunTrackerTimer();

    // ==== Encrypted listeners (src/server/tls_setup.cpp) ====
    // Opens the TLS client and transfer listeners when the extended options switch them on,
    // making the self-signed certificate on the first start; a certificate that cannot be
    // loaded or a port in use is logged and leaves them off, the plain listeners serving.
    void OpenTlsListeners(std::uint16_t base);
    // SIGHUP: loads the certificate and key again for new connections (connections keep theirs);
    // opens the listeners if they are off for want of a certificate.
    void ReloadTls();
    // The fingerprint of the certificate in use; "" while the TLS listeners are off.
    std::string TlsFingerprint() const;
    std::uint16_t TlsPort() const;

    // ==== The web listener (src/server/web_setup.cpp) ====
    // Opens the web listener (extended options "web", "web_port", "trusted_proxies") on the base
    // port + 7 by default: the web client's files and its WebSocket paths, HTTPS on the same port
    // while TLS is on. A port it cannot have is logged; the other listeners serve on.
    void OpenWebListener(std::uint16_t base);
    // The console's reload and SIGHUP: the web files again (built-in, then the "Web" folder).
    void ReloadWeb();
    std::uint16_t WebPort() const;

    // ==== Operator console (src/console/*.cpp) ====
    // The operator's console reads command lines from `inFd` and answers on `outFd`, from the
    // start-up step on; -1 (the default) for no console. Set before StartUp.
    void SetConsoleFds(int inFd, int outFd);
    void StartConsole();
    // Carries out one console command and returns its answer (also what the input descriptor
    // feeds it).
    std::string ConsoleCommand(const std::string& line);
    // Reloads the message board and the agreement (console "reload", SIGHUP).
    void ReloadTexts();
    // The options as they stand now (the options file's record with the live values).
    SMyPrefs CurrentPrefs() const;
    // Applies an edited set of options as the options window does: address and port are stored
    // for the next start, everything else takes effect now; registration, logs and the banner
    // follow; the options file is written. Returns notes for the operator.
    std::vector<std::string> ApplyOptions(const SMyPrefs& edited);
    // Writes the options file from the live values.
    void SaveOptions();
    // Writes the console's edited ban list to "Banned" (the list ends empty), then disconnects
    // the clients the permanent bans now cover; returns how many were covered.
    std::size_t SavePermBans(BanList& list);
    // Sends kTranServerMsg with the text to every logged-in client; returns how many.
    std::size_t ConsoleBroadcast(const std::string& macRomanText);
    // Makes `login` the head administrator and writes the options file; a changed login gets
    // the head-administrator check (PostAdminCheck).
    void SetHeadAdminLogin(const std::string& login);
    // Transfers in progress, for the statistics.
    SMyTransferCounts ConsoleTransferCounts() const;
    // The extended options ("kestrix.conf"), read at start-up.
    const CMyExtendedOptions& ExtendedOptions() const { return mExtOptions; }
    // The console's set of an extended option: checked, stored, the file rewritten; `notes` say
    // when the change takes effect. False with `error` set (and nothing changed) on a bad value.
    bool SetExtendedOption(const std::string& name, const std::string& value, std::vector<std::string>& notes,
                           std::string& error);

    // ==== Metrics (src/server/metrics_app.cpp) ====
    // Start-up: the metrics listener (see metrics_app.cpp); a port it cannot have is logged.
    void StartMetrics();
    // The metrics page: mStats and the states of the moment.
    std::string MetricsPage() const;

    std::string mServerName;        // at most 31 characters
    std::string mServerDesc;        // at most 127 characters
    std::string mAdminLogin;        // at most 31 characters
    std::uint32_t mCommunityID = 0;

private:
    void OpenListeners();
    void LogStarted();
    void AcceptConnections(TTransactObj* listener);
    void ProcessHandshakes(std::uint32_t now);
    void AdmitClient(TTransact tpt, std::uint32_t address, std::uint32_t now);
    void ProcessOneClient(SMyClient* client, std::uint32_t now, TFieldDataObj fields);
    void ScheduleClient(SMyClient* client);
    void CollectDueClients(std::uint32_t now);
    // Sends the departure notices that KillClient left for the end of the pass (see there).
    void AnnounceDepartures();
    // Writes the output handed over so far when it has grown past kPassOutputBudget.
    void FlushIfHeavy();
    // Asks the next pass to give the memory the output took back to the system (malloc_trim).
    void TrimAfterFlush();
    void Dispatch(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields);
    void WriteOptions();
    void UpdateDisplay();
    void Housekeeping();
    void BuildDispatchTable();
    // The handlers that exist, by transaction type; every other type answers as unknown.
    static const std::vector<SMyTranRow>& HandlerTable();

    std::string mProgramDir;
    SMyOptions mOptions{};
    SMyTimeRules mTimeRules;
    SMyPrefs mPrefs;
    CMyLog mLogger;
    SMyStats mStats{};
    CMyBanLists mBans;
    CMyAccountStore mAccounts;

    SMyListeners mListeners;

    std::vector<std::unique_ptr<SMyConnect>> mConnectList;
    TClientList mClientList;  // newest last
    std::unordered_map<std::uint16_t, TClientList::iterator> mClientsByID;
    std::vector<std::uint16_t> mDepartedIDs;  // left; the others not told yet
    std::uint64_t mDeparturesHeldSince = 0;   // ms when the notices began to wait; 0 = none
    bool mTrimDue = false;                    // a heavy pass's freed output to give back (FlushIfHeavy)
    std::unordered_map<std::uint32_t, std::uint32_t> mAddressCounts;
    std::vector<std::uint16_t> mNotifiedClients;          // visited by the next pass
    std::multimap<std::uint32_t, std::uint16_t> mDeadlines;  // due second -> userID

    std::vector<SMyTranRow> mDispatch;  // indexed by transaction type

    std::uint16_t mErrorCount = 0;
    std::uint16_t mResetCount = 0;
    std::uint32_t mFirstErrorTime = 0;
    std::uint16_t mRefNumCounter = 0;
    std::uint16_t mUserIDCounter = 0;
    std::uint32_t mLastConnectAddress = 0;
    std::uint32_t mLastConnectTime = 0;
    std::uint32_t mLastConnectCount = 0;
    bool mIsQuitting = false;
    bool mHasQuit = false;
    bool mPassRequested = false;
    bool mWakePosted = false;
    bool mResetDue = false;  // past the error limit: the reset waits for the end of the pass

    // ==== Login, agreement and presence (src/server/login*.cpp, presence*.cpp): state ====
    // Loads one agreement or banner file; false when nothing was loaded.
    bool LoadAgreementFile(const std::string& fileName, bool isText, bool reload, std::vector<std::uint8_t>& out);
    void SendServerBanner(SMyClient* client);
    void LogConnect(SMyClient* client);
    void DisconnectForFlood(SMyClient* client);
    // The target's transfers, running and waiting, added to the client information sections.
    void AddClientTransfers(const SMyClient* target, SMyClientInfoSections& sections) const;

    // One record per subsystem's state.
    SMyAgreement mAgreement;                                   // agreement.cpp, login.cpp
    SMyChatRooms mChats;                                       // chat_rooms.cpp
    SMyMessageBoard mBoard;                                    // message_board.cpp
    SMyTransferLists mTransfers{[this] { PostPass(); }};       // src/files/transfer*.cpp, folder_*.cpp
    SMyTrackerLink mTracker;                                   // src/admin/tracker_app.cpp
    SMyConsoleLink mConsole;                                   // src/console/console_app.cpp
    CMyExtendedOptions mExtOptions;                            // "kestrix.conf"

    CTimerSlot mHousekeepingTimer;
    std::uint64_t mPassHook = 0;
};

}  // namespace kx
