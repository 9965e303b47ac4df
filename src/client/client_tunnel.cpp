// The client side of the HTTP tunnel: the two requests, the padded opening of the POST body,
// data blocks out, and the GET response cut into its header, padding and data in.
#include "client/client_tunnel.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "client/client_connection.h"
#include "framework/byte_codec.h"
#include "net/http_block.h"

namespace kx {

namespace {

[[noreturn]] void Lost(const std::string& why) { throw SClientFailure(kExitConnection, why); }

// The GET response header must end within this many bytes (a proxy may add lines).
constexpr std::size_t kMaxResponseHeader = 7168;
// Longest "host:port" put in a request line (the server refuses lines of 256 bytes or more).
constexpr std::size_t kMaxHostAndPort = 160;
// Bytes taken from the GET socket at a time.
constexpr std::size_t kReadChunk = 65536;

class CTunnelStream final : public CClientStream {
public:
    CTunnelStream(const std::string& host, std::uint16_t port, const SClientProxy& proxy, int timeoutMs);
    ~CTunnelStream() override { Close(); }

    void Write(const std::uint8_t* data, std::size_t size) override;
    std::size_t Read(std::uint8_t* data, std::size_t size, int timeoutMs) override;
    int PollFd() const override { return mGet; }
    bool HasBuffered() override { return Advance() > 0; }
    bool Ended() override {
        Advance();
        return mEnded;
    }
    void Close() override;

private:
    // Sends both requests and the POST's opening padding to `host`:`port` (the server, or the
    // proxy), then waits for the GET's answer.
    void Open(const std::string& host, std::uint16_t port, const std::string& post, std::uint32_t firstPadding,
              const std::string& get, int timeoutMs);
    // Walks over everything in mIn that is not data (the response header, block headers,
    // padding) and returns how many data bytes can be read now.
    std::size_t Advance();
    // Takes whatever the GET socket holds (it was found readable) into mIn.
    void Fill();

    int mGet = -1;
    int mPost = -1;
    std::vector<std::uint8_t> mIn;
    std::size_t mInAt = 0;
    bool mHeaderDone = false;
    bool mHaveBlock = false;
    bool mEnded = false;  // a disconnect block came: nothing follows it
    std::string mRefusedBy = "The server refused the tunnel: ";
    std::uint32_t mCode = 0;
    std::uint32_t mRemaining = 0;  // payload bytes of the current block not yet taken
};

CTunnelStream::CTunnelStream(const std::string& host, std::uint16_t port, const SClientProxy& proxy, int timeoutMs) {
    const std::string hostAndPort =
        (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
    // The server takes request lines shorter than 256 bytes.
    if (hostAndPort.size() > kMaxHostAndPort) throw SClientFailure(kExitBadArgument, "The host name is too long: " + host);
    const std::string id = UClientTunnel::NewIdentifier();
    const std::string post = UClientTunnel::PostRequestText(hostAndPort, id);
    const std::uint32_t firstPadding = UHttpBlock::PaddingFor(static_cast<std::uint32_t>(post.size()));
    // A proxy takes the same requests: their absolute URLs name the server.
    const bool viaProxy = !proxy.host.empty();
    if (viaProxy)
        mRefusedBy = "The tunnel was refused through the proxy " + proxy.host + ":" + std::to_string(proxy.port) + ": ";
    try {
        Open(viaProxy ? proxy.host : host, viaProxy ? proxy.port : port, post, firstPadding,
             UClientTunnel::GetRequestText(hostAndPort, id), timeoutMs);
    } catch (...) {
        Close();
        throw;
    }
}

void CTunnelStream::Open(const std::string& host, std::uint16_t port, const std::string& post,
                         std::uint32_t firstPadding, const std::string& get, int timeoutMs) {
    mGet = ConnectSocket(host, port, timeoutMs);
    SocketSendAll(mGet, reinterpret_cast<const std::uint8_t*>(get.data()), get.size());

    mPost = ConnectSocket(host, port, timeoutMs);
    std::vector<std::uint8_t> opening(post.begin(), post.end());
    UHttpBlock::AppendPadding(opening, firstPadding);
    for (int i = 0; i < 3; ++i) UHttpBlock::AppendPadding(opening, _gPackageSize);
    SocketSendAll(mPost, opening.data(), opening.size());

    // The GET is answered at once; waiting for it here tells a refusal from a later loss.
    const ClientDeadline deadline = DeadlineAfter(timeoutMs);
    while (!mHeaderDone) {
        if (Advance() > 0 || mHeaderDone) break;
        if (!SocketWaitReadable(mGet, deadline)) Lost("The server did not answer the tunnel.");
        Fill();
    }
}

void CTunnelStream::Fill() {
    if (mInAt > 0 && mInAt >= mIn.size() / 2) {
        mIn.erase(mIn.begin(), mIn.begin() + static_cast<std::ptrdiff_t>(mInAt));
        mInAt = 0;
    }
    const std::size_t at = mIn.size();
    mIn.resize(at + kReadChunk);
    ssize_t n;
    do {
        n = ::recv(mGet, mIn.data() + at, kReadChunk, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    mIn.resize(at + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
        Lost("The connection to the server was lost.");
}

std::size_t CTunnelStream::Advance() {
    for (;;) {
        const std::size_t avail = mIn.size() - mInAt;
        const std::uint8_t* p = mIn.data() + mInAt;
        if (!mHeaderDone) {
            static const char kEnd[] = "\r\n\r\n";
            const std::uint8_t* end = std::search(p, p + avail, kEnd, kEnd + 4);
            if (end == p + avail) {
                if (avail > kMaxResponseHeader) Lost("The server's answer to the tunnel is not understood.");
                return 0;
            }
            const std::string status(p, std::find(p, end + 2, '\r'));
            // "HTTP/1.x 200 ...": a proxy may have changed the version.
            if (status.size() < 12 || status.compare(0, 7, "HTTP/1.") != 0 || status.compare(8, 4, " 200") != 0)
                Lost(mRefusedBy + status.substr(0, 80));
            mInAt += static_cast<std::size_t>(end - p) + 4;
            mHeaderDone = true;
            continue;
        }
        if (!mHaveBlock) {
            if (mEnded || avail < kHttpBlockHeaderSize) return 0;
            mCode = GetBE32(p);
            mRemaining = GetBE32(p + 4);
            mInAt += kHttpBlockHeaderSize;
            if (mCode == kHttpBlockDisconnect) {
                // The server's orderly close; whatever follows is not read.
                mEnded = true;
                return 0;
            }
            if (mCode != kHttpBlockData && mCode != kHttpBlockPadding) Lost("The connection to the server was lost.");
            if (mCode == kHttpBlockData && mRemaining > kHttpMaxDataBlock) Lost("The server sent a damaged tunnel block.");
            mHaveBlock = true;
            continue;
        }
        if (mRemaining == 0) {
            mHaveBlock = false;
            continue;
        }
        const std::size_t here = std::min<std::size_t>(avail, mRemaining);
        if (mCode == kHttpBlockData) return here;
        // Padding is skipped as it arrives, never held.
        mInAt += here;
        mRemaining -= static_cast<std::uint32_t>(here);
        if (mRemaining != 0) return 0;
    }
}

std::size_t CTunnelStream::Read(std::uint8_t* data, std::size_t size, int timeoutMs) {
    if (mGet < 0) Lost("The connection to the server was lost.");
    const ClientDeadline deadline = DeadlineAfter(timeoutMs);
    for (;;) {
        const std::size_t there = Advance();
        if (there > 0) {
            const std::size_t n = std::min(there, size);
            std::memcpy(data, mIn.data() + mInAt, n);
            mInAt += n;
            mRemaining -= static_cast<std::uint32_t>(n);
            return n;
        }
        // The transaction connection has no orderly end: for it a close is a lost connection.
        if (mEnded) Lost("The connection to the server was lost.");
        if (!SocketWaitReadable(mGet, deadline)) return 0;
        Fill();
    }
}

void CTunnelStream::Write(const std::uint8_t* data, std::size_t size) {
    if (mPost < 0) Lost("The connection to the server was lost.");
    // A unit larger than the server takes in one block is split; no transaction comes near it.
    do {
        const auto piece = static_cast<std::uint32_t>(std::min<std::size_t>(size, kHttpMaxDataBlock));
        const std::vector<std::uint8_t> package = UHttpBlock::DataPackage(data, piece);
        SocketSendAll(mPost, package.data(), package.size());
        data += piece;
        size -= piece;
    } while (size > 0);
}

void CTunnelStream::Close() {
    if (mPost >= 0) {
        // A disconnect block ends the tunnel at once instead of leaving it to wait for a reopen.
        std::vector<std::uint8_t> bye;
        UHttpBlock::AppendHeader(bye, kHttpBlockDisconnect, 0);
        (void)::send(mPost, bye.data(), bye.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        ::close(mPost);
        mPost = -1;
    }
    if (mGet >= 0) ::close(mGet);
    mGet = -1;
}

}  // namespace

std::unique_ptr<CClientStream> OpenTunnelStream(const std::string& host, std::uint16_t port,
                                                const SClientProxy& proxy, int timeoutMs) {
    return std::make_unique<CTunnelStream>(host, port, proxy, timeoutMs);
}

namespace UClientTunnel {

std::string NewIdentifier() {
    std::random_device random;
    std::string text;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned>(random() & 0xFF));
        text += hex;
    }
    return text;
}

std::string GetRequestText(const std::string& hostAndPort, const std::string& identifier) {
    return "GET http://" + hostAndPort + "/" + identifier + " HTTP/1.0\r\n" +
           "Proxy-Connection: Keep-Alive\r\n"
           "Pragma: no-cache\r\n"
           "Host: " + hostAndPort + "\r\n"
           "Accept: kestrix/protocol\r\n"
           "\r\n";
}

std::string PostRequestText(const std::string& hostAndPort, const std::string& identifier) {
    return "POST http://" + hostAndPort + "/" + identifier + " HTTP/1.0\r\n" +
           "Proxy-Connection: Keep-Alive\r\n"
           "Pragma: no-cache\r\n"
           "Host: " + hostAndPort + "\r\n"
           "Content-Length: 999999999\r\n"
           "Content-Type: kestrix/protocol\r\n"
           "\r\n";
}

}  // namespace UClientTunnel

}  // namespace kx
