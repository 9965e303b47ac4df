// The regular endpoint's life cycle and connection set-up: socket creation, the notice target,
// binding and listening, accepting, closing, and the endpoint's address texts.
#include "net/regular_transport.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "framework/error.h"
#include "net/host_lookup.h"

namespace kx {

namespace {

void RequestSendBufferSize(int sock) {
    const int size = static_cast<int>(_TRSendBufSize);
    setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));  // a request; the system may adjust it
}

SIPAddress FromSockAddr(const sockaddr_in& sin) {
    SIPAddress a;
    std::memcpy(a.b, &sin.sin_addr.s_addr, 4);  // network order is dotted order
    return a;
}

// The first IPv4 address of this host, preferring one that is not the loopback.
SIPAddress FirstHostAddress() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) KX_FAIL_ERRNO(errno);
    SIPAddress found, loopback;
    for (ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
        if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET || !(it->ifa_flags & IFF_UP)) continue;
        const SIPAddress a = FromSockAddr(*reinterpret_cast<const sockaddr_in*>(it->ifa_addr));
        if (it->ifa_flags & IFF_LOOPBACK) {
            if (loopback.IsZero()) loopback = a;
        } else if (found.IsZero()) {
            found = a;
        }
    }
    freeifaddrs(list);
    return found.IsZero() ? loopback : found;
}

}  // namespace

TRegularTransportObj::TRegularTransportObj(bool stream)
    : mNotice(std::make_shared<SNoticeTarget>()), mIsStream(stream) {
    mNotice->object = static_cast<TTransportObj*>(this);
    mSock = socket(AF_INET, (stream ? SOCK_STREAM : SOCK_DGRAM) | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (mSock < 0) KX_FAIL_ERRNO(errno);
    RequestSendBufferSize(mSock);
}

TRegularTransportObj::TRegularTransportObj(int acceptedSock, const SIPAddress& remote, std::uint16_t remotePort)
    : mSock(acceptedSock), mNotice(std::make_shared<SNoticeTarget>()), mRemoteAddress(remote),
      mRemotePort(remotePort), mIsStream(true), mIsConnected(true) {
    mNotice->object = static_cast<TTransportObj*>(this);
    RequestSendBufferSize(mSock);
    // Output is already gathered into one write per connection and event-loop iteration; Nagle
    // would only hold a client's next write until its delayed acknowledgement (about 40 ms).
    const int on = 1;
    setsockopt(mSock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    try {
        Watch();
    } catch (...) {
        close(mSock);
        throw;
    }
}

TRegularTransportObj::~TRegularTransportObj() {
    SettleBatchedWrite();
    // Bytes handed over before the endpoint went away leave as far as the socket takes them.
    if (!mClosed && !mShutDown && !mSendQueue.Empty()) DrainQueue();
    CancelFlushRequest();
    mNotice->alive = false;
    CEventLoop::Get().RemoveMessages(static_cast<TTransportObj*>(this));
    mPendingUnits.clear();  // abandons running lookups
    Unwatch();
    if (mSock >= 0) close(mSock);
}

void TRegularTransportObj::SetMessageHandler(TMessageProc handler) {
    mNotice->handler = std::move(handler);
    // A connection that ended before anyone listened still owes its owner the close notice.
    if (mClosed && !mClosePosted && HasHandler()) {
        Post(kMsgConnectionClosed);
        mClosePosted = true;
    }
    UpdateInterest();
}

void TRegularTransportObj::SetMessageObject(void* object) {
    mNotice->object = object != nullptr ? object : static_cast<TTransportObj*>(this);
}

void TRegularTransportObj::SetIPAddress(const SIPAddress& addr) {
    if (addr == mLocalIPAddress) return;
    mLocalIPAddress = addr;
    mIsBound = false;
    mLocalAddressText.clear();
}

void TRegularTransportObj::BindLocal(std::uint16_t port) {
    if (mIsStream) {
        const int on = 1;
        setsockopt(mSock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    }
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    std::memcpy(&sin.sin_addr.s_addr, mLocalIPAddress.b, 4);
    if (bind(mSock, reinterpret_cast<const sockaddr*>(&sin), sizeof(sin)) != 0) KX_FAIL_ERRNO(errno);
    mIsBound = true;
    mLocalAddressText.clear();
    if (!mIsStream) Watch();  // a datagram endpoint can receive from now on
}

void TRegularTransportObj::Listen(const void* address, std::uint32_t size) {
    SInternetAddress rec;
    if (address == nullptr || size < sizeof(rec)) KX_FAIL(kErrClassNetwork, kErrBadAddress);
    std::memcpy(&rec, address, sizeof(rec));
    if (rec.type != kInternetAddressType) KX_FAIL(kErrClassNetwork, kErrBadAddress);
    BindLocal(rec.port);
    if (mIsStream) {
        // The system's full queue: a short one would make a burst of connections (one client
        // opening hundreds, or everyone reconnecting after a restart) drop the handshakes of
        // others, who then wait seconds to retry. The kernel caps it at its own limit.
        if (listen(mSock, SOMAXCONN) != 0) KX_FAIL_ERRNO(errno);
        mIsListener = true;
        Watch();
    }
}

TTransport TRegularTransportObj::Accept(void* addrBuf, std::uint32_t* ioSize) {
    if (!mIsListener) KX_FAIL_PARAM();
    sockaddr_in peer{};
    socklen_t len = sizeof(peer);
    const int fd = accept4(mSock, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    const int err = errno;
    if (fd < 0 && (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM)) {
        // Out of descriptors or memory: the pending connection stays readable, so re-arming now
        // would spin the loop. Listen again a little later, when something may have been freed.
        if (ioSize != nullptr) *ioSize = 0;
        if (!mAcceptRetryTimer.IsRunning()) mAcceptRetryTimer.Start(kAcceptRetryMs, [this] { ArmRead(); });
        return nullptr;
    }
    ArmRead();  // hear of the next pending connection
    if (fd < 0) {
        if (ioSize != nullptr) *ioSize = 0;
        if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR || err == ECONNABORTED || err == EPROTO) return nullptr;
        KX_FAIL_ERRNO(err);
    }
    const SIPAddress remote = FromSockAddr(peer);
    const std::uint16_t remotePort = ntohs(peer.sin_port);
    TTransport conn(new TRegularTransportObj(fd, remote, remotePort));
    if (addrBuf != nullptr && ioSize != nullptr && *ioSize >= sizeof(SInternetAddress)) {
        SInternetAddress rec{};
        rec.type = kInternetAddressType;
        rec.port = remotePort;
        std::memcpy(rec.host, remote.b, 4);
        std::memcpy(addrBuf, &rec, sizeof(rec));
        *ioSize = sizeof(rec);
    } else if (ioSize != nullptr) {
        *ioSize = 0;
    }
    return conn;
}

void TRegularTransportObj::Disconnect() {
    mPendingUnits.clear();
    // What was handed over before leaves as far as the socket takes it at once.
    if (!mClosed && !mShutDown && !mSendQueue.Empty()) DrainQueue();
    CancelFlushRequest();
    DropQueue();
    ShutdownBoth();
    UpdateInterest();
}

void TRegularTransportObj::StartDisconnect() {
    if (mSendQueue.Empty()) {
        Disconnect();
        return;
    }
    mDisconWhenNoOutData = true;
}

int TRegularTransportObj::ReleaseSocket() {
    SettleBatchedWrite();
    CancelFlushRequest();
    DropQueue();
    Unwatch();
    CEventLoop::Get().RemoveMessages(static_cast<TTransportObj*>(this));
    mClosed = true;
    mIsConnected = false;
    const int sock = mSock;
    mSock = -1;
    return sock;
}

std::uint32_t TRegularTransportObj::GetRemoteAddressText(char* dest, std::uint32_t capacity) {
    if (mRemoteAddress.IsZero()) {
        sockaddr_in peer{};
        socklen_t len = sizeof(peer);
        if (getpeername(mSock, reinterpret_cast<sockaddr*>(&peer), &len) != 0) KX_FAIL_ERRNO(errno);
        mRemoteAddress = FromSockAddr(peer);
        mRemotePort = ntohs(peer.sin_port);
    }
    return UTransport::IPAddressToText(mRemoteAddress, dest, capacity);
}

std::uint32_t TRegularTransportObj::GetLocalAddressText(char* dest, std::uint32_t capacity) {
    if (dest == nullptr || capacity < 16) KX_FAIL_PARAM();
    if (mIsBound && !mLocalAddressText.empty()) {
        return UTransport::CleanUpAddressText(0, mLocalAddressText.data(),
                                              static_cast<std::uint32_t>(mLocalAddressText.size()), dest, capacity);
    }
    SIPAddress addr = mIsBound ? mLocalIPAddress : SIPAddress{};
    if (addr.IsZero()) {
        sockaddr_in sin{};
        socklen_t len = sizeof(sin);
        if (getsockname(mSock, reinterpret_cast<sockaddr*>(&sin), &len) != 0) KX_FAIL_ERRNO(errno);
        addr = FromSockAddr(sin);
        if (addr.IsZero()) addr = FirstHostAddress();
    }
    char text[16];
    const std::uint32_t n = UTransport::IPAddressToText(addr, text, sizeof(text));
    if (mIsBound) mLocalAddressText.assign(text, n);
    return UTransport::IPAddressToText(addr, dest, capacity);
}

std::uint16_t TRegularTransportObj::GetLocalPort() const {
    sockaddr_in sin{};
    socklen_t len = sizeof(sin);
    if (getsockname(mSock, reinterpret_cast<sockaddr*>(&sin), &len) != 0) return 0;
    return ntohs(sin.sin_port);
}

}  // namespace kx
