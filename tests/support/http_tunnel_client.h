// A tunnelling client for tests, on raw non-blocking POSIX sockets: opens the GET and POST
// requests a client behind a proxy sends, frames bytes into data blocks on the POST, and cuts
// what arrives on the GET into the response header and blocks. The server runs in the same
// thread, so every wait pumps CEventLoop::Get() a bounded number of turns instead of sleeping.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kx::test {

using HBytes = std::vector<std::uint8_t>;

// Runs the event loop and `poll` until `done` answers true; false after `turns` turns.
bool PumpUntil(const std::function<bool()>& done, const std::function<void()>& poll = {}, int turns = 3000);

// A 36-character identifier derived from `n`.
std::string TunnelIdentifier(unsigned n);

HBytes BlockHeader(std::uint32_t code, std::uint32_t size);
HBytes DataBlock(const HBytes& payload);
HBytes PaddingBlock(std::uint32_t total);  // total bytes, header included

std::string GetRequestText(const std::string& id, std::uint16_t port, const char* version = "HTTP/1.0");
std::string PostRequestText(const std::string& id, std::uint16_t port, const char* version = "HTTP/1.0");
// The POST request followed by the padding a client opens its body with: a block completing the
// first package, then three whole padding packages.
HBytes PostOpening(const std::string& id, std::uint16_t port);

// One raw connection to the server.
class CRawHttpConnection {
public:
    CRawHttpConnection() = default;
    ~CRawHttpConnection();
    CRawHttpConnection(const CRawHttpConnection&) = delete;
    CRawHttpConnection& operator=(const CRawHttpConnection&) = delete;

    // A receive buffer of `receiveBuffer` bytes when given (a client that stops reading then
    // backs up the server's queue quickly).
    bool Connect(std::uint16_t port, int receiveBuffer = 0);
    void Close();          // closes the socket (the server sees the connection end)
    bool IsOpen() const { return mFd >= 0; }
    bool Send(const HBytes& bytes);
    bool Send(const std::string& text) { return Send(HBytes(text.begin(), text.end())); }
    // Takes whatever the socket holds into Received(); notes end of stream.
    void Poll();
    const HBytes& Received() const { return mIn; }
    bool PeerClosed() const { return mPeerClosed; }

private:
    int mFd = -1;
    HBytes mIn;
    bool mPeerClosed = false;
};

// Cuts a GET response stream: the 200 header, then blocks. Data payloads are concatenated.
struct SGetStream {
    std::size_t headerSize = 0;             // 0 until the empty line has arrived
    std::vector<std::uint32_t> blockSizes;  // total size of every complete block, in order
    std::vector<std::uint32_t> blockCodes;
    HBytes data;                            // data payloads, concatenated
    bool sawDisconnect = false;
    bool malformed = false;
};
SGetStream ParseGetStream(const HBytes& bytes);

}  // namespace kx::test
