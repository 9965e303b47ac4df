// The tunnelled endpoint: a bidirectional stream carried by a pair of HTTP/1.0 requests that a
// client behind a web proxy opens to the same port. A GET's never-ending response body carries
// the server's bytes; a POST's never-ending request body carries the client's; both name the
// same 36-character identifier, by which a tunnel listener pairs them. Inside each body bytes
// travel in blocks padded to whole packages (net/http_block.h). A channel that drops may be
// reopened by the client within the connection time, unnoticed by the layer above.
//
// THttpTransportObj offers the operations of every TTransportObj, so the transaction layer and
// the file transfers run over it unchanged. Listeners come from UHttpTransport::New; tunnels
// from a listener's Accept. Everything runs on the event loop's thread; notices to the owner
// go through the message queue. docs/http-tunnel.md describes the wire form and the states.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "net/http_block.h"
#include "net/http_channel.h"
#include "net/transport.h"

namespace kx {

// The tunnel's times in milliseconds. Replaceable so that tests need not wait for them.
struct SHttpTimings {
    std::uint32_t paddingTime1 = 2000;        // padding package this long after a data write
    std::uint32_t paddingTime2 = 40000;       // keep-alive padding on an idle GET channel
    std::uint32_t connectionTime = 30000;     // wait for a dropped channel; age of unpaired requests
    std::uint32_t openCloseTime = 120000;     // period of the sweep of unpaired and closing connections
};

// While a GET channel is being reopened, data sent meanwhile waits in the tunnel; past this many
// bytes the client is taken to be gone and the tunnel closes.
inline constexpr std::uint32_t kHttpMaxQueuedSend = 8u * 1024 * 1024;
// Data taken over from a dropped POST channel (what its socket still held) is capped likewise.
inline constexpr std::uint32_t kHttpMaxTakenOver = 4u * 1024 * 1024;
// Unpaired raw connections held at once; further ones are closed as they arrive.
inline constexpr std::size_t kHttpMaxOpenConnections = 1024;

class THttpTransportObj final : public TTransportObj {
public:
    // A listener (protocol kTransportStream; anything else is error 8/107).
    explicit THttpTransportObj(std::uint32_t protocol);
    // A tunnel paired by a listener's Accept: established at once.
    THttpTransportObj(THttpRawChannel send, THttpRawChannel receive, CHttpBlockInput input,
                      std::string identifier);
    ~THttpTransportObj() override;
    THttpTransportObj(const THttpTransportObj&) = delete;
    THttpTransportObj& operator=(const THttpTransportObj&) = delete;

    bool IsRegular() const override { return false; }
    void SetMessageHandler(TMessageProc handler) override { msgProc = std::move(handler); }
    void SetMessageObject(void* object) override { msgObject = object; }

    void SetIPAddress(const SIPAddress& addr) override;
    void Listen(const void* address, std::uint32_t size) override;
    TTransport Accept(void* addrBuf, std::uint32_t* ioSize) override;

    bool IsConnected() const override { return bIsEstablished && !bIsDisconnecting; }
    std::uint16_t GetConnectStatus() const override;
    void Disconnect() override;
    void StartDisconnect() override { Disconnect(); }
    bool IsDisconnecting() const override { return bIsDisconnecting; }

    void Send(const void* data, std::uint32_t size) override;
    void SendBuffer(TTransportBuffer buf) override;
    std::uint32_t GetUnsentSize() const override;
    bool IsReadyToSend() const override;
    void NotifyReadyToSend() override;

    std::uint32_t Receive(void* dest, std::uint32_t size) override;
    TTransportBuffer ReceiveBuffer() override;
    bool IsReadyToReceive(std::uint32_t count) override;
    void NotifyReadyToReceive(std::uint32_t count) override;
    std::uint32_t GetReceiveSize() override;

    // A tunnel carries a stream only: programming error (1/2).
    void SendUnit(const void* address, std::uint32_t addrSize, const void* data, std::uint32_t size) override;

    std::uint32_t GetRemoteAddressText(char* dest, std::uint32_t capacity) override;
    std::uint32_t GetLocalAddressText(char* dest, std::uint32_t capacity) override;
    SIPAddress GetRemoteIPAddress() const override;
    // A listener's port (the POST channel's local port on a tunnel).
    std::uint16_t GetLocalPort() const override;

    // For the tunnel layer itself (listener and routing).
    const std::string& GetIdentifier() const { return stConnectionGuid; }
    bool IsListener() const { return nProtocol != 0; }
    void OnListenerNotice(std::uint32_t code);
    void OnChannelNotice(bool isSend, std::uint32_t code);
    // A request with this tunnel's identifier has become ready on a new raw connection.
    void AdoptChannel(bool isSend, THttpRawChannel channel, CHttpBlockInput input);
    void NotifyOwner(std::uint32_t code);
    void SetPeerAddress(const SInternetAddress& address) { stPeerAddress = address; }

private:
    void PostSelfDataArrived();
    void ProcessIncoming();
    void CloseFromPeer();
    void OnGetDropped();
    void OnPostDropped();
    void OnTimer();
    void RestartTimer(std::uint32_t ms);
    void CancelTimer();
    void WriteToGet(std::vector<std::uint8_t> bytes);
    void QueueWhileReopening(std::vector<std::uint8_t> bytes);
    void MoveToClosing(THttpRawChannel& channel);
    CHttpRawChannel* AddressChannel() const;

    THttpRawChannel tptSend;      // GET channel (server to client)
    THttpRawChannel tptReceive;   // POST channel (client to server); a listener's listening socket
    bool bIsConnectingSend = false;
    bool bIsConnectingReceive = false;
    bool bIsEstablished = false;
    bool bIsDisconnecting = false;
    TMessageProc msgProc;
    void* msgObject = this;
    CTimerSlot msgTimer;
    std::uint32_t nProtocol = 0;
    std::string stConnectionGuid;
    CHttpBlockInput stReceiveData;            // the current incoming block of the POST channel
    std::vector<std::uint8_t> pReceivedData;  // taken over from a dropped POST channel
    std::size_t nReceivedOffset = 0;
    std::uint32_t nNotifyReceivedSize = 0;
    std::deque<std::vector<std::uint8_t>> stSendDataList;  // framed bytes waiting for a new GET
    std::size_t mQueuedSize = 0;
    bool mNotifyReadyToSend = false;   // asked while the GET channel was being reopened
    bool mSelfNoticePosted = false;
    SIPAddress mLocalAddress;
    SInternetAddress stPeerAddress{kInternetAddressType, 0, {}};
};

namespace UHttpTransport {

// A tunnel listener (what UTransport::New creates when `regular` is false).
TTransport New(std::uint32_t protocol);

void SetTimings(const SHttpTimings& timings);
const SHttpTimings& GetTimings();

// Runs the sweep now: unpaired connections older than the connection time and closing ones
// whose socket has closed (or that have lingered that long) are disposed.
void Sweep();

// Counts for diagnostics and tests.
std::size_t GetOpenCount();
std::size_t GetClosingCount();
std::size_t GetTunnelCount();

}  // namespace UHttpTransport

}  // namespace kx
