// The client side of a transaction connection, for the command-line client: a blocking byte
// stream (TCP or the HTTP tunnel, client_stream.h) with a time limit on every wait, the establish exchange, requests framed with STranHdr
// and replies matched to them. Notices that arrive while a reply is awaited are kept in order
// for the caller. Failures are thrown as SClientFailure with the exit code they end the program
// with.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <stdexcept>
#include <string>

#include "client/client_stream.h"
#include "protocol/field_data.h"
#include "protocol/transact.h"

namespace kx {

// Exit codes of the client (documented in its --help).
inline constexpr int kExitOK = 0;
inline constexpr int kExitServerError = 1;    // the server answered with an error
inline constexpr int kExitBadArgument = 2;    // wrong command line or unusable local input
inline constexpr int kExitConnection = 3;     // could not connect, or the connection was lost
inline constexpr int kExitLoginRefused = 4;   // the server refused the login

struct SClientFailure : std::runtime_error {
    SClientFailure(int code, const std::string& text) : std::runtime_error(text), exitCode(code) {}
    int exitCode;
};

// One received transaction (a whole one: the client reassembles chunks of a single id).
struct SClientTran {
    STranHdr hdr;
    std::unique_ptr<SFieldData, void (*)(TFieldDataObj)> fields{nullptr, &UFieldData::Dispose};
    TFieldDataObj Fields() const { return fields.get(); }
};

class CClientConnection {
public:
    explicit CClientConnection(int timeoutMs = 30000) : mTimeoutMs(timeoutMs) {}
    ~CClientConnection();
    CClientConnection(const CClientConnection&) = delete;
    CClientConnection& operator=(const CClientConnection&) = delete;

    // Resolves and connects over TCP, then runs the establish exchange.
    void Connect(const std::string& host, std::uint16_t port);
    // Runs the establish exchange over an open stream (TCP or tunnel) and keeps it.
    void Open(std::unique_ptr<CClientStream> stream);
    int TimeoutMs() const { return mTimeoutMs; }
    // The descriptor to poll; HasBufferedInput() is true when bytes are already held, which a
    // poll would not report.
    int Fd() const { return mStream ? mStream->PollFd() : -1; }
    bool HasBufferedInput() { return mStream && mStream->HasBuffered(); }

    // Sends a request and returns its id.
    std::uint32_t Send(std::uint16_t type, TFieldDataObj fields);
    // Sends a request and waits for its reply; notices received meanwhile are queued. A reply
    // with an error flag throws SClientFailure(kExitServerError, <the server's text>).
    SClientTran Request(std::uint16_t type, TFieldDataObj fields);
    // As Request, but an error reply is returned, not thrown.
    SClientTran RequestRaw(std::uint16_t type, TFieldDataObj fields);

    // The next queued notice, or the next transaction from the socket within `timeoutMs`
    // (-1: the connection's limit). False on time-out. A closed connection throws.
    bool NextNotice(SClientTran& out, int timeoutMs);
    bool HasQueuedNotice() const { return !mNotices.empty(); }
    // Transactions are only read from the socket when this is true (poll said it is readable).
    bool ReadOne(SClientTran& out, int timeoutMs);

    void Close();

private:
    void SendAll(const std::uint8_t* data, std::size_t size);
    bool ReadExact(std::uint8_t* data, std::size_t size, int timeoutMs, bool started);

    std::unique_ptr<CClientStream> mStream;
    int mTimeoutMs;
    std::uint32_t mNextID = 0;
    std::deque<SClientTran> mNotices;
};

// The server's error text of an error reply, in UTF-8 with line feeds.
std::string ErrorTextOf(const SClientTran& reply);

// Wire text (Mac OS Roman, carriage returns) to terminal text (UTF-8, line feeds) and back.
std::string WireToLocal(std::string_view wire);
std::string LocalToWire(std::string_view local);

}  // namespace kx
