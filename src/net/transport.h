// The network endpoint every layer above talks to: a non-blocking stream listener, stream
// connection or datagram sender, regular (a socket, TRegularTransportObj) or tunnelled (a
// pair of HTTP requests, THttpTransportObj). Callers hold a TTransportObj and never see which.
//
// Endpoints report events as notices posted through the event loop's message queue to the
// handler set by SetMessageHandler, naming the endpoint as the sender: 100 data arrived,
// 102 ready to send, 103 closed, 104 connection request (105/106 are client-side only).
// Ownership: New/Accept return an endpoint owned by the caller (std::unique_ptr); destroying it
// closes the socket, drops queued data and removes its queued notices.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "framework/byte_codec.h"
#include "framework/event_loop.h"

namespace kx {

inline constexpr std::uint32_t kMsgDataArrived = 100;
inline constexpr std::uint32_t kMsgReadyToSend = 102;
inline constexpr std::uint32_t kMsgConnectionClosed = 103;
inline constexpr std::uint32_t kMsgConnectionRequest = 104;
inline constexpr std::uint32_t kMsgConnectionEstablished = 105;
inline constexpr std::uint32_t kMsgConnectFailed = 106;

inline constexpr std::uint32_t kTransportStream = 1;
inline constexpr std::uint32_t kTransportDatagram = 2;

inline constexpr std::uint16_t kInternetAddressType = 2;
inline constexpr std::uint16_t kInternetNameAddressType = 42;

inline constexpr std::uint32_t _TRSendBufSize = 65536;

// The 4-byte IPv4 address in dotted order (byte 0 = first number of the dotted form).
struct SIPAddress {
    std::uint8_t b[4] = {0, 0, 0, 0};
    // The address as one number, the first byte most significant: how the server keeps the
    // address of each client. ToIPAddress (below) is the way back.
    std::uint32_t AsHostOrder() const { return GetBE32(b); }
    bool IsZero() const { return AsHostOrder() == 0; }
    bool operator==(const SIPAddress&) const = default;
};

// Address records passed as a pointer and a size, packed byte for byte as the transport API lays
// them out.
#pragma pack(push, 1)
struct SInternetAddress {          // 12 bytes
    std::uint16_t type;            // kInternetAddressType
    std::uint16_t port;            // host order
    std::uint8_t host[8];          // dotted-order IPv4, then 4 zero bytes
};
struct SInternetNameAddress {      // up to 260 bytes
    std::uint16_t type;            // kInternetNameAddressType
    std::uint16_t port;            // host order; 0 = take it from a ":" suffix of the name
    std::uint8_t name[256];        // length-prefixed host name or dotted address [":" port]
};
#pragma pack(pop)
static_assert(sizeof(SInternetAddress) == 12);
static_assert(sizeof(SInternetNameAddress) == 260);

// A range of an open file queued by SendFile: the endpoint's own duplicate of the descriptor,
// closed with the range.
struct SSendFileRange {
    int fd = -1;
    std::uint64_t start = 0;  // file offset of the range's first byte
    std::uint32_t size = 0;
    SSendFileRange() = default;
    ~SSendFileRange();
    SSendFileRange(const SSendFileRange&) = delete;
    SSendFileRange& operator=(const SSendFileRange&) = delete;
};

// One block of outgoing data. NewBuffer hands one out; SendBuffer takes it back and either
// writes it at once or queues it as it is, without a copy. `offset` counts bytes already written.
// Inside an endpoint that sends files itself, a block may instead stand for a file range
// (`file` set, `data` empty); such blocks never leave the endpoint.
struct SSendBuf {
    std::uint32_t offset = 0;
    std::vector<std::uint8_t> data;
    std::unique_ptr<SSendFileRange> file;
    std::uint32_t Size() const { return file ? file->size : static_cast<std::uint32_t>(data.size()); }
};
using TTransportBuffer = std::unique_ptr<SSendBuf>;

class TTransportObj;
using TTransport = std::unique_ptr<TTransportObj>;
class TSharedBlock;  // net/send_queue.h

class TTransportObj {
public:
    virtual ~TTransportObj() = default;

    virtual bool IsRegular() const = 0;

    // Handler and the context it captures; notices name this endpoint (or the object set with
    // SetMessageObject, which the tunnel uses to report as itself) as the sender.
    virtual void SetMessageHandler(TMessageProc handler) = 0;
    virtual void SetMessageObject(void* object) = 0;

    virtual void SetIPAddress(const SIPAddress& addr) = 0;
    // `address` must be an SInternetAddress (size >= 12, type 2), else error 8/101.
    virtual void Listen(const void* address, std::uint32_t size) = 0;
    // One pending connection or null. `addrBuf` (may be null) receives an SInternetAddress
    // when `ioSize` >= 12 (then ioSize = 12), otherwise ioSize = 0.
    virtual TTransport Accept(void* addrBuf, std::uint32_t* ioSize) = 0;

    virtual bool IsConnected() const = 0;
    virtual std::uint16_t GetConnectStatus() const = 0;  // 3 when connected
    virtual void Disconnect() = 0;
    virtual void StartDisconnect() = 0;
    virtual bool IsDisconnecting() const = 0;

    virtual void Send(const void* data, std::uint32_t size) = 0;
    static TTransportBuffer NewBuffer(std::uint32_t size);
    virtual void SendBuffer(TTransportBuffer buf) = 0;
    // Sends `prefixSize` bytes (at most 20) and then the shared block's bytes, as one piece. A
    // socket endpoint queues a reference to the block (no copy per recipient); the others copy
    // both into one buffer for SendBuffer.
    virtual void SendShared(const std::uint8_t* prefix, std::uint32_t prefixSize, const TSharedBlock& block);
    // Sends a numbered block (see send_queue.h), its messages numbered from `first`. A socket
    // endpoint queues one reference to the block; the others get each message as its own
    // SendBuffer, as if it had been sent alone.
    virtual void SendNumbered(const TSharedBlock& block, std::uint32_t first);
    virtual std::uint32_t GetUnsentSize() const = 0;
    virtual bool IsReadyToSend() const = 0;
    virtual void NotifyReadyToSend() = 0;
    // Zero-copy sending of file contents: true when SendFile is available (a plain TCP
    // connection). Other endpoints are fed buffers.
    virtual bool CanSendFile() const { return false; }
    // Queues `size` bytes of the open file `fd` from `offset`, behind what is already queued;
    // they go from the page cache to the socket without passing through this process. The
    // endpoint keeps its own duplicate of the descriptor. A file that turns out shorter than
    // the range ends the connection (103). Endpoints that cannot: parameter error.
    virtual void SendFile(int fd, std::uint64_t offset, std::uint32_t size);

    virtual std::uint32_t Receive(void* dest, std::uint32_t size) = 0;
    // Everything there is, in one new buffer (data.size() is the byte count); null when nothing.
    virtual TTransportBuffer ReceiveBuffer() = 0;
    virtual bool IsReadyToReceive(std::uint32_t count) = 0;
    virtual void NotifyReadyToReceive(std::uint32_t count) = 0;
    virtual std::uint32_t GetReceiveSize() = 0;

    virtual void SendUnit(const void* address, std::uint32_t addrSize, const void* data, std::uint32_t size) = 0;

    // Address texts are "%d.%d.%d.%d"; at most `capacity` bytes are written, plus a terminating
    // NUL when there is room; the result is the text's length as written (without the NUL).
    virtual std::uint32_t GetRemoteAddressText(char* dest, std::uint32_t capacity) = 0;
    // capacity must be at least 16 (else error 1/2).
    virtual std::uint32_t GetLocalAddressText(char* dest, std::uint32_t capacity) = 0;
    // The peer's IPv4 address (0 when unknown).
    virtual SIPAddress GetRemoteIPAddress() const = 0;
    // The local port the endpoint is bound to (0 when not bound); lets a caller that listened on
    // port 0 learn which port the system chose.
    virtual std::uint16_t GetLocalPort() const = 0;
};

// A host-order address (SIPAddress::AsHostOrder) as the dotted-order record the ban lists and
// endpoints take, and as its dotted text.
SIPAddress ToIPAddress(std::uint32_t hostOrder);
std::string IPAddressText(std::uint32_t hostOrder);

namespace UTransport {

// Once per process: prepares the event routing and the tunnel module.
void Init();
bool HasTCP();

// protocol: kTransportStream or kTransportDatagram (else error 8/107); regular: true = TCP,
// false = HTTP tunnel; options: 0.
TTransport New(std::uint32_t protocol, bool regular, std::uint32_t options = 0);

// Address-text helpers. The text outputs follow the rule of GetRemoteAddressText: at most
// `capacity` bytes, a NUL when there is room, the length written as the result.
std::uint32_t IPAddressToText(const SIPAddress& addr, char* dest, std::uint32_t capacity);
// Dotted IPv4 text (pstr: length-prefixed) to an address; false (and `out` zero) when it is not one.
// The first three numbers are 1 to 3 characters each, followed by "."; the fourth is cut to its
// first three characters. Leading zeros are decimal, not octal.
bool TextToIPAddress(const std::uint8_t* pstr, SIPAddress& out);
// Skips leading white space, keeps the text up to the next white space, truncates it to
// `capacity` and masks every byte that is not a printable graphic character as "x". `kind` (the
// address kind) does not change the result.
std::uint32_t CleanUpAddressText(std::uint32_t kind, const char* text, std::uint32_t length,
                                 char* dest, std::uint32_t capacity);

}  // namespace UTransport

}  // namespace kx
