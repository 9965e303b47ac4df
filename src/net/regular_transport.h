// The regular endpoint: a TTransportObj sitting directly on a non-blocking IPv4 socket (a TCP
// listener, an accepted TCP connection, or a UDP datagram sender). Module URegularTransport.
//
// Events: the socket is watched by CEventLoop::Get(); readiness becomes notices posted through
// the loop's message queue (never delivered inside the descriptor callback). A "data readable"
// notice is re-armed only by the owner's next read, whereas epoll is level-triggered, so after
// posting 100 (or 104) for input nobody consumed yet the endpoint stops watching readability until the owner calls Receive, ReceiveBuffer, IsReadyToReceive,
// NotifyReadyToReceive (or Accept on a listener); an unread socket never spins the loop.
// Readability is not watched at all while no handler is set. Writability is watched only while
// the send queue holds data. End of stream, a hang-up or an error clears IsConnected, posts 103
// once and unwatches the socket; the socket itself is closed when the endpoint is destroyed.
//
// File ranges (SendFile) join the same queue and are written with sendfile(2), so file contents
// never pass through this process; the tunnel never sees them (TakeUnsentBuffers skips them).
//
// Send queue (CSendQueue, net/send_queue.h), written behind: Send and SendBuffer only append to
// the queue (small blocks are joined to the last queued one, except on a tunnel channel),
// SendShared appends a reference to a shared block behind its per-connection prefix (SendNumbered
// a numbered block with this connection's first number), and the
// connection is listed with the event loop, which flushes it once at the end of the iteration
// (CEventLoop::RequestFlush): sendmsg with up to kMaxWriteBlocks pieces at a time, sendfile for
// file ranges, however many blocks the processing pass handed over. Outside an event-loop iteration there is no batch to wait for, and the
// queue is written at once. What the socket does not take waits for writability, which is
// watched only then (no flush is requested meanwhile: the writable event writes everything
// queued). Disconnect and the destructor write what the socket takes before they shut down or
// close, as the bytes would have left had they been written when handed over. StartDisconnect
// shuts the connection down once the queue has drained.
//
// A peer that stops reading cannot make the queue grow without bound: once a connection's
// unsent bytes would exceed kMaxUnsentSize (16 MiB) the queue is dropped, the connection is
// shut down at once and 103 is posted, so that the owner disposes of it.
//
// Datagrams (SendUnit): destinations given by host name are resolved asynchronously
// (CHostLookup); datagrams leave in the order they were handed over, so a datagram handed over
// while an earlier one still waits for its lookup waits behind it (its own lookup, if any, runs
// meanwhile). At most kMaxPendingUnits datagrams wait; further ones are dropped.
#pragma once

#include <list>
#include <memory>
#include <string>
#include <vector>

#include "net/batch_send.h"
#include "net/notice_target.h"
#include "net/send_queue.h"
#include "net/transport.h"

namespace kx {

class CHostLookup;

// How long a listener that ran out of descriptors waits before accepting again.
inline constexpr std::uint64_t kAcceptRetryMs = 200;

class TRegularTransportObj final : public TTransportObj, private IWriteBehind, private IBatchedWriter {
public:
    // Largest number of bytes a connection may have waiting to be sent.
    static constexpr std::uint32_t kMaxUnsentSize = 16u * 1024 * 1024;
    // Blocks up to this size handed to Send/SendBuffer are copied onto the end of the last
    // queued block while that one is no larger and not yet begun, so a burst is one buffer.
    static constexpr std::uint32_t kJoinLimit = 64u * 1024;
    // Most pieces written by one sendmsg (a shared block with its prefix is two).
    static constexpr int kMaxWriteBlocks = 256;
    // Bytes of small pieces one sendmsg may carry joined by copy (CSendQueue::Gather).
    static constexpr std::size_t kScratchSize = 64u * 1024;
    // Datagrams that may wait for host-name lookups at one time.
    static constexpr std::size_t kMaxPendingUnits = 32;

    // A new socket: stream (TCP) or datagram (UDP). Raises the mapped platform error.
    explicit TRegularTransportObj(bool stream);
    ~TRegularTransportObj() override;
    TRegularTransportObj(const TRegularTransportObj&) = delete;
    TRegularTransportObj& operator=(const TRegularTransportObj&) = delete;

    bool IsRegular() const override { return true; }
    void SetMessageHandler(TMessageProc handler) override;
    void SetMessageObject(void* object) override;

    void SetIPAddress(const SIPAddress& addr) override;
    void Listen(const void* address, std::uint32_t size) override;
    TTransport Accept(void* addrBuf, std::uint32_t* ioSize) override;

    bool IsConnected() const override { return mIsConnected; }
    std::uint16_t GetConnectStatus() const override { return mIsConnected ? 3 : 0; }
    void Disconnect() override;
    void StartDisconnect() override;
    bool IsDisconnecting() const override { return mDisconWhenNoOutData; }

    void Send(const void* data, std::uint32_t size) override;
    void SendBuffer(TTransportBuffer buf) override;
    void SendShared(const std::uint8_t* prefix, std::uint32_t prefixSize, const TSharedBlock& block) override;
    void SendNumbered(const TSharedBlock& block, std::uint32_t first) override;
    std::uint32_t GetUnsentSize() const override { return static_cast<std::uint32_t>(mSendQueue.Unsent()); }
    bool IsReadyToSend() const override { return mSendQueue.Blocks() <= 1; }
    void NotifyReadyToSend() override;
    bool CanSendFile() const override { return mIsStream && !mIsListener; }
    void SendFile(int fd, std::uint64_t offset, std::uint32_t size) override;

    std::uint32_t Receive(void* dest, std::uint32_t size) override;
    TTransportBuffer ReceiveBuffer() override;
    bool IsReadyToReceive(std::uint32_t count) override;
    void NotifyReadyToReceive(std::uint32_t count) override;
    std::uint32_t GetReceiveSize() override;

    void SendUnit(const void* address, std::uint32_t addrSize, const void* data, std::uint32_t size) override;

    std::uint32_t GetRemoteAddressText(char* dest, std::uint32_t capacity) override;
    std::uint32_t GetLocalAddressText(char* dest, std::uint32_t capacity) override;
    SIPAddress GetRemoteIPAddress() const override { return mRemoteAddress; }
    std::uint16_t GetLocalPort() const override;

    // For the HTTP tunnel, whose GET channel may be replaced by a reopened one: when the peer
    // ends the connection the send queue is kept (not dropped) until taken or destroyed, and
    // TakeUnsentBuffers hands over the queued buffers whose writing has not begun, oldest first
    // (a buffer already partly written is dropped: its rest means nothing on a new connection).
    // Such an endpoint never joins blocks, so a partly written buffer is one handed-over block
    // and the blocks queued behind it are still whole.
    void KeepUnsentOnClose() { mKeepUnsentOnClose = true; }
    std::vector<TTransportBuffer> TakeUnsentBuffers();

    // For the encrypted endpoint, which takes over an accepted connection before anything was
    // sent or read: returns the socket, unwatched and with no notices pending, and leaves this
    // endpoint closed without one.
    int ReleaseSocket();
    // For the web listener, which tells TLS from plain HTTP by a connection's first byte: that
    // byte, left unread; false (and readability watched again) while none has arrived.
    bool PeekFirstByte(std::uint8_t& byte);

private:
    // The look-ahead buffer: bytes read from the socket ahead of a Receive. Bytes before
    // `offset` have been consumed; the buffer is released once everything has been consumed.
    struct SReceivedData {
        std::vector<std::uint8_t> data;
        std::uint32_t offset = 0;
    };
    // A datagram waiting for its own or an earlier datagram's host-name lookup.
    struct SPendingUnit {
        std::uint64_t id = 0;
        std::vector<std::uint8_t> data;
        SIPAddress addr;
        std::uint16_t port = 0;
        bool resolving = false;
        bool failed = false;
        std::unique_ptr<CHostLookup> lookup;
    };

    TRegularTransportObj(int acceptedSock, const SIPAddress& remote, std::uint16_t remotePort);

    // Event routing (regular_transport_events.cpp).
    void Watch();
    void Unwatch();
    std::uint32_t WantedInterest() const;
    void UpdateInterest();
    void OnSocketEvent(std::uint32_t mask);
    void OnReadable(std::uint32_t mask);
    void OnWritable();
    void OnClosed();
    void Post(std::uint32_t code);
    bool HasHandler() const { return static_cast<bool>(mNotice->handler); }

    // Sending and receiving (regular_transport_io.cpp).
    // Writes what the socket takes of a file range's remaining bytes with sendfile; -1 when the
    // connection must end (a socket error, or a file shorter than its range).
    long WriteFileRange(SSendBuf& buf);
    // False (and the connection closed) when `size` more bytes would pass the unsent cap.
    bool RoomFor(std::uint64_t size);
    // Asks for the flush and counts `held` bytes of memory as written behind in this iteration.
    void Queued(std::size_t held);
    void RequestFlushOnce();
    void CancelFlushRequest();
    void FlushOutput() override;
    // Writes the queue as far as the socket takes it, then settles what follows: shutdown after
    // StartDisconnect, the ready-to-send notice, writability watched while bytes remain.
    void WriteQueued();
    // What follows a write: shutdown after StartDisconnect, the ready-to-send notice,
    // writability watched while bytes remain.
    void AfterWrite();
    void OnBatchedWrite(long result) override;
    // A write handed to the batch but not yet carried out is carried out now (before the
    // queue or the socket changes).
    void SettleBatchedWrite();
    // Takes the result of one write of the queue's head; false when writing must stop.
    bool TookWrite(long n, std::size_t total);
    void DrainQueue();
    void DropQueue();
    void CloseAtOnce();
    void ShutdownBoth();
    std::uint32_t Buffered() const { return static_cast<std::uint32_t>(mReceived.data.size()) - mReceived.offset; }
    std::uint32_t SocketReadable() const;
    std::uint32_t TakeBuffered(std::uint8_t* dest, std::uint32_t size);
    void TopUp(std::uint32_t count);
    void ArmRead();

    // Addresses and datagrams (regular_transport_unit.cpp).
    void BindLocal(std::uint16_t port);
    void SendDatagramTo(const SIPAddress& addr, std::uint16_t port, const std::uint8_t* data, std::uint32_t size);
    void OnLookupDone(std::uint64_t id, bool ok, const SIPAddress& addr);
    void FlushPendingUnits();

    int mSock = -1;
    std::shared_ptr<SNoticeTarget> mNotice;
    CSendQueue mSendQueue;
    SReceivedData mReceived;
    std::uint32_t mNotifyReceivedSize = 0;  // the receive threshold; 0 = none
    SIPAddress mLocalIPAddress;
    SIPAddress mRemoteAddress;
    std::uint16_t mRemotePort = 0;
    std::string mLocalAddressText;  // remembered answer of GetLocalAddressText while bound
    std::list<SPendingUnit> mPendingUnits;  // a list: an endpoint that sends none holds nothing
    std::uint64_t mNextUnitID = 1;

    bool mIsStream;
    bool mIsBound = false;
    bool mIsListener = false;
    bool mIsConnected = false;
    bool mCheckReadyToSend = false;
    bool mDisconWhenNoOutData = false;
    bool mShutDown = false;      // shut down by Disconnect, a graceful close or the unsent cap
    bool mClosed = false;        // end of the connection seen (103 posted or due)
    bool mClosePosted = false;
    bool mWatched = false;
    bool mReadArmed = true;      // readability wanted; cleared after a notice nobody acted on yet
    bool mKeepUnsentOnClose = false;
    bool mFlushPending = false;  // listed with the event loop for its end-of-iteration flush
    bool mAwaitWritable = false; // the socket stopped taking bytes; writability is watched
    bool mBatched = false;       // a write of the head is with the batch writer
    std::size_t mBatchedTotal = 0;
    std::size_t mFlushSlot = 0;
    CTimerSlot mAcceptRetryTimer;  // a listener out of descriptors waits on this
};

}  // namespace kx
