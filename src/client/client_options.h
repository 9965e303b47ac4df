// The command line of the command-line client: options, the server address and the command
// with its arguments, and the --help text that documents them and the exit codes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "framework/usage_text.h"

namespace kx {

inline constexpr std::uint16_t kClientDefaultPort = 5500;
// The server's ports above the base port: transfers, and the tunnelled connections.
inline constexpr std::uint16_t kClientTransferPortOffset = 1;
inline constexpr std::uint16_t kClientTunnelPortOffset = 2;
inline constexpr std::uint16_t kClientTunnelTransferPortOffset = 3;
// With --tls: the encrypted client port is the base port + 4; transfers go to the next port.
inline constexpr std::uint16_t kClientTlsPortOffset = 4;
inline constexpr std::uint16_t kClientTlsTransferPortOffset = 1;  // above the TLS port

// An HTTP proxy that the tunnel's requests go through (empty host: straight to the server).
struct SClientProxy {
    std::string host;
    std::uint16_t port = 0;
};

struct SClientOptions {
    std::string host;
    std::uint16_t port = kClientDefaultPort;
    std::string login;            // empty: guest
    std::string password;         // from --password-file or KESTRIX_PASSWORD
    std::string name = "kestrix";
    std::int16_t icon = 1;
    bool json = false;
    std::uint64_t limitRate = 0;  // transfers: bytes per second, 0 = no limit
    bool tunnel = false;          // through the HTTP tunnel (base port + 2, transfers + 3)
    SClientProxy proxy;           // the tunnel's proxy: --proxy, else http_proxy / HTTP_PROXY
    bool tls = false;             // encrypted: PORT is the TLS port (default 5504), transfers PORT + 1
    bool trustNew = false;        // --trust-new: remember a server met for the first time
    std::string fingerprint;      // --fingerprint, normalised ("SHA256:AB:..."); empty: none
    bool help = false;
    bool manual = false;          // --manual: the manual page instead of the help text
    std::string command;
    std::vector<std::string> args;  // command arguments, options of the command included
};

// The client's documentation: printed by --help, and as its manual page by --manual.
SUsageDoc ClientUsageDoc();
std::string ClientUsage();

// Parses argv (without the program name). Throws SClientFailure(kExitBadArgument) with the
// reason. `env` is the value of KESTRIX_PASSWORD (null when unset). A tunnel without --proxy
// takes its proxy from the environment (http_proxy, then HTTP_PROXY; none for a host that
// no_proxy / NO_PROXY names).
SClientOptions ParseClientOptions(const std::vector<std::string>& argv, const char* env);

// "HOST[:PORT]", "[IPV6]:PORT" or "http://HOST[:PORT][/]" (port 80 when none is given).
// `from` names where the text came from, for the error.
SClientProxy ParseProxyAddress(const std::string& text, const std::string& from);

}  // namespace kx
