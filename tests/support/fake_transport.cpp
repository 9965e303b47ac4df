// In-memory stream endpoint for unit tests; see fake_transport.h.
#include "support/fake_transport.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "framework/error.h"

namespace kx::test {

CFakeTransport::CFakeTransport() = default;

CFakeTransport::~CFakeTransport() { CEventLoop::Get().RemoveMessages(Sender()); }

void CFakeTransport::Post(std::uint32_t code) {
    if (!mHandler) return;
    CEventLoop::Get().PostMessage(code, Sender(), mHandler);
}

void CFakeTransport::Feed(const void* data, std::size_t size) {
    if (mShutDown || !mConnected) return;
    const auto* p = static_cast<const std::uint8_t*>(data);
    mIncoming.insert(mIncoming.end(), p, p + size);
    if (mThreshold == 0) {
        Post(kMsgDataArrived);
    } else if (mIncoming.size() >= mThreshold) {
        mThreshold = 0;
        Post(kMsgDataArrived);
    }
}

std::vector<std::uint8_t> CFakeTransport::TakeSent() {
    std::vector<std::uint8_t> out;
    out.swap(mSent);
    mSendCalls.clear();
    return out;
}

void CFakeTransport::PeerClose() {
    if (mClosePosted || !mConnected) return;
    mClosePosted = true;
    // Like a real endpoint, IsConnected turns false when the close notice is delivered.
    TMessageProc handler = mHandler;
    CEventLoop::Get().PostMessage(kMsgConnectionClosed, Sender(), [this, handler](std::uint32_t code, void* obj) {
        mConnected = false;
        if (handler) handler(code, obj);
    });
}

void CFakeTransport::Listen(const void* address, std::uint32_t size) {
    if (!address || size < sizeof(SInternetAddress)) KX_FAIL(kErrClassNetwork, kErrBadAddress);
    SInternetAddress a;
    std::memcpy(&a, address, sizeof a);
    if (a.type != kInternetAddressType) KX_FAIL(kErrClassNetwork, kErrBadAddress);
    mPort = a.port;
    listening = true;
}

TTransport CFakeTransport::Accept(void* addrBuf, std::uint32_t* ioSize) {
    if (mPending.empty()) return nullptr;
    TTransport t = std::move(mPending.front());
    mPending.pop_front();
    if (ioSize) {
        if (addrBuf && *ioSize >= sizeof(SInternetAddress)) {
            SInternetAddress a{kInternetAddressType, 40000, {127, 0, 0, 1, 0, 0, 0, 0}};
            std::memcpy(addrBuf, &a, sizeof a);
            *ioSize = sizeof a;
        } else {
            *ioSize = 0;
        }
    }
    return t;
}

void CFakeTransport::Disconnect() {
    ++mDisconnectCalls;
    mShutDown = true;
    mIncoming.clear();
    PeerClose();
}

void CFakeTransport::StartDisconnect() { Disconnect(); }

void CFakeTransport::Send(const void* data, std::uint32_t size) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    mSendCalls.emplace_back(p, p + size);
    if (!mShutDown) mSent.insert(mSent.end(), p, p + size);
}

void CFakeTransport::SendBuffer(TTransportBuffer buf) {
    KX_REQUIRE(buf);
    Send(buf->data.data() + buf->offset, std::uint32_t(buf->data.size() - buf->offset));
}

void CFakeTransport::NotifyReadyToSend() { Post(kMsgReadyToSend); }

std::uint32_t CFakeTransport::Receive(void* dest, std::uint32_t size) {
    if (mShutDown) return 0;
    const std::uint32_t n = std::uint32_t(std::min<std::size_t>(size, mIncoming.size()));
    std::copy_n(mIncoming.begin(), n, static_cast<std::uint8_t*>(dest));
    mIncoming.erase(mIncoming.begin(), mIncoming.begin() + n);
    if (n != 0) mThreshold = 0;
    return n;
}

TTransportBuffer CFakeTransport::ReceiveBuffer() {
    if (mShutDown || mIncoming.empty()) return nullptr;
    auto buf = std::make_unique<SSendBuf>();
    buf->data.assign(mIncoming.begin(), mIncoming.end());
    mIncoming.clear();
    mThreshold = 0;
    return buf;
}

bool CFakeTransport::IsReadyToReceive(std::uint32_t count) {
    mThreshold = count;
    if (count == 0) return true;
    if (!mShutDown && mIncoming.size() >= count) {
        mThreshold = 0;
        return true;
    }
    return false;
}

void CFakeTransport::NotifyReadyToReceive(std::uint32_t count) {
    mThreshold = count;
    if (!mIncoming.empty() && mIncoming.size() >= count) {
        mThreshold = 0;
        Post(kMsgDataArrived);
    }
}

namespace {
std::uint32_t AddressText(const SIPAddress& a, char* dest, std::uint32_t capacity) {
    if (!dest || capacity == 0) return 0;
    const int n = std::snprintf(dest, capacity, "%d.%d.%d.%d", a.b[0], a.b[1], a.b[2], a.b[3]);
    return n < 0 ? 0 : std::min<std::uint32_t>(std::uint32_t(n), capacity - 1);
}
}  // namespace

std::uint32_t CFakeTransport::GetRemoteAddressText(char* dest, std::uint32_t capacity) {
    return AddressText(GetRemoteIPAddress(), dest, capacity);
}

std::uint32_t CFakeTransport::GetLocalAddressText(char* dest, std::uint32_t capacity) {
    KX_REQUIRE(capacity >= 16);
    return AddressText(mLocal, dest, capacity);
}

}  // namespace kx::test
