// The encrypted endpoint's life cycle and events: taking over an accepted socket, the
// non-blocking handshake with its time-out, readiness turned into notices, closing; and the
// encrypted listener. Runs inside CEventLoop's descriptor dispatch and timers.
#include "net/tls_transport.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "framework/error.h"
#include "net/regular_transport.h"

namespace kx {

TTlsTransportObj::TTlsTransportObj(int sock, const SIPAddress& remote, SSL* ssl,
                                   std::shared_ptr<CTlsServerContext> context)
    : mSock(sock), mSsl(ssl), mContext(std::move(context)), mNotice(std::make_shared<SNoticeTarget>()),
      mRemoteAddress(remote) {
    mNotice->object = static_cast<TTransportObj*>(this);
    try {
        if (SSL_set_fd(mSsl, mSock) != 1) KX_FAIL(kErrClassNetwork, kErrBadProtocol);
        SSL_set_accept_state(mSsl);
        CEventLoop& loop = CEventLoop::Get();
        loop.WatchFd(mSock, WantedInterest(), [this](std::uint32_t mask) { OnSocketEvent(mask); });
        mWatched = true;
        mHandshakeTimer.Start(kHandshakeTimeoutMs, [this] { CloseAtOnce(); });
    } catch (...) {
        if (mWatched) CEventLoop::Get().UnwatchFd(mSock);
        SSL_free(mSsl);
        close(mSock);
        throw;
    }
}

TTlsTransportObj::~TTlsTransportObj() {
    if (mHandshakeDone && !mClosed && !mShutDown) {
        // What was handed over leaves as far as the socket takes it, then the close notice, so
        // the peer tells an orderly end (a finished transfer) from a cut connection.
        if (!mSendQueue.Empty()) DrainQueue();
        if (!mClosed && mSendQueue.Empty()) {
            ERR_clear_error();
            SSL_shutdown(mSsl);
            ERR_clear_error();
        }
    }
    CancelFlushRequest();
    mNotice->alive = false;
    CEventLoop& loop = CEventLoop::Get();
    loop.RemoveMessages(static_cast<TTransportObj*>(this));
    if (mWatched) loop.UnwatchFd(mSock);
    SSL_free(mSsl);
    close(mSock);
}

void TTlsTransportObj::SetMessageHandler(TMessageProc handler) {
    mNotice->handler = std::move(handler);
    if (mClosed && !mClosePosted && HasHandler()) {
        Post(kMsgConnectionClosed);
        mClosePosted = true;
    }
    UpdateInterest();
}

void TTlsTransportObj::SetMessageObject(void* object) {
    mNotice->object = object != nullptr ? object : static_cast<TTransportObj*>(this);
}

void TTlsTransportObj::Listen(const void*, std::uint32_t) { KX_FAIL_PARAM(); }
TTransport TTlsTransportObj::Accept(void*, std::uint32_t*) { KX_FAIL_PARAM(); }
void TTlsTransportObj::SendUnit(const void*, std::uint32_t, const void*, std::uint32_t) { KX_FAIL_PARAM(); }

bool TTlsTransportObj::UsesKernelTls() const {
    return mHandshakeDone && BIO_get_ktls_send(SSL_get_wbio(mSsl));
}

std::uint32_t TTlsTransportObj::WantedInterest() const {
    if (!mHandshakeDone) return mWantWrite ? kFdWritable : kFdReadable;
    std::uint32_t interest = 0;
    if ((mReadArmed && HasHandler()) || mWantRead) interest |= kFdReadable;
    if (mWantWrite && !mSendQueue.Empty()) interest |= kFdWritable;
    return interest;
}

void TTlsTransportObj::UpdateInterest() {
    if (mWatched) CEventLoop::Get().SetInterest(mSock, WantedInterest());
}

void TTlsTransportObj::Post(std::uint32_t code) { PostNotice(mNotice, code); }

int TTlsTransportObj::Blocked(int result) {
    switch (SSL_get_error(mSsl, result)) {
    case SSL_ERROR_WANT_READ:
        mWantRead = true;
        return 0;
    case SSL_ERROR_WANT_WRITE:
        mWantWrite = true;
        return 0;
    default:
        ERR_clear_error();
        return -1;
    }
}

void TTlsTransportObj::OnSocketEvent(std::uint32_t mask) {
    if (mClosed) return;
    if (!mHandshakeDone) {
        ContinueHandshake();
        // A hang-up the handshake did not notice must not fire again and again.
        if (!mClosed && !mHandshakeDone && (mask & (kFdHangup | kFdError))) CloseAtOnce();
        return;
    }
    if (((mask & kFdWritable) && mWantWrite) || ((mask & kFdReadable) && mWantRead)) WriteQueued();
    if (mClosed) return;
    if (mask & (kFdReadable | kFdHangup | kFdError)) OnReadable(mask);
}

void TTlsTransportObj::ContinueHandshake() {
    mWantRead = mWantWrite = false;
    ERR_clear_error();
    const int r = SSL_do_handshake(mSsl);
    if (r != 1) {
        if (Blocked(r) < 0) CloseAtOnce();
        else UpdateInterest();
        return;
    }
    mHandshakeDone = true;
    mHandshakeTimer.Stop();
    if (mContext) mContext->SessionStarted(UsesKernelTls());
    if (!mSendQueue.Empty()) WriteQueued();
    if (!mClosed) ArmRead();
}

void TTlsTransportObj::OnReadable(std::uint32_t mask) {
    bool closed = (mask & (kFdHangup | kFdError)) != 0;
    if (!mShutDown && mReadArmed && HasHandler()) {
        ReadAhead(mNotifyReceivedSize != 0 ? mNotifyReceivedSize : 1);
        // Bytes that arrived before the end are announced before it.
        if (HasDataForOwner()) {
            Post(kMsgDataArrived);
            mReadArmed = false;
        }
        closed = closed || mPeerEnded;
    }
    if (closed) OnClosed();
    else UpdateInterest();
}

void TTlsTransportObj::OnClosed() {
    if (mClosed) return;
    mClosed = true;
    DropQueue();
    mHandshakeTimer.Stop();
    if (mWatched) {
        CEventLoop::Get().UnwatchFd(mSock);
        mWatched = false;
    }
    if (HasHandler()) {
        Post(kMsgConnectionClosed);
        mClosePosted = true;
    }
}

void TTlsTransportObj::Disconnect() {
    if (!mClosed && !mShutDown && mHandshakeDone && !mSendQueue.Empty()) DrainQueue();
    CancelFlushRequest();
    DropQueue();
    if (mHandshakeDone && !mShutDown && !mClosed) {
        ERR_clear_error();
        SSL_shutdown(mSsl);  // the close notice, as far as the socket takes it
        ERR_clear_error();
    }
    ShutdownBoth();
    UpdateInterest();
}

void TTlsTransportObj::StartDisconnect() {
    if (mSendQueue.Empty()) {
        Disconnect();
        return;
    }
    mDisconWhenNoOutData = true;
}

std::uint32_t TTlsTransportObj::GetRemoteAddressText(char* dest, std::uint32_t capacity) {
    return UTransport::IPAddressToText(mRemoteAddress, dest, capacity);
}

std::uint32_t TTlsTransportObj::GetLocalAddressText(char* dest, std::uint32_t capacity) {
    if (dest == nullptr || capacity < 16) KX_FAIL_PARAM();
    sockaddr_in sin{};
    socklen_t len = sizeof(sin);
    if (getsockname(mSock, reinterpret_cast<sockaddr*>(&sin), &len) != 0) KX_FAIL_ERRNO(errno);
    SIPAddress addr;
    std::memcpy(addr.b, &sin.sin_addr.s_addr, 4);
    return UTransport::IPAddressToText(addr, dest, capacity);
}

std::uint16_t TTlsTransportObj::GetLocalPort() const {
    sockaddr_in sin{};
    socklen_t len = sizeof(sin);
    if (getsockname(mSock, reinterpret_cast<sockaddr*>(&sin), &len) != 0) return 0;
    return ntohs(sin.sin_port);
}

// ---- The encrypted listener ----

TTlsListenerObj::TTlsListenerObj(std::shared_ptr<CTlsServerContext> context)
    : mContext(std::move(context)), mListener(std::make_unique<TRegularTransportObj>(true)) {
    mListener->SetMessageObject(static_cast<TTransportObj*>(this));
}

TTlsListenerObj::~TTlsListenerObj() = default;

void TTlsListenerObj::SetMessageHandler(TMessageProc handler) { mListener->SetMessageHandler(std::move(handler)); }
void TTlsListenerObj::SetMessageObject(void* object) {
    mListener->SetMessageObject(object != nullptr ? object : static_cast<TTransportObj*>(this));
}
void TTlsListenerObj::SetIPAddress(const SIPAddress& addr) { mListener->SetIPAddress(addr); }
void TTlsListenerObj::Listen(const void* address, std::uint32_t size) { mListener->Listen(address, size); }
bool TTlsListenerObj::IsConnected() const { return mListener->IsConnected(); }
void TTlsListenerObj::Disconnect() { mListener->Disconnect(); }
void TTlsListenerObj::Send(const void*, std::uint32_t) { KX_FAIL_PARAM(); }
void TTlsListenerObj::SendBuffer(TTransportBuffer) { KX_FAIL_PARAM(); }
void TTlsListenerObj::SendUnit(const void*, std::uint32_t, const void*, std::uint32_t) { KX_FAIL_PARAM(); }
std::uint32_t TTlsListenerObj::GetRemoteAddressText(char* dest, std::uint32_t capacity) {
    return mListener->GetRemoteAddressText(dest, capacity);
}
std::uint32_t TTlsListenerObj::GetLocalAddressText(char* dest, std::uint32_t capacity) {
    return mListener->GetLocalAddressText(dest, capacity);
}
std::uint16_t TTlsListenerObj::GetLocalPort() const { return mListener->GetLocalPort(); }

TTransport TTlsListenerObj::Accept(void* addrBuf, std::uint32_t* ioSize) {
    for (;;) {
        TTransport conn = mListener->Accept(addrBuf, ioSize);
        if (!conn) return nullptr;
        auto& regular = static_cast<TRegularTransportObj&>(*conn);
        SSL* ssl = mContext->NewConnection();
        if (ssl == nullptr) {
            ERR_clear_error();
            continue;  // out of memory: this one is closed, the next may fare better
        }
        const SIPAddress remote = regular.GetRemoteIPAddress();
        const int fd = regular.ReleaseSocket();
        return std::make_unique<TTlsTransportObj>(fd, remote, ssl, mContext);
    }
}

}  // namespace kx
