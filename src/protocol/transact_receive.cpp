// The receive side of a transaction connection: cutting the stream into headers and chunks,
// reassembling requests, bounding what a peer can make the connection hold, claiming complete
// requests in arrival order, and the sessions that answer them. Runs from the endpoint's 100
// notices and at the start of NewReceiveSession and ReceiveData.
#include <algorithm>
#include <cstring>
#include <new>

#include "framework/error.h"
#include "protocol/transact.h"

namespace kx {

namespace {

std::uint64_t PendingLimit() {
    return std::uint64_t(_gTransactMaxReceiveSize) * kTransactPendingLimitFactor;
}

std::uint32_t SaturatingAdd(std::uint32_t a, std::uint32_t b) {
    return b > UINT32_MAX - a ? UINT32_MAX : a + b;
}

}  // namespace

void TTransactObj::MarkDead() {
    mIsDead = true;
    mRcvLeft = 0;
    mRcvOffset = 0;
    Disconnect();
}

void TTransactObj::Charge(STranTask& task) {
    if (task.taskType != kTaskRecvRequest) return;
    Uncharge(task);
    // Capacity, not size: a reused receive buffer may be larger than the chunk it holds.
    task.charged = kTransactTaskOverhead + std::uint32_t(task.dataHdl ? task.dataHdl->capacity() : 0);
    mPendingBytes += task.charged;
}

void TTransactObj::Uncharge(STranTask& task) {
    mPendingBytes -= std::min<std::uint64_t>(mPendingBytes, task.charged);
    task.charged = 0;
}

STranTask* TTransactObj::FindTask(std::uint32_t id, std::uint16_t taskType) {
    for (auto& t : mTasks) {
        if (t->tranID == id && t->taskType == taskType) return t.get();
    }
    return nullptr;
}

void TTransactObj::RemoveTask(STranTask* task) {
    if (!task) return;
    auto it = std::find_if(mTasks.begin(), mTasks.end(), [task](const auto& t) { return t.get() == task; });
    if (it == mTasks.end()) return;
    Uncharge(**it);
    mTasks.erase(it);
}

void TTransactObj::ProcessReceive() {
    if (!mIsEstablished || mIsDead || !mTpt) return;
    for (;;) {
        const bool progressed = mRcvLeft > 0 ? ReadChunkData() : ReadHeader();
        if (!progressed || mIsDead) return;
    }
}

// Reads the next header once all 20 bytes are there (the question arms the endpoint to notify
// exactly then) and prepares the receive buffer for its chunk. False when nothing was started.
bool TTransactObj::ReadHeader() {
    if (!mTpt->IsReadyToReceive(kTranHdrSize)) return false;
    std::uint8_t raw[kTranHdrSize];
    if (mTpt->Receive(raw, sizeof raw) != sizeof raw) {
        MarkDead();  // the endpoint promised 20 bytes; the stream can no longer be followed
        return false;
    }
    mRcvHeader = STranHdr::Decode(raw);
    const std::uint32_t limit = _gTransactMaxReceiveSize;
    if (mRcvHeader.totalSize == 0 || mRcvHeader.totalSize > limit || mRcvHeader.dataSize == 0 ||
        mRcvHeader.dataSize > limit) {
        MarkDead();
        return false;
    }
    if (mPendingBytes + mRcvHeader.dataSize + kTransactTaskOverhead > PendingLimit()) {
        MarkDead();
        return false;
    }
    try {
        if (!mRcvBuffer) mRcvBuffer = std::make_unique<THdl>();
        mRcvBuffer->resize(mRcvHeader.dataSize);
    } catch (const std::bad_alloc&) {
        MarkDead();
        KX_FAIL(kErrClassMemory, kErrNoMemory);
    }
    mRcvLeft = mRcvHeader.dataSize;
    mRcvOffset = 0;
    return true;
}

// Takes what the endpoint has of the chunk in progress. False when nothing could be read.
bool TTransactObj::ReadChunkData() {
    const std::uint32_t got = mTpt->Receive(mRcvBuffer->data() + mRcvOffset, mRcvLeft);
    if (got == 0) return false;
    const std::uint32_t taken = std::min(got, mRcvLeft);
    mRcvOffset += taken;
    mRcvLeft -= taken;
    if (mRcvLeft == 0) FinishChunk();
    return true;
}

void TTransactObj::FinishChunk() {
    const STranHdr& hdr = mRcvHeader;
    const std::uint16_t kind = hdr.isReply ? kTaskRecvReply : kTaskRecvRequest;
    STranTask* task = FindTask(hdr.id, kind);
    if (!task) {
        // Nothing here awaits a reply, so a reply chunk is dropped; its buffer is reused.
        if (hdr.isReply) return;
        auto fresh = std::make_unique<STranTask>();
        fresh->taskType = kTaskRecvRequest;
        fresh->tranType = hdr.type;
        fresh->tranID = hdr.id;
        fresh->tranError = hdr.error;
        fresh->totalSize = hdr.totalSize;
        fresh->transferedSize = hdr.dataSize;
        fresh->dataHdl = std::move(mRcvBuffer);  // handed over; the next header allocates anew
        task = fresh.get();
        mTasks.push_back(std::move(fresh));
    } else {
        task->tranError = hdr.error;
        task->tranType = hdr.type;
        task->totalSize = hdr.totalSize;
        task->hasReceivedData = true;
        if (!task->dataHdl) {
            task->dataHdl = std::move(mRcvBuffer);
        } else {
            try {
                task->dataHdl->insert(task->dataHdl->end(), mRcvBuffer->begin(), mRcvBuffer->end());
            } catch (const std::bad_alloc&) {
                MarkDead();
                KX_FAIL(kErrClassMemory, kErrNoMemory);
            }
        }
        task->transferedSize = SaturatingAdd(task->transferedSize, hdr.dataSize);
    }
    Charge(*task);
    if (mPendingBytes > PendingLimit()) MarkDead();
}

TTransactSession TTransactObj::NewReceiveSession(std::uint16_t typeFilter, std::uint16_t mode) {
    ProcessReceive();
    if (!mIsEstablished) return nullptr;
    for (auto& t : mTasks) {
        STranTask& task = *t;
        if (task.taskType != kTaskRecvRequest || task.isBeingReceived) continue;
        if (typeFilter != 0 && task.tranType != typeFilter) continue;
        if (mode == kReceiveCompleteOnly && task.transferedSize < task.totalSize) continue;

        task.isBeingReceived = true;
        auto reply = std::make_unique<STranTask>();
        reply->taskType = kTaskSendReply;
        reply->tranID = task.tranID;
        STranTask* sndTask = reply.get();
        mTasks.push_back(std::move(reply));
        TTransactSession ses(new TTransactSessionObj(this, sndTask, &task));
        ses->mSelf = mSessions.insert(mSessions.end(), ses.get());
        return ses;
    }
    return nullptr;
}

TTransactSessionObj::TTransactSessionObj(TTransactObj* trn, STranTask* sndTask, STranTask* rcvTask)
    : mTrn(trn), mSndTask(sndTask), mRcvTask(rcvTask) {}

TTransactSessionObj::~TTransactSessionObj() {
    if (!mTrn) return;
    mTrn->RemoveTask(mSndTask);
    mTrn->RemoveTask(mRcvTask);
    mTrn->mSessions.erase(mSelf);
}

void TTransactSessionObj::Detach() {
    mTrn = nullptr;
    mSndTask = nullptr;
    mRcvTask = nullptr;
}

std::uint16_t TTransactSessionObj::GetReceiveType() const { return mRcvTask ? mRcvTask->tranType : 0; }

void TTransactSessionObj::ReceiveData(TFieldDataObj obj) {
    KX_REQUIRE(obj);
    if (mTrn) mTrn->ProcessReceive();
    if (!mRcvTask || !mRcvTask->dataHdl) {
        UFieldData::DeleteAllFields(obj);
        return;
    }
    UFieldData::SetDataHandle(obj, std::move(mRcvTask->dataHdl), 0);
    mTrn->Charge(*mRcvTask);
}

void TTransactSessionObj::SetSendError(std::uint32_t error) {
    KX_REQUIRE(mSndTask);
    mSndTask->tranError = error;
}

void TTransactSessionObj::SendData(const void* data, std::uint32_t size) {
    KX_REQUIRE(mSndTask && mTrn);
    if (mSndTask->totalSize == 0) mSndTask->totalSize = size;
    STranHdr hdr;
    hdr.isReply = 1;
    hdr.type = mSndTask->tranType;
    hdr.id = mSndTask->tranID;
    hdr.error = mSndTask->tranError;
    hdr.totalSize = mSndTask->totalSize;
    hdr.dataSize = size;
    mTrn->SendChunk(hdr, data);
    mSndTask->transferedSize = SaturatingAdd(mSndTask->transferedSize, size);
}

void TTransactSessionObj::SendData(TFieldDataObj obj) {
    KX_REQUIRE(obj);
    const THdl& bytes = UFieldData::GetDataHandle(obj);
    KX_REQUIRE(bytes.size() <= UINT32_MAX - kTranHdrSize);
    SendData(bytes.data(), std::uint32_t(bytes.size()));
}

}  // namespace kx
