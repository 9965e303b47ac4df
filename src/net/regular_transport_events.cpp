// The regular endpoint's event routing: which socket readiness it watches, and how readiness
// becomes notices (100 data, 102 ready to send, 103 closed, 104 connection request) posted
// through the event loop's message queue. Runs inside CEventLoop's descriptor dispatch.
#include <cerrno>
#include <sys/socket.h>

#include "net/regular_transport.h"

namespace kx {

std::uint32_t TRegularTransportObj::WantedInterest() const {
    std::uint32_t interest = 0;
    if (mReadArmed && HasHandler()) interest |= kFdReadable;
    if (mAwaitWritable && !mSendQueue.Empty()) interest |= kFdWritable;
    return interest;
}

void TRegularTransportObj::Watch() {
    if (mWatched || mClosed || mSock < 0) return;
    CEventLoop::Get().WatchFd(mSock, WantedInterest(), [this](std::uint32_t mask) { OnSocketEvent(mask); });
    mWatched = true;
}

void TRegularTransportObj::Unwatch() {
    if (!mWatched) return;
    CEventLoop::Get().UnwatchFd(mSock);
    mWatched = false;
}

void TRegularTransportObj::UpdateInterest() {
    if (mWatched) CEventLoop::Get().SetInterest(mSock, WantedInterest());
}

void TRegularTransportObj::Post(std::uint32_t code) { PostNotice(mNotice, code); }

void TRegularTransportObj::OnSocketEvent(std::uint32_t mask) {
    if (mClosed) return;
    if (mIsListener) {
        if (mask & (kFdHangup | kFdError)) {
            OnClosed();
        } else if ((mask & kFdReadable) && mReadArmed && HasHandler()) {
            Post(kMsgConnectionRequest);
            mReadArmed = false;  // until Accept
            UpdateInterest();
        }
        return;
    }
    if (!mIsStream) {
        if (mask & kFdError) {
            // A datagram socket's pending error (an unreachable port, say) is of no interest.
            int err = 0;
            socklen_t len = sizeof(err);
            getsockopt(mSock, SOL_SOCKET, SO_ERROR, &err, &len);
        }
        if (mask & kFdHangup) {
            Unwatch();  // not expected of a datagram socket; never let it spin the loop
        } else if ((mask & kFdReadable) && mReadArmed && HasHandler()) {
            Post(kMsgDataArrived);
            mReadArmed = false;  // until the datagram is received
            UpdateInterest();
        }
        return;
    }
    if ((mask & kFdWritable) && !(mask & kFdError)) OnWritable();
    if (mClosed) return;
    if (mask & (kFdReadable | kFdHangup | kFdError)) OnReadable(mask);
}

void TRegularTransportObj::OnReadable(std::uint32_t mask) {
    bool closed = (mask & (kFdHangup | kFdError)) != 0;
    if (!mShutDown && mReadArmed && HasHandler()) {
        if (SocketReadable() > 0) {
            // Data that arrived before a close is announced before the close.
            if (mNotifyReceivedSize == 0) {
                Post(kMsgDataArrived);
                mReadArmed = false;
            } else {
                TopUp(mNotifyReceivedSize);
                if (Buffered() >= mNotifyReceivedSize) {
                    Post(kMsgDataArrived);
                    mReadArmed = false;
                }
            }
        } else if (!closed) {
            // Readable with nothing to read: end of stream, a pending error, or nothing after all.
            char c;
            const ssize_t r = recv(mSock, &c, 1, MSG_PEEK | MSG_DONTWAIT);
            if (r == 0 || (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) closed = true;
        }
    }
    if (closed) {
        OnClosed();
    } else {
        UpdateInterest();
    }
}

void TRegularTransportObj::OnWritable() {
    if (mShutDown) return;
    WriteQueued();
}

void TRegularTransportObj::OnClosed() {
    if (mClosed) return;
    mClosed = true;
    mIsConnected = false;
    if (!mKeepUnsentOnClose) DropQueue();  // nothing more can be delivered
    Unwatch();
    if (HasHandler()) {
        Post(kMsgConnectionClosed);
        mClosePosted = true;
    }
}

}  // namespace kx
