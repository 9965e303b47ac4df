// Chat load generator: starts kestrix-server on a temporary folder, logs in N guest clients over
// loopback and measures (a) paced chat lines, the time from sending one line until every client
// has received it (median and p99), (b) burst throughput, many lines written at once by several
// senders, in deliveries per second, and (c) the server's resident memory per idle logged-in
// client. One thread with epoll drives every client socket, so the generator stays cheaper than
// the server it measures.
//
//   chat_bench [--server PATH] [--sizes 100,1000,5000] [--samples 300]
#include <arpa/inet.h>
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
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "accounts/account_store.h"
#include "load_wire.h"
#include "protocol/transaction_types.h"
#include "protocol/user_data.h"
#include "server/pref_file.h"
#include "server_binary.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace kx;
using namespace kx::bench;

constexpr int kSourceAddresses = 200;  // 127.0.0.2 .. 127.0.0.201, used in turn
constexpr std::size_t kHeaderSize = 20;

double NowMs() {
    return std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count();
}

// ---- the server process -------------------------------------------------------------------

struct Server {
    std::string dir;
    unsigned short port = 0;
    pid_t pid = -1;

    bool Start(const std::string& binary) {
        char tmpl[] = "/tmp/kx-chat-bench.XXXXXX";
        if (!mkdtemp(tmpl)) return false;
        dir = tmpl;
        port = bench::FreeBasePort();
        SMyPrefs prefs = SMyPrefs::Defaults();
        prefs.mOptions.nBasePortNum = port;
        prefs.mOptions.nMaxConnectionsIP = 0;  // thousands of clients share a few addresses
        prefs.mServerName.Set("Bench");
        UMyPrefs::WritePrefs(UMyPrefs::GetPrefsSpec(dir), prefs);

        // The guest account the clients sign in to: empty password, may read and send chat.
        std::filesystem::create_directories(dir + "/Users");
        std::filesystem::create_directories(dir + "/Trash");
        CMyAccountStore store(dir + "/Users", dir + "/Trash");
        SMyUserDataFile rec;
        rec.SetLogin("guest");
        rec.SetName("guest");
        rec.SetPassword(UUserData::EncodeText(""));
        rec.access = SMyUserAccess::FromBits({myAcc_ReadChat, myAcc_SendChat, myAcc_AnyName});
        store.NewUser(rec);

        pid = bench::ExecServer(binary, dir, port);
        return pid > 0;
    }

    long RssKB() const { return bench::ResidentKB(pid); }

    void Stop() {
        bench::StopServer(pid);
        pid = -1;
        if (!dir.empty()) std::filesystem::remove_all(dir);
    }
};

// ---- the clients --------------------------------------------------------------------------

enum class EState { kConnecting, kEstablishing, kLoggingIn, kReady, kDead };

struct Conn {
    int fd = -1;
    EState state = EState::kConnecting;
    std::vector<std::uint8_t> in;
    std::size_t inStart = 0;
    std::string out;
    bool wantWrite = false;
    std::uint32_t nextID = 1;
};

struct Line {
    double sentMs = 0;
    double lastMs = 0;
    int received = 0;
};

class Generator {
public:
    explicit Generator(unsigned short port) : mPort(port) { mEpoll = epoll_create1(0); }
    ~Generator() {
        for (Conn& c : mConns)
            if (c.fd >= 0) close(c.fd);
        close(mEpoll);
    }

    // Opens and signs in n clients, a few handshakes at a time, so that a burst never outruns the
    // listen backlog and sits in SYN retransmission for seconds. False when some client failed.
    bool ConnectAll(int n) {
        mConns.resize(n);
        const int inFlight = 8;
        int opened = 0;
        // Each login is announced to everybody already signed in, so this phase grows with N².
        const double end = NowMs() + 1800000;
        while (mReady + mDead < n) {
            while (opened < n && opened - mEstablished - mDead < inFlight) Open(opened++);
            if (NowMs() > end) return false;
            Poll(1);
        }
        return mDead == 0;
    }

    void ResetLines(int count) {
        mLines.assign(count, Line{});
        mLinesDone = 0;
    }

    // One chat line with sequence number `seq` from client `who`.
    void SendLine(int who, int seq) {
        Conn& c = mConns[who];
        const std::string text = "bench line #" + std::to_string(seq);
        mLines[seq].sentMs = NowMs();
        Queue(c, Request(kTranChatSend, c.nextID++, {{kFieldData, text}}));
    }

    bool RunUntil(const std::function<bool()>& done, double timeoutMs) {
        const double end = NowMs() + timeoutMs;
        while (!done()) {
            if (NowMs() > end) return false;
            Poll(10);
        }
        return true;
    }
    // Runs the loop for about ms milliseconds.
    void Idle(double ms) {
        const double end = NowMs() + ms;
        while (NowMs() < end) Poll(1);
    }

    int Size() const { return int(mConns.size()); }
    int LinesDone() const { return mLinesDone; }
    const std::vector<Line>& Lines() const { return mLines; }
    int Dead() const { return mDead; }

private:
    void Open(int i) {
        Conn& c = mConns[i];
        c.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        int one = 1;
        setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        // Source addresses in turn: the server bans an address that connects more than ten
        // times in a row.
        sockaddr_in src{};
        src.sin_family = AF_INET;
        src.sin_addr.s_addr = htonl(0x7F000002u + std::uint32_t(i % kSourceAddresses));
        if (bind(c.fd, reinterpret_cast<sockaddr*>(&src), sizeof src) != 0) {
            std::perror("bind");
            std::exit(1);
        }
        sockaddr_in dst{};
        dst.sin_family = AF_INET;
        dst.sin_port = htons(mPort);
        dst.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(c.fd, reinterpret_cast<sockaddr*>(&dst), sizeof dst);  // EINPROGRESS
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLOUT;
        ev.data.u32 = std::uint32_t(i);
        epoll_ctl(mEpoll, EPOLL_CTL_ADD, c.fd, &ev);
        c.wantWrite = true;
        std::string est = "TRTPKSTX";
        AppendBE16(est, 1);
        AppendBE16(est, 2);
        c.out = est;
        c.state = EState::kEstablishing;
    }

    void Queue(Conn& c, const std::string& bytes) {
        c.out += bytes;
        Flush(c, IndexOf(c));
    }
    std::uint32_t IndexOf(const Conn& c) const { return std::uint32_t(&c - mConns.data()); }

    void Flush(Conn& c, std::uint32_t index) {
        while (!c.out.empty()) {
            const ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
            if (n <= 0) break;
            c.out.erase(0, std::size_t(n));
        }
        const bool want = !c.out.empty();
        if (want != c.wantWrite) {
            epoll_event ev{};
            ev.events = want ? (EPOLLIN | EPOLLOUT) : EPOLLIN;
            ev.data.u32 = index;
            epoll_ctl(mEpoll, EPOLL_CTL_MOD, c.fd, &ev);
            c.wantWrite = want;
        }
    }

    void Poll(int timeoutMs) {
        epoll_event events[512];
        const int n = epoll_wait(mEpoll, events, 512, timeoutMs);
        for (int k = 0; k < n; ++k) {
            const std::uint32_t i = events[k].data.u32;
            Conn& c = mConns[i];
            if (c.state == EState::kDead) continue;
            if (events[k].events & EPOLLOUT) Flush(c, i);
            if (events[k].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) Read(c);
        }
    }

    void Kill(Conn& c) {
        if (c.state == EState::kDead) return;
        c.state = EState::kDead;
        epoll_ctl(mEpoll, EPOLL_CTL_DEL, c.fd, nullptr);
        close(c.fd);
        c.fd = -1;
        ++mDead;
    }

    void Read(Conn& c) {
        for (;;) {
            const std::size_t old = c.in.size();
            c.in.resize(old + 65536);
            const ssize_t n = recv(c.fd, c.in.data() + old, 65536, 0);
            c.in.resize(old + std::size_t(std::max<ssize_t>(n, 0)));
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
                Kill(c);
                return;
            }
            // A short read emptied the socket; level-triggered epoll reports any later bytes,
            // so no second recv just to learn EAGAIN.
            if (n < 0 || n < 65536) break;
        }
        Parse(c);
    }

    void Parse(Conn& c) {
        for (;;) {
            const std::size_t avail = c.in.size() - c.inStart;
            const std::uint8_t* p = c.in.data() + c.inStart;
            if (c.state == EState::kEstablishing) {
                if (avail < 8) break;
                if (std::memcmp(p, "TRTP", 4) != 0 || GetBE32(p + 4) != 0) {
                    Kill(c);
                    return;
                }
                c.inStart += 8;
                c.state = EState::kLoggingIn;
                ++mEstablished;
                // An empty login is the guest account; a name and an icon complete the login.
                const std::string name = "b" + std::to_string(IndexOf(c));
                Queue(c, Request(kTranLogin, c.nextID++,
                                 {{kFieldUserLogin, ""}, {kFieldUserPassword, ""}, {kFieldVersion, U16(190)},
                                  {kFieldUserName, name}, {kFieldIconID, U16(128)}}));
                continue;
            }
            if (avail < kHeaderSize) break;
            const std::uint32_t dataSize = GetBE32(p + 16);
            if (avail < kHeaderSize + dataSize) break;
            OnTransaction(c, p, p + kHeaderSize, dataSize);
            if (c.state == EState::kDead) return;
            c.inStart += kHeaderSize + dataSize;
        }
        if (c.inStart == c.in.size()) {
            c.in.clear();
            c.inStart = 0;
        } else if (c.inStart > 65536) {
            c.in.erase(c.in.begin(), c.in.begin() + std::ptrdiff_t(c.inStart));
            c.inStart = 0;
        }
    }

    void OnTransaction(Conn& c, const std::uint8_t* hdr, const std::uint8_t* data, std::uint32_t size) {
        const bool isReply = hdr[1] != 0;
        const std::uint16_t type = GetBE16(hdr + 2);
        if (isReply && c.state == EState::kLoggingIn) {
            if (GetBE32(hdr + 8) != 0) {
                std::fprintf(stderr, "login refused\n");
                Kill(c);
                return;
            }
            c.state = EState::kReady;
            ++mReady;
            return;
        }
        if (isReply || type != kTranChatText || size < 2) return;
        // The field list: find kFieldData and the sequence number after its last '#'.
        const std::uint16_t count = GetBE16(data);
        std::uint32_t off = 2;
        for (std::uint16_t f = 0; f < count && off + 4 <= size; ++f) {
            const std::uint16_t id = GetBE16(data + off);
            const std::uint16_t len = GetBE16(data + off + 2);
            off += 4;
            if (off + len > size) return;
            if (id == kFieldData) {
                const char* text = reinterpret_cast<const char*>(data + off);
                const char* hash = static_cast<const char*>(memrchr(text, '#', len));
                if (!hash) return;
                const long seq = std::strtol(hash + 1, nullptr, 10);
                if (seq < 0 || seq >= long(mLines.size())) return;
                Line& line = mLines[std::size_t(seq)];
                line.lastMs = NowMs();
                if (++line.received == int(mConns.size())) ++mLinesDone;
                return;
            }
            off += len;
        }
    }

    unsigned short mPort;
    int mEpoll;
    std::vector<Conn> mConns;
    std::vector<Line> mLines;
    int mEstablished = 0;
    int mReady = 0;
    int mDead = 0;
    int mLinesDone = 0;
};

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const std::size_t i = std::min(v.size() - 1, std::size_t(p * double(v.size() - 1) + 0.5));
    return v[i];
}

struct Result {
    int n = 0;
    double connectSecs = 0;
    double medianMs = 0, p99Ms = 0, maxMs = 0;
    int samples = 0;
    long burstLines = 0;
    int senders = 0;
    double deliveriesPerSec = 0;
    double bytesPerClient = 0;
};

bool RunOne(const std::string& binary, int n, int samples, Result& r) {
    Server server;
    if (!server.Start(binary)) {
        std::fprintf(stderr, "server did not start\n");
        server.Stop();
        return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const long rssBefore = server.RssKB();
    Generator gen(server.port);
    const double t0 = NowMs();
    if (!gen.ConnectAll(n)) {
        std::fprintf(stderr, "N=%d: only some clients logged in (%d failed)\n", n, gen.Dead());
        server.Stop();
        return false;
    }
    r.n = n;
    r.connectSecs = (NowMs() - t0) / 1000;
    gen.Idle(1500);  // every login notice delivered and read
    const long rssAfter = server.RssKB();
    r.bytesPerClient = double(rssAfter - rssBefore) * 1024.0 / n;

    // (a) paced lines: one at a time, each from another client, so no sender nears its limits.
    gen.ResetLines(samples);
    std::vector<double> latencies;
    for (int s = 0; s < samples; ++s) {
        gen.SendLine((s * 7) % n, s);
        if (!gen.RunUntil([&] { return gen.LinesDone() == s + 1; }, 10000)) {
            std::fprintf(stderr, "N=%d: line %d not delivered to everybody\n", n, s);
            server.Stop();
            return false;
        }
        latencies.push_back(gen.Lines()[s].lastMs - gen.Lines()[s].sentMs);
        gen.Idle(2);
    }
    r.samples = samples;
    r.medianMs = Percentile(latencies, 0.5);
    r.p99Ms = Percentile(latencies, 0.99);
    r.maxMs = Percentile(latencies, 1.0);

    // (b) burst: several senders write all their lines at once. 80 lines per sender stay under
    // the chat-volume rule (113 short lines a minute) and the request-rate rule (120 a minute).
    const int perSender = 80;
    const long targetDeliveries = 4'000'000;
    const int lines = int(std::min<long>(4000, std::max<long>(perSender, targetDeliveries / n)));
    r.senders = std::min(n, (lines + perSender - 1) / perSender);
    r.burstLines = long(r.senders) * perSender;
    gen.ResetLines(int(r.burstLines));
    const double b0 = NowMs();
    int seq = 0;
    for (int k = 0; k < perSender; ++k)
        for (int s = 0; s < r.senders; ++s) gen.SendLine(n - 1 - s, seq++);
    if (!gen.RunUntil([&] { return gen.LinesDone() == int(r.burstLines); }, 300000)) {
        std::fprintf(stderr, "N=%d: burst incomplete (%d of %ld lines everywhere)\n", n, gen.LinesDone(), r.burstLines);
        server.Stop();
        return false;
    }
    double last = 0;
    for (const Line& l : gen.Lines()) last = std::max(last, l.lastMs);
    r.deliveriesPerSec = double(r.burstLines) * n / ((last - b0) / 1000);
    server.Stop();
    return true;
}

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
    std::vector<int> sizes = {100, 1000, 5000};
    int samples = 300;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--server" && i + 1 < argc) {
            binary = argv[++i];
        } else if (a == "--samples" && i + 1 < argc) {
            samples = std::atoi(argv[++i]);
        } else if (a == "--sizes" && i + 1 < argc) {
            sizes.clear();
            std::string list = argv[++i];
            for (std::size_t p = 0; p < list.size();) {
                const std::size_t q = list.find(',', p);
                sizes.push_back(std::atoi(list.substr(p, q - p).c_str()));
                p = q == std::string::npos ? list.size() : q + 1;
            }
        } else {
            std::fprintf(stderr, "usage: chat_bench [--server PATH] [--sizes 100,1000,5000] [--samples 300]\n");
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    RaiseFileLimit();
    std::printf("%7s %9s %10s %9s %9s %8s %12s %14s %12s\n", "N", "login s", "median ms", "p99 ms", "max ms",
                "senders", "burst lines", "deliveries/s", "B/client");
    int failures = 0;
    for (int n : sizes) {
        Result r;
        if (!RunOne(binary, n, samples, r)) {
            ++failures;
            continue;
        }
        std::printf("%7d %9.1f %10.2f %9.2f %9.2f %8d %12ld %14.0f %12.0f\n", r.n, r.connectSecs, r.medianMs, r.p99Ms,
                    r.maxMs, r.senders, r.burstLines, r.deliveriesPerSec, r.bytesPerClient);
        std::fflush(stdout);
    }
    return failures == 0 ? 0 : 1;
}
