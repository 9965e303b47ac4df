// One raw HTTP connection (a regular endpoint) used by the tunnel layer, and the routing of its
// notices. Every raw endpoint's handler carries a token instead of a pointer; the token names
// the connection's current role (listening socket, unpaired request, a tunnel's GET or POST
// channel, closing) in a process-wide table. A notice still queued for a connection that has
// been disposed or has changed hands finds no route or the new one, never a dangling pointer.
#pragma once

#include <cstdint>
#include <memory>

#include "net/transport.h"

namespace kx {

class THttpTransportObj;
struct SConnectionInfo;

enum class EHttpRole : std::uint8_t {
    kListener,   // the listening socket of a tunnel listener
    kOpen,       // accepted, not yet paired (an SConnectionInfo)
    kSend,       // a tunnel's GET channel
    kReceive,    // a tunnel's POST channel
    kClosing,    // closing gracefully, disposed once its socket has closed
};

class CHttpRawChannel {
public:
    explicit CHttpRawChannel(TTransport endpoint);
    ~CHttpRawChannel();
    CHttpRawChannel(const CHttpRawChannel&) = delete;
    CHttpRawChannel& operator=(const CHttpRawChannel&) = delete;

    TTransportObj& Ep() { return *mEndpoint; }
    const TTransportObj& Ep() const { return *mEndpoint; }

    // Where this connection's notices go from now on.
    void RouteToListener(THttpTransportObj* listener);
    void RouteToOpen(SConnectionInfo* info);
    void RouteToTunnel(THttpTransportObj* tunnel, bool isSend);
    void RouteToClosing();

    // Transport buffers queued on the endpoint whose writing has not begun, in order; a buffer
    // already partly written stays (its rest goes nowhere once the endpoint is disposed).
    std::vector<TTransportBuffer> TakeUnsentBuffers();

    // Reads and throws away whatever has arrived (input on a channel that carries none).
    void DiscardInput();

private:
    void SetRoute(EHttpRole role, void* target);

    TTransport mEndpoint;
    std::uint64_t mToken;
};
using THttpRawChannel = std::unique_ptr<CHttpRawChannel>;

}  // namespace kx
