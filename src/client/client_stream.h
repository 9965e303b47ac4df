// The byte streams the command-line client talks to the server through: a plain TCP connection
// or the HTTP tunnel (client_tunnel.h). Both are blocking with a time limit on every wait, and
// report a lost or refused connection as SClientFailure(kExitConnection). The transaction
// connection and the file transfers both sit on this interface, so either runs over either.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace kx {

class CClientStream {
public:
    virtual ~CClientStream() = default;

    // Writes all of the bytes as one unit: a tunnel carries them in one data block, so a reader
    // on the other side that waits for the whole unit sees it at once.
    virtual void Write(const std::uint8_t* data, std::size_t size) = 0;
    // Reads at most `size` bytes, waiting at most `timeoutMs` (-1: without limit) for the first;
    // 0 on a time-out.
    virtual std::size_t Read(std::uint8_t* data, std::size_t size, int timeoutMs) = 0;
    // The descriptor to poll for readability, beside standard input for instance.
    virtual int PollFd() const = 0;
    // True when bytes are already held here, so a Read would not wait (poll would not tell).
    virtual bool HasBuffered() = 0;
    // True once the server has ended the stream in an orderly way (a tunnel's disconnect block)
    // and every byte before the end has been read. Read still reports the end as a lost
    // connection; a caller for which the end is expected (a finished transfer) asks this.
    virtual bool Ended() { return false; }
    // Ends the stream in an orderly way; also done on destruction.
    virtual void Close() = 0;
};

// Opens a TCP connection to host:port. `sendTimeoutMs` bounds how long a write may block.
std::unique_ptr<CClientStream> OpenTcpStream(const std::string& host, std::uint16_t port, int sendTimeoutMs);

// Resolves host:port and returns a connected socket (close-on-exec, writes bounded by
// `sendTimeoutMs`). Throws SClientFailure(kExitConnection) saying what failed.
int ConnectSocket(const std::string& host, std::uint16_t port, int sendTimeoutMs);

// Milliseconds left until `deadline` (0 when it has passed); -1 for a deadline of "never".
using ClientDeadline = std::chrono::steady_clock::time_point;
ClientDeadline DeadlineAfter(int timeoutMs);
int MillisecondsLeft(ClientDeadline deadline);

// Blocking socket helpers that throw SClientFailure(kExitConnection) on a lost connection.
void SocketSendAll(int fd, const std::uint8_t* data, std::size_t size);
// Waits until `fd` is readable or the deadline passes; false on the time-out.
bool SocketWaitReadable(int fd, ClientDeadline deadline);

}  // namespace kx
