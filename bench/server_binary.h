// Running the real server binary for the load programs (chat_bench, soak): a free base port, the
// binary started on a program folder with its output in "server.out", its resident memory, an
// orderly stop (SIGTERM, then SIGKILL after 10 s), and the generator's own descriptor limit.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <thread>

namespace kx::bench {

// True when the four ports from `base` can all be bound.
inline bool BasePortsFree(unsigned short base) {
    for (int i = 0; i < 4; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        const int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(base + i));
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(fd);
        if (!ok) return false;
    }
    return true;
}

inline unsigned short FreeBasePort() {
    std::mt19937 gen{std::random_device{}()};
    for (;;) {
        const auto base = static_cast<unsigned short>(20000 + gen() % 30000);
        if (BasePortsFree(base)) return base;
    }
}

// SIGTERM (the server writes its options and quits), SIGKILL after 10 s.
inline void StopServer(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 500 && waitpid(pid, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
}

// Starts `binary --dir dir` (standard input from /dev/null, output to dir/server.out) and waits
// up to 10 s until it accepts on `port`. The child's pid, or -1 (the child stopped) when it never
// listened.
inline pid_t ExecServer(const std::string& binary, const std::string& dir, unsigned short port) {
    const pid_t pid = fork();
    if (pid == 0) {
        const std::string out = dir + "/server.out";
        const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int n = open("/dev/null", O_RDONLY);
        dup2(n, 0);
        dup2(o, 1);
        dup2(o, 2);
        execl(binary.c_str(), binary.c_str(), "--dir", dir.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 500; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(fd);
        if (ok) return pid;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    StopServer(pid);
    return -1;
}

// A process's resident set in kilobytes (VmRSS), -1 when it cannot be read.
inline long ResidentKB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

// Lets this program open as many sockets as the hard limit allows (a thousand clients and more).
inline void RaiseFileLimit() {
    rlimit rl{};
    getrlimit(RLIMIT_NOFILE, &rl);
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
}

}  // namespace kx::bench
