// Transaction connections: lifetime, the establish exchange and framing of everything sent. The
// receive side (chunk reassembly, claiming, sessions) is in
// transact_receive.cpp.
#include "protocol/transact.h"

#include <cstring>

#include "framework/byte_codec.h"
#include "framework/error.h"
#include "protocol/transact_fanout.h"

namespace kx {

std::uint32_t _gTransactMaxReceiveSize = 2097152;

// A numbered block's heads are transaction headers: the ID is the number, the data size the length.
static_assert(kTranHdrSize == CSendQueue::kNumberedHead && CSendQueue::kNumberedAt == 4 &&
              CSendQueue::kNumberedLengthAt == 16);

namespace {

const std::uint8_t kProtocolTag[4] = {'T', 'R', 'T', 'P'};

}  // namespace

void STranHdr::Encode(std::uint8_t out[kTranHdrSize]) const {
    out[0] = flag;
    out[1] = isReply;
    PutBE16(out + 2, type);
    PutBE32(out + 4, id);
    PutBE32(out + 8, error);
    PutBE32(out + 12, totalSize);
    PutBE32(out + 16, dataSize);
}

STranHdr STranHdr::Decode(const std::uint8_t in[kTranHdrSize]) {
    STranHdr h;
    h.flag = in[0];
    h.isReply = in[1];
    h.type = GetBE16(in + 2);
    h.id = GetBE32(in + 4);
    h.error = GetBE32(in + 8);
    h.totalSize = GetBE32(in + 12);
    h.dataSize = GetBE32(in + 16);
    return h;
}

TTransactObj::TTransactObj(TTransport tpt) : mTpt(std::move(tpt)) {
    if (mTpt) AttachTransport();
}

TTransactObj::~TTransactObj() {
    // A pending run may name this connection among its recipients.
    try {
        TTransactFanOut::HandOver();
    } catch (...) {
    }
    for (TTransactSessionObj* ses : mSessions) ses->Detach();
    mSessions.clear();
    mNoticeToken.reset();
    mTasks.clear();
    mRcvBuffer.reset();
    mTpt.reset();
}

void TTransactObj::AttachTransport() {
    // Notices already queued by an endpoint outlive a detach; they reach this connection only
    // while the token they captured is alive.
    mNoticeToken = std::make_shared<TTransactObj*>(this);
    std::weak_ptr<TTransactObj*> weak = mNoticeToken;
    mTpt->SetMessageHandler([weak](std::uint32_t code, void*) {
        if (auto self = weak.lock()) (*self)->OnTransportNotice(code);
    });
}

void TTransactObj::OnTransportNotice(std::uint32_t code) {
    // The endpoint's notice has already waited its turn in the event loop's queue: the owner hears
    // of it now, in the same delivery, with the received requests parsed, so it can serve them in
    // this iteration's pass. A copy of the handler is called, as it may replace itself or dispose
    // of this connection; nothing here touches the connection after the call.
    if (code == kMsgDataArrived) {
        try {
            ProcessReceive();
        } catch (...) {
            // The owner still hears of the event (it will find the connection closed).
            if (TMessageProc proc = mMsgProc) proc(code, this);
            throw;
        }
    }
    if (TMessageProc proc = mMsgProc) proc(code, this);
}

void TTransactObj::SetMessageHandler(TMessageProc handler) { mMsgProc = std::move(handler); }

void TTransactObj::SetIPAddress(const SIPAddress& addr) {
    KX_REQUIRE(mTpt);
    mTpt->SetIPAddress(addr);
}

void TTransactObj::Listen(const void* address, std::uint32_t size) {
    KX_REQUIRE(mTpt);
    mTpt->Listen(address, size);
}

TTransact TTransactObj::Accept(void* addrBuf, std::uint32_t* ioSize) {
    KX_REQUIRE(mTpt);
    TTransport tpt = mTpt->Accept(addrBuf, ioSize);
    if (!tpt) return nullptr;
    return std::make_unique<TTransactObj>(std::move(tpt));
}

int TTransactObj::ReceiveEstablish(std::uint8_t outSubProtocol[4], std::uint16_t& outSubVersion) {
    if (!mTpt || !mTpt->IsConnected() || mTpt->GetConnectStatus() != 3) return kEstablishPending;
    if (mIsEstablished || mEstablishResult == kEstablishReceived) {
        std::memcpy(outSubProtocol, mRemoteProtocolTag, 4);
        outSubVersion = mRemoteVersionTag;
        return kEstablishReceived;
    }
    if (mEstablishResult != kEstablishPending) return mEstablishResult;
    if (!mTpt->IsReadyToReceive(kEstablishRequestSize)) return kEstablishPending;

    std::uint8_t req[kEstablishRequestSize];
    if (mTpt->Receive(req, sizeof req) != sizeof req || std::memcmp(req, kProtocolTag, 4) != 0) {
        mEstablishResult = kEstablishBadProtocol;
        return mEstablishResult;
    }
    if (GetBE16(req + 8) != kTransactVersion) {
        SendEstablishReply(1);
        mEstablishResult = kEstablishBadVersion;
        return mEstablishResult;
    }
    std::memcpy(mRemoteProtocolTag, req + 4, 4);
    mRemoteVersionTag = GetBE16(req + 10);
    mEstablishResult = kEstablishReceived;
    std::memcpy(outSubProtocol, mRemoteProtocolTag, 4);
    outSubVersion = mRemoteVersionTag;
    return kEstablishReceived;
}

void TTransactObj::SendEstablishReply(std::uint32_t error) {
    KX_REQUIRE(mTpt);
    TTransactFanOut::HandOver();
    std::uint8_t reply[kEstablishReplySize];
    std::memcpy(reply, kProtocolTag, 4);
    PutBE32(reply + 4, error);
    mTpt->Send(reply, sizeof reply);
}

void TTransactObj::AcceptEstablish() {
    if (mIsEstablished) return;
    SendEstablishReply(0);
    mIsEstablished = true;
}

void TTransactObj::RejectEstablish(std::uint32_t error) {
    if (mIsEstablished) KX_FAIL_PARAM();
    SendEstablishReply(error == 0 ? 1 : error);
}

bool TTransactObj::IsConnected() const { return mTpt && mTpt->IsConnected(); }

void TTransactObj::Disconnect() {
    TTransactFanOut::HandOver();
    if (mTpt) mTpt->Disconnect();
    mIsEstablished = false;
}

void TTransactObj::StartDisconnect() {
    TTransactFanOut::HandOver();
    if (mTpt) mTpt->StartDisconnect();
}

bool TTransactObj::IsDisconnecting() const { return mTpt && mTpt->IsDisconnecting(); }

TTransport TTransactObj::SetTransport(TTransport tpt) {
    TTransactFanOut::HandOver();
    TTransport old = std::move(mTpt);
    mNoticeToken.reset();
    if (old) old->SetMessageHandler(nullptr);
    mTpt = std::move(tpt);
    if (mTpt) AttachTransport();
    return old;
}

void TTransactObj::SendChunk(const STranHdr& hdr, const void* data) {
    KX_REQUIRE(mTpt);
    TTransactFanOut::HandOver();
    if (hdr.dataSize == 0) {
        std::uint8_t raw[kTranHdrSize];
        hdr.Encode(raw);
        mTpt->Send(raw, sizeof raw);
        return;
    }
    KX_REQUIRE(data && hdr.dataSize <= UINT32_MAX - kTranHdrSize);
    // Header and data in one buffer, so the endpoint writes or queues them together.
    TTransportBuffer buf = TTransportObj::NewBuffer(kTranHdrSize + hdr.dataSize);
    hdr.Encode(buf->data.data());
    std::memcpy(buf->data.data() + kTranHdrSize, data, hdr.dataSize);
    mTpt->SendBuffer(std::move(buf));
}

STranHdr TTransactObj::NextRequestHeader(std::uint16_t type, std::uint32_t size) {
    // A pending run takes its IDs before this transaction does.
    TTransactFanOut::HandOver();
    if (++mTranIDCounter == 0) ++mTranIDCounter;
    STranHdr hdr;
    hdr.type = type;
    hdr.id = mTranIDCounter;
    hdr.totalSize = size;
    hdr.dataSize = size;
    return hdr;
}

std::uint32_t TTransactObj::SendTransaction(std::uint16_t type, const void* data, std::uint32_t size) {
    KX_REQUIRE(mTpt);
    const STranHdr hdr = NextRequestHeader(type, size);
    SendChunk(hdr, data);
    return hdr.id;
}

std::uint32_t TTransactObj::SendTransaction(std::uint16_t type, const TSharedBlock& data) {
    KX_REQUIRE(mTpt);
    const STranHdr hdr = NextRequestHeader(type, data.Size());
    std::uint8_t raw[kTranHdrSize];
    hdr.Encode(raw);
    mTpt->SendShared(raw, sizeof raw, data);
    return hdr.id;
}

void TTransactObj::SendNumbered(const TSharedBlock& block, std::uint32_t count) {
    if (!mTpt || count == 0) return;
    if (mTranIDCounter <= UINT32_MAX - count) {
        const std::uint32_t first = mTranIDCounter + 1;
        mTranIDCounter += count;
        mTpt->SendNumbered(block, first);
        return;
    }
    // The IDs would pass 0, which is never used: one by one, as NextRequestHeader skips it.
    for (std::uint32_t head = 0; head + kTranHdrSize <= block.Size();) {
        const STranHdr hdr = STranHdr::Decode(block.Data() + head);
        if (hdr.dataSize > block.Size() - head - kTranHdrSize) KX_FAIL_PARAM();
        SendTransaction(hdr.type, block.Data() + head + kTranHdrSize, hdr.dataSize);
        head += kTranHdrSize + hdr.dataSize;
    }
}

std::uint32_t TTransactObj::SendTransaction(std::uint16_t type, TFieldDataObj data) {
    KX_REQUIRE(data);
    const THdl& bytes = UFieldData::GetDataHandle(data);
    KX_REQUIRE(bytes.size() <= UINT32_MAX - kTranHdrSize);
    return SendTransaction(type, bytes.data(), std::uint32_t(bytes.size()));
}

TSharedBlock TTransactObj::ShareData(TFieldDataObj data) {
    KX_REQUIRE(data);
    const THdl& bytes = UFieldData::GetDataHandle(data);
    KX_REQUIRE(bytes.size() <= UINT32_MAX - kTranHdrSize);
    return TSharedBlock::Copy(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

}  // namespace kx
