// TLS benchmark: plain and encrypted figures side by side from one server (forked, in-process
// code, on a temporary folder; clients are taken as logged in):
// - 1 and 10 concurrent downloads of a large file (MB/s), plain ports against TLS ports;
// - connections per second: the plain establish exchange, a full TLS handshake with the
//   establish exchange, and a resumed one; each per wall-clock second and per second of the
//   server's own CPU time (the server is one thread, so the latter is "per core");
// - memory per idle logged-in client: the server's resident memory before and after opening N
//   plain clients, then N TLS clients.
// Prints which path TLS downloads took (kernel TLS or OpenSSL's record layer).
//
//   tls_bench [--mib N] [--rounds R] [--idle N] [--seconds S]
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <iterator>
#include <memory>
#include <sstream>
#include <thread>

#include "bench_support.h"
#include "protocol/transaction_types.h"

using namespace kx;
using namespace kx::bench;

namespace {

using Clock = std::chrono::steady_clock;

SSL_CTX* gClientCtx = nullptr;
pid_t gServer = -1;  // stopped however the benchmark ends

// A plain or TLS connection of the benchmark's clients.
class CConn {
public:
    // `resume`: a session of an earlier connection to offer.
    CConn(std::uint16_t port, bool tls, SSL_SESSION* resume = nullptr) : mFd(Connect(port)) {
        if (!tls) return;
        mSsl = SSL_new(gClientCtx);
        SSL_set_fd(mSsl, mFd);
        if (resume != nullptr) SSL_set_session(mSsl, resume);
        if (SSL_connect(mSsl) != 1) Die("TLS handshake");
    }
    ~CConn() {
        if (mSsl != nullptr) {
            SSL_shutdown(mSsl);
            SSL_free(mSsl);
        }
        close(mFd);
    }
    void Write(const std::vector<std::uint8_t>& bytes) {
        if (mSsl == nullptr) return WriteAll(mFd, bytes);
        if (SSL_write(mSsl, bytes.data(), static_cast<int>(bytes.size())) != static_cast<int>(bytes.size())) Die("SSL_write");
    }
    long Read(void* dest, std::size_t n) {
        if (mSsl == nullptr) return read(mFd, dest, n);
        return SSL_read(mSsl, dest, static_cast<int>(std::min<std::size_t>(n, 1 << 30)));
    }
    bool ReadExact(void* dest, std::size_t n) {
        auto* p = static_cast<std::uint8_t*>(dest);
        while (n > 0) {
            const long got = Read(p, n);
            if (got <= 0) return false;
            p += got;
            n -= static_cast<std::size_t>(got);
        }
        return true;
    }
    void Establish() {
        Write({'T', 'R', 'T', 'P', 'K', 'S', 'T', 'X', 0, 1, 0, 2});
        std::uint8_t reply[8];
        if (!ReadExact(reply, 8)) Die("establish");
    }
    SSL* Ssl() const { return mSsl; }
    // The session to resume later (its ticket has arrived once a reply was read); null when plain.
    SSL_SESSION* Session() const { return mSsl != nullptr ? SSL_get1_session(mSsl) : nullptr; }

private:
    int mFd;
    SSL* mSsl = nullptr;
};

std::uint64_t Download(std::uint16_t port, bool tls, const std::string& name) {
    CConn c(port, tls);
    c.Establish();
    usleep(20000);  // admitted and taken as logged in before the request
    std::vector<std::uint8_t> fields;
    AppendBE16(fields, 1);
    AppendBE16(fields, kFieldFileName);
    AppendBE16(fields, static_cast<std::uint16_t>(name.size()));
    fields.insert(fields.end(), name.begin(), name.end());
    std::vector<std::uint8_t> req = {0, 0};
    AppendBE16(req, kTranDownloadFile);
    AppendBE32(req, 1);
    AppendBE32(req, 0);
    AppendBE32(req, static_cast<std::uint32_t>(fields.size()));
    AppendBE32(req, static_cast<std::uint32_t>(fields.size()));
    req.insert(req.end(), fields.begin(), fields.end());
    c.Write(req);
    std::uint8_t hdr[20];
    if (!c.ReadExact(hdr, 20)) Die("reply header");
    std::vector<std::uint8_t> body(GetBE32(hdr + 16));
    if (!c.ReadExact(body.data(), body.size())) Die("reply");
    std::uint32_t transferSize = 0;
    std::uint8_t ref[4] = {};
    ForEachField(body, [&](std::uint16_t id, const std::uint8_t* d, std::uint16_t len) {
        if (id == kFieldTransferSize) transferSize = IntegerOf(d, len);
        else if (id == kFieldRefNum && len == 4) std::memcpy(ref, d, 4);
    });
    if (transferSize == 0) Die("download refused");

    SSL_SESSION* session = c.Session();  // as the client does: the transfer resumes it
    CConn t(static_cast<std::uint16_t>(port + 1), tls, session);
    SSL_SESSION_free(session);
    t.Write({'K', 'X', 'X', 'F', ref[0], ref[1], ref[2], ref[3], 0, 0, 0, 0, 0, 0, 0, 0});
    std::vector<char> buf(1 << 20);
    std::uint64_t got = 0;
    while (got < transferSize) {
        const long n = t.Read(buf.data(), buf.size());
        if (n <= 0) break;
        got += static_cast<std::uint64_t>(n);
    }
    return got == transferSize ? got : 0;
}

// The server's user + system CPU time in seconds.
double CpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t paren = text.rfind(')');
    if (paren == std::string::npos) return 0;
    std::istringstream fields(text.substr(paren + 2));
    std::string skip;
    for (int i = 0; i < 11; ++i) fields >> skip;  // state .. cmajflt
    unsigned long long user = 0, system = 0;
    fields >> user >> system;
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::uint64_t RssKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::strtoull(line.c_str() + 6, nullptr, 10);
    }
    return 0;
}

struct SRate {
    double perSecond = 0;
    double perCpuSecond = 0;
};

// Connections (each: connect, handshake when TLS, establish, close) from two client threads
// for `seconds`.
SRate ConnectionRate(pid_t server, std::uint16_t port, bool tls, bool resume, double seconds) {
    std::atomic<std::uint64_t> count{0};
    std::atomic<bool> stop{false};
    const double cpu0 = CpuSeconds(server);
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i) {
        threads.emplace_back([&] {
            SSL_SESSION* session = nullptr;
            while (!stop) {
                CConn c(port, tls, session);
                if (session != nullptr && !SSL_session_reused(c.Ssl())) Die("session not resumed");
                c.Establish();
                ++count;
                if (resume && session == nullptr) session = c.Session();
            }
            SSL_SESSION_free(session);
        });
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (auto& t : threads) t.join();
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = CpuSeconds(server) - cpu0;
    return {static_cast<double>(count) / wall, cpu > 0 ? static_cast<double>(count) / cpu : 0};
}

// Server memory per idle client: resident memory after opening `n` clients, less before, / n.
double IdleClientKiB(pid_t server, std::uint16_t port, bool tls, int n) {
    usleep(300000);
    const std::uint64_t before = RssKiB(server);
    std::vector<std::unique_ptr<CConn>> clients;
    for (int i = 0; i < n; ++i) {
        clients.push_back(std::make_unique<CConn>(port, tls));
        clients.back()->Establish();
    }
    usleep(500000);  // admitted, taken as logged in, idle
    const std::uint64_t after = RssKiB(server);
    clients.clear();
    usleep(500000);
    return static_cast<double>(after - before) / n;
}

}  // namespace

int main(int argc, char** argv) {
    std::uint64_t mib = 1024;
    int rounds = 2;
    int idle = 1000;
    double seconds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--mib")) mib = std::strtoull(argv[i + 1], nullptr, 10);
        else if (!std::strcmp(argv[i], "--rounds")) rounds = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--idle")) idle = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--seconds")) seconds = std::atof(argv[i + 1]);
    }
    signal(SIGPIPE, SIG_IGN);
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    gClientCtx = SSL_CTX_new(TLS_client_method());

    char tmpl[] = "/tmp/kx-tls-bench-XXXXXX";
    if (!mkdtemp(tmpl)) Die("mkdtemp");
    const std::string dir = tmpl;
    mkdir((dir + "/Files").c_str(), 0755);
    const std::uint64_t size = mib << 20;
    WriteTestFile(dir + "/Files/big.bin", size);
    const std::uint16_t port = FindPorts(6);
    const pid_t server = StartServer(dir, port, myAcc_DownloadFiles);
    gServer = server;
    std::atexit([] {
        if (gServer > 0) kill(gServer, SIGKILL);
    });
    const auto tlsPort = static_cast<std::uint16_t>(port + 4);
    { CConn warm(tlsPort, true); warm.Establish(); }  // the certificate made, the listeners open

    std::printf("downloads of %llu MiB, best of %d rounds\n", static_cast<unsigned long long>(mib), rounds);
    std::printf("%-12s %12s %12s %8s\n", "concurrent", "plain MB/s", "TLS MB/s", "ratio");
    for (int n : {1, 10}) {
        double plain = 0, tls = 0;
        for (int r = 0; r < rounds; ++r) {
            plain = std::max(plain, RunConcurrent(n, [&](int) { return Download(port, false, "big.bin"); }));
            tls = std::max(tls, RunConcurrent(n, [&](int) { return Download(tlsPort, true, "big.bin"); }));
        }
        std::printf("%-12d %12.0f %12.0f %8.2f\n", n, plain, tls, plain > 0 ? tls / plain : 0.0);
        std::fflush(stdout);
    }
    {
        // Which path the server's sends took shows in its log; ask the kernel what it offers.
        std::ifstream ulp("/proc/sys/net/ipv4/tcp_available_ulp");
        std::string offered;
        std::getline(ulp, offered);
        std::printf("kernel TLS offered by this kernel: %s (tcp_available_ulp: %s)\n",
                    offered.find("tls") != std::string::npos ? "yes" : "no", offered.c_str());
    }

    std::printf("\nconnections per second (two client threads, %.0f s each)\n", seconds);
    std::printf("%-34s %12s %16s\n", "kind", "per second", "per server CPU s");
    const SRate plainRate = ConnectionRate(server, port, false, false, seconds);
    const SRate fullRate = ConnectionRate(server, tlsPort, true, false, seconds);
    const SRate resumedRate = ConnectionRate(server, tlsPort, true, true, seconds);
    std::printf("%-34s %12.0f %16.0f\n", "plain: establish", plainRate.perSecond, plainRate.perCpuSecond);
    std::printf("%-34s %12.0f %16.0f\n", "TLS: full handshake + establish", fullRate.perSecond, fullRate.perCpuSecond);
    std::printf("%-34s %12.0f %16.0f\n", "TLS: resumed handshake + establish", resumedRate.perSecond,
                resumedRate.perCpuSecond);

    std::printf("\nserver memory per idle logged-in client (%d clients)\n", idle);
    std::printf("plain: %.1f KiB\n", IdleClientKiB(server, port, false, idle));
    std::printf("TLS:   %.1f KiB\n", IdleClientKiB(server, tlsPort, true, idle));
    Stop(server);
    gServer = -1;
    std::system(("rm -rf '" + dir + "'").c_str());
    return 0;
}
