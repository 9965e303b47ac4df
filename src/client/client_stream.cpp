// The plain TCP stream of the command-line client and the blocking socket helpers the tunnel
// shares with it.
#include "client/client_stream.h"

#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "client/client_connection.h"

namespace kx {

namespace {

[[noreturn]] void Lost(const std::string& why) { throw SClientFailure(kExitConnection, why); }

class CTcpStream final : public CClientStream {
public:
    explicit CTcpStream(int fd) : mFd(fd) {}
    ~CTcpStream() override { Close(); }

    void Write(const std::uint8_t* data, std::size_t size) override { SocketSendAll(mFd, data, size); }

    std::size_t Read(std::uint8_t* data, std::size_t size, int timeoutMs) override {
        const ClientDeadline deadline = DeadlineAfter(timeoutMs);
        for (;;) {
            if (!SocketWaitReadable(mFd, deadline)) return 0;
            const ssize_t n = ::recv(mFd, data, size, 0);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) Lost("The connection to the server was lost.");
            return static_cast<std::size_t>(n);
        }
    }

    int PollFd() const override { return mFd; }
    bool HasBuffered() override { return false; }

    void Close() override {
        if (mFd >= 0) ::close(mFd);
        mFd = -1;
    }

private:
    int mFd;
};

}  // namespace

ClientDeadline DeadlineAfter(int timeoutMs) {
    if (timeoutMs < 0) return ClientDeadline::max();
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
}

int MillisecondsLeft(ClientDeadline deadline) {
    if (deadline == ClientDeadline::max()) return -1;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

bool SocketWaitReadable(int fd, ClientDeadline deadline) {
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, MillisecondsLeft(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) Lost("Cannot wait for the server.");
        return r > 0;
    }
}

void SocketSendAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) Lost("The server stopped answering.");
        if (n <= 0) Lost("The connection to the server was lost.");
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

int ConnectSocket(const std::string& host, std::uint16_t port, int sendTimeoutMs) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    if (rc != 0) Lost("Cannot find host " + host + ": " + ::gai_strerror(rc));
    int fd = -1;
    std::string lastError = "no address";
    for (addrinfo* a = list; a; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) continue;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) break;
        lastError = std::strerror(errno);
        ::close(fd);
        fd = -1;
    }
    ::freeaddrinfo(list);
    if (fd < 0) Lost("Cannot connect to " + host + ":" + service + ": " + lastError);
    if (sendTimeoutMs > 0) {
        timeval tv{};
        tv.tv_sec = sendTimeoutMs / 1000;
        tv.tv_usec = (sendTimeoutMs % 1000) * 1000;
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    }
    return fd;
}

std::unique_ptr<CClientStream> OpenTcpStream(const std::string& host, std::uint16_t port, int sendTimeoutMs) {
    return std::make_unique<CTcpStream>(ConnectSocket(host, port, sendTimeoutMs));
}

}  // namespace kx
