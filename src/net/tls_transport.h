// The encrypted endpoint: a TTransportObj carrying the plain byte stream inside TLS over a
// non-blocking socket, so nothing above the net layer knows it is encrypted.
//
// TTlsListenerObj wraps a regular listener and hands out accepted connections as
// TTlsTransportObj, each with a server-side OpenSSL connection from the shared context.
//
// TTlsTransportObj behaves as TRegularTransportObj does (notices, readiness re-armed by the
// owner, write-behind queue flushed once per event-loop iteration, the 16 MiB unsent cap, file
// ranges queued by SendFile), with these differences:
// - The handshake runs first, inside the event loop, without the owner's help; the connection
//   counts as connected meanwhile but announces no data. A handshake not finished within
//   kHandshakeTimeoutMs (a silent peer, plain protocol bytes, a stalled client) closes the
//   connection (103), as does a failed one.
// - Received bytes are decrypted into a look-ahead buffer; "data arrived" (100) is posted once
//   plain bytes are there (or the receive threshold is reached), also when they were decrypted
//   ahead, since the socket then stays quiet.
// - File ranges go out with SSL_sendfile when the kernel took over the sending side (kernel
//   TLS); otherwise they are read in windows of kFileWindow bytes into SSL_write.
// - Disconnect sends the TLS close notice before the socket is shut down.
// Owners: the connection owns its socket and its OpenSSL object; destroying it frees both.
#pragma once

#include <memory>
#include <vector>

#include "net/notice_target.h"
#include "net/send_queue.h"
#include "net/tls_context.h"
#include "net/transport.h"

namespace kx {

class TRegularTransportObj;

class TTlsTransportObj final : public TTransportObj, private IWriteBehind {
public:
    static constexpr std::uint32_t kMaxUnsentSize = 16u * 1024 * 1024;
    // Small blocks are joined up to about one TLS record.
    static constexpr std::uint32_t kJoinLimit = 16u * 1024;
    static constexpr std::uint32_t kFileWindow = 256u * 1024;
    // Most plain bytes decrypted ahead at once for GetReceiveSize and ReceiveBuffer.
    static constexpr std::uint32_t kMaxReadAhead = 256u * 1024;
    static constexpr std::uint64_t kHandshakeTimeoutMs = 10000;

    // Takes over an accepted socket with the server-side connection `ssl` (owned from now on).
    // `context` is told when the first session starts.
    TTlsTransportObj(int sock, const SIPAddress& remote, SSL* ssl, std::shared_ptr<CTlsServerContext> context);
    ~TTlsTransportObj() override;
    TTlsTransportObj(const TTlsTransportObj&) = delete;
    TTlsTransportObj& operator=(const TTlsTransportObj&) = delete;

    bool IsRegular() const override { return true; }
    void SetMessageHandler(TMessageProc handler) override;
    void SetMessageObject(void* object) override;

    void SetIPAddress(const SIPAddress&) override {}
    void Listen(const void* address, std::uint32_t size) override;
    TTransport Accept(void* addrBuf, std::uint32_t* ioSize) override;

    bool IsConnected() const override { return !mClosed; }
    std::uint16_t GetConnectStatus() const override { return mClosed ? 0 : 3; }
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
    bool CanSendFile() const override { return true; }
    void SendFile(int fd, std::uint64_t offset, std::uint32_t size) override;

    std::uint32_t Receive(void* dest, std::uint32_t size) override;
    TTransportBuffer ReceiveBuffer() override;
    bool IsReadyToReceive(std::uint32_t count) override;
    void NotifyReadyToReceive(std::uint32_t count) override;
    std::uint32_t GetReceiveSize() override;

    void SendUnit(const void*, std::uint32_t, const void*, std::uint32_t) override;

    std::uint32_t GetRemoteAddressText(char* dest, std::uint32_t capacity) override;
    std::uint32_t GetLocalAddressText(char* dest, std::uint32_t capacity) override;
    SIPAddress GetRemoteIPAddress() const override { return mRemoteAddress; }
    std::uint16_t GetLocalPort() const override;

    bool IsHandshakeDone() const { return mHandshakeDone; }
    // True when the kernel encrypts what this connection sends (files go out with SSL_sendfile).
    bool UsesKernelTls() const;

private:
    // Life cycle and events (tls_transport.cpp).
    std::uint32_t WantedInterest() const;
    void UpdateInterest();
    void OnSocketEvent(std::uint32_t mask);
    void ContinueHandshake();
    void OnReadable(std::uint32_t mask);
    void OnClosed();
    void Post(std::uint32_t code);
    bool HasHandler() const { return static_cast<bool>(mNotice->handler); }
    // What an OpenSSL call's failure means: 0 try again later (the wait recorded), -1 the
    // connection is over.
    int Blocked(int result);

    // Data path (tls_transport_io.cpp).
    // False (and the connection closed) when `size` more bytes would pass the unsent cap.
    bool RoomFor(std::uint64_t size);
    void Queued(std::size_t held);
    void RequestFlushOnce();
    void CancelFlushRequest();
    void FlushOutput() override;
    void WriteQueued();
    void DrainQueue();
    // Writes from the head file range; -1 when the connection must end, 0 when blocked.
    long WriteFileRange(SSendBuf& head);
    long WriteBytes(const std::uint8_t* data, std::uint32_t size);
    void DropQueue();
    void CloseAtOnce();
    void ShutdownBoth();
    std::uint32_t Buffered() const { return static_cast<std::uint32_t>(mReceived.size() - mReceivedOffset); }
    std::uint32_t TakeBuffered(std::uint8_t* dest, std::uint32_t size);
    // Decrypts into the look-ahead buffer until it holds `count` bytes or nothing more is there.
    void ReadAhead(std::uint32_t count);
    bool HasDataForOwner() const;
    void ArmRead();

    int mSock = -1;
    SSL* mSsl = nullptr;
    std::shared_ptr<CTlsServerContext> mContext;
    std::shared_ptr<SNoticeTarget> mNotice;
    SIPAddress mRemoteAddress;
    CTimerSlot mHandshakeTimer;

    CSendQueue mSendQueue;
    std::vector<std::uint8_t> mWindow;  // file bytes read for SSL_write, from mWindowPos on unsent
    std::uint32_t mWindowPos = 0;
    std::vector<std::uint8_t> mReceived;
    std::uint32_t mReceivedOffset = 0;
    std::uint32_t mNotifyReceivedSize = 0;

    bool mHandshakeDone = false;
    bool mWantRead = false;      // OpenSSL waits for readability (handshake or a write)
    bool mWantWrite = false;     // OpenSSL waits for writability (handshake or a write)
    bool mReadArmed = true;
    bool mPeerEnded = false;     // end of the stream or an error met while decrypting
    bool mClosed = false;
    bool mClosePosted = false;
    bool mShutDown = false;
    bool mCheckReadyToSend = false;
    bool mDisconWhenNoOutData = false;
    bool mFlushPending = false;
    bool mWatched = false;
    std::size_t mFlushSlot = 0;
};

// The encrypted listener: a regular listener whose accepted connections are handed out as
// TTlsTransportObj on the shared server context. Notices name this listener.
class TTlsListenerObj final : public TTransportObj {
public:
    explicit TTlsListenerObj(std::shared_ptr<CTlsServerContext> context);
    ~TTlsListenerObj() override;

    bool IsRegular() const override { return true; }
    void SetMessageHandler(TMessageProc handler) override;
    void SetMessageObject(void* object) override;
    void SetIPAddress(const SIPAddress& addr) override;
    void Listen(const void* address, std::uint32_t size) override;
    TTransport Accept(void* addrBuf, std::uint32_t* ioSize) override;

    bool IsConnected() const override;
    std::uint16_t GetConnectStatus() const override { return 0; }
    void Disconnect() override;
    void StartDisconnect() override { Disconnect(); }
    bool IsDisconnecting() const override { return false; }
    void Send(const void*, std::uint32_t) override;
    void SendBuffer(TTransportBuffer) override;
    std::uint32_t GetUnsentSize() const override { return 0; }
    bool IsReadyToSend() const override { return false; }
    void NotifyReadyToSend() override {}
    std::uint32_t Receive(void*, std::uint32_t) override { return 0; }
    TTransportBuffer ReceiveBuffer() override { return nullptr; }
    bool IsReadyToReceive(std::uint32_t) override { return false; }
    void NotifyReadyToReceive(std::uint32_t) override {}
    std::uint32_t GetReceiveSize() override { return 0; }
    void SendUnit(const void*, std::uint32_t, const void*, std::uint32_t) override;
    std::uint32_t GetRemoteAddressText(char* dest, std::uint32_t capacity) override;
    std::uint32_t GetLocalAddressText(char* dest, std::uint32_t capacity) override;
    SIPAddress GetRemoteIPAddress() const override { return {}; }
    std::uint16_t GetLocalPort() const override;

private:
    std::shared_ptr<CTlsServerContext> mContext;
    std::unique_ptr<TRegularTransportObj> mListener;
};

}  // namespace kx
