// Starts and stops a private squid for the tunnel tests.
#include "support/squid_proxy.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/server_process.h"

namespace kx::test {

std::string SquidProxy::Binary() {
    for (const char* path : {"/usr/sbin/squid", "/usr/local/sbin/squid"}) {
        if (::access(path, X_OK) == 0) return path;
    }
    return "";
}

bool SquidProxy::Start(int timeoutMs) {
    const std::string binary = Binary();
    mPort = FindFreeBasePort();  // below the ephemeral range, reserved for this process
    if (binary.empty() || mPort == 0) return false;
    const std::string& dir = mDir.Path();
    // Forwards for loopback clients only, caches nothing, keeps every file in `dir`, sends no
    // ICMP probes and asks no outside name server. Started as root, squid drops to
    // cache_effective_user (it refuses to serve as root), so the folder is handed to that user
    // for the log and pid files; started as anyone else it stays that user and needs no line.
    std::string conf = "http_port 127.0.0.1:" + std::to_string(mPort) + "\n" +
                       "http_access allow localhost\n"
                       "http_access deny all\n"
                       "cache deny all\n"
                       "cache_mem 4 MB\n"
                       "pid_filename " + dir + "/squid.pid\n" +
                       "cache_log " + dir + "/cache.log\n" +
                       "access_log stdio:" + dir + "/access.log\n" +
                       "cache_store_log none\n"
                       "netdb_filename none\n"
                       "coredump_dir " + dir + "\n" +
                       "visible_hostname localhost\n"
                       "dns_nameservers 127.0.0.1\n"
                       "pinger_enable off\n";
    if (::geteuid() == 0) {
        const passwd* user = ::getpwnam("proxy");  // Debian's squid package creates it
        if (user == nullptr) user = ::getpwnam("nobody");
        if (user == nullptr || ::chown(dir.c_str(), user->pw_uid, user->pw_gid) != 0) return false;
        conf += "cache_effective_user " + std::string(user->pw_name) + "\n";
    }
    WriteFileText(mDir / "squid.conf", conf);

    const std::string confPath = mDir / "squid.conf", errPath = mDir / "squid.err";
    const std::string service = "kxtest" + std::to_string(mPort);  // no shared names with another squid
    mPid = ::fork();
    if (mPid == 0) {
        const int in = ::open("/dev/null", O_RDONLY);
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(in, 0);
        ::dup2(err, 1);
        ::dup2(err, 2);
        // Sockets of the test (an in-process server's, a client's) must not stay open in squid.
        if (::close_range(3, ~0u, 0) != 0)
            for (int fd = 3; fd < 4096; ++fd) ::close(fd);
        ::execl(binary.c_str(), binary.c_str(), "-N", "-n", service.c_str(), "-f", confPath.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    if (mPid < 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (::waitpid(mPid, &status, WNOHANG) == mPid) {
            mPid = -1;
            return false;
        }
        if (CanConnect(mPort)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

SquidProxy::~SquidProxy() {
    if (mPid <= 0) return;
    // Nothing of it outlives its folder, and an orderly stop takes seconds.
    ::kill(mPid, SIGKILL);
    int status = 0;
    ::waitpid(mPid, &status, 0);
}

std::string SquidProxy::Log() const {
    return "squid on port " + std::to_string(mPort) + ":\n" + ReadFileText(mDir / "cache.log") +
           ReadFileText(mDir / "squid.err");
}

}  // namespace kx::test
