// The WebSocket endpoint: frames read from the inner connection into the owner's byte stream
// (control frames answered on the way), the owner's bytes and file ranges framed onto it, and the
// notices passed on. Runs inside the event loop's message delivery (the inner endpoint's
// notices) and the owner's calls.
#include "net/websocket_transport.h"

#include <algorithm>
#include <cstring>

#include "framework/byte_codec.h"
#include "framework/error.h"
#include "net/send_queue.h"

namespace kx {

namespace {
// Frames up to this size go to the inner endpoint as one block with their header.
constexpr std::uint32_t kJoinFrame = 16u * 1024;
}  // namespace

TWebSocketTransportObj::TWebSocketTransportObj(TTransport inner, std::vector<std::uint8_t> early,
                                               const SIPAddress& remote, SWsLimits limits)
    : mInner(std::move(inner)), mNotice(std::make_shared<SNoticeTarget>()), mRemote(remote), mReader(limits) {
    mNotice->object = static_cast<TTransportObj*>(this);
    mInner->SetMessageObject(nullptr);
    mInner->SetMessageHandler([this](std::uint32_t code, void*) { OnInnerNotice(code); });
    if (!early.empty()) Decode(early.data(), early.size());
    Pull();
}

TWebSocketTransportObj::~TWebSocketTransportObj() {
    // The inner endpoint writes what the socket takes before it closes, the close frame last.
    if (!mCloseSent && !mClosed && mInner->IsConnected()) {
        const std::vector<std::uint8_t> frame = UWebSocket::CloseFrame(kWsCloseNormal);
        mInner->Send(frame.data(), static_cast<std::uint32_t>(frame.size()));
    }
    mNotice->alive = false;
    CEventLoop::Get().RemoveMessages(static_cast<TTransportObj*>(this));
    mInner.reset();
}

void TWebSocketTransportObj::SetMessageHandler(TMessageProc handler) {
    mNotice->handler = std::move(handler);
    AnnounceData();
    if (mClosed && !mClosePosted && HasHandler()) {
        Post(kMsgConnectionClosed);
        mClosePosted = true;
    }
}

void TWebSocketTransportObj::SetMessageObject(void* object) {
    mNotice->object = object != nullptr ? object : static_cast<TTransportObj*>(this);
}

void TWebSocketTransportObj::Listen(const void*, std::uint32_t) { KX_FAIL_PARAM(); }
TTransport TWebSocketTransportObj::Accept(void*, std::uint32_t*) { KX_FAIL_PARAM(); }
void TWebSocketTransportObj::SendUnit(const void*, std::uint32_t, const void*, std::uint32_t) { KX_FAIL_PARAM(); }

std::uint32_t TWebSocketTransportObj::GetRemoteAddressText(char* dest, std::uint32_t capacity) {
    return UTransport::IPAddressToText(mRemote, dest, capacity);
}

void TWebSocketTransportObj::Post(std::uint32_t code) { PostNotice(mNotice, code); }

void TWebSocketTransportObj::OnInnerNotice(std::uint32_t code) {
    switch (code) {
    case kMsgDataArrived:
        Pull();
        AnnounceData();
        break;
    case kMsgReadyToSend:
        if (HasHandler()) Post(kMsgReadyToSend);
        break;
    case kMsgConnectionClosed:
        Pull();  // what arrived before the end is still the owner's
        if (!mClosed) {
            mClosed = true;
            AnnounceData();
        }
        if (!mClosePosted && HasHandler()) {
            Post(kMsgConnectionClosed);
            mClosePosted = true;
        }
        break;
    default:
        break;
    }
}

void TWebSocketTransportObj::Pull() {
    std::uint8_t chunk[kReadChunk];
    const std::uint32_t room = std::max(kMaxReadAhead, mNotifyReceivedSize);
    while (!mClosed && Buffered() < room) {
        const std::uint32_t n = mInner->Receive(chunk, sizeof chunk);
        if (n == 0) break;
        Decode(chunk, n);
    }
}

void TWebSocketTransportObj::Decode(const std::uint8_t* data, std::size_t size) {
    if (mPlainOffset == mPlain.size()) {
        mPlain.clear();
        mPlainOffset = 0;
    } else if (mPlainOffset >= kReadChunk) {
        mPlain.erase(mPlain.begin(), mPlain.begin() + static_cast<std::ptrdiff_t>(mPlainOffset));
        mPlainOffset = 0;
    }
    std::size_t at = 0;
    while (at < size && !mClosed) {
        at += mReader.Read(data + at, size - at, mPlain);
        if (mReader.HasControl()) {
            AnswerControl();
            mReader.ClearControl();
        }
        if (mReader.Failure() != 0) Close(mReader.Failure());
    }
}

void TWebSocketTransportObj::AnswerControl() {
    const std::vector<std::uint8_t>& payload = mReader.ControlPayload();
    switch (mReader.ControlOpcode()) {
    case kWsOpPing:
        if (!mCloseSent) {
            std::uint8_t frame[kWsMaxHeaderSize + kWsMaxControlPayload];
            const std::size_t h = UWebSocket::EncodeHeader(kWsOpPong, payload.size(), frame);
            std::copy(payload.begin(), payload.end(), frame + h);
            mInner->Send(frame, static_cast<std::uint32_t>(h + payload.size()));
        }
        break;
    case kWsOpClose:
        // The peer's code is echoed; a one-byte body is no close frame at all.
        if (payload.size() == 1) Close(kWsCloseProtocolError);
        else Close(payload.size() >= 2 ? GetBE16(payload.data()) : kWsCloseNormal);
        break;
    default:  // a pong: nothing to do
        break;
    }
}

void TWebSocketTransportObj::Close(std::uint16_t code) {
    if (!mCloseSent) {
        mCloseSent = true;
        const std::vector<std::uint8_t> frame = UWebSocket::CloseFrame(code);
        mInner->Send(frame.data(), static_cast<std::uint32_t>(frame.size()));
    }
    mInner->StartDisconnect();
    if (mClosed) return;
    mClosed = true;
    AnnounceData();
    if (HasHandler()) {
        Post(kMsgConnectionClosed);
        mClosePosted = true;
    }
}

void TWebSocketTransportObj::Disconnect() {
    if (!mCloseSent && !mClosed) {
        mCloseSent = true;
        const std::vector<std::uint8_t> frame = UWebSocket::CloseFrame(kWsCloseNormal);
        mInner->Send(frame.data(), static_cast<std::uint32_t>(frame.size()));
    }
    mInner->Disconnect();
}

void TWebSocketTransportObj::StartDisconnect() {
    if (!mCloseSent && !mClosed) {
        mCloseSent = true;
        const std::vector<std::uint8_t> frame = UWebSocket::CloseFrame(kWsCloseNormal);
        mInner->Send(frame.data(), static_cast<std::uint32_t>(frame.size()));
    }
    mInner->StartDisconnect();
}

void TWebSocketTransportObj::SendFrameHeader(std::uint64_t size) {
    std::uint8_t header[kWsMaxHeaderSize];
    const std::size_t n = UWebSocket::EncodeHeader(kWsOpBinary, size, header);
    mInner->Send(header, static_cast<std::uint32_t>(n));
}

void TWebSocketTransportObj::Send(const void* data, std::uint32_t size) {
    if (size == 0) return;
    if (data == nullptr) KX_FAIL_PARAM();
    if (mCloseSent || mClosed) return;
    if (size <= kJoinFrame) {
        std::uint8_t frame[kWsMaxHeaderSize + kJoinFrame];
        const std::size_t h = UWebSocket::EncodeHeader(kWsOpBinary, size, frame);
        std::memcpy(frame + h, data, size);
        mInner->Send(frame, static_cast<std::uint32_t>(h + size));
        return;
    }
    SendFrameHeader(size);
    mInner->Send(data, size);
}

void TWebSocketTransportObj::SendBuffer(TTransportBuffer buf) {
    if (!buf || buf->offset > buf->Size() || buf->file) KX_FAIL_PARAM();
    if (mCloseSent || mClosed) return;
    const std::uint32_t remaining = buf->Size() - buf->offset;
    if (remaining == 0) return;
    SendFrameHeader(remaining);
    mInner->SendBuffer(std::move(buf));  // the block goes out as it is, without a copy
}

void TWebSocketTransportObj::SendShared(const std::uint8_t* prefix, std::uint32_t prefixSize, const TSharedBlock& block) {
    if (prefixSize > CSendQueue::kMaxPrefix) KX_FAIL_PARAM();
    if (mCloseSent || mClosed || prefixSize + block.Size() == 0) return;
    std::uint8_t head[kWsMaxHeaderSize + CSendQueue::kMaxPrefix];
    const std::size_t h = UWebSocket::EncodeHeader(kWsOpBinary, prefixSize + block.Size(), head);
    if (prefixSize != 0) std::memcpy(head + h, prefix, prefixSize);
    mInner->Send(head, static_cast<std::uint32_t>(h + prefixSize));
    mInner->SendShared(nullptr, 0, block);
}

void TWebSocketTransportObj::SendFile(int fd, std::uint64_t offset, std::uint32_t size) {
    if (!CanSendFile() || fd < 0) KX_FAIL_PARAM();
    if (mCloseSent || mClosed) return;
    for (std::uint32_t done = 0; done < size;) {
        const std::uint32_t n = std::min(size - done, kMaxFileFrame);
        SendFrameHeader(n);
        mInner->SendFile(fd, offset + done, n);
        done += n;
    }
}

std::uint32_t TWebSocketTransportObj::TakeBuffered(std::uint8_t* dest, std::uint32_t size) {
    const std::uint32_t n = std::min(size, Buffered());
    if (n == 0) return 0;
    std::memcpy(dest, mPlain.data() + mPlainOffset, n);
    mPlainOffset += n;
    if (mPlainOffset == mPlain.size()) {
        std::vector<std::uint8_t>().swap(mPlain);  // all consumed: an idle connection holds nothing
        mPlainOffset = 0;
    }
    return n;
}

void TWebSocketTransportObj::AnnounceData() {
    if (!mReadArmed || !HasHandler()) return;
    const bool ready = mNotifyReceivedSize != 0 ? Buffered() >= mNotifyReceivedSize : Buffered() > 0;
    if (!ready) return;
    Post(kMsgDataArrived);
    mReadArmed = false;
}

std::uint32_t TWebSocketTransportObj::Receive(void* dest, std::uint32_t size) {
    if (size == 0) return 0;
    if (dest == nullptr) KX_FAIL_PARAM();
    auto* p = static_cast<std::uint8_t*>(dest);
    std::uint32_t total = TakeBuffered(p, size);
    Pull();
    total += TakeBuffered(p + total, size - total);
    if (total != 0) mNotifyReceivedSize = 0;
    mReadArmed = true;
    AnnounceData();  // bytes read ahead leave the socket quiet: they are announced now
    return total;
}

TTransportBuffer TWebSocketTransportObj::ReceiveBuffer() {
    Pull();
    TTransportBuffer buf;
    if (const std::uint32_t n = Buffered(); n != 0) {
        buf = std::make_unique<SSendBuf>();
        buf->data.resize(n);
        TakeBuffered(buf->data.data(), n);
        mNotifyReceivedSize = 0;
        Pull();
    }
    mReadArmed = true;
    AnnounceData();
    return buf;
}

bool TWebSocketTransportObj::IsReadyToReceive(std::uint32_t count) {
    mReadArmed = true;
    mNotifyReceivedSize = count;
    if (count == 0) return true;
    Pull();
    const bool ready = Buffered() >= count;
    if (ready) mNotifyReceivedSize = 0;
    return ready;
}

void TWebSocketTransportObj::NotifyReadyToReceive(std::uint32_t count) {
    mReadArmed = true;
    mNotifyReceivedSize = count;
    if (count == 0) return;
    Pull();
    AnnounceData();
}

std::uint32_t TWebSocketTransportObj::GetReceiveSize() {
    Pull();
    return Buffered();
}

}  // namespace kx
