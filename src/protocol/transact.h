// Transaction connections: TTransactObj wraps one stream endpoint (TTransportObj) and turns its
// bytes into transactions. It runs the 12-byte establish exchange, cuts the incoming stream into
// 20-byte headers (STranHdr) and data chunks, reassembles the chunks of each request, keeps the
// complete requests in arrival order until the application claims them, and frames every send.
// TTransactSessionObj is one claimed request together with the reply that answers it. The two
// classes are the layer's only face: their members are its operations (a session's request
// type, data, error and reply are GetReceiveType, ReceiveData, SetSendError and SendData), and
// disposing of either is destroying it.
//
// Ownership: a connection owns its endpoint and every task (request in flight, reply being
// sent). A session refers to two of its connection's tasks; it is meant to live within one call
// of the dispatcher and must be disposed before its connection (a session that outlives its
// connection is detached and raises a programming error when used).
//
// Notices: the endpoint reports to the connection through the event loop's queue; the connection
// runs its receive loop on 100 (data arrived) and then passes the same code, naming the connection
// as the sender, straight to its owner's handler, within that delivery (no second trip through
// the queue, so the requests are served in the same loop iteration). Everything runs on the event
// loop's thread.
#pragma once

#include <cstdint>
#include <list>
#include <memory>

#include "framework/event_loop.h"
#include "net/send_queue.h"
#include "net/transport.h"
#include "protocol/field_data.h"

namespace kx {

inline constexpr std::uint32_t kTranHdrSize = 20;
inline constexpr std::uint32_t kEstablishRequestSize = 12;
inline constexpr std::uint32_t kEstablishReplySize = 8;
inline constexpr std::uint16_t kTransactVersion = 1;

// ReceiveEstablish results.
inline constexpr int kEstablishPending = 0;
inline constexpr int kEstablishReceived = 1;
inline constexpr int kEstablishBadProtocol = 2;
inline constexpr int kEstablishBadVersion = 3;

inline constexpr std::uint16_t kTaskSendReply = 2;
inline constexpr std::uint16_t kTaskRecvRequest = 3;
inline constexpr std::uint16_t kTaskRecvReply = 4;

inline constexpr std::uint16_t kReceiveCompleteOnly = 1;  // NewReceiveSession mode

// Bounds the totalSize and dataSize of every received header (process-wide). The server lowers
// it during start-up, before any listener opens.
extern std::uint32_t _gTransactMaxReceiveSize;

// Bytes a connection may hold in requests that have not been claimed yet, as a multiple of
// _gTransactMaxReceiveSize. Each chunk is bounded by the limit but the number of ids a peer can
// open is not, so past this the connection is treated as a framing violation.
inline constexpr std::uint32_t kTransactPendingLimitFactor = 4;
// What each pending request task is charged on top of its data, so that a flood of tiny
// requests is bounded too.
inline constexpr std::uint32_t kTransactTaskOverhead = 256;

// The header of every chunk, in host order. Big-endian on the wire.
struct STranHdr {
    std::uint8_t flag = 0;
    std::uint8_t isReply = 0;
    std::uint16_t type = 0;
    std::uint32_t id = 0;
    std::uint32_t error = 0;
    std::uint32_t totalSize = 0;
    std::uint32_t dataSize = 0;

    void Encode(std::uint8_t out[kTranHdrSize]) const;
    static STranHdr Decode(const std::uint8_t in[kTranHdrSize]);
};

// One transaction in flight on a connection.
struct STranTask {
    std::unique_ptr<THdl> dataHdl;        // received data (a request) or null
    std::uint32_t totalSize = 0;
    std::uint32_t transferedSize = 0;
    std::uint32_t tranID = 0;
    std::uint32_t tranError = 0;
    std::uint16_t tranType = 0;
    std::uint16_t taskType = 0;
    bool isBeingReceived = false;         // claimed by a session
    bool hasReceivedData = false;         // a later chunk has been merged in
    std::uint32_t charged = 0;            // bytes counted against the pending limit
};

class TTransactObj;
class TTransactSessionObj;
using TTransact = std::unique_ptr<TTransactObj>;
using TTransactSession = std::unique_ptr<TTransactSessionObj>;

class TTransactObj {
public:
    // Wraps `tpt` (may be null; see SetTransport) and becomes its message handler.
    explicit TTransactObj(TTransport tpt);
    ~TTransactObj();
    TTransactObj(const TTransactObj&) = delete;
    TTransactObj& operator=(const TTransactObj&) = delete;

    void SetMessageHandler(TMessageProc handler);
    void SetIPAddress(const SIPAddress& addr);
    void Listen(const void* address, std::uint32_t size);
    // One pending incoming connection wrapped in a new connection, or null.
    TTransact Accept(void* addrBuf, std::uint32_t* ioSize);

    // 0 not yet, 1 received (subProtocol/subVersion filled), 2 not "TRTP" (nothing sent),
    // 3 wrong version (refusal with code 1 sent). Once 1, 2 or 3 has been answered the same
    // answer is repeated, so bytes that follow the establish request are never taken for one.
    int ReceiveEstablish(std::uint8_t outSubProtocol[4], std::uint16_t& outSubVersion);
    void AcceptEstablish();
    void RejectEstablish(std::uint32_t error);
    bool IsEstablished() const { return mIsEstablished; }
    bool IsDead() const { return mIsDead; }

    bool IsConnected() const;
    void Disconnect();
    void StartDisconnect();
    bool IsDisconnecting() const;

    TTransportObj* GetTransport() const { return mTpt.get(); }
    // Replaces the endpoint and returns the previous one without disposing it; the previous
    // endpoint no longer reports to this connection (its handler is cleared).
    TTransport SetTransport(TTransport tpt);

    // Parses what has arrived, then claims the oldest unclaimed request matching `typeFilter`
    // (0 = any) that is complete (mode 1). Null when none or when not established.
    TTransactSession NewReceiveSession(std::uint16_t typeFilter = 0, std::uint16_t mode = kReceiveCompleteOnly);

    // Sends a request this side originates, in one chunk; returns the id it used.
    std::uint32_t SendTransaction(std::uint16_t type, TFieldDataObj data);
    std::uint32_t SendTransaction(std::uint16_t type, const void* data, std::uint32_t size);
    // The same with data encoded once for many connections (ShareData): only the header, whose
    // ID is this connection's own, is written per connection.
    std::uint32_t SendTransaction(std::uint16_t type, const TSharedBlock& data);
    // A field list's bytes as one shared block, for SendTransaction to many connections.
    static TSharedBlock ShareData(TFieldDataObj data);
    // Sends the `count` requests of a numbered block (transactions whose IDs are zero, built by
    // TTransactFanOut) under this connection's next IDs.
    void SendNumbered(const TSharedBlock& block, std::uint32_t count);

    // Runs the receive loop (normally driven by the endpoint's 100 notices).
    void ProcessReceive();

    // Introspection for tests and diagnostics.
    std::size_t GetTaskCount() const { return mTasks.size(); }
    std::uint64_t GetPendingBytes() const { return mPendingBytes; }

private:
    friend class TTransactSessionObj;

    void AttachTransport();
    void OnTransportNotice(std::uint32_t code);
    void SendEstablishReply(std::uint32_t error);
    void SendChunk(const STranHdr& hdr, const void* data);
    // The header of a request this side originates, with the connection's next ID.
    STranHdr NextRequestHeader(std::uint16_t type, std::uint32_t size);
    void MarkDead();
    bool ReadHeader();
    bool ReadChunkData();
    void FinishChunk();
    void Charge(STranTask& task);
    void Uncharge(STranTask& task);
    STranTask* FindTask(std::uint32_t id, std::uint16_t taskType);
    void RemoveTask(STranTask* task);

    TTransport mTpt;
    TMessageProc mMsgProc;
    std::shared_ptr<TTransactObj*> mNoticeToken;  // queued endpoint notices die with it
    std::uint32_t mTranIDCounter = 0;
    std::list<std::unique_ptr<STranTask>> mTasks;  // creation order
    std::uint32_t mRcvLeft = 0;
    std::uint32_t mRcvOffset = 0;
    std::unique_ptr<THdl> mRcvBuffer;
    STranHdr mRcvHeader;
    std::uint8_t mRemoteProtocolTag[4] = {0, 0, 0, 0};
    std::uint16_t mRemoteVersionTag = 0;
    int mEstablishResult = kEstablishPending;
    bool mIsEstablished = false;
    bool mIsDead = false;
    bool mInReceive = false;
    std::uint64_t mPendingBytes = 0;
    std::list<TTransactSessionObj*> mSessions;  // live sessions, detached on destruction
};

class TTransactSessionObj {
public:
    ~TTransactSessionObj();
    TTransactSessionObj(const TTransactSessionObj&) = delete;
    TTransactSessionObj& operator=(const TTransactSessionObj&) = delete;

    // The request's type; 0 without a request.
    std::uint16_t GetReceiveType() const;
    // Moves the request's data into `obj` without copying (empties it when there is none).
    void ReceiveData(TFieldDataObj obj);
    void SetSendError(std::uint32_t error);
    // Sends one chunk of the reply; the first call fixes the reply's total.
    void SendData(TFieldDataObj obj);
    void SendData(const void* data, std::uint32_t size);

    TTransactObj* GetConnection() const { return mTrn; }

private:
    friend class TTransactObj;
    TTransactSessionObj(TTransactObj* trn, STranTask* sndTask, STranTask* rcvTask);
    void Detach();

    TTransactObj* mTrn;
    STranTask* mSndTask;
    STranTask* mRcvTask;
    std::list<TTransactSessionObj*>::iterator mSelf;
};

}  // namespace kx
