// Test support: temporary folders and the real server binary as a child process.
#include "support/server_process.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <random>
#include <sstream>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "server/pref_file.h"

namespace kx::test {

TempDir::TempDir() {
    char tmpl[] = "/tmp/kestrix-test-XXXXXX";
    const char* p = mkdtemp(tmpl);
    if (!p) std::abort();
    mPath = p;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(mPath, ec);
}

namespace {
sockaddr_in InetAddress(std::uint32_t hostOrderIP, unsigned short port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(hostOrderIP);
    return a;
}

bool PortFree(unsigned short port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in a = InetAddress(INADDR_ANY, port);
    const bool ok = bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}
}  // namespace

int ConnectLoopback(unsigned short port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = InetAddress(INADDR_LOOPBACK, port);
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

bool CanConnect(unsigned short port) {
    const int fd = ConnectLoopback(port);
    if (fd >= 0) close(fd);
    return fd >= 0;
}

unsigned short FindFreeBasePort() {
    // The blocks lie below the ephemeral range: a client connection of a test running beside
    // this one never takes one of these ports as its own local port, so a server restarted on
    // the same ports seconds later still finds them free. A lock file per block, held until this
    // process ends (or 64 blocks later), keeps concurrent test processes off each other's blocks
    // between the check below and the server's bind.
    static std::mt19937 gen{std::random_device{}()};
    static std::vector<int> held;
    int ephemeralLow = 0;
    if (!(std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> ephemeralLow) || ephemeralLow <= 0)
        ephemeralLow = 32768;
    const int high = std::min(ephemeralLow, 65536) - 8;
    std::uniform_int_distribution<int> dist(high > 10000 + 800 ? 10000 : 1024, high);
    const std::filesystem::path lockDir = std::filesystem::temp_directory_path() / "kestrix-test-ports";
    std::error_code ec;
    std::filesystem::create_directories(lockDir, ec);
    for (int attempt = 0; attempt < 500; ++attempt) {
        // Blocks of eight: the plain ports (+ 0 to + 3), the TLS ones (+ 4, + 5), the metrics
        // port (+ 6) and the web port (+ 7) of one server never meet another's.
        const auto base = static_cast<unsigned short>(dist(gen) & ~7);
        const int lock = open((lockDir / std::to_string(base)).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        bool free = lock >= 0 && flock(lock, LOCK_EX | LOCK_NB) == 0;
        for (int i = 0; i < 8 && free; ++i) free = PortFree(static_cast<unsigned short>(base + i));
        if (!free) {
            if (lock >= 0) close(lock);
            continue;
        }
        held.push_back(lock);
        if (held.size() > 64) {
            close(held.front());
            held.erase(held.begin());
        }
        return base;
    }
    std::abort();
}

std::string ReadFileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFileText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

ServerProcess::ServerProcess(const std::string& dir, bool writePref, unsigned short port)
    : mDir(dir), mPort(port) {
    if (writePref) {
        if (mPort == 0) mPort = FindFreeBasePort();
        SMyPrefs prefs = SMyPrefs::Defaults();
        prefs.mOptions.nBasePortNum = mPort;
        prefs.mServerName.Set("Test Server");
        UMyPrefs::WritePrefs(UMyPrefs::GetPrefsSpec(mDir), prefs);
    }
}

ServerProcess::~ServerProcess() {
    if (mPid > 0) Stop();
    CloseStdin();
}

bool ServerProcess::Start(int timeoutMs) {
    int pipeFds[2] = {-1, -1};
    if (mUseStdinPipe) {
        std::signal(SIGPIPE, SIG_IGN);  // a server that is gone must not kill the test
        if (pipe2(pipeFds, O_CLOEXEC) != 0) return false;
    }
    mPid = fork();
    if (mPid == 0) {
        const std::string out = mDir + "/server.out", err = mDir + "/server.err";
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int n = mUseStdinPipe ? pipeFds[0] : open("/dev/null", O_RDONLY);
        dup2(n, 0);
        dup2(o, 1);
        dup2(e, 2);
        execl(KX_SERVER_BINARY, KX_SERVER_BINARY, "--dir", mDir.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    if (mUseStdinPipe) {
        close(pipeFds[0]);
        mStdinFd = pipeFds[1];
    }
    if (mPid < 0) return false;
    // The server says when every listener is open; when its ports are taken it says so instead
    // and runs on without listeners.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (!IsRunning()) return false;
        const std::string out = StdOut();
        if (out.find("Kestrix Server started\n") != std::string::npos) return true;
        if (out.find("Server Error") != std::string::npos) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

bool ServerProcess::IsRunning() {
    if (mPid <= 0) return false;
    int status = 0;
    const pid_t r = waitpid(mPid, &status, WNOHANG);
    if (r == mPid) {
        mPid = -1;
        return false;
    }
    return true;
}

bool ServerProcess::WriteStdin(const std::string& text) {
    if (mStdinFd < 0) return false;
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(mStdinFd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void ServerProcess::CloseStdin() {
    if (mStdinFd >= 0) close(mStdinFd);
    mStdinFd = -1;
}

bool ServerProcess::Signal(int sig) { return mPid > 0 && kill(mPid, sig) == 0; }

bool ServerProcess::WaitExit(int ms, int* status) {
    if (mPid <= 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < deadline) {
        int st = 0;
        if (waitpid(mPid, &st, WNOHANG) == mPid) {
            mPid = -1;
            if (status) *status = st;
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

bool ServerProcess::WaitForOutput(const std::string& text, int ms) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < deadline) {
        if (StdOut().find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return StdOut().find(text) != std::string::npos;
}

int ServerProcess::Stop() {
    if (mPid <= 0) return -1;
    kill(mPid, SIGTERM);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        const pid_t r = waitpid(mPid, &status, WNOHANG);
        if (r == mPid) {
            mPid = -1;
            return status;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(mPid, SIGKILL);
    waitpid(mPid, &status, 0);
    mPid = -1;
    return -1;
}

}  // namespace kx::test
