// The command-line client's encrypted connections (--tls): a blocking CClientStream inside TLS,
// and the decision whether to trust the server's certificate.
//
// Trust, in this order: a fingerprint pinned with --fingerprint must match; else a certificate
// that chains to the system's authorities and names the host is trusted; else the fingerprint
// remembered for HOST:PORT in the known-servers file must match (a changed one is refused with
// kExitCertificate); else a server met for the first time is trusted when the user says so
// (asked on the terminal) or passed --trust-new, and remembered. The transfer connections of the
// run must then present the same certificate; they resume the session of the first connection.
#pragma once

#include <memory>
#include <string>

#include "client/client_options.h"
#include "client/client_stream.h"

namespace kx {

// The server's certificate was refused: changed, not matching the pinned fingerprint, or new
// and not accepted.
inline constexpr int kExitCertificate = 5;

struct SClientTlsTrust {
    std::string pinned;        // --fingerprint, normalised; empty: none
    bool trustNew = false;     // --trust-new
    std::string knownServers;  // path of the known-servers file
    int promptFd = -1;         // a terminal to ask on; -1: never ask
};

// Opens a TLS connection to host:port and checks the server's certificate as described above;
// `key` names the server in the known-servers file ("host:port" of the client connection).
// Refusals throw SClientFailure(kExitCertificate), losses SClientFailure(kExitConnection).
std::unique_ptr<CClientStream> OpenTlsStream(const std::string& host, std::uint16_t port, const std::string& key,
                                             const SClientTlsTrust& trust, int sendTimeoutMs);

// OpenTlsStream with the trust the command line asks for, to `port` of the server named in
// `opt`; the known-servers key is the host and the client port.
std::unique_ptr<CClientStream> OpenClientTlsStream(const SClientOptions& opt, std::uint16_t port, int sendTimeoutMs);

// Forgets the session and the certificate trusted so far: the start of a run.
void ResetClientTls();

namespace UKnownServers {

// $XDG_CONFIG_HOME/kestrix/known_servers, else ~/.config/kestrix/known_servers.
std::string DefaultPath();
// The fingerprint remembered for `key`, or "".
std::string Find(const std::string& path, const std::string& key);
// Remembers `fingerprint` for `key` (replacing an earlier line for it); the file and its folder
// are created as needed and rewritten atomically. Throws SClientFailure when it cannot.
void Remember(const std::string& path, const std::string& key, const std::string& fingerprint);

}  // namespace UKnownServers

}  // namespace kx
