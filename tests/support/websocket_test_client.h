// A blocking WebSocket client for tests of the web listener: the upgrade request, masked client
// frames (well-formed or deliberately not), the server's frames, and the protocol's byte stream
// read back across frame boundaries. Built on CTestClient's socket and time-outs.
#pragma once

#include <optional>
#include <string>

#include "support/test_client.h"

namespace kx::test {

struct SWsTestFrame {
    std::uint8_t opcode = 0;
    bool fin = true;
    Bytes payload;
};

class CWebSocketTestClient {
public:
    explicit CWebSocketTestClient(int timeoutMs = kDefaultTimeoutMs) : mSocket(timeoutMs) {}
    CTestClient& Socket() { return mSocket; }

    // Connects and sends the upgrade request for `path` (Host 127.0.0.1:port, a fixed key,
    // version 13) with `extraHeaders` (whole lines with CR LF); returns the response head up to
    // its empty line, "" when none came.
    std::string Upgrade(std::uint16_t port, const std::string& path, const std::string& extraHeaders = "");
    // A client frame: masked unless `masked` is false.
    static Bytes Frame(std::uint8_t opcode, const Bytes& payload, bool fin = true, bool masked = true);
    bool SendBinary(const Bytes& payload) { return mSocket.SendRaw(Frame(0x2, payload)); }
    std::optional<SWsTestFrame> ReadFrame(int timeoutMs = -1);
    // The next `n` bytes of the stream carried by binary frames; control frames are skipped.
    std::optional<Bytes> ReadStream(std::size_t n);
    // The close code of the next close frame (binary frames before it skipped); nullopt when the
    // connection ended without one.
    std::optional<std::uint16_t> ReadCloseCode();
    // The establish exchange and a login with a name (as LogInOverWire does over TCP); false
    // when a step failed.
    bool LogIn(const std::string& login, const std::string& password, const std::string& name);

private:
    CTestClient mSocket;
    Bytes mStream;  // payload bytes received and not yet taken
    std::uint32_t mNextID = 0;
};

}  // namespace kx::test
