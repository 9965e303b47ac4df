// Small pieces shared by the transfer benchmarks: free ports, blocking loopback sockets, exact
// reads and writes, big-endian request building, the server's peak resident memory, and a
// forked server on a temporary program folder whose clients are taken as logged in.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "framework/byte_codec.h"
#include "framework/event_loop.h"
#include "net/transport.h"
#include "server/application.h"
#include "server/pref_file.h"

namespace kx::bench {

[[noreturn]] inline void Die(const char* what) {
    std::perror(what);
    std::exit(1);
}

inline bool PortFree(std::uint16_t port) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    const int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const bool ok = bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

inline std::uint16_t FindPorts(std::uint16_t count) {
    for (std::uint16_t base = 20000 + static_cast<std::uint16_t>(getpid() % 2000) * 10; base < 60000; base += 10) {
        bool all = true;
        for (std::uint16_t i = 0; i < count && all; ++i) all = PortFree(static_cast<std::uint16_t>(base + i));
        if (all) return base;
    }
    Die("no free ports");
}

// A file of `size` bytes of a repeating pattern.
inline void WriteTestFile(const std::string& path, std::uint64_t size) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) Die("create");
    std::vector<char> block(1 << 20);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7 + 3);
    for (std::uint64_t done = 0; done < size;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), size - done));
        if (write(fd, block.data(), n) != static_cast<ssize_t>(n)) Die("write");
        done += n;
    }
    close(fd);
}

inline int Connect(std::uint16_t port) {
    for (int attempt = 0; attempt < 200; ++attempt) {
        const int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return s;
        close(s);
        usleep(20000);
    }
    Die("connect");
}

inline bool ReadExact(int fd, void* dest, std::size_t n) {
    auto* p = static_cast<std::uint8_t*>(dest);
    while (n > 0) {
        const ssize_t got = read(fd, p, n);
        if (got <= 0) return false;
        p += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

inline void WriteAll(int fd, const std::vector<std::uint8_t>& bytes) {
    if (write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) Die("send");
}

// Peak resident memory of a process in KiB (VmHWM), 0 when it cannot be read.
inline std::uint64_t PeakRssKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::strtoull(line.c_str() + 6, nullptr, 10);
    }
    return 0;
}

inline void Stop(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

// Forks a server on `dir` (base port `port`). Readers are admitted without the login exchange:
// every client is taken as logged in and given the privilege `priv`.
inline pid_t StartServer(const std::string& dir, std::uint16_t port, unsigned priv) {
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid < 0) Die("fork");
    if (pid > 0) return pid;
    UTransport::Init();
    SMyPrefs prefs = SMyPrefs::Defaults();
    prefs.mOptions.nBasePortNum = port;
    prefs.mOptions.nMaxDownloads = 1000;
    prefs.mOptions.nMaxDownloadsClient = 10;
    prefs.mOptions.nMaxConnectionsIP = 0;  // every reader comes from 127.0.0.1
    UMyPrefs::WritePrefs(UMyPrefs::GetPrefsSpec(dir), prefs);
    if (!std::freopen("/dev/null", "w", stdout)) Die("stdout");
    CMyApplication app(dir);
    app.TimeRules().floodLimit = 65535;
    app.StartUp();
    CEventLoop::Get().AddAfterBatch([&app, priv] {
        for (const auto& c : app.Clients()) {
            c->hasLoggedIn = true;
            c->access.SetPriv(priv);
        }
    });
    app.Run();
    std::_Exit(0);
}

// A connection on the client port that has done the establish exchange and had time to be
// admitted (and marked logged in) before its first request.
inline int ConnectClient(std::uint16_t port) {
    const int c = Connect(port);
    WriteAll(c, {'T', 'R', 'T', 'P', 'K', 'S', 'T', 'X', 0, 1, 0, 2});
    std::uint8_t reply[8];
    if (!ReadExact(c, reply, 8)) Die("establish");
    usleep(20000);
    return c;
}

// Sends a request of one text field and returns the reply's field list (count first).
inline std::vector<std::uint8_t> RequestWithName(int c, std::uint16_t type, std::uint16_t field, const std::string& text) {
    std::vector<std::uint8_t> fields;
    AppendBE16(fields, 1);
    AppendBE16(fields, field);
    AppendBE16(fields, static_cast<std::uint16_t>(text.size()));
    fields.insert(fields.end(), text.begin(), text.end());
    std::vector<std::uint8_t> req = {0, 0};  // flags, is-reply
    AppendBE16(req, type);
    AppendBE32(req, 1);                                          // id
    AppendBE32(req, 0);                                          // error
    AppendBE32(req, static_cast<std::uint32_t>(fields.size()));  // total size
    AppendBE32(req, static_cast<std::uint32_t>(fields.size()));  // this chunk's size
    req.insert(req.end(), fields.begin(), fields.end());
    WriteAll(c, req);

    std::uint8_t hdr[20];
    if (!ReadExact(c, hdr, 20)) Die("reply header");
    const std::uint32_t size = GetBE32(hdr + 16);
    std::vector<std::uint8_t> body(size);
    if (!ReadExact(c, body.data(), size)) Die("reply");
    return body;
}

// Walks a reply's field list; `fn(id, data, length)` for each field.
template <typename Fn>
void ForEachField(const std::vector<std::uint8_t>& body, Fn fn) {
    if (body.size() < 2) return;
    const std::uint16_t count = GetBE16(body.data());
    std::size_t at = 2;
    for (std::uint16_t i = 0; i < count && at + 4 <= body.size(); ++i) {
        const std::uint16_t id = GetBE16(body.data() + at);
        const std::uint16_t len = GetBE16(body.data() + at + 2);
        if (at + 4 + len > body.size()) return;
        fn(id, body.data() + at + 4, len);
        at += 4 + len;
    }
}

// A field's integer: 1, 2 or 4 bytes.
inline std::uint32_t IntegerOf(const std::uint8_t* d, std::uint16_t len) {
    return len >= 4 ? GetBE32(d) : len >= 2 ? GetBE16(d) : len == 1 ? d[0] : 0;
}

// Runs n transfers at once, `one(i)` returning the bytes moved (0 when it failed); returns MB/s
// over the whole run (0 when one failed).
template <typename Fn>
double RunConcurrent(int n, Fn one) {
    std::vector<std::thread> threads;
    std::vector<std::uint64_t> bytes(static_cast<std::size_t>(n));
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i) threads.emplace_back([&, i] { bytes[static_cast<std::size_t>(i)] = one(i); });
    for (auto& t : threads) t.join();
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::uint64_t total = 0;
    for (std::uint64_t b : bytes) {
        if (b == 0) return 0;
        total += b;
    }
    return static_cast<double>(total) / 1e6 / secs;
}

}  // namespace kx::bench
