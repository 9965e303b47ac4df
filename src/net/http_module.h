// State the tunnel layer shares process-wide, on the event loop's thread only: the routing
// table of raw connections, the unpaired raw connections (open list), the channels closing
// gracefully (close list), every tunnel endpoint, the sweep timer and the timings.
// Internal to src/net/http_*.cpp.
#pragma once

#include <cstdint>
#include <string>

#include "net/http_block.h"
#include "net/http_channel.h"
#include "net/http_request.h"
#include "net/http_transport.h"

namespace kx {

// A raw connection accepted by a tunnel listener and not yet paired.
struct SConnectionInfo {
    THttpRawChannel tptReg;
    THttpTransportObj* pHttpTransport = nullptr;   // the listener
    SInternetAddress stAddress{kInternetAddressType, 0, {}};
    std::string stConnectionGuid;
    std::uint64_t nConnectionTime = 0;
    // 2: waiting for the request header; 1: header read, a POST consuming its first padding
    // block; 0: ready.
    int nReceiveHeader = 2;
    bool bSendReceive = false;                     // true for a GET
    CHttpRequestParser parser;
    CHttpBlockInput stReceiveData;
};

namespace UHttpModule {

std::uint64_t NewRoute(CHttpRawChannel* channel);
void SetRoute(std::uint64_t token, EHttpRole role, void* target);
void DropRoute(std::uint64_t token);

void RegisterTunnel(THttpTransportObj* tunnel);
void UnregisterTunnel(THttpTransportObj* tunnel);

// Accepts every raw connection pending on a listener's socket into the open list.
void AcceptRawConnections(THttpTransportObj* listener, TTransportObj& listening);
// Pairs a ready GET and POST of the listener (Accept); null when no pair is ready.
TTransport Pair(THttpTransportObj* listener, void* addrBuf, std::uint32_t* ioSize);
// Disposes the listener's unpaired connections (the listener is going away).
void DropOpenOf(THttpTransportObj* listener);

// Takes a channel whose graceful close has begun; disposed once its socket has closed.
void AddClosing(THttpRawChannel channel);

}  // namespace UHttpModule

}  // namespace kx
