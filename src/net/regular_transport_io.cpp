// The regular endpoint's data path: the send queue (written behind: flushed once at the end of
// the event-loop iteration, then on writability while bytes remain; capped per connection) and the receive side with its
// look-ahead buffer and receive threshold. Sending and receiving never raise for socket errors:
// the end of a connection is learnt from the close notice.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include "framework/error.h"
#include "net/regular_transport.h"

namespace kx {

bool TRegularTransportObj::RoomFor(std::uint64_t size) {
    if (mSendQueue.Unsent() + size <= kMaxUnsentSize) return true;
    // The peer is not reading: drop it rather than hold its data without limit.
    CloseAtOnce();
    return false;
}

void TRegularTransportObj::Queued(std::size_t held) {
    CEventLoop::Get().CountWrittenBehind(held);
    RequestFlushOnce();
}

void TRegularTransportObj::RequestFlushOnce() {
    // While writability is watched the writable event writes the queue; a flush would only
    // meet a full socket.
    if (mFlushPending || mAwaitWritable) return;
    CEventLoop& loop = CEventLoop::Get();
    if (!loop.InIteration()) {
        // No batch to wait for (set-up, tests, tools driving the endpoint directly).
        WriteQueued();
        return;
    }
    mFlushSlot = loop.RequestFlush(this);
    mFlushPending = true;
}

void TRegularTransportObj::CancelFlushRequest() {
    if (!mFlushPending) return;
    CEventLoop::Get().CancelFlush(mFlushSlot, this);
    mFlushPending = false;
}

void TRegularTransportObj::FlushOutput() {
    mFlushPending = false;
    if (mClosed || mShutDown) return;
    CBatchSend* batch = CBatchSend::Get();
    if (batch != nullptr && !mBatched && !mSendQueue.Empty() && mSendQueue.FrontFile() == nullptr) {
        mBatchedTotal = batch->Add(this, mSock, mSendQueue);
        if (mBatchedTotal != 0) {
            mBatched = true;
            return;
        }
    }
    WriteQueued();
}

void TRegularTransportObj::OnBatchedWrite(long result) {
    mBatched = false;
    if (mClosed) return;
    if (TookWrite(result, mBatchedTotal)) DrainQueue();
    AfterWrite();
}

void TRegularTransportObj::SettleBatchedWrite() {
    if (mBatched) CBatchSend::Get()->Submit();
}

void TRegularTransportObj::Send(const void* data, std::uint32_t size) {
    if (size == 0) return;
    if (data == nullptr) KX_FAIL_PARAM();
    if (mClosed || mShutDown) return;  // nothing can be delivered any more
    if (!RoomFor(size)) return;
    // Joined only while the socket is not known to be full: behind a full socket each block
    // stays a block, which is what IsReadyToSend counts. Blocks that may be handed over again
    // after a close are never joined (KeepUnsentOnClose).
    mSendQueue.PushBytes(static_cast<const std::uint8_t*>(data), size, !mAwaitWritable && !mKeepUnsentOnClose,
                         kJoinLimit);
    Queued(size);
}

void TRegularTransportObj::SendBuffer(TTransportBuffer buf) {
    if (!buf || buf->offset > buf->Size()) KX_FAIL_PARAM();
    if (buf->file && !CanSendFile()) KX_FAIL_PARAM();
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

void TRegularTransportObj::SendShared(const std::uint8_t* prefix, std::uint32_t prefixSize, const TSharedBlock& block) {
    if (mClosed || mShutDown) return;
    if (!RoomFor(prefixSize + block.Size())) return;
    mSendQueue.PushShared(prefix, prefixSize, block);
    Queued(CSendQueue::kEntrySize);
}

void TRegularTransportObj::SendNumbered(const TSharedBlock& block, std::uint32_t first) {
    if (mClosed || mShutDown) return;
    if (!RoomFor(block.Size())) return;
    mSendQueue.PushNumbered(block, first);
    Queued(CSendQueue::kEntrySize);
}

void TRegularTransportObj::SendFile(int fd, std::uint64_t offset, std::uint32_t size) {
    if (!CanSendFile() || fd < 0) KX_FAIL_PARAM();
    if (size == 0 || mClosed || mShutDown) return;
    auto buf = std::make_unique<SSendBuf>();
    buf->file = std::make_unique<SSendFileRange>();
    buf->file->fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (buf->file->fd < 0) KX_FAIL_ERRNO(errno);
    buf->file->start = offset;
    buf->file->size = size;
    SendBuffer(std::move(buf));
}

long TRegularTransportObj::WriteFileRange(SSendBuf& buf) {
    const std::uint32_t remaining = buf.Size() - buf.offset;
    if (remaining == 0) return 0;
    off_t pos = static_cast<off_t>(buf.file->start + buf.offset);
    ssize_t n;
    do {
        n = ::sendfile(mSock, buf.file->fd, &pos, remaining);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        // Full, or the connection is going away (its close notice follows).
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNRESET || errno == EPIPE) return 0;
        return -1;
    }
    // Nothing more to read: the file got shorter than the range. The receiver was promised
    // these bytes, so the connection cannot go on.
    if (n == 0) return -1;
    return n;
}

void TRegularTransportObj::WriteQueued() {
    DrainQueue();
    AfterWrite();
}

void TRegularTransportObj::AfterWrite() {
    if (mClosed) return;
    mAwaitWritable = !mSendQueue.Empty();
    if (mSendQueue.Empty() && mDisconWhenNoOutData) {
        ShutdownBoth();
    } else if (HasHandler() && mCheckReadyToSend && mSendQueue.Blocks() <= 1) {
        mCheckReadyToSend = false;
        Post(kMsgReadyToSend);
    }
    UpdateInterest();
}

bool TRegularTransportObj::TookWrite(long n, std::size_t total) {
    if (n < 0) {
        const int err = static_cast<int>(-n);
        // Full again, or the connection is going away (its close notice follows).
        if (err == EAGAIN || err == EWOULDBLOCK || err == ECONNRESET || err == EPIPE) return false;
        char text[128];
        std::snprintf(text, sizeof(text), "Socket error attempting to send data:  %d\rSize of data:  %lu", err,
                      static_cast<unsigned long>(total));
        UError::DebugBreak(text);
        // The error would fire again on every pass: end the connection instead of spinning.
        CloseAtOnce();
        return false;
    }
    if (n == 0) return false;
    mSendQueue.Consume(static_cast<std::uint64_t>(n));
    return static_cast<std::size_t>(n) == total;
}

// Writes from the head of the queue until it is empty or the socket stops taking data: the data
// entries in a row with one sendmsg, a file range with sendfile. A large write never fails here
// (the socket takes what fits), so no retry in smaller writes.
void TRegularTransportObj::DrainQueue() {
    SettleBatchedWrite();
    while (!mSendQueue.Empty()) {
        if (SSendBuf* file = mSendQueue.FrontFile()) {
            const std::uint32_t remaining = file->Size() - file->offset;
            const long n = WriteFileRange(*file);
            if (n < 0) {
                CloseAtOnce();
                return;
            }
            mSendQueue.Consume(static_cast<std::uint64_t>(n));
            if (static_cast<std::uint32_t>(n) < remaining) return;
            continue;
        }
        // One thread: one scratch buffer serves every connection's write in turn.
        static std::uint8_t scratch[kScratchSize];
        iovec iov[kMaxWriteBlocks];
        std::size_t total = 0;
        const int count = mSendQueue.Gather(iov, kMaxWriteBlocks, total, scratch, sizeof scratch);
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<std::size_t>(count);
        const ssize_t n = count == 1 ? send(mSock, iov[0].iov_base, iov[0].iov_len, MSG_NOSIGNAL | MSG_DONTWAIT)
                                     : sendmsg(mSock, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (!TookWrite(n < 0 ? -errno : n, total)) return;
    }
}

void TRegularTransportObj::DropQueue() {
    SettleBatchedWrite();
    mSendQueue.Clear();
    mAwaitWritable = false;
}

std::vector<TTransportBuffer> TRegularTransportObj::TakeUnsentBuffers() {
    SettleBatchedWrite();
    std::vector<TTransportBuffer> unsent = mSendQueue.TakeUnstarted();
    DropQueue();
    UpdateInterest();
    return unsent;
}

void TRegularTransportObj::ShutdownBoth() {
    if (mShutDown) return;
    mShutDown = true;
    shutdown(mSock, SHUT_RDWR);  // fails harmlessly on a socket that is not connected
}

void TRegularTransportObj::CloseAtOnce() {
    DropQueue();
    ShutdownBoth();
    OnClosed();
}

void TRegularTransportObj::NotifyReadyToSend() {
    mCheckReadyToSend = true;
    if (mSendQueue.Blocks() <= 1) {
        mCheckReadyToSend = false;
        Post(kMsgReadyToSend);
    }
}

std::uint32_t TRegularTransportObj::SocketReadable() const {
    int n = 0;
    if (ioctl(mSock, FIONREAD, &n) != 0 || n < 0) return 0;
    return static_cast<std::uint32_t>(n);
}

std::uint32_t TRegularTransportObj::TakeBuffered(std::uint8_t* dest, std::uint32_t size) {
    const std::uint32_t n = std::min(size, Buffered());
    if (n == 0) return 0;
    std::memcpy(dest, mReceived.data.data() + mReceived.offset, n);
    mReceived.offset += n;
    if (mReceived.offset == mReceived.data.size()) mReceived = SReceivedData{};  // all consumed: release
    return n;
}

void TRegularTransportObj::TopUp(std::uint32_t count) {
    const std::uint32_t buffered = Buffered();
    if (buffered >= count) return;
    const std::uint32_t readable = SocketReadable();
    if (readable == 0) return;
    const std::uint32_t want = std::min(readable, count - buffered);
    const std::size_t old = mReceived.data.size();
    mReceived.data.resize(old + want);
    const ssize_t r = recv(mSock, mReceived.data.data() + old, want, MSG_DONTWAIT);
    mReceived.data.resize(old + (r > 0 ? static_cast<std::size_t>(r) : 0));
}

bool TRegularTransportObj::PeekFirstByte(std::uint8_t& byte) {
    if (Buffered() > 0) {
        byte = mReceived.data[mReceived.offset];
        return true;
    }
    if (recv(mSock, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 1) return true;
    ArmRead();
    return false;
}

void TRegularTransportObj::ArmRead() {
    mReadArmed = true;
    UpdateInterest();
}

std::uint32_t TRegularTransportObj::Receive(void* dest, std::uint32_t size) {
    if (size == 0) return 0;
    if (dest == nullptr) KX_FAIL_PARAM();
    auto* p = static_cast<std::uint8_t*>(dest);
    std::uint32_t total = TakeBuffered(p, size);  // bytes read ahead come first
    if (total < size && !mIsListener) {
        const ssize_t r = recv(mSock, p + total, size - total, MSG_DONTWAIT);
        if (r > 0) total += static_cast<std::uint32_t>(r);
    }
    if (total != 0) mNotifyReceivedSize = 0;
    ArmRead();
    return total;
}

TTransportBuffer TRegularTransportObj::ReceiveBuffer() {
    const std::uint32_t buffered = Buffered();
    const std::uint32_t readable = mIsListener ? 0 : SocketReadable();
    ArmRead();
    if (buffered == 0 && readable == 0) return nullptr;
    auto buf = std::make_unique<SSendBuf>();
    buf->data.resize(static_cast<std::size_t>(buffered) + readable);
    TakeBuffered(buf->data.data(), buffered);
    std::size_t got = buffered;
    if (readable != 0) {
        const ssize_t r = recv(mSock, buf->data.data() + buffered, readable, MSG_DONTWAIT);
        if (r > 0) got += static_cast<std::size_t>(r);
    }
    buf->data.resize(got);
    if (got == 0) return nullptr;
    mNotifyReceivedSize = 0;
    return buf;
}

bool TRegularTransportObj::IsReadyToReceive(std::uint32_t count) {
    mReadArmed = true;
    mNotifyReceivedSize = count;
    bool ready = true;
    if (count != 0) {
        TopUp(count);
        ready = Buffered() >= count;
        if (ready) mNotifyReceivedSize = 0;
    }
    UpdateInterest();
    return ready;
}

void TRegularTransportObj::NotifyReadyToReceive(std::uint32_t count) {
    mReadArmed = true;
    mNotifyReceivedSize = count;
    if (count != 0) {
        TopUp(count);
        // Also when the bytes were already read ahead: the owner waits for this notice.
        if (Buffered() >= count && HasHandler()) {
            Post(kMsgDataArrived);
            mReadArmed = false;
        }
    }
    UpdateInterest();
}

std::uint32_t TRegularTransportObj::GetReceiveSize() {
    if (mIsListener) return 0;
    return Buffered() + SocketReadable();
}

}  // namespace kx
