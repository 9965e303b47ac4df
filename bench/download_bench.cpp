// Download benchmark: a server (forked, in-process code, on a temporary folder) streams a large
// file to a small reader over loopback, and the same reader is fed by a plain sender that uses
// sendfile(2) with TCP_CORK. Reports both throughputs and their ratio for 1 and for 10
// concurrent downloads, then the server's peak resident memory during 100 concurrent downloads
// of 10 MiB files. Readers read 1 MiB at a time.
//
//   download_bench [--mib N] [--rounds R] [--small N] [--base-sndbuf BYTES]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "protocol/transaction_types.h"

using namespace kx;
using namespace kx::bench;

namespace {

using Clock = std::chrono::steady_clock;

// Send buffer the baseline asks for (0: the system's default, which grows on its own). The
// server's connections ask for 64 KiB; loopback favours small buffers, so both are reported.
int gBaseSndBuf = 0;

// The reader under test: 1 MiB reads until `total` bytes have arrived.
std::uint64_t ReadStream(int fd, std::uint64_t total) {
    std::vector<char> buf(1 << 20);
    std::uint64_t got = 0;
    while (got < total) {
        const ssize_t n = read(fd, buf.data(), buf.size());
        if (n <= 0) break;
        got += static_cast<std::uint64_t>(n);
    }
    return got;
}

// One download through the server: request on the client port, stream on base port + 1.
std::uint64_t ServerDownload(std::uint16_t port, const std::string& name) {
    const int c = ConnectClient(port);
    const std::vector<std::uint8_t> body = RequestWithName(c, kTranDownloadFile, kFieldFileName, name);
    std::uint32_t transferSize = 0;
    std::uint8_t ref[4] = {0, 0, 0, 0};
    ForEachField(body, [&](std::uint16_t id, const std::uint8_t* d, std::uint16_t len) {
        if (id == kFieldTransferSize) transferSize = IntegerOf(d, len);
        else if (id == kFieldRefNum && len == 4) std::memcpy(ref, d, 4);
    });
    if (transferSize == 0) Die("download refused");

    const int t = Connect(static_cast<std::uint16_t>(port + 1));
    std::vector<std::uint8_t> th = {'K', 'X', 'X', 'F', ref[0], ref[1], ref[2], ref[3], 0, 0, 0, 0, 0, 0, 0, 0};
    WriteAll(t, th);
    const std::uint64_t got = ReadStream(t, transferSize);
    close(t);
    close(c);
    return got == transferSize ? got : 0;
}

// ---- the baseline: sendfile + TCP_CORK, one thread per connection ----

pid_t StartBaseline(const std::string& path, std::uint16_t port) {
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid < 0) Die("fork");
    if (pid > 0) return pid;
    const int l = socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(l, 128) != 0) Die("baseline listen");
    for (;;) {
        const int c = accept(l, nullptr, nullptr);
        if (c < 0) continue;
        std::thread([c, path] {
            const int fd = open(path.c_str(), O_RDONLY);
            struct stat st {};
            fstat(fd, &st);
            const int on = 1;
            setsockopt(c, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
            if (gBaseSndBuf > 0) setsockopt(c, SOL_SOCKET, SO_SNDBUF, &gBaseSndBuf, sizeof gBaseSndBuf);
            off_t off = 0;
            while (off < st.st_size) {
                if (sendfile(c, fd, &off, static_cast<std::size_t>(st.st_size - off)) <= 0) break;
            }
            const int off0 = 0;
            setsockopt(c, IPPROTO_TCP, TCP_CORK, &off0, sizeof off0);
            close(fd);
            close(c);
        }).detach();
    }
}

std::uint64_t BaselineDownload(std::uint16_t port, std::uint64_t size) {
    const int s = Connect(port);
    const std::uint64_t got = ReadStream(s, size);
    close(s);
    return got == size ? got : 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::uint64_t mib = 1024;
    int rounds = 3;
    int smallCount = 100;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--mib")) mib = std::strtoull(argv[i + 1], nullptr, 10);
        else if (!std::strcmp(argv[i], "--rounds")) rounds = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--small")) smallCount = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--base-sndbuf")) gBaseSndBuf = std::atoi(argv[i + 1]);
    }
    signal(SIGPIPE, SIG_IGN);
    char tmpl[] = "/tmp/kx-download-bench-XXXXXX";
    if (!mkdtemp(tmpl)) Die("mkdtemp");
    const std::string dir = tmpl;
    mkdir((dir + "/Files").c_str(), 0755);
    const std::string big = dir + "/Files/big.bin";
    const std::uint64_t size = mib << 20;
    WriteTestFile(big, size);

    // The server's six ports (plain and TLS), then the baseline's.
    const std::uint16_t port = FindPorts(7);
    const std::uint16_t basePort = static_cast<std::uint16_t>(port + 6);
    const pid_t server = StartServer(dir, port, myAcc_DownloadFiles);
    const pid_t baseline = StartBaseline(big, basePort);
    std::printf("file %llu MiB, best of %d rounds, baseline send buffer %s\n", static_cast<unsigned long long>(mib), rounds,
                gBaseSndBuf > 0 ? std::to_string(gBaseSndBuf).c_str() : "default");
    std::printf("%-12s %14s %14s %8s\n", "concurrent", "server MB/s", "baseline MB/s", "ratio");
    for (int n : {1, 10}) {
        double bestServer = 0, bestBase = 0;
        for (int r = 0; r < rounds; ++r) {
            bestBase = std::max(bestBase, RunConcurrent(n, [&](int) { return BaselineDownload(basePort, size); }));
            bestServer = std::max(bestServer, RunConcurrent(n, [&](int) { return ServerDownload(port, "big.bin"); }));
        }
        std::printf("%-12d %14.0f %14.0f %8.2f\n", n, bestServer, bestBase, bestBase > 0 ? bestServer / bestBase : 0.0);
        std::fflush(stdout);
    }
    std::printf("server peak resident memory after the large downloads: %.1f MiB\n", PeakRssKiB(server) / 1024.0);
    Stop(server);
    Stop(baseline);
    unlink(big.c_str());

    // Memory: many concurrent downloads of 10 MiB files on a fresh server.
    for (int i = 0; i < smallCount; ++i) WriteTestFile(dir + "/Files/small" + std::to_string(i) + ".bin", 10u << 20);
    const pid_t server2 = StartServer(dir, port, myAcc_DownloadFiles);
    const double mbps = RunConcurrent(smallCount, [&](int i) { return ServerDownload(port, "small" + std::to_string(i) + ".bin"); });
    std::printf("%d concurrent downloads of 10 MiB: %.0f MB/s, server peak resident memory %.1f MiB\n", smallCount, mbps,
                PeakRssKiB(server2) / 1024.0);
    Stop(server2);
    for (int i = 0; i < smallCount; ++i) unlink((dir + "/Files/small" + std::to_string(i) + ".bin").c_str());
    std::system(("rm -rf '" + dir + "'").c_str());
    return 0;
}
