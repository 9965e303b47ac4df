// Raw-socket tunnelling client for tests: requests, block framing, GET stream parsing.
#include "support/http_tunnel_client.h"

#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "framework/byte_codec.h"
#include "framework/event_loop.h"

namespace kx::test {

namespace {
constexpr std::uint32_t kPackage = 14336;

}  // namespace

bool PumpUntil(const std::function<bool()>& done, const std::function<void()>& poll, int turns) {
    for (int i = 0; i < turns; ++i) {
        if (poll) poll();
        if (done()) return true;
        CEventLoop::Get().RunOnce(1);
    }
    if (poll) poll();
    return done();
}

std::string TunnelIdentifier(unsigned n) {
    char text[40];
    std::snprintf(text, sizeof text, "%08x-0000-4000-8000-%012x", n, n * 7919u);
    return std::string(text, 36);
}

HBytes BlockHeader(std::uint32_t code, std::uint32_t size) {
    HBytes out;
    for (std::uint32_t v : {code, size}) {
        for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<std::uint8_t>(v >> s));
    }
    return out;
}

HBytes DataBlock(const HBytes& payload) {
    HBytes out = BlockHeader(1, static_cast<std::uint32_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

HBytes PaddingBlock(std::uint32_t total) {
    HBytes out = BlockHeader(2, total - 8);
    out.insert(out.end(), total - 8, 0);
    return out;
}

std::string GetRequestText(const std::string& id, std::uint16_t port, const char* version) {
    const std::string host = "127.0.0.1:" + std::to_string(port);
    return "GET http://" + host + "/" + id + " " + version + "\r\n" +
           "Proxy-Connection: Keep-Alive\r\n"
           "Pragma: no-cache\r\n"
           "Host: " + host + "\r\n"
           "Accept: kestrix/protocol\r\n"
           "\r\n";
}

std::string PostRequestText(const std::string& id, std::uint16_t port, const char* version) {
    const std::string host = "127.0.0.1:" + std::to_string(port);
    return "POST http://" + host + "/" + id + " " + version + "\r\n" +
           "Proxy-Connection: Keep-Alive\r\n"
           "Pragma: no-cache\r\n"
           "Host: " + host + "\r\n"
           "Content-Length: 999999999\r\n"
           "Content-Type: kestrix/protocol\r\n"
           "\r\n";
}

HBytes PostOpening(const std::string& id, std::uint16_t port) {
    const std::string text = PostRequestText(id, port);
    HBytes out(text.begin(), text.end());
    const HBytes first = PaddingBlock(kPackage - static_cast<std::uint32_t>(text.size()));
    out.insert(out.end(), first.begin(), first.end());
    for (int i = 0; i < 3; ++i) {
        const HBytes p = PaddingBlock(kPackage);
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

CRawHttpConnection::~CRawHttpConnection() { Close(); }

bool CRawHttpConnection::Connect(std::uint16_t port, int receiveBuffer) {
    mFd = socket(AF_INET, SOCK_STREAM, 0);
    if (mFd < 0) return false;
    if (receiveBuffer > 0) setsockopt(mFd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(mFd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        Close();
        return false;
    }
    fcntl(mFd, F_SETFL, fcntl(mFd, F_GETFL) | O_NONBLOCK);
    return true;
}

void CRawHttpConnection::Close() {
    if (mFd >= 0) close(mFd);
    mFd = -1;
}

bool CRawHttpConnection::Send(const HBytes& bytes) {
    std::size_t done = 0;
    int idle = 0;
    while (done < bytes.size()) {
        const ssize_t n = send(mFd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            idle = 0;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
        // The server reads in this thread: let it run.
        if (++idle > 5000) return false;
        CEventLoop::Get().RunOnce(1);
    }
    return true;
}

void CRawHttpConnection::Poll() {
    if (mFd < 0) return;
    std::uint8_t buf[65536];
    for (;;) {
        const ssize_t n = recv(mFd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            mIn.insert(mIn.end(), buf, buf + n);
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) mPeerClosed = true;
        return;
    }
}

SGetStream ParseGetStream(const HBytes& bytes) {
    SGetStream s;
    static const char kEnd[] = "\r\n\r\n";
    auto it = std::search(bytes.begin(), bytes.end(), kEnd, kEnd + 4);
    if (it == bytes.end()) return s;
    s.headerSize = static_cast<std::size_t>(it - bytes.begin()) + 4;
    std::size_t at = s.headerSize;
    while (bytes.size() - at >= 8) {
        const std::uint32_t code = GetBE32(&bytes[at]);
        const std::uint32_t size = GetBE32(&bytes[at + 4]);
        if (code > 2) {
            s.malformed = true;
            return s;
        }
        if (bytes.size() - at - 8 < size) break;
        if (code == 1) s.data.insert(s.data.end(), bytes.begin() + at + 8, bytes.begin() + at + 8 + size);
        if (code == 0) s.sawDisconnect = true;
        s.blockCodes.push_back(code);
        s.blockSizes.push_back(size + 8);
        at += 8 + size;
    }
    return s;
}

}  // namespace kx::test
