// The WebSocket endpoint: a TTransportObj carrying the plain byte stream of the protocol inside
// WebSocket frames (RFC 6455), so a browser's connection is served by the same transaction and
// transfer code as a TCP one. It sits on an inner stream endpoint (a regular or a TLS
// connection) whose upgrade the web listener has already answered, and owns it.
//
// - Receiving: the inner bytes are read as client frames (CWebSocketReader); the payload of
//   binary messages becomes one stream, message boundaries dropped. At most kMaxReadAhead plain
//   bytes are held for the owner; past that the inner endpoint is not read (its readability is
//   left unwatched), so a peer that sends faster than the owner reads is held back by TCP.
// - Pings are answered with pongs, pongs ignored. A close frame from the peer is answered with a
//   close frame and ends the connection both ways: bytes that came before it stay readable, then
//   103 follows, as after a TCP end of stream. A frame fault (unmasked, reserved bits or
//   opcodes, a text message, oversized frames or messages, fragmentation abuse) is answered with
//   the close code that names it, and ends the connection the same way.
// - Sending: each Send/SendBuffer/SendShared goes out as one binary frame (a shared block still
//   by reference below), SendFile as frames of at most
//   kMaxFileFrame bytes whose payload is a file range (sendfile or SSL_sendfile below), so file
//   contents still bypass this process when the inner endpoint can send files. Write-behind,
//   the unsent cap and readiness to send are the inner endpoint's.
// - Disconnect and StartDisconnect send a close frame first; so does destruction of a
//   connection that is still open.
// Notices: 100, 102, 103 as from a regular endpoint, naming this endpoint (or the object set by
// SetMessageObject); the inner endpoint's notices come to this endpoint only.
#pragma once

#include <memory>
#include <vector>

#include "net/notice_target.h"
#include "net/transport.h"
#include "net/websocket_frame.h"

namespace kx {

class TWebSocketTransportObj final : public TTransportObj {
public:
    static constexpr std::uint32_t kMaxReadAhead = 256u * 1024;
    static constexpr std::uint32_t kMaxFileFrame = 256u * 1024;
    // Inner bytes read at one time.
    static constexpr std::uint32_t kReadChunk = 64u * 1024;

    // Takes over `inner` (connected, upgrade answered, handler to be replaced); `early` holds the
    // bytes read past the upgrade request, which are the first frames; `remote` is the client's
    // address (the peer's, or the one a trusted proxy forwarded).
    TWebSocketTransportObj(TTransport inner, std::vector<std::uint8_t> early, const SIPAddress& remote,
                           SWsLimits limits = {});
    ~TWebSocketTransportObj() override;
    TWebSocketTransportObj(const TWebSocketTransportObj&) = delete;
    TWebSocketTransportObj& operator=(const TWebSocketTransportObj&) = delete;

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
    bool IsDisconnecting() const override { return mInner->IsDisconnecting(); }

    void Send(const void* data, std::uint32_t size) override;
    void SendBuffer(TTransportBuffer buf) override;
    // One frame: its header and the prefix copied, the shared block queued by reference below.
    void SendShared(const std::uint8_t* prefix, std::uint32_t prefixSize, const TSharedBlock& block) override;
    std::uint32_t GetUnsentSize() const override { return mInner->GetUnsentSize(); }
    bool IsReadyToSend() const override { return mInner->IsReadyToSend(); }
    void NotifyReadyToSend() override { mInner->NotifyReadyToSend(); }
    bool CanSendFile() const override { return mInner->CanSendFile(); }
    void SendFile(int fd, std::uint64_t offset, std::uint32_t size) override;

    std::uint32_t Receive(void* dest, std::uint32_t size) override;
    TTransportBuffer ReceiveBuffer() override;
    bool IsReadyToReceive(std::uint32_t count) override;
    void NotifyReadyToReceive(std::uint32_t count) override;
    std::uint32_t GetReceiveSize() override;

    void SendUnit(const void*, std::uint32_t, const void*, std::uint32_t) override;

    std::uint32_t GetRemoteAddressText(char* dest, std::uint32_t capacity) override;
    std::uint32_t GetLocalAddressText(char* dest, std::uint32_t capacity) override {
        return mInner->GetLocalAddressText(dest, capacity);
    }
    SIPAddress GetRemoteIPAddress() const override { return mRemote; }
    std::uint16_t GetLocalPort() const override { return mInner->GetLocalPort(); }

    // Why the peer's frames were refused ("" while they were not), for the log and the tests.
    const char* FaultText() const { return mReader.FailureText(); }

private:
    void OnInnerNotice(std::uint32_t code);
    // Reads inner bytes into the plain buffer while there is room and the reader goes on.
    void Pull();
    void Decode(const std::uint8_t* data, std::size_t size);
    void AnswerControl();
    // Sends a close frame (once) and ends the connection; 103 follows from the inner endpoint.
    void Close(std::uint16_t code);
    void SendFrameHeader(std::uint64_t size);
    void Post(std::uint32_t code);
    void AnnounceData();
    bool HasHandler() const { return static_cast<bool>(mNotice->handler); }
    std::uint32_t Buffered() const { return static_cast<std::uint32_t>(mPlain.size() - mPlainOffset); }
    std::uint32_t TakeBuffered(std::uint8_t* dest, std::uint32_t size);

    TTransport mInner;
    std::shared_ptr<SNoticeTarget> mNotice;
    SIPAddress mRemote;
    CWebSocketReader mReader;
    std::vector<std::uint8_t> mPlain;  // payload bytes for the owner, from mPlainOffset on
    std::size_t mPlainOffset = 0;
    std::uint32_t mNotifyReceivedSize = 0;
    bool mReadArmed = true;   // a 100 may be posted; cleared until the owner reads
    bool mCloseSent = false;
    bool mClosed = false;     // the stream has ended (peer close, fault, inner close)
    bool mClosePosted = false;
};

}  // namespace kx
