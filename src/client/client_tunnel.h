// The client side of the HTTP tunnel, for clients behind proxies that pass only HTTP: a GET
// whose endless response body brings the server's bytes and a POST whose endless request body
// carries ours, both naming one random connection identifier. Both bodies are cut into blocks
// (net/http_block.h); ours are padded to whole packages so that proxies pass them on at once.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "client/client_options.h"
#include "client/client_stream.h"

namespace kx {

// Opens a tunnel to the server's tunnel port `port` (the base port + 2 for the transaction
// connection, + 3 for file transfers), through `proxy` when it names one: sends both requests,
// waits for the GET's "200" answer (within `timeoutMs`) and opens the POST body. Refusals and
// losses throw SClientFailure(kExitConnection).
std::unique_ptr<CClientStream> OpenTunnelStream(const std::string& host, std::uint16_t port,
                                                const SClientProxy& proxy, int timeoutMs);

namespace UClientTunnel {

// A fresh identifier: 16 random bytes as 36 characters of hex digits in groups of 8-4-4-4-12.
std::string NewIdentifier();

// The two request headers, each line ending in CR LF, the header in an empty line.
std::string GetRequestText(const std::string& hostAndPort, const std::string& identifier);
std::string PostRequestText(const std::string& hostAndPort, const std::string& identifier);

}  // namespace UClientTunnel

}  // namespace kx
