// Chat load generator: starts kestrix-server on a temporary folder, logs in N guest clients over
// loopback (each from its own source address in 127.0.0.0/8, the descriptor limit raised) and
// measures (a) paced chat lines, one every N x 50 us, the time from sending one line until every
// client has received it (median and p99), (b) rounds of bursts of 200 lines written at once by
// several senders, in deliveries per second, with the server's peak resident memory during the
// rounds, right after them and once the output has drained, (c) the server's resident memory per
// idle logged-in client, (d) all but one client leaving at once, until the one left has been told
// of every departure, and (e) the time from SIGTERM to the server's exit with N clients signed in
// again. One thread with epoll drives every client socket.
//
// Over the burst rounds it also reads the server's user and system CPU time (/proc/PID/stat), and
// with --perf runs `perf stat` on the server for the rounds: system calls by kind, epoll waits (event-loop
// iterations) and calls of malloc (a uprobe on the C library, added when missing), each per
// delivery. Those counts do not depend on how loaded the machine is; the times do.
//
//   chat_bench [--server PATH] [--sizes 1000,5000,10000] [--samples 200] [--rounds 3] [--no-quit] [--perf]
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
#include <map>
#include <random>
#include <sstream>
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

constexpr std::size_t kHeaderSize = 20;
constexpr int kBurstLines = 200;
constexpr int kBurstSenders = 5;  // 40 lines each, under the chat-volume and request-rate rules

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
    // The peak resident set since the last ResetPeak (VmHWM), in kilobytes.
    long PeakKB() const {
        std::ifstream in("/proc/" + std::to_string(pid) + "/status");
        std::string line;
        while (std::getline(in, line))
            if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
        return -1;
    }
    void ResetPeak() const { std::ofstream("/proc/" + std::to_string(pid) + "/clear_refs") << "5"; }
    // User and system CPU seconds so far.
    std::pair<double, double> CpuSecs() const {
        std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
        std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const std::size_t close = all.rfind(')');
        if (close == std::string::npos) return {0, 0};
        std::istringstream rest(all.substr(close + 2));
        std::string field;
        double utime = 0, stime = 0;
        for (int i = 3; i <= 15 && rest >> field; ++i) {  // fields 14 and 15, in clock ticks
            if (i == 14) utime = std::atof(field.c_str());
            if (i == 15) stime = std::atof(field.c_str());
        }
        const double tick = double(sysconf(_SC_CLK_TCK));
        return {utime / tick, stime / tick};
    }

    // SIGTERM, then the seconds until the process has exited (SIGKILL and -1 after 10 s).
    double TimeQuit() {
        const double t0 = NowMs();
        kill(pid, SIGTERM);
        int status = 0;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (NowMs() - t0 > 10000) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                pid = -1;
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        pid = -1;
        return (NowMs() - t0) / 1000;
    }

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
    int leftSeen = 0;  // departure notices received
};

struct Line {
    double sentMs = 0;
    double lastMs = 0;
    int received = 0;
};

class Generator {
public:
    // Client i binds to 127.<firstOctet>.0.1 + i, so every client has its own address (the server
    // bans an address that connects more than ten times in a row) and its own port range.
    Generator(unsigned short port, std::uint8_t firstOctet) : mPort(port), mFirstOctet(firstOctet) {
        mEpoll = epoll_create1(0);
    }
    ~Generator() {
        for (Conn& c : mConns)
            if (c.fd >= 0) close(c.fd);
        close(mEpoll);
    }

    // Opens and signs in n clients, a few handshakes at a time, so that a burst never outruns the
    // listen backlog and sits in SYN retransmission for seconds. False when some client failed.
    bool ConnectAll(int n) {
        mConns.resize(n);
        // Many in flight: logins that arrive together are announced in one pass, one write each.
        const int inFlight = 256;
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
    int LeftSeen(int who) const { return mConns[who].leftSeen; }

    // Closes every client but the first at once.
    void CloseAllButFirst() {
        for (std::size_t i = 1; i < mConns.size(); ++i) {
            if (mConns[i].fd < 0) continue;
            close(mConns[i].fd);
            mConns[i].fd = -1;
            mConns[i].state = EState::kDead;
        }
    }

private:
    void Open(int i) {
        Conn& c = mConns[i];
        c.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        int one = 1;
        setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in src{};
        src.sin_family = AF_INET;
        src.sin_addr.s_addr = htonl((0x7Fu << 24 | std::uint32_t(mFirstOctet) << 16) + 1 + std::uint32_t(i));
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
        // Received into one scratch buffer and appended, so a read of a 60-byte line costs a
        // copy of 60 bytes: growing `in` by the whole read size first would clear 64 KiB per
        // read and make the generator, not the server, what a paced line waits for.
        for (;;) {
            const ssize_t n = recv(c.fd, mScratch.data(), mScratch.size(), 0);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
                Kill(c);
                return;
            }
            if (n > 0) c.in.insert(c.in.end(), mScratch.data(), mScratch.data() + n);
            // A short read emptied the socket; level-triggered epoll reports any later bytes,
            // so no second recv just to learn EAGAIN.
            if (n < 0 || std::size_t(n) < mScratch.size()) break;
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
        if (!isReply && type == kTranClientLeft) ++c.leftSeen;
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
                // Digits up to the field's end only: the bytes after it are the next message's.
                long seq = 0;
                const char* end = text + len;
                if (hash + 1 == end) return;
                for (const char* d = hash + 1; d < end; ++d) {
                    if (*d < '0' || *d > '9') return;
                    seq = seq * 10 + (*d - '0');
                }
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
    std::uint8_t mFirstOctet;
    int mEpoll;
    std::vector<Conn> mConns;
    std::vector<Line> mLines;
    std::vector<std::uint8_t> mScratch = std::vector<std::uint8_t>(65536);
    int mEstablished = 0;
    int mReady = 0;
    int mDead = 0;
    int mLinesDone = 0;
};

// `perf stat` attached to the server while it runs; Stop returns the counts by event name.
class CPerfStat {
public:
    static constexpr const char* kEvents[] = {"raw_syscalls:sys_enter", "syscalls:sys_enter_sendmsg",
                                               "syscalls:sys_enter_sendto", "syscalls:sys_enter_recvfrom",
                                               "syscalls:sys_enter_epoll_wait", "probe_libc:malloc"};
    void Start(pid_t server) {
        // The malloc probe: a uprobe on the C library (kept by the system once added).
        std::system("perf probe -q -x /lib/x86_64-linux-gnu/libc.so.6 --add malloc >/dev/null 2>&1");
        mOut = "/tmp/kx-chat-bench-perf." + std::to_string(getpid());
        mPid = fork();
        if (mPid == 0) {
            std::vector<std::string> args = {"perf", "stat", "-x", ",", "-o", mOut, "-p", std::to_string(server)};
            for (const char* e : kEvents) {
                args.push_back("-e");
                args.push_back(e);
            }
            std::vector<char*> argv;
            for (std::string& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execvp("perf", argv.data());
            _exit(127);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));  // attached
    }
    std::map<std::string, double> Stop() {
        std::map<std::string, double> counts;
        if (mPid <= 0) return counts;
        kill(mPid, SIGINT);
        waitpid(mPid, nullptr, 0);
        std::ifstream in(mOut);
        std::string line;
        while (std::getline(in, line)) {
            std::vector<std::string> cols;
            std::istringstream row(line);
            for (std::string c; std::getline(row, c, ',');) cols.push_back(c);
            if (cols.size() >= 3 && !cols[0].empty() && std::isdigit(static_cast<unsigned char>(cols[0][0])))
                counts[cols[2]] = std::atof(cols[0].c_str());
        }
        std::remove(mOut.c_str());
        return counts;
    }

private:
    pid_t mPid = -1;
    std::string mOut;
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
    double deliveriesPerSec = 0;  // best round
    double worstPerSec = 0;
    double bytesPerClient = 0;
    double idleMB = 0, peakMB = 0, afterBurstMB = 0, drainedMB = 0;
    double userNsPerDelivery = 0, sysNsPerDelivery = 0;  // the server's CPU over the burst rounds
    double generatorNsPerDelivery = 0;                   // this program's own (user + system)
    double deliveriesPerRound = 0;
    std::map<std::string, double> perfPerDelivery;       // --perf: counts per delivery
    double departSecs = -1;  // -1: not every departure was announced within the time-out
    double quitSecs = -2;    // -1: killed after 10 s; -2: not measured
};

double MB(long kb) { return double(kb) / 1024.0; }

double OwnCpuSecs() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

bool Fail(Server& server, const char* what, int n) {
    std::fprintf(stderr, "N=%d: %s\n", n, what);
    server.Stop();
    return false;
}

bool RunOne(const std::string& binary, int n, int samples, int rounds, bool measureQuit, bool perf, Result& r) {
    Server server;
    if (!server.Start(binary)) return Fail(server, "server did not start", n);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const long rssBefore = server.RssKB();
    r.n = n;
    {
        Generator gen(server.port, 1);
        const double t0 = NowMs();
        if (!gen.ConnectAll(n)) return Fail(server, "only some clients logged in", n);
        r.connectSecs = (NowMs() - t0) / 1000;
        gen.Idle(1500);  // every login notice delivered and read
        const long rssIdle = server.RssKB();
        r.idleMB = MB(rssIdle);
        r.bytesPerClient = double(rssIdle - rssBefore) * 1024.0 / n;

        // (a) paced: one line every N x 50 us (later when the previous one is still on its way),
        // each from another client, so no sender nears its limits.
        gen.ResetLines(samples);
        std::vector<double> latencies;
        const double interval = n * 0.05;
        double next = NowMs();
        for (int s = 0; s < samples; ++s) {
            gen.Idle(next - NowMs());
            gen.SendLine((s * 7) % n, s);
            next = NowMs() + interval;
            if (!gen.RunUntil([&] { return gen.LinesDone() == s + 1; }, 10000))
                return Fail(server, "a paced line was not delivered to everybody", n);
            latencies.push_back(gen.Lines()[s].lastMs - gen.Lines()[s].sentMs);
        }
        r.medianMs = Percentile(latencies, 0.5);
        r.p99Ms = Percentile(latencies, 0.99);
        r.maxMs = Percentile(latencies, 1.0);
        gen.Idle(500);

        // (b) bursts: each round, other senders write their share of 200 lines at once.
        server.ResetPeak();
        CPerfStat perfStat;
        if (perf) perfStat.Start(server.pid);
        const auto cpu0 = server.CpuSecs();
        const double own0 = OwnCpuSecs();
        const int perSender = kBurstLines / kBurstSenders;
        for (int round = 0; round < rounds; ++round) {
            gen.ResetLines(kBurstLines);
            const double b0 = NowMs();
            int seq = 0;
            for (int k = 0; k < perSender; ++k)
                for (int s = 0; s < kBurstSenders; ++s) gen.SendLine(n - 1 - (round * kBurstSenders + s) % n, seq++);
            if (!gen.RunUntil([&] { return gen.LinesDone() == kBurstLines; }, 120000))
                return Fail(server, "a burst was not delivered to everybody", n);
            double last = 0;
            for (const Line& l : gen.Lines()) last = std::max(last, l.lastMs);
            const double rate = double(kBurstLines) * n / ((last - b0) / 1000);
            r.deliveriesPerSec = std::max(r.deliveriesPerSec, rate);
            r.worstPerSec = round == 0 ? rate : std::min(r.worstPerSec, rate);
            r.afterBurstMB = std::max(r.afterBurstMB, MB(server.RssKB()));
            gen.Idle(300);
        }
        const auto cpu1 = server.CpuSecs();
        const double deliveries = double(kBurstLines) * n * rounds;
        r.userNsPerDelivery = (cpu1.first - cpu0.first) * 1e9 / deliveries;
        r.sysNsPerDelivery = (cpu1.second - cpu0.second) * 1e9 / deliveries;
        r.generatorNsPerDelivery = (OwnCpuSecs() - own0) * 1e9 / deliveries;
        r.deliveriesPerRound = deliveries / rounds;
        for (const auto& [event, count] : perfStat.Stop()) r.perfPerDelivery[event] = count / deliveries;
        r.peakMB = MB(server.PeakKB());
        gen.Idle(2000);
        r.drainedMB = MB(server.RssKB());

        // (d) everybody but client 0 leaves at once; client 0 is told of each departure.
        const double d0 = NowMs();
        gen.CloseAllButFirst();
        if (gen.RunUntil([&] { return gen.LeftSeen(0) >= n - 1; }, 60000)) r.departSecs = (NowMs() - d0) / 1000;
    }
    if (measureQuit) {
        // (e) N clients again (new addresses: the old ones may still be in TIME_WAIT), then SIGTERM.
        Generator again(server.port, 2);
        if (!again.ConnectAll(n)) return Fail(server, "only some clients logged in again", n);
        again.Idle(1000);
        r.quitSecs = server.TimeQuit();
    }
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
    std::vector<int> sizes = {1000, 5000, 10000};
    int samples = 200;
    int rounds = 3;
    bool measureQuit = true;
    bool perf = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--server" && i + 1 < argc) {
            binary = argv[++i];
        } else if (a == "--samples" && i + 1 < argc) {
            samples = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--rounds" && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--no-quit") {
            measureQuit = false;
        } else if (a == "--perf") {
            perf = true;
        } else if (a == "--sizes" && i + 1 < argc) {
            sizes.clear();
            std::string list = argv[++i];
            for (std::size_t p = 0; p < list.size();) {
                const std::size_t q = list.find(',', p);
                sizes.push_back(std::max(2, std::atoi(list.substr(p, q - p).c_str())));
                p = q == std::string::npos ? list.size() : q + 1;
            }
        } else {
            std::fprintf(stderr,
                         "usage: chat_bench [--server PATH] [--sizes 1000,5000,10000] [--samples 200] [--rounds 3] "
                         "[--no-quit] [--perf]\n");
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    // Each client is a descriptor here and one in the server (which raises its own limit).
    RaiseFileLimit();
    rlimit rl{};
    getrlimit(RLIMIT_NOFILE, &rl);
    for (int n : sizes) {
        if (rlim_t(n) + 64 > rl.rlim_cur) {
            std::fprintf(stderr, "N=%d needs more descriptors than the limit (%lu)\n", n, (unsigned long)rl.rlim_cur);
            return 2;
        }
    }
    std::printf("%6s %7s %8s %8s %8s %12s %12s %8s %8s %8s %8s %8s %8s %7s\n", "N", "login s", "p50 ms", "p99 ms",
                "max ms", "best dlv/s", "worst dlv/s", "B/client", "idle MB", "peak MB", "burst MB", "drain MB",
                "depart s", "quit s");
    int failures = 0;
    for (int n : sizes) {
        Result r;
        if (!RunOne(binary, n, samples, rounds, measureQuit, perf, r)) {
            ++failures;
            continue;
        }
        std::printf("%6d %7.1f %8.2f %8.2f %8.2f %12.0f %12.0f %8.0f %8.1f %8.1f %8.1f %8.1f %8.2f %7.2f\n", r.n,
                    r.connectSecs, r.medianMs, r.p99Ms, r.maxMs, r.deliveriesPerSec, r.worstPerSec, r.bytesPerClient,
                    r.idleMB, r.peakMB, r.afterBurstMB, r.drainedMB, r.departSecs, r.quitSecs);
        std::printf("       burst rounds, CPU per delivery: server user %.0f ns, server system %.0f ns, generator %.0f ns\n",
                    r.userNsPerDelivery, r.sysNsPerDelivery, r.generatorNsPerDelivery);
        for (const auto& [event, perDelivery] : r.perfPerDelivery)
            std::printf("       %-32s %10.4f per delivery %12.0f per round\n", event.c_str(), perDelivery,
                        perDelivery * r.deliveriesPerRound);
        std::fflush(stdout);
    }
    return failures == 0 ? 0 : 1;
}
