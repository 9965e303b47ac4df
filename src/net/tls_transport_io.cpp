// The encrypted endpoint's data path: the plain-text send queue (written behind, once per
// event-loop iteration, capped at 16 MiB per connection) encrypted with SSL_write, file ranges
// with SSL_sendfile (kernel TLS) or read in windows into SSL_write, and the receive side that
// decrypts into a look-ahead buffer. Socket errors never raise here: the close notice tells.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "framework/error.h"
#include "net/tls_transport.h"

namespace kx {

bool TTlsTransportObj::RoomFor(std::uint64_t size) {
    if (mSendQueue.Unsent() + size <= kMaxUnsentSize) return true;
    CloseAtOnce();  // the peer is not reading: drop it rather than hold its data without limit
    return false;
}

void TTlsTransportObj::Queued(std::size_t held) {
    CEventLoop::Get().CountWrittenBehind(held);
    RequestFlushOnce();
}

void TTlsTransportObj::RequestFlushOnce() {
    // Before the handshake ends, and while OpenSSL waits on the socket, the socket's readiness
    // writes the queue.
    if (mFlushPending || mWantWrite || mWantRead || !mHandshakeDone) return;
    CEventLoop& loop = CEventLoop::Get();
    if (!loop.InIteration()) {
        WriteQueued();
        return;
    }
    mFlushSlot = loop.RequestFlush(this);
    mFlushPending = true;
}

void TTlsTransportObj::CancelFlushRequest() {
    if (!mFlushPending) return;
    CEventLoop::Get().CancelFlush(mFlushSlot, this);
    mFlushPending = false;
}

void TTlsTransportObj::FlushOutput() {
    mFlushPending = false;
    if (mClosed || mShutDown) return;
    WriteQueued();
}

void TTlsTransportObj::Send(const void* data, std::uint32_t size) {
    if (size == 0) return;
    if (data == nullptr) KX_FAIL_PARAM();
    if (mClosed || mShutDown || !RoomFor(size)) return;
    // Joining never disturbs a write OpenSSL has begun: the head's bytes stay as they are, and
    // its retry is handed the same bytes again (see DrainQueue).
    mSendQueue.PushBytes(static_cast<const std::uint8_t*>(data), size, true, kJoinLimit);
    Queued(size);
}

void TTlsTransportObj::SendBuffer(TTransportBuffer buf) {
    if (!buf || buf->offset > buf->Size()) KX_FAIL_PARAM();
    if (mClosed || mShutDown) return;
    const std::uint32_t remaining = buf->Size() - buf->offset;
    if (remaining == 0) return;
    if (!buf->file && remaining <= kJoinLimit) {
        Send(buf->data.data() + buf->offset, remaining);
        return;
    }
    if (!RoomFor(remaining)) return;
    const std::size_t held = buf->file ? 0 : remaining;
    mSendQueue.PushBlock(std::move(buf));
    Queued(held);
}

void TTlsTransportObj::SendShared(const std::uint8_t* prefix, std::uint32_t prefixSize, const TSharedBlock& block) {
    if (mClosed || mShutDown || !RoomFor(prefixSize + block.Size())) return;
    mSendQueue.PushShared(prefix, prefixSize, block);
    Queued(CSendQueue::kEntrySize);
}

void TTlsTransportObj::SendNumbered(const TSharedBlock& block, std::uint32_t first) {
    if (mClosed || mShutDown || !RoomFor(block.Size())) return;
    mSendQueue.PushNumbered(block, first);
    Queued(CSendQueue::kEntrySize);
}

void TTlsTransportObj::SendFile(int fd, std::uint64_t offset, std::uint32_t size) {
    if (fd < 0) KX_FAIL_PARAM();
    if (size == 0 || mClosed || mShutDown) return;
    auto buf = std::make_unique<SSendBuf>();
    buf->file = std::make_unique<SSendFileRange>();
    buf->file->fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (buf->file->fd < 0) KX_FAIL_ERRNO(errno);
    buf->file->start = offset;
    buf->file->size = size;
    SendBuffer(std::move(buf));
}

long TTlsTransportObj::WriteBytes(const std::uint8_t* data, std::uint32_t size) {
    ERR_clear_error();
    const int n = SSL_write(mSsl, data, static_cast<int>(size));
    if (n > 0) return n;
    return Blocked(n) < 0 ? -1 : 0;
}

long TTlsTransportObj::WriteFileRange(SSendBuf& head) {
    const std::uint32_t remaining = head.Size() - head.offset;
    if (mWindow.empty() && UsesKernelTls()) {
        ERR_clear_error();
        const ossl_ssize_t n = SSL_sendfile(mSsl, head.file->fd, static_cast<off_t>(head.file->start + head.offset),
                                            remaining, 0);
        if (n > 0) return static_cast<long>(n);
        // A file shorter than its range: the receiver was promised these bytes.
        if (n == 0) return -1;
        return Blocked(static_cast<int>(n)) < 0 ? -1 : 0;
    }
    if (mWindowPos == mWindow.size()) {
        // The next window; its bytes stay until SSL_write has taken them all, as its retry needs.
        mWindow.resize(std::min(remaining, kFileWindow));
        mWindowPos = 0;
        std::size_t got = 0;
        while (got < mWindow.size()) {
            const ssize_t r = ::pread(head.file->fd, mWindow.data() + got, mWindow.size() - got,
                                      static_cast<off_t>(head.file->start + head.offset + got));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return -1;
            got += static_cast<std::size_t>(r);
        }
    }
    const long n = WriteBytes(mWindow.data() + mWindowPos, static_cast<std::uint32_t>(mWindow.size() - mWindowPos));
    if (n > 0) {
        mWindowPos += static_cast<std::uint32_t>(n);
        if (mWindowPos == mWindow.size()) {
            mWindow.clear();
            mWindowPos = 0;
        }
    }
    return n;
}

void TTlsTransportObj::WriteQueued() {
    mWantRead = mWantWrite = false;
    DrainQueue();
    if (mClosed) return;
    if (mSendQueue.Empty()) {
        std::vector<std::uint8_t>().swap(mWindow);  // an idle connection holds no window
        if (mDisconWhenNoOutData) Disconnect();
    }
    if (HasHandler() && mCheckReadyToSend && mSendQueue.Blocks() <= 1) {
        mCheckReadyToSend = false;
        Post(kMsgReadyToSend);
    }
    UpdateInterest();
}

// Each SSL_write takes up to one record's worth of the queue's head, copied into one buffer, so
// many small entries (shared blocks with their headers among them) become one record. A write
// refused for want of the socket is retried with the same head bytes copied again (perhaps
// followed by more), which OpenSSL accepts since the buffer may move.
void TTlsTransportObj::DrainQueue() {
    static std::uint8_t record[kJoinLimit];
    while (!mSendQueue.Empty() && !mShutDown) {
        SSendBuf* file = mSendQueue.FrontFile();
        const long n = file ? WriteFileRange(*file) : WriteBytes(record, mSendQueue.Copy(record, kJoinLimit));
        if (n < 0) {
            CloseAtOnce();
            return;
        }
        if (n == 0) return;  // the socket is full: its readiness continues
        mSendQueue.Consume(static_cast<std::uint64_t>(n));
    }
}

void TTlsTransportObj::DropQueue() {
    mSendQueue.Clear();
    std::vector<std::uint8_t>().swap(mWindow);
    mWindowPos = 0;
    mWantRead = mWantWrite = false;
}

void TTlsTransportObj::ShutdownBoth() {
    if (mShutDown) return;
    mShutDown = true;
    shutdown(mSock, SHUT_RDWR);
}

void TTlsTransportObj::CloseAtOnce() {
    DropQueue();
    ShutdownBoth();
    OnClosed();
}

void TTlsTransportObj::NotifyReadyToSend() {
    mCheckReadyToSend = true;
    if (mSendQueue.Blocks() <= 1) {
        mCheckReadyToSend = false;
        Post(kMsgReadyToSend);
    }
}

std::uint32_t TTlsTransportObj::TakeBuffered(std::uint8_t* dest, std::uint32_t size) {
    const std::uint32_t n = std::min(size, Buffered());
    if (n == 0) return 0;
    std::memcpy(dest, mReceived.data() + mReceivedOffset, n);
    mReceivedOffset += n;
    if (mReceivedOffset == mReceived.size()) {
        std::vector<std::uint8_t>().swap(mReceived);  // all consumed: release
        mReceivedOffset = 0;
    }
    return n;
}

void TTlsTransportObj::ReadAhead(std::uint32_t count) {
    if (!mHandshakeDone || mPeerEnded) return;
    if (mReceivedOffset != 0) {
        mReceived.erase(mReceived.begin(), mReceived.begin() + mReceivedOffset);
        mReceivedOffset = 0;
    }
    while (mReceived.size() < count) {
        const std::size_t old = mReceived.size();
        const std::size_t want = std::min<std::size_t>(count - old, kJoinLimit);
        mReceived.resize(old + want);
        ERR_clear_error();
        const int r = SSL_read(mSsl, mReceived.data() + old, static_cast<int>(want));
        mReceived.resize(old + (r > 0 ? static_cast<std::size_t>(r) : 0));
        if (r > 0) continue;
        const int err = SSL_get_error(mSsl, r);
        if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) mPeerEnded = true;
        ERR_clear_error();
        break;
    }
    if (mReceived.empty()) std::vector<std::uint8_t>().swap(mReceived);
}

bool TTlsTransportObj::HasDataForOwner() const {
    if (!mHandshakeDone) return false;
    if (mNotifyReceivedSize != 0) return Buffered() >= mNotifyReceivedSize;
    return Buffered() > 0 || SSL_pending(mSsl) > 0;
}

void TTlsTransportObj::ArmRead() {
    mReadArmed = true;
    // Bytes decrypted ahead leave the socket quiet: announce them now.
    if (HasHandler() && HasDataForOwner()) {
        Post(kMsgDataArrived);
        mReadArmed = false;
    }
    UpdateInterest();
}

std::uint32_t TTlsTransportObj::Receive(void* dest, std::uint32_t size) {
    if (size == 0) return 0;
    if (dest == nullptr) KX_FAIL_PARAM();
    auto* p = static_cast<std::uint8_t*>(dest);
    std::uint32_t total = TakeBuffered(p, size);
    if (total < size) {
        ReadAhead(size - total);
        total += TakeBuffered(p + total, size - total);
    }
    if (total != 0) mNotifyReceivedSize = 0;
    ArmRead();
    return total;
}

TTransportBuffer TTlsTransportObj::ReceiveBuffer() {
    ReadAhead(std::max(Buffered(), kMaxReadAhead));
    const std::uint32_t buffered = Buffered();
    TTransportBuffer buf;
    if (buffered != 0) {
        buf = std::make_unique<SSendBuf>();
        buf->data.resize(buffered);
        TakeBuffered(buf->data.data(), buffered);
        mNotifyReceivedSize = 0;
    }
    ArmRead();
    return buf;
}

bool TTlsTransportObj::IsReadyToReceive(std::uint32_t count) {
    mReadArmed = true;
    mNotifyReceivedSize = count;
    bool ready = true;
    if (count != 0) {
        ReadAhead(count);
        ready = Buffered() >= count;
        if (ready) mNotifyReceivedSize = 0;
    }
    UpdateInterest();
    return ready;
}

void TTlsTransportObj::NotifyReadyToReceive(std::uint32_t count) {
    mReadArmed = true;
    mNotifyReceivedSize = count;
    if (count != 0) {
        ReadAhead(count);
        if (Buffered() >= count && HasHandler()) {
            Post(kMsgDataArrived);
            mReadArmed = false;
        }
    }
    UpdateInterest();
}

std::uint32_t TTlsTransportObj::GetReceiveSize() {
    ReadAhead(std::max(Buffered(), kMaxReadAhead));
    return Buffered();
}

}  // namespace kx
