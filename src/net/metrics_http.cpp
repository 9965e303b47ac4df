// CMetricsHttpServer: accept, read one request, answer, close; time-outs on the loop's timers.
#include "net/metrics_http.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "framework/error.h"

namespace kx {

namespace {

constexpr int kAcceptsPerWake = 16;
constexpr std::uint32_t kPauseMs = 200;  // out of descriptors: stop accepting for a moment

std::string Response(const char* status, const std::string& type, const std::string& body) {
    return std::string("HTTP/1.1 ") + status + "\r\nContent-Type: " + type + "\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

}  // namespace

CMetricsHttpServer::CMetricsHttpServer(std::function<std::string()> body) : mBody(std::move(body)) {}

CMetricsHttpServer::~CMetricsHttpServer() {
    while (!mConns.empty()) CloseConn(mConns.begin()->first);
    if (mListenFd >= 0) {
        CEventLoop::Get().UnwatchFd(mListenFd);
        close(mListenFd);
    }
}

void CMetricsHttpServer::Listen(const std::string& address, std::uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1) KX_FAIL_PARAM();
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) KX_FAIL_ERRNO(errno);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, 64) != 0) {
        const int err = errno;
        close(fd);
        KX_FAIL_ERRNO(err);
    }
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    mPort = ntohs(sa.sin_port);
    mListenFd = fd;
    CEventLoop::Get().WatchFd(fd, kFdReadable, [this](std::uint32_t) { OnListenReady(); });
}

void CMetricsHttpServer::OnListenReady() {
    for (int n = 0; n < kAcceptsPerWake; ++n) {
        const int fd = accept4(mListenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) PauseListening();
            return;  // EAGAIN, or a connection that failed before it was taken
        }
        if (mConns.size() >= kMaxConnections) {
            close(fd);
            continue;
        }
        SConn& c = mConns[fd];
        c.serial = mNextSerial++;
        const std::uint64_t serial = c.serial;
        c.timer.Start(kExchangeMs, [this, fd, serial] {
            auto it = mConns.find(fd);
            if (it != mConns.end() && it->second.serial == serial) CloseConn(fd);
        });
        CEventLoop::Get().WatchFd(fd, kFdReadable, [this, fd](std::uint32_t mask) { OnConnReady(fd, mask); });
    }
}

void CMetricsHttpServer::PauseListening() {
    CEventLoop::Get().UnwatchFd(mListenFd);
    mResumeTimer.Start(kPauseMs, [this] {
        CEventLoop::Get().WatchFd(mListenFd, kFdReadable, [this](std::uint32_t) { OnListenReady(); });
    });
}

void CMetricsHttpServer::OnConnReady(int fd, std::uint32_t mask) {
    auto it = mConns.find(fd);
    if (it == mConns.end()) return;
    SConn& c = it->second;
    if (c.out.empty()) {
        ReadRequest(fd, c);
        return;  // ReadRequest closed, queued the answer, or waits for more
    }
    if ((mask & (kFdError | kFdHangup)) && !(mask & kFdWritable)) {
        CloseConn(fd);
        return;
    }
    if (WriteAnswer(fd, c)) CloseConn(fd);
}

void CMetricsHttpServer::ReadRequest(int fd, SConn& c) {
    char buf[1024];
    for (;;) {
        const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n <= 0) {
            CloseConn(fd);  // the peer gave up, or a reset
            return;
        }
        c.in.append(buf, static_cast<std::size_t>(n));
        const bool complete = c.in.find("\r\n\r\n") != std::string::npos || c.in.find("\n\n") != std::string::npos;
        if (!complete && c.in.size() >= kRequestMax) {
            CloseConn(fd);  // no answer is owed to a request that long
            return;
        }
        if (complete) break;
    }
    Answer(c);
    c.in.clear();
    if (WriteAnswer(fd, c)) CloseConn(fd);
    else CEventLoop::Get().SetInterest(fd, kFdWritable);
}

void CMetricsHttpServer::Answer(SConn& c) {
    const std::size_t lineEnd = c.in.find('\n');
    std::string line = c.in.substr(0, lineEnd);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t sp1 = line.find(' ');
    const std::size_t sp2 = sp1 == std::string::npos ? std::string::npos : line.find(' ', sp1 + 1);
    const std::string method = line.substr(0, sp1);
    const std::string target = sp2 == std::string::npos ? std::string() : line.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::string version = sp2 == std::string::npos ? std::string() : line.substr(sp2 + 1);
    const std::string text = "text/plain; charset=utf-8";
    if (sp2 == std::string::npos || line.find(' ', sp2 + 1) != std::string::npos || target.empty() ||
        (version != "HTTP/1.0" && version != "HTTP/1.1")) {
        c.out = Response("400 Bad Request", text, "bad request\n");
    } else if (method != "GET" && method != "HEAD") {
        c.out = Response("405 Method Not Allowed", text, "only GET\n");
    } else if (target != "/metrics" && target.rfind("/metrics?", 0) != 0) {
        c.out = Response("404 Not Found", text, "the metrics are at /metrics\n");
    } else {
        c.out = Response("200 OK", "text/plain; version=0.0.4; charset=utf-8", mBody());
        if (method == "HEAD") c.out.resize(c.out.find("\r\n\r\n") + 4);
    }
}

bool CMetricsHttpServer::WriteAnswer(int fd, SConn& c) {
    while (c.sent < c.out.size()) {
        const ssize_t n = send(fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
        if (n <= 0) return true;  // the peer is gone: nothing more to write
        c.sent += static_cast<std::size_t>(n);
    }
    return true;
}

void CMetricsHttpServer::CloseConn(int fd) {
    auto it = mConns.find(fd);
    if (it == mConns.end()) return;
    CEventLoop::Get().UnwatchFd(fd);
    shutdown(fd, SHUT_WR);
    close(fd);
    mConns.erase(it);
}

}  // namespace kx
