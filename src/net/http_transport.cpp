// A tunnel endpoint: the listener (which hands raw connections to the open list and pairs them
// in Accept) and the paired tunnel (data and padding blocks both ways, the padding timer,
// dropped and reopened channels, closing).
#include "net/http_transport.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "framework/error.h"
#include "framework/event_loop.h"
#include "net/http_module.h"

namespace kx {

namespace {

constexpr int kBlocksPerTurn = 64;

// A fresh identifier for a listener, in the 36-character text form clients use.
std::string NewIdentifier() {
    static std::uint64_t counter = 0;
    const std::uint64_t a = reinterpret_cast<std::uintptr_t>(&counter) ^ (++counter * 0x9E3779B97F4A7C15ull);
    char text[40];
    std::snprintf(text, sizeof text, "%08x-%04x-%04x-%04x-%012llx", static_cast<unsigned>(a >> 32),
                  static_cast<unsigned>((a >> 16) & 0xFFFF), static_cast<unsigned>(a & 0xFFFF),
                  static_cast<unsigned>(counter & 0xFFFF), static_cast<unsigned long long>(counter & 0xFFFFFFFFFFFFull));
    return std::string(text, 36);
}

}  // namespace

THttpTransportObj::THttpTransportObj(std::uint32_t protocol) {
    if (protocol != kTransportStream) KX_FAIL(kErrClassNetwork, kErrBadProtocol);
    nProtocol = protocol;
    stConnectionGuid = NewIdentifier();
    tptReceive = std::make_unique<CHttpRawChannel>(UTransport::New(kTransportStream, true));
    tptReceive->RouteToListener(this);
    UHttpModule::RegisterTunnel(this);
}

THttpTransportObj::THttpTransportObj(THttpRawChannel send, THttpRawChannel receive, CHttpBlockInput input,
                                     std::string identifier)
    : tptSend(std::move(send)),
      tptReceive(std::move(receive)),
      bIsEstablished(true),
      stConnectionGuid(std::move(identifier)),
      stReceiveData(std::move(input)) {
    tptSend->RouteToTunnel(this, true);
    tptReceive->RouteToTunnel(this, false);
    UHttpModule::RegisterTunnel(this);
    RestartTimer(UHttpTransport::GetTimings().paddingTime2);
    PostSelfDataArrived();  // data may be waiting already
}

THttpTransportObj::~THttpTransportObj() {
    UHttpModule::UnregisterTunnel(this);
    CEventLoop::Get().RemoveMessages(this);
    CancelTimer();
    if (IsListener()) {
        UHttpModule::DropOpenOf(this);
        return;
    }
    if (!bIsDisconnecting) {
        // Closed without Disconnect: the client still learns of it.
        if (tptSend && tptSend->Ep().IsConnected()) {
            std::vector<std::uint8_t> block;
            UHttpBlock::AppendHeader(block, kHttpBlockDisconnect, 0);
            tptSend->Ep().Send(block.data(), static_cast<std::uint32_t>(block.size()));
            tptSend->Ep().StartDisconnect();
            MoveToClosing(tptSend);
        }
        if (tptReceive && tptReceive->Ep().IsConnected()) {
            const std::vector<std::uint8_t> bytes = UHttpBlock::PostCloseBytes();
            tptReceive->Ep().Send(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
            tptReceive->Ep().StartDisconnect();
            MoveToClosing(tptReceive);
        }
    }
}

// ---- listener ----

void THttpTransportObj::SetIPAddress(const SIPAddress& addr) {
    mLocalAddress = addr;
    if (tptSend) tptSend->Ep().SetIPAddress(addr);
    if (tptReceive) tptReceive->Ep().SetIPAddress(addr);
}

void THttpTransportObj::Listen(const void* address, std::uint32_t size) {
    if (!IsListener() || !tptReceive) KX_FAIL_PARAM();
    tptReceive->Ep().Listen(address, size);
}

TTransport THttpTransportObj::Accept(void* addrBuf, std::uint32_t* ioSize) {
    if (!IsListener()) KX_FAIL_PARAM();
    return UHttpModule::Pair(this, addrBuf, ioSize);
}

void THttpTransportObj::OnListenerNotice(std::uint32_t code) {
    if (code == kMsgConnectionRequest && tptReceive) UHttpModule::AcceptRawConnections(this, tptReceive->Ep());
}

// ---- state ----

std::uint16_t THttpTransportObj::GetConnectStatus() const {
    const bool reopening = bIsConnectingSend || bIsConnectingReceive;
    if (bIsDisconnecting && reopening) KX_FAIL(kErrClassNetwork, kErrTunnelState);
    if (!bIsEstablished) return 1;
    return reopening ? 2 : 3;
}

void THttpTransportObj::NotifyOwner(std::uint32_t code) {
    if (!msgProc) return;
    CEventLoop::Get().PostMessage(code, msgObject, msgProc);
}

void THttpTransportObj::MoveToClosing(THttpRawChannel& channel) {
    UHttpModule::AddClosing(std::move(channel));
    channel.reset();
}

void THttpTransportObj::Disconnect() {
    if (bIsDisconnecting || IsListener()) return;
    bIsDisconnecting = true;
    CancelTimer();
    stSendDataList.clear();
    mQueuedSize = 0;
    if (tptSend) {
        if (tptSend->Ep().IsConnected()) {
            std::vector<std::uint8_t> block;
            UHttpBlock::AppendHeader(block, kHttpBlockDisconnect, 0);
            tptSend->Ep().Send(block.data(), static_cast<std::uint32_t>(block.size()));
            tptSend->Ep().StartDisconnect();
            MoveToClosing(tptSend);
        } else {
            tptSend.reset();
        }
    }
    if (tptReceive) {
        if (tptReceive->Ep().IsConnected()) {
            const std::vector<std::uint8_t> bytes = UHttpBlock::PostCloseBytes();
            tptReceive->Ep().Send(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
            tptReceive->Ep().StartDisconnect();
            MoveToClosing(tptReceive);
        } else {
            tptReceive.reset();
        }
    }
    NotifyOwner(kMsgConnectionClosed);
}

// The client sent a disconnect block (or something that is not a block): its GET is shut
// down at once, its POST answered and closed.
void THttpTransportObj::CloseFromPeer() {
    if (bIsDisconnecting) return;
    bIsDisconnecting = true;
    CancelTimer();
    stSendDataList.clear();
    mQueuedSize = 0;
    if (tptSend) {
        tptSend->Ep().Disconnect();
        MoveToClosing(tptSend);
    }
    if (tptReceive) {
        if (tptReceive->Ep().IsConnected()) {
            const std::vector<std::uint8_t> bytes = UHttpBlock::PostCloseBytes();
            tptReceive->Ep().Send(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
            tptReceive->Ep().StartDisconnect();
        }
        MoveToClosing(tptReceive);
    }
    NotifyOwner(kMsgConnectionClosed);
}

// ---- timer ----

void THttpTransportObj::CancelTimer() { msgTimer.Stop(); }

void THttpTransportObj::RestartTimer(std::uint32_t ms) {
    msgTimer.Start(ms, [this] { OnTimer(); });
}

void THttpTransportObj::OnTimer() {
    if (bIsDisconnecting) return;
    if (bIsConnectingSend || bIsConnectingReceive) {
        Disconnect();  // the client did not come back in time
        return;
    }
    if (tptSend && tptSend->Ep().IsConnected()) {
        std::vector<std::uint8_t> package;
        UHttpBlock::AppendPadding(package, _gPackageSize);
        tptSend->Ep().Send(package.data(), static_cast<std::uint32_t>(package.size()));
    }
    RestartTimer(UHttpTransport::GetTimings().paddingTime2);
}

// ---- sending ----

void THttpTransportObj::WriteToGet(std::vector<std::uint8_t> bytes) {
    TTransportBuffer buf = TTransportObj::NewBuffer(0);
    buf->data = std::move(bytes);
    tptSend->Ep().SendBuffer(std::move(buf));
}

void THttpTransportObj::QueueWhileReopening(std::vector<std::uint8_t> bytes) {
    if (mQueuedSize + bytes.size() > kHttpMaxQueuedSend) {
        Disconnect();  // the client has stopped taking data; do not hold it without bound
        return;
    }
    mQueuedSize += bytes.size();
    stSendDataList.push_back(std::move(bytes));
}

void THttpTransportObj::Send(const void* data, std::uint32_t size) {
    if (size == 0 || IsListener() || bIsDisconnecting) return;
    KX_REQUIRE(data != nullptr);
    if (bIsConnectingSend || !tptSend) {
        // Framed as it will go out, without padding: the new GET gets it behind its own.
        std::vector<std::uint8_t> block;
        block.reserve(std::size_t(kHttpBlockHeaderSize) + size);
        UHttpBlock::AppendHeader(block, kHttpBlockData, size);
        block.insert(block.end(), static_cast<const std::uint8_t*>(data), static_cast<const std::uint8_t*>(data) + size);
        QueueWhileReopening(std::move(block));
        return;
    }
    WriteToGet(UHttpBlock::DataPackage(data, size));
    if (!bIsConnectingReceive) RestartTimer(UHttpTransport::GetTimings().paddingTime1);
}

void THttpTransportObj::SendBuffer(TTransportBuffer buf) {
    KX_REQUIRE(buf != nullptr);
    if (buf->offset >= buf->data.size()) return;
    Send(buf->data.data() + buf->offset, static_cast<std::uint32_t>(buf->data.size() - buf->offset));
}

std::uint32_t THttpTransportObj::GetUnsentSize() const {
    if (bIsConnectingSend || !tptSend) return static_cast<std::uint32_t>(mQueuedSize);
    return tptSend->Ep().GetUnsentSize();
}

bool THttpTransportObj::IsReadyToSend() const {
    if (bIsConnectingSend || !tptSend) return false;
    return tptSend->Ep().IsReadyToSend();
}

void THttpTransportObj::NotifyReadyToSend() {
    if (bIsDisconnecting) return;
    if (bIsConnectingSend || !tptSend) {
        mNotifyReadyToSend = true;  // asked again of the new GET channel
        return;
    }
    tptSend->Ep().NotifyReadyToSend();
}

void THttpTransportObj::SendUnit(const void*, std::uint32_t, const void*, std::uint32_t) { KX_FAIL_PARAM(); }

// ---- receiving ----

void THttpTransportObj::PostSelfDataArrived() {
    if (mSelfNoticePosted) return;
    mSelfNoticePosted = true;
    CEventLoop::Get().PostMessage(kMsgDataArrived, this, [this](std::uint32_t, void*) {
        mSelfNoticePosted = false;
        ProcessIncoming();
    });
}

// Examines the POST channel's stream: padding is consumed, a data block is reported to the
// owner, anything else closes the tunnel.
void THttpTransportObj::ProcessIncoming() {
    if (bIsDisconnecting || IsListener()) return;
    if (nReceivedOffset < pReceivedData.size()) {
        NotifyOwner(kMsgDataArrived);
        return;
    }
    if (!tptReceive || bIsConnectingReceive) return;
    TTransportObj& ep = tptReceive->Ep();
    CHttpBlockInput& in = stReceiveData;
    // A client streaming padding as fast as it is read gets a turn, not the whole loop.
    for (int blocks = 0;; ++blocks) {
        if (blocks == kBlocksPerTurn) {
            PostSelfDataArrived();
            return;
        }
        if (in.HasBlock()) {
            if (in.Code() == kHttpBlockData) {
                if (in.Remaining() != 0) {
                    NotifyOwner(kMsgDataArrived);
                    return;
                }
                in.EndBlock();
                continue;
            }
            if (!in.SkipPayload(ep)) return;
            in.EndBlock();
            continue;
        }
        const CHttpBlockInput::EStep step = in.ReadHeader(ep);
        if (step == CHttpBlockInput::EStep::kWait) return;
        if (step == CHttpBlockInput::EStep::kBad ||
            (in.Code() != kHttpBlockData && in.Code() != kHttpBlockPadding)) {
            CloseFromPeer();
            return;
        }
        if (in.Code() == kHttpBlockData && in.Remaining() != 0) {
            if (nNotifyReceivedSize != 0 && in.Remaining() >= nNotifyReceivedSize) {
                in.IsReady(ep, nNotifyReceivedSize);
            }
            nNotifyReceivedSize = 0;
            NotifyOwner(kMsgDataArrived);
            return;
        }
    }
}

std::uint32_t THttpTransportObj::Receive(void* dest, std::uint32_t size) {
    if (size == 0 || IsListener()) return 0;
    KX_REQUIRE(dest != nullptr);
    std::uint32_t got = 0;
    if (nReceivedOffset < pReceivedData.size()) {
        got = static_cast<std::uint32_t>(std::min<std::size_t>(size, pReceivedData.size() - nReceivedOffset));
        std::memcpy(dest, pReceivedData.data() + nReceivedOffset, got);
        nReceivedOffset += got;
        if (nReceivedOffset == pReceivedData.size()) {
            pReceivedData.clear();
            pReceivedData.shrink_to_fit();
            nReceivedOffset = 0;
        }
    } else if (tptReceive && !bIsConnectingReceive && stReceiveData.HasBlock() &&
               stReceiveData.Code() == kHttpBlockData) {
        got = stReceiveData.ReadPayload(tptReceive->Ep(), dest, size);
    }
    if (got != 0) PostSelfDataArrived();
    return got;
}

TTransportBuffer THttpTransportObj::ReceiveBuffer() {
    const std::uint32_t size = GetReceiveSize();
    if (size == 0) return nullptr;
    TTransportBuffer buf = TTransportObj::NewBuffer(size);
    buf->data.resize(size);
    const std::uint32_t got = Receive(buf->data.data(), size);
    if (got == 0) return nullptr;
    buf->data.resize(got);
    return buf;
}

bool THttpTransportObj::IsReadyToReceive(std::uint32_t count) {
    if (count == 0) return true;
    if (nReceivedOffset < pReceivedData.size()) return pReceivedData.size() - nReceivedOffset >= count;
    if (tptReceive && !bIsConnectingReceive && stReceiveData.HasBlock() && stReceiveData.Code() == kHttpBlockData &&
        stReceiveData.Remaining() != 0) {
        // A unit split across blocks never completes: the client frames each unit in one block.
        return stReceiveData.IsReady(tptReceive->Ep(), count);
    }
    nNotifyReceivedSize = count;
    return false;
}

void THttpTransportObj::NotifyReadyToReceive(std::uint32_t count) {
    if (IsReadyToReceive(count)) NotifyOwner(kMsgDataArrived);
}

std::uint32_t THttpTransportObj::GetReceiveSize() {
    if (nReceivedOffset < pReceivedData.size()) return static_cast<std::uint32_t>(pReceivedData.size() - nReceivedOffset);
    if (!tptReceive || bIsConnectingReceive || !stReceiveData.HasBlock() || stReceiveData.Code() != kHttpBlockData) {
        return 0;
    }
    return stReceiveData.PayloadAvailable(tptReceive->Ep());
}

// ---- channels dropping and returning ----

void THttpTransportObj::OnChannelNotice(bool isSend, std::uint32_t code) {
    if (bIsDisconnecting) return;
    switch (code) {
    case kMsgDataArrived:
        if (isSend) {
            tptSend->DiscardInput();  // nothing is expected from the client on its GET
        } else {
            ProcessIncoming();
        }
        break;
    case kMsgReadyToSend:
        if (isSend) NotifyOwner(kMsgReadyToSend);
        break;
    case kMsgConnectionClosed:
        if (isSend) {
            OnGetDropped();
        } else {
            OnPostDropped();
        }
        break;
    default:
        break;
    }
}

// Data handed to the old GET endpoint and not yet begun is written again on the new one; a
// block already partly written cannot be completed there and is dropped.
void THttpTransportObj::OnGetDropped() {
    if (bIsConnectingSend || !tptSend) {
        Disconnect();
        return;
    }
    std::vector<TTransportBuffer> unsent = tptSend->TakeUnsentBuffers();
    tptSend.reset();
    std::deque<std::vector<std::uint8_t>> list;
    std::size_t size = 0;
    for (TTransportBuffer& b : unsent) {
        size += b->data.size();
        list.push_back(std::move(b->data));
    }
    // Data sent since the last drop of this channel (none) comes after what the old one held.
    for (auto& e : stSendDataList) list.push_back(std::move(e));
    stSendDataList = std::move(list);
    mQueuedSize += size;
    bIsConnectingSend = true;
    RestartTimer(UHttpTransport::GetTimings().connectionTime);
    if (mQueuedSize > kHttpMaxQueuedSend) Disconnect();
}

// What the old POST endpoint still holds is read: data is kept for the owner, padding skipped.
// A stream cut inside a data block cannot be resumed by a new POST.
void THttpTransportObj::OnPostDropped() {
    if (bIsConnectingReceive || !tptReceive) {
        Disconnect();
        return;
    }
    std::vector<std::uint8_t> taken(pReceivedData.begin() + static_cast<std::ptrdiff_t>(nReceivedOffset),
                                    pReceivedData.end());
    const bool resumable = stReceiveData.TakeOver(tptReceive->Ep(), taken, kHttpMaxTakenOver);
    pReceivedData = std::move(taken);
    nReceivedOffset = 0;
    tptReceive.reset();
    stReceiveData = CHttpBlockInput();
    if (!resumable) {
        Disconnect();
        return;
    }
    bIsConnectingReceive = true;
    RestartTimer(UHttpTransport::GetTimings().connectionTime);
    if (!pReceivedData.empty()) PostSelfDataArrived();
}

void THttpTransportObj::AdoptChannel(bool isSend, THttpRawChannel channel, CHttpBlockInput input) {
    if (bIsDisconnecting || IsListener()) return;  // the new connection is disposed
    const SHttpTimings& t = UHttpTransport::GetTimings();
    if (isSend) {
        // A GET reopened before the old one was seen to drop replaces it all the same.
        if (!bIsConnectingSend) OnGetDropped();
        if (bIsDisconnecting) return;
        tptSend = std::move(channel);
        tptSend->RouteToTunnel(this, true);
        bIsConnectingSend = false;
        const bool wrote = !stSendDataList.empty();
        while (!stSendDataList.empty()) {
            WriteToGet(std::move(stSendDataList.front()));
            stSendDataList.pop_front();
        }
        mQueuedSize = 0;
        if (mNotifyReadyToSend) {
            mNotifyReadyToSend = false;
            tptSend->Ep().NotifyReadyToSend();
        }
        // While the POST is still being reopened its time-out keeps running.
        if (!bIsConnectingReceive) RestartTimer(wrote ? t.paddingTime1 : t.paddingTime2);
        return;
    }
    if (!bIsConnectingReceive) OnPostDropped();
    if (bIsDisconnecting) return;
    tptReceive = std::move(channel);
    tptReceive->RouteToTunnel(this, false);
    stReceiveData = std::move(input);
    bIsConnectingReceive = false;
    if (!bIsConnectingSend) RestartTimer(t.paddingTime2);
    PostSelfDataArrived();
}

// ---- addresses ----

CHttpRawChannel* THttpTransportObj::AddressChannel() const {
    if (tptReceive) return tptReceive.get();
    return tptSend.get();
}

std::uint32_t THttpTransportObj::GetRemoteAddressText(char* dest, std::uint32_t capacity) {
    if (CHttpRawChannel* c = AddressChannel()) return c->Ep().GetRemoteAddressText(dest, capacity);
    SIPAddress ip = GetRemoteIPAddress();
    return UTransport::IPAddressToText(ip, dest, capacity);
}

std::uint32_t THttpTransportObj::GetLocalAddressText(char* dest, std::uint32_t capacity) {
    if (CHttpRawChannel* c = AddressChannel()) return c->Ep().GetLocalAddressText(dest, capacity);
    return UTransport::IPAddressToText(mLocalAddress, dest, capacity);
}

SIPAddress THttpTransportObj::GetRemoteIPAddress() const {
    if (CHttpRawChannel* c = AddressChannel()) return c->Ep().GetRemoteIPAddress();
    SIPAddress ip;
    std::memcpy(ip.b, stPeerAddress.host, 4);
    return ip;
}

std::uint16_t THttpTransportObj::GetLocalPort() const {
    if (CHttpRawChannel* c = AddressChannel()) return c->Ep().GetLocalPort();
    return 0;
}

// ---- module entry ----

namespace UHttpTransport {

TTransport New(std::uint32_t protocol) { return std::make_unique<THttpTransportObj>(protocol); }

}  // namespace UHttpTransport

}  // namespace kx
