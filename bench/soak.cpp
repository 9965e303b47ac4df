// Soak test: starts kestrix-server on a temporary folder and keeps N clients (default 1,000)
// busy for a set time with a random mix of valid and malformed requests: chat, instant
// messages, file lists, downloads and uploads of small files over the transfer port, news
// (categories, article lists, reading, posting), account reads, truncated field lists, unknown
// requests and hostile paths. One thread with epoll drives every socket. Every few seconds it
// samples the server's resident memory and open descriptors; at the end it reports requests
// and errors by kind, dropped connections, and how memory and descriptors moved after the
// warm-up. Exit status 1 when either grew by more than 10 % after the warm-up or the server
// died.
//
//   soak [--minutes M] [--clients N] [--seed S] [--warmup-minutes W] [--server PATH]
//        [--weight KIND=N]... [--keep]
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "accounts/account_store.h"
#include "fs/file_path.h"
#include "fs/flat_file.h"
#include "fs/fs_ref.h"
#include "load_wire.h"
#include "news/news_database.h"
#include "protocol/transaction_types.h"
#include "protocol/user_data.h"
#include "server/pref_file.h"
#include "server_binary.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace kx;
using namespace kx::bench;

constexpr std::size_t kHeaderSize = 20;
constexpr double kReplyTimeoutMs = 30000;
constexpr double kBadFrameWaitMs = 5000;
constexpr int kHandshakesInFlight = 8;  // a few at a time: a burst never outruns the listen backlog
constexpr int kSeedArticles = 20;

double NowMs() {
    return std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count();
}

std::string Path(const std::vector<std::string>& names) {
    const std::vector<std::uint8_t> p = UFilePath::Build(names);
    return std::string(p.begin(), p.end());
}

// ---- what the clients do ------------------------------------------------------------------

enum EKind {
    kChat,
    kInstantMsg,
    kFileList,
    kDownload,
    kUpload,
    kDeleteUpload,
    kNewsCategories,
    kNewsArticles,
    kNewsRead,
    kNewsPost,
    kNewsDelete,
    kUserNameList,
    kAccountRead,
    kClientInfo,
    kBadFieldList,
    kBadPath,
    kUnknownRequest,
    kBadFrame,
    kKindCount
};

const char* const kKindNames[kKindCount] = {
    "chat",          "instant message", "file list",      "download",       "upload",
    "delete upload", "news categories", "news articles",  "news read",      "news post",
    "news delete",   "user list",       "account read",   "client info",    "bad field list",
    "bad path",      "unknown request", "bad frame"};

// Short names for --weight.
const char* const kKindKeys[kKindCount] = {
    "chat",     "im",       "list",     "download", "upload",    "delete",  "newscats", "newslist", "newsread",
    "newspost", "newsdel",  "users",    "account",  "info",      "badfields", "badpath", "unknown",  "badframe"};

// Relative weights of the kinds a client picks (a delete follows each finished upload, so its
// own weight is 0). News deletes keep the category at a few dozen posts, so the server's data
// stays the same size and any growth is the server's own.
int gKindWeights[kKindCount] = {3, 8, 10, 8, 5, 0, 8, 8, 8, 2, 2, 6, 6, 5, 6, 6, 3, 1};

bool IsMalformed(int kind) { return kind >= kBadFieldList; }

struct KindStats {
    long sent = 0;
    long ok = 0;         // answered without error (transfers: the whole stream moved)
    long refused = 0;    // answered with the error flag
    long noReply = 0;    // no answer within the time-out
    long transferFailed = 0;
    long dropped = 0;    // the server closed the connection while this request was open
};

// ---- the server process -------------------------------------------------------------------

void WriteBytes(const std::string& path, std::size_t size, char seed) {
    std::ofstream out(path, std::ios::binary);
    for (std::size_t i = 0; i < size; ++i) out.put(char(seed + char(i * 7)));
}

struct Server {
    std::string dir;
    unsigned short port = 0;
    pid_t pid = -1;
    std::string uploadStream;  // a small file in the flattened form uploads send

    bool Start(const std::string& binary) {
        char tmpl[] = "/tmp/kx-soak.XXXXXX";
        if (!mkdtemp(tmpl)) return false;
        dir = tmpl;
        port = bench::FreeBasePort();
        // Default rules throughout (request rate, connection flood, five connections per
        // address); only the port is chosen.
        SMyPrefs prefs = SMyPrefs::Defaults();
        prefs.mOptions.nBasePortNum = port;
        prefs.mServerName.Set("Soak");
        UMyPrefs::WritePrefs(UMyPrefs::GetPrefsSpec(dir), prefs);

        std::filesystem::create_directories(dir + "/Users");
        std::filesystem::create_directories(dir + "/Trash");
        std::filesystem::create_directories(dir + "/Files/Uploads");
        std::filesystem::create_directories(dir + "/Files/Docs");
        std::filesystem::create_directories(dir + "/News");
        for (int i = 0; i < 8; ++i) WriteBytes(dir + "/Files/file" + std::to_string(i) + ".bin", 2048u << i, char(i));
        for (int i = 0; i < 20; ++i) WriteBytes(dir + "/Files/Docs/doc" + std::to_string(i) + ".txt", 100, 'a');

        // The account every client signs in to (empty login and password).
        CMyAccountStore store(dir + "/Users", dir + "/Trash");
        SMyUserDataFile rec;
        rec.SetLogin("guest");
        rec.SetName("guest");
        rec.SetPassword(UUserData::EncodeText(""));
        rec.access = SMyUserAccess::FromBits({myAcc_ReadChat, myAcc_SendChat, myAcc_AnyName, myAcc_NoAgreement,
                                              myAcc_DownloadFiles, myAcc_UploadFiles, myAcc_DeleteFiles,
                                              myAcc_ReadNews, myAcc_PostNews, myAcc_DeleteArticles, myAcc_OpenUsers, myAcc_GetClientInfo,
                                              myAcc_SendPrivMsg});
        store.NewUser(rec);

        const std::string category = dir + "/News/Soak.knz";
        UMyNewsDatabase::CreateNewGroup(category, "Soak", "soak test");
        for (int i = 0; i < kSeedArticles; ++i) {
            const std::uint32_t id = UMyNewsDatabase::AddArticle(category, 0, "seed " + std::to_string(i), "soak", 0);
            const std::string text = "seed article " + std::to_string(i);
            UMyNewsDatabase::AddData(category, id, "text/plain", text.data(), std::uint32_t(text.size()));
        }

        // The stream an upload sends: a 3 KB file, flattened the way the server writes them.
        const std::string sample = dir + "/upload-sample.bin";
        WriteBytes(sample, 3000, 'u');
        {
            TFSRef ref = UFileSys::NewFromPath(sample);
            UFileSys::StartFlatten(*ref);
            uploadStream.resize(UFileSys::GetFlattenSize(*ref));
            std::size_t at = 0;
            while (at < uploadStream.size()) {
                const std::size_t n = UFileSys::ProcessFlatten(*ref, uploadStream.data() + at, uploadStream.size() - at);
                if (n == 0) break;
                at += n;
            }
            UFileSys::StopFlatten(*ref);
            uploadStream.resize(at);
        }
        std::filesystem::remove(sample);

        pid = bench::ExecServer(binary, dir, port);
        return pid > 0;
    }

    bool Alive() const {
        int status = 0;
        return pid > 0 && waitpid(pid, &status, WNOHANG) == 0;
    }

    long RssKB() const { return bench::ResidentKB(pid); }

    long OpenFds() const {
        DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
        if (!d) return -1;
        long n = 0;
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
        return n;
    }

    void Stop(bool keepDir) {
        bench::StopServer(pid);
        pid = -1;
        if (!dir.empty() && !keepDir) std::filesystem::remove_all(dir);
    }
};

// ---- the clients --------------------------------------------------------------------------

enum class EState { kOffline, kConnecting, kEstablishing, kLoggingIn, kReady };
enum class ETransfer { kNone, kDownload, kUpload };

struct Socket {
    int fd = -1;
    std::vector<std::uint8_t> in;
    std::size_t inStart = 0;
    std::string out;
    bool wantWrite = false;
};

struct Client {
    Socket main;
    Socket xfer;
    EState state = EState::kOffline;
    std::uint32_t address = 0;  // host order
    std::uint32_t nextID = 1;
    double nextActionMs = 0;
    // The open request (one at a time).
    int kind = -1;
    std::uint32_t pendingID = 0;
    double sentMs = 0;
    // A transfer that follows a request's reply.
    ETransfer transfer = ETransfer::kNone;
    std::uint64_t xferExpected = 0;
    std::uint64_t xferGot = 0;
    std::string uploadName;
    int uploads = 0;
    std::string chatText;  // the line an open chat request waits to see
};

struct Totals {
    std::array<KindStats, kKindCount> kinds{};
    long connects = 0;
    long drops = 0;          // the server closed a signed-in connection
    long expectedDrops = 0;  // ... right after a request that breaks the stream framing
    long handshakeFailures = 0;
    long loginRefused = 0;
    long chatReceived = 0;
    long messagesReceived = 0;
};

class Soak {
public:
    Soak(const Server& server, int clients, std::uint32_t seed)
        : mServer(server), mRandom(seed), mClients(std::size_t(clients)) {
        mEpoll = epoll_create1(0);
        // One source address per client: 127.0.1.2, 127.0.1.3, ... (all of 127/8 is loopback).
        for (std::size_t i = 0; i < mClients.size(); ++i)
            mClients[i].address = 0x7F000000u | ((1u + std::uint32_t(i / 250)) << 8) | (2u + std::uint32_t(i % 250));
        const double now = NowMs();
        for (Client& c : mClients) c.nextActionMs = now;
    }
    ~Soak() {
        for (Client& c : mClients) {
            if (c.main.fd >= 0) close(c.main.fd);
            if (c.xfer.fd >= 0) close(c.xfer.fd);
        }
        close(mEpoll);
    }

    int Ready() const { return mReady; }
    const Totals& Stats() const { return mTotals; }

    // Runs the clients until `endMs`.
    void Run(double endMs, const std::function<void()>& everySecond) {
        double nextTick = NowMs() + 1000;
        while (NowMs() < endMs) {
            Poll(5);
            const double now = NowMs();
            Schedule(now);
            if (now >= nextTick) {
                nextTick = now + 1000;
                everySecond();
            }
        }
    }

private:
    std::uint32_t Index(const Client& c) const { return std::uint32_t(&c - mClients.data()); }

    int Random(int n) { return int(mRandom() % std::uint32_t(n)); }
    double RandomMs(double lo, double hi) { return lo + (hi - lo) * double(mRandom() % 10000) / 10000.0; }

    void Schedule(double now) {
        // Throttled: a full pass over the clients every 50 ms is plenty for second-scale pacing.
        if (now - mLastSchedule < 50) return;
        mLastSchedule = now;
        for (Client& c : mClients) {
            if (c.state == EState::kOffline) {
                if (now >= c.nextActionMs && mHandshakes < kHandshakesInFlight) Connect(c, now);
                continue;
            }
            if (c.state == EState::kConnecting || c.state == EState::kEstablishing || c.state == EState::kLoggingIn) {
                if (now - c.sentMs > kReplyTimeoutMs) {
                    ++mTotals.handshakeFailures;
                    Drop(c, now, false);
                }
                continue;
            }
            if (c.kind == kBadFrame && now - c.sentMs > kBadFrameWaitMs) {
                // Not dropped: the stream is out of step, so start again on a new connection.
                ++mTotals.kinds[kBadFrame].noReply;
                Drop(c, now, false);
                continue;
            }
            if (c.kind >= 0) {
                if (now - c.sentMs > kReplyTimeoutMs) {
                    if (c.transfer != ETransfer::kNone) ++mTotals.kinds[std::size_t(c.kind)].transferFailed;
                    else ++mTotals.kinds[std::size_t(c.kind)].noReply;
                    EndRequest(c, now);
                }
                continue;
            }
            if (now >= c.nextActionMs) SendRandom(c, now);
        }
    }

    int PickKind() {
        int total = 0;
        for (int w : gKindWeights) total += w;
        int r = Random(total);
        for (int k = 0; k < kKindCount; ++k) {
            if (r < gKindWeights[k]) return k;
            r -= gKindWeights[k];
        }
        return kChat;
    }

    // Requests come one at a time, 2 to 10 s apart: about 10 a minute, far below the 120 a
    // minute that gets a connection banned.
    void EndRequest(Client& c, double now) {
        if (c.xfer.fd >= 0) CloseSocket(c.xfer);
        c.transfer = ETransfer::kNone;
        c.kind = -1;
        c.pendingID = 0;
        c.nextActionMs = now + RandomMs(2000, 10000);
    }

    std::uint16_t RandomUserID() {
        if (mUserIDs.empty()) return 1;
        return mUserIDs[std::size_t(Random(int(mUserIDs.size())))];
    }

    void SendRandom(Client& c, double now) {
        int kind = PickKind();
        if (kind == kDeleteUpload) kind = kFileList;
        const std::string tag = std::to_string(Index(c)) + "-" + std::to_string(c.nextID) + "-" +
                                std::to_string(mRandom() % 100000);
        std::uint16_t type = 0;
        std::string body;
        switch (kind) {
            case kChat:
                // Chat has no reply: the line coming back to its sender is the answer.
                type = kTranChatSend;
                c.chatText = "soak line " + tag;
                body = FieldList({{kFieldData, c.chatText}});
                break;
            case kInstantMsg:
                type = kTranSendInstantMsg;
                body = FieldList({{kFieldUserID, U16(RandomUserID())}, {kFieldOptions, U16(1)},
                                  {kFieldData, "soak message " + tag}});
                break;
            case kFileList:
                type = kTranGetFileNameList;
                switch (Random(3)) {
                    case 0: body = FieldList({}); break;
                    case 1: body = FieldList({{kFieldFilePath, Path({"Docs"})}}); break;
                    default: body = FieldList({{kFieldFilePath, Path({"Uploads"})}}); break;
                }
                break;
            case kDownload:
                type = kTranDownloadFile;
                body = FieldList({{kFieldFileName, "file" + std::to_string(Random(8)) + ".bin"}});
                c.transfer = ETransfer::kDownload;
                break;
            case kUpload:
                type = kTranUploadFile;
                c.uploadName = "up-" + std::to_string(Index(c)) + "-" + std::to_string(c.uploads++) + ".bin";
                body = FieldList({{kFieldFileName, c.uploadName},
                                  {kFieldFilePath, Path({"Uploads"})},
                                  {kFieldTransferSize, U32(std::uint32_t(mServer.uploadStream.size()))}});
                c.transfer = ETransfer::kUpload;
                break;
            case kNewsCategories:
                type = kTranGetNewsCatNameList;
                body = FieldList({});
                break;
            case kNewsArticles:
                type = kTranGetNewsArtNameList;
                body = FieldList({{kFieldNewsPath, Path({"Soak.knz"})}});
                break;
            case kNewsRead:
                type = kTranGetNewsArtData;
                body = FieldList({{kFieldNewsPath, Path({"Soak.knz"})},
                                  {kFieldNewsArtID, U32(std::uint32_t(1 + Random(kSeedArticles + 5)))},
                                  {kFieldNewsArtDataFlav, "text/plain"}});
                break;
            case kNewsPost:
                type = kTranPostNewsArt;
                body = FieldList({{kFieldNewsPath, Path({"Soak.knz"})},
                                  {kFieldNewsArtID, U32(std::uint32_t(Random(3) == 0 ? 1 + Random(kSeedArticles) : 0))},
                                  {kFieldNewsArtTitle, "soak " + tag},
                                  {kFieldNewsArtFlags, U32(0)},
                                  {kFieldNewsArtDataFlav, "text/plain"},
                                  {kFieldNewsArtData, "posted by the soak test " + tag}});
                break;
            case kNewsDelete: {
                // Articles get consecutive IDs: delete the oldest post while more than 40 live.
                if (mNextDeleteID + 40 > kSeedArticles + mTotals.kinds[kNewsPost].ok) {
                    kind = kNewsCategories;
                    type = kTranGetNewsCatNameList;
                    body = FieldList({});
                    break;
                }
                type = kTranDelNewsArt;
                body = FieldList({{kFieldNewsPath, Path({"Soak.knz"})},
                                  {kFieldNewsArtID, U32(std::uint32_t(mNextDeleteID++))},
                                  {kFieldNewsArtRecurseDel, U16(0)}});
                break;
            }
            case kUserNameList:
                type = kTranGetUserNameList;
                body = FieldList({});
                break;
            case kAccountRead:
                type = kTranGetUser;
                body = FieldList({{kFieldUserLogin, Random(2) == 0 ? "guest" : "nobody-" + tag}});
                break;
            case kClientInfo:
                type = kTranGetClientInfoText;
                body = FieldList({{kFieldUserID, U16(RandomUserID())}});
                break;
            case kBadFieldList: {
                type = std::array<std::uint16_t, 5>{kTranChatSend, kTranGetFileNameList, kTranDownloadFile,
                                                    kTranGetUser, kTranPostNewsArt}[std::size_t(Random(5))];
                switch (Random(4)) {
                    case 0:  // claims more fields than it holds
                        body = U16(40) + FieldList({{kFieldData, "x"}}).substr(2);
                        break;
                    case 1:  // a field running past the end
                        body = U16(1) + U16(kFieldFileName) + U16(500) + "short";
                        break;
                    case 2:  // half a field header
                        body = U16(2) + U16(kFieldData) + U16(1) + "a" + U16(kFieldUserID);
                        break;
                    default:  // integers of odd sizes, a path that is not path data
                        body = FieldList({{kFieldUserID, "abc"}, {kFieldNewsArtID, "\x01\x02\x03\x04\x05\x06\x07"},
                                          {kFieldFilePath, "\xFF\xFF\x00"}, {kFieldNewsPath, std::string(3, '\0')}});
                        break;
                }
                break;
            }
            case kBadPath:
                switch (Random(5)) {
                    case 0:
                        type = kTranGetFileNameList;
                        body = FieldList({{kFieldFilePath, Path({"..", ".."})}});
                        break;
                    case 1:
                        type = kTranDownloadFile;
                        body = FieldList({{kFieldFileName, "../../../etc/passwd"}});
                        break;
                    case 2:
                        type = kTranDownloadFile;
                        body = FieldList({{kFieldFileName, "passwd"}, {kFieldFilePath, Path({"..", "..", "etc"})}});
                        break;
                    case 3:
                        type = kTranGetNewsArtNameList;
                        body = FieldList({{kFieldNewsPath, Path({"..", "Users"})}});
                        break;
                    default:
                        type = kTranUploadFile;
                        body = FieldList({{kFieldFileName, std::string("ctl\x01\x7F/..", 8)},
                                          {kFieldFilePath, Path({"Uploads", ".."})},
                                          {kFieldTransferSize, U32(10)}});
                        break;
                }
                break;
            case kUnknownRequest:
                type = std::uint16_t(1000 + Random(30000));
                body = FieldList({{kFieldData, "?"}});
                break;
            case kBadFrame: {
                // A header that announces more than it sends, then a new header: the stream is
                // broken and the server may well close the connection.
                std::string bad;
                bad += char(0);
                bad += char(0);
                AppendBE16(bad, kTranChatSend);
                AppendBE32(bad, c.nextID);
                AppendBE32(bad, 0);
                AppendBE32(bad, 0x7FFFFFFF);
                AppendBE32(bad, 4);
                bad += "junk";
                Send(c, c.main, bad);
                ++mTotals.kinds[kBadFrame].sent;
                c.kind = kBadFrame;
                c.pendingID = c.nextID++;
                c.sentMs = now;
                return;
            }
            default:
                return;
        }
        c.kind = kind;
        c.pendingID = c.nextID++;
        c.sentMs = now;
        ++mTotals.kinds[std::size_t(kind)].sent;
        Send(c, c.main, Frame(type, c.pendingID, body));
    }

    void SendDelete(Client& c, double now) {
        c.transfer = ETransfer::kNone;
        c.kind = kDeleteUpload;
        c.pendingID = c.nextID++;
        c.sentMs = now;
        ++mTotals.kinds[kDeleteUpload].sent;
        Send(c, c.main,
             Frame(kTranDeleteFile, c.pendingID,
                   FieldList({{kFieldFileName, c.uploadName}, {kFieldFilePath, Path({"Uploads"})}})));
    }

    int OpenSocket(const Client& c, unsigned short port, std::uint64_t tag) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        if (fd < 0) {
            std::perror("socket");
            return -1;
        }
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in src{};
        src.sin_family = AF_INET;
        src.sin_addr.s_addr = htonl(c.address);
        if (bind(fd, reinterpret_cast<sockaddr*>(&src), sizeof src) != 0) {
            std::perror("bind");
            close(fd);
            return -1;
        }
        sockaddr_in dst{};
        dst.sin_family = AF_INET;
        dst.sin_port = htons(port);
        dst.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(fd, reinterpret_cast<sockaddr*>(&dst), sizeof dst);  // EINPROGRESS
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLOUT;
        ev.data.u64 = tag;
        epoll_ctl(mEpoll, EPOLL_CTL_ADD, fd, &ev);
        return fd;
    }

    void Connect(Client& c, double now) {
        c.main = Socket{};
        c.main.fd = OpenSocket(c, mServer.port, std::uint64_t(Index(c)) << 1);
        if (c.main.fd < 0) {
            c.nextActionMs = now + 5000;
            return;
        }
        c.main.wantWrite = true;
        std::string est = "TRTPKSTX";
        AppendBE16(est, 1);
        AppendBE16(est, 2);
        c.main.out = est;
        c.state = EState::kEstablishing;
        c.sentMs = now;
        c.nextID = 1;
        ++mHandshakes;
        ++mTotals.connects;
    }

    void CloseSocket(Socket& s) {
        if (s.fd >= 0) {
            epoll_ctl(mEpoll, EPOLL_CTL_DEL, s.fd, nullptr);
            close(s.fd);
        }
        s = Socket{};
    }

    // The main connection is gone: count it and come back a few seconds later.
    void Drop(Client& c, double now, bool byServer) {
        if (c.state == EState::kEstablishing || c.state == EState::kLoggingIn) --mHandshakes;
        if (c.state == EState::kReady) --mReady;
        if (byServer && (c.state == EState::kEstablishing || c.state == EState::kLoggingIn)) ++mTotals.handshakeFailures;
        if (byServer && c.state == EState::kReady) {
            if (c.kind == kBadFrame) ++mTotals.expectedDrops;
            else ++mTotals.drops;
        }
        if (byServer && c.kind >= 0 && c.state == EState::kReady) ++mTotals.kinds[std::size_t(c.kind)].dropped;
        CloseSocket(c.main);
        CloseSocket(c.xfer);
        c.transfer = ETransfer::kNone;
        c.kind = -1;
        c.state = EState::kOffline;
        c.nextActionMs = now + RandomMs(2000, 5000);
    }

    void Send(Client& c, Socket& s, const std::string& bytes) {
        s.out += bytes;
        Flush(c, s);
    }

    void Flush(Client& c, Socket& s) {
        while (!s.out.empty()) {
            const ssize_t n = send(s.fd, s.out.data(), s.out.size(), MSG_NOSIGNAL);
            if (n <= 0) break;
            s.out.erase(0, std::size_t(n));
        }
        const bool want = !s.out.empty();
        if (want != s.wantWrite) {
            epoll_event ev{};
            ev.events = want ? (EPOLLIN | EPOLLOUT) : EPOLLIN;
            ev.data.u64 = (std::uint64_t(Index(c)) << 1) | (&s == &c.xfer ? 1 : 0);
            epoll_ctl(mEpoll, EPOLL_CTL_MOD, s.fd, &ev);
            s.wantWrite = want;
        }
    }

    void Poll(int timeoutMs) {
        epoll_event events[512];
        const int n = epoll_wait(mEpoll, events, 512, timeoutMs);
        const double now = NowMs();
        for (int k = 0; k < n; ++k) {
            const std::uint64_t tag = events[k].data.u64;
            Client& c = mClients[std::size_t(tag >> 1)];
            Socket& s = (tag & 1) ? c.xfer : c.main;
            if (s.fd < 0) continue;
            if (events[k].events & EPOLLOUT) Flush(c, s);
            if (events[k].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
                if (tag & 1) ReadTransfer(c, now);
                else ReadMain(c, now);
            }
        }
    }

    // Reads what is there; false when the peer closed or the socket failed.
    static bool Fill(Socket& s) {
        for (;;) {
            const std::size_t old = s.in.size();
            s.in.resize(old + 65536);
            const ssize_t n = recv(s.fd, s.in.data() + old, 65536, 0);
            s.in.resize(old + std::size_t(std::max<ssize_t>(n, 0)));
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) return false;
            if (n < 65536) return true;
        }
    }

    void ReadTransfer(Client& c, double now) {
        const bool open = Fill(c.xfer);
        c.xferGot += c.xfer.in.size();
        c.xfer.in.clear();
        KindStats& st = mTotals.kinds[std::size_t(c.kind)];
        if (c.transfer == ETransfer::kDownload) {
            if (c.xferGot >= c.xferExpected) {
                ++st.ok;
                EndRequest(c, now);
            } else if (!open) {
                ++st.transferFailed;
                EndRequest(c, now);
            }
            return;
        }
        // Upload: the server closes the connection once the whole file has arrived.
        if (!open) {
            const bool allSent = c.xfer.out.empty();
            CloseSocket(c.xfer);
            if (allSent) {
                ++st.ok;
                SendDelete(c, now);
            } else {
                ++st.transferFailed;
                EndRequest(c, now);
            }
        }
    }

    void ReadMain(Client& c, double now) {
        const bool open = Fill(c.main);
        Parse(c, now);
        if (!open && c.main.fd >= 0) Drop(c, now, true);
    }

    void Parse(Client& c, double now) {
        Socket& s = c.main;
        for (;;) {
            if (s.fd < 0) return;
            const std::size_t avail = s.in.size() - s.inStart;
            const std::uint8_t* p = s.in.data() + s.inStart;
            if (c.state == EState::kEstablishing) {
                if (avail < 8) break;
                if (std::memcmp(p, "TRTP", 4) != 0 || GetBE32(p + 4) != 0) {
                    ++mTotals.handshakeFailures;
                    Drop(c, now, false);
                    return;
                }
                s.inStart += 8;
                c.state = EState::kLoggingIn;
                c.pendingID = c.nextID++;
                const std::string name = "soak" + std::to_string(Index(c));
                Send(c, s, Frame(kTranLogin, c.pendingID,
                                 FieldList({{kFieldUserLogin, ""}, {kFieldUserPassword, ""}, {kFieldVersion, U16(190)},
                                            {kFieldUserName, name}, {kFieldIconID, U16(128)}})));
                continue;
            }
            if (avail < kHeaderSize) break;
            const std::uint32_t dataSize = GetBE32(p + 16);
            if (dataSize > (1u << 24)) {  // not a stream this server sends
                Drop(c, now, true);
                return;
            }
            if (avail < kHeaderSize + dataSize) break;
            OnTransaction(c, p, p + kHeaderSize, dataSize, now);
            if (s.fd < 0) return;
            s.inStart += kHeaderSize + dataSize;
        }
        if (s.inStart == s.in.size()) {
            s.in.clear();
            s.inStart = 0;
        } else if (s.inStart > 65536) {
            s.in.erase(s.in.begin(), s.in.begin() + std::ptrdiff_t(s.inStart));
            s.inStart = 0;
        }
    }

    // The value of an integer field (2 or 4 bytes) or of a 4-byte reference number.
    static bool FindField(const std::uint8_t* data, std::uint32_t size, std::uint16_t want, const std::uint8_t** out,
                          std::uint16_t* outLen) {
        if (size < 2) return false;
        const std::uint16_t count = GetBE16(data);
        std::uint32_t off = 2;
        for (std::uint16_t f = 0; f < count && off + 4 <= size; ++f) {
            const std::uint16_t id = GetBE16(data + off);
            const std::uint16_t len = GetBE16(data + off + 2);
            off += 4;
            if (off + len > size) return false;
            if (id == want) {
                *out = data + off;
                *outLen = len;
                return true;
            }
            off += len;
        }
        return false;
    }
    // A field's integer: 1, 2 or 4 bytes.
    static std::uint32_t Integer(const std::uint8_t* p, std::uint16_t len) {
        return len >= 4 ? GetBE32(p) : len >= 2 ? GetBE16(p) : len == 1 ? p[0] : 0;
    }

    void OnTransaction(Client& c, const std::uint8_t* hdr, const std::uint8_t* data, std::uint32_t size, double now) {
        const bool isReply = hdr[1] != 0;
        const std::uint16_t type = GetBE16(hdr + 2);
        if (!isReply) {
            if (type == kTranChatText) {
                ++mTotals.chatReceived;
                const std::uint8_t* v = nullptr;
                std::uint16_t len = 0;
                if (c.kind == kChat && FindField(data, size, kFieldData, &v, &len) &&
                    std::string_view(reinterpret_cast<const char*>(v), len).find(c.chatText) != std::string_view::npos) {
                    ++mTotals.kinds[kChat].ok;
                    EndRequest(c, now);
                }
            }
            if (type == kTranServerMsg) ++mTotals.messagesReceived;
            if (type == kTranClientUserInfo) {
                const std::uint8_t* v = nullptr;
                std::uint16_t len = 0;
                if (FindField(data, size, kFieldUserID, &v, &len) && len == 2) NoteUserID(GetBE16(v));
            }
            return;
        }
        if (GetBE32(hdr + 4) != c.pendingID) return;
        const bool error = GetBE32(hdr + 8) != 0;
        if (c.state == EState::kLoggingIn) {
            if (error) {
                ++mTotals.loginRefused;
                Drop(c, now, false);
                return;
            }
            --mHandshakes;
            c.state = EState::kReady;
            ++mReady;
            c.pendingID = 0;
            c.kind = -1;
            c.nextActionMs = now + RandomMs(500, 10000);
            return;
        }
        if (c.kind < 0) return;
        KindStats& st = mTotals.kinds[std::size_t(c.kind)];
        if (error) {
            ++st.refused;
            EndRequest(c, now);
            return;
        }
        if (c.transfer == ETransfer::kNone) {
            ++st.ok;
            EndRequest(c, now);
            return;
        }
        // A transfer: its reference number and size, then the transfer connection.
        const std::uint8_t* v = nullptr;
        std::uint16_t len = 0;
        if (!FindField(data, size, kFieldRefNum, &v, &len) || len != 4) {
            ++st.transferFailed;
            EndRequest(c, now);
            return;
        }
        std::string header = "KXXF";
        header.append(reinterpret_cast<const char*>(v), 4);
        if (c.transfer == ETransfer::kDownload) {
            const std::uint8_t* sz = nullptr;
            std::uint16_t szLen = 0;
            c.xferExpected = FindField(data, size, kFieldTransferSize, &sz, &szLen) ? Integer(sz, szLen) : 0;
            AppendBE32(header, 0);
            AppendBE32(header, 0);
        } else {
            c.xferExpected = 0;
            AppendBE32(header, std::uint32_t(mServer.uploadStream.size()));
            AppendBE32(header, 0);
        }
        c.xferGot = 0;
        c.xfer = Socket{};
        c.xfer.fd = OpenSocket(c, std::uint16_t(mServer.port + 1), (std::uint64_t(Index(c)) << 1) | 1);
        if (c.xfer.fd < 0) {
            ++st.transferFailed;
            EndRequest(c, now);
            return;
        }
        c.xfer.wantWrite = true;
        c.xfer.out = header;
        if (c.transfer == ETransfer::kUpload) c.xfer.out += mServer.uploadStream;
        c.sentMs = now;  // the transfer gets its own time-out
    }

    void NoteUserID(std::uint16_t id) {
        // A bounded ring of recently announced IDs; some will have left, which the server refuses.
        if (mUserIDs.size() < 4096) mUserIDs.push_back(id);
        else mUserIDs[std::size_t(mRandom() % mUserIDs.size())] = id;
    }

    const Server& mServer;
    std::mt19937 mRandom;
    std::vector<Client> mClients;
    std::vector<std::uint16_t> mUserIDs;
    int mEpoll = -1;
    int mHandshakes = 0;
    int mReady = 0;
    double mLastSchedule = 0;
    long mNextDeleteID = kSeedArticles + 1;
    Totals mTotals;
};

struct Sample {
    double secs = 0;
    long rssKB = 0;
    long fds = 0;
};

double Growth(long from, long to) { return from > 0 ? 100.0 * double(to - from) / double(from) : 0.0; }

}  // namespace

int main(int argc, char** argv) {
    std::string binary;
    {
        char self[4096];
        const ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
        if (len > 0) {
            self[len] = 0;
            binary = std::filesystem::path(self).parent_path() / "kestrix-server";
        }
    }
    double minutes = 10;
    double warmupMinutes = -1;
    int clients = 1000;
    std::uint32_t seed = std::random_device{}();
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--server" && i + 1 < argc) binary = argv[++i];
        else if (a == "--minutes" && i + 1 < argc) minutes = std::atof(argv[++i]);
        else if (a == "--warmup-minutes" && i + 1 < argc) warmupMinutes = std::atof(argv[++i]);
        else if (a == "--clients" && i + 1 < argc) clients = std::atoi(argv[++i]);
        else if (a == "--seed" && i + 1 < argc) seed = std::uint32_t(std::strtoul(argv[++i], nullptr, 10));
        else if (a == "--keep") keep = true;
        else if (a == "--weight" && i + 1 < argc) {
            const std::string w = argv[++i];
            const std::size_t eq = w.find('=');
            int k = 0;
            while (k < kKindCount && w.compare(0, eq, kKindKeys[k]) != 0) ++k;
            if (eq == std::string::npos || k == kKindCount || k == kDeleteUpload) {
                std::fprintf(stderr, "soak: --weight KIND=N, KIND one of:");
                for (int j = 0; j < kKindCount; ++j)
                    if (j != kDeleteUpload) std::fprintf(stderr, " %s", kKindKeys[j]);
                std::fprintf(stderr, "\n");
                return 2;
            }
            gKindWeights[k] = std::max(0, std::atoi(w.c_str() + eq + 1));
        }
        else {
            std::fprintf(stderr,
                         "usage: soak [--minutes M] [--clients N] [--seed S] [--warmup-minutes W] [--server PATH] "
                         "[--weight KIND=N]... [--keep]\n");
            return 2;
        }
    }
    int totalWeight = 0;
    for (int w : gKindWeights) totalWeight += w;
    if (clients < 1 || clients > 60000 || minutes <= 0 || totalWeight == 0) {
        std::fprintf(stderr, "soak: --clients 1..60000, --minutes > 0, some weight > 0\n");
        return 2;
    }
    // The warm-up: every client signed in and the allocator at its working size.
    if (warmupMinutes < 0) warmupMinutes = std::min(5.0, minutes / 5);
    signal(SIGPIPE, SIG_IGN);
    RaiseFileLimit();

    Server server;
    if (!server.Start(binary)) {
        std::fprintf(stderr, "soak: the server did not start (%s)\n", binary.c_str());
        server.Stop(keep);
        return 1;
    }
    std::printf("soak: %d clients, %.1f minutes (warm-up %.1f), seed %u, server pid %d, folder %s\n", clients, minutes,
                warmupMinutes, seed, int(server.pid), server.dir.c_str());
    std::fflush(stdout);

    Soak soak(server, clients, seed);
    const double start = NowMs();
    const double warmupEnd = start + warmupMinutes * 60000;
    std::vector<Sample> samples;
    Sample atWarmup{};
    bool haveWarmup = false;
    bool died = false;
    int tick = 0;
    soak.Run(start + minutes * 60000, [&] {
        if (++tick % 5 != 0) return;
        if (!server.Alive()) {
            died = true;
            return;
        }
        const double now = NowMs();
        Sample s{(now - start) / 1000, server.RssKB(), server.OpenFds()};
        samples.push_back(s);
        if (!haveWarmup && now >= warmupEnd) {
            atWarmup = s;
            haveWarmup = true;
        }
        if (tick % 30 == 0) {
            long sent = 0;
            for (const KindStats& k : soak.Stats().kinds) sent += k.sent;
            std::printf("[%6.0f s] signed in %d, requests %ld, drops %ld, RSS %ld KB, fds %ld\n", s.secs, soak.Ready(),
                        sent, soak.Stats().drops, s.rssKB, s.fds);
            std::fflush(stdout);
        }
    });
    if (!died && !server.Alive()) died = true;
    Sample atEnd{(NowMs() - start) / 1000, died ? -1 : server.RssKB(), died ? -1 : server.OpenFds()};

    const Totals& t = soak.Stats();
    std::printf("\n%-16s %9s %9s %9s %9s %9s %9s\n", "request", "sent", "ok", "refused", "no reply", "xfer fail",
                "dropped");
    long sent = 0, ok = 0;
    for (int k = 0; k < kKindCount; ++k) {
        const KindStats& s = t.kinds[std::size_t(k)];
        sent += s.sent;
        ok += s.ok;
        std::printf("%-16s %9ld %9ld %9ld %9ld %9ld %9ld%s\n", kKindNames[k], s.sent, s.ok, s.refused, s.noReply,
                    s.transferFailed, s.dropped, IsMalformed(k) ? "  (malformed)" : "");
    }
    std::printf("%-16s %9ld %9ld\n", "total", sent, ok);
    std::printf("\nconnections %ld, drops by the server %ld (plus %ld after a broken frame), handshake failures %ld, "
                "logins refused %ld\n",
                t.connects, t.drops, t.expectedDrops, t.handshakeFailures, t.loginRefused);
    std::printf("chat lines received %ld, instant messages received %ld\n", t.chatReceived, t.messagesReceived);

    bool pass = !died;
    if (died) std::printf("\nthe server died during the run (its output: %s/server.out)\n", server.dir.c_str());
    long maxRss = atEnd.rssKB, maxFds = atEnd.fds;
    for (const Sample& s : samples)
        if (s.secs >= atWarmup.secs) {
            maxRss = std::max(maxRss, s.rssKB);
            maxFds = std::max(maxFds, s.fds);
        }
    if (!haveWarmup) {
        std::printf("\nthe run ended before the warm-up did: no growth figures\n");
        pass = false;
    } else if (!died) {
        std::printf("\n%-10s %12s %12s %12s %10s %10s\n", "", "warm-up end", "end", "max after", "end +%", "max +%");
        std::printf("%-10s %12ld %12ld %12ld %10.1f %10.1f\n", "RSS KB", atWarmup.rssKB, atEnd.rssKB, maxRss,
                    Growth(atWarmup.rssKB, atEnd.rssKB), Growth(atWarmup.rssKB, maxRss));
        std::printf("%-10s %12ld %12ld %12ld %10.1f %10.1f\n", "open fds", atWarmup.fds, atEnd.fds, maxFds,
                    Growth(atWarmup.fds, atEnd.fds), Growth(atWarmup.fds, maxFds));
        std::printf("(warm-up ended at %.0f s; %zu samples, every 5 s)\n", atWarmup.secs, samples.size());
        if (Growth(atWarmup.rssKB, maxRss) > 10 || Growth(atWarmup.fds, maxFds) > 10) pass = false;
    }
    std::printf("\n%s\n", pass ? "PASS" : "FAIL");
    std::fflush(stdout);
    server.Stop(keep || died);
    return pass ? 0 : 1;
}
