// The transfer connection of the command-line client: opening it (the one place that knows the
// carrier: plain TCP, TLS, or the HTTP tunnel), reading and writing it within the rate limit, and the
// transaction connection read beside it, so queue positions are shown and notices never pile up
// at the server.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "client/client_tls.h"
#include "client/client_transfer.h"
#include "client/client_tunnel.h"
#include "framework/byte_codec.h"
#include "protocol/transaction_types.h"

namespace kx {

namespace {

// Silence from the server longer than this, while not queued, is a lost connection.
constexpr int kSilenceLimitMs = 60000;
// How often the silence limit is looked at.
constexpr int kPollMs = 1000;
// How long opening a tunnel may wait for the server's answer (and a write for room).
constexpr int kTunnelWaitMs = 30000;
// Largest data block one upload write becomes. The server takes a file's stream in any cut, and
// every unit it waits for whole (the header, an action, a resume record, an item header) is far
// smaller, so such a unit is never split.
constexpr std::size_t kTunnelBlockMax = 65536;

[[noreturn]] void Lost(const std::string& why) { throw SClientFailure(kExitConnection, why); }

// The transfer carried by a client stream: the HTTP tunnel or TLS. Both read ahead (the tunnel
// also skips padding, TLS decrypts whole records), so a poll on the socket may wake for no data
// and miss data already held; and the server's close arrives as an end of its own (a disconnect
// block, a TLS close notice), the end of a finished transfer, while a socket that just closes is
// a lost connection.
class CStreamTransferChannel final : public CTransferChannel {
public:
    explicit CStreamTransferChannel(std::unique_ptr<CClientStream> stream)
        : CTransferChannel(-1), mStream(std::move(stream)) {}

    int Fd() const override { return mStream->PollFd(); }
    bool HasBuffered() override { return mStream->HasBuffered() || mStream->Ended(); }

    void SendAll(const std::uint8_t* data, std::size_t size) override {
        do {
            const std::size_t n = std::min(size, kTunnelBlockMax);
            mStream->Write(data, n);
            data += n;
            size -= n;
        } while (size > 0);
    }

    std::optional<std::size_t> ReadSome(std::uint8_t* data, std::size_t size) override {
        if (mStream->Ended()) return 0;
        try {
            // Only what is held or already on the socket: waiting is the link's job.
            const std::size_t n = mStream->Read(data, size, 0);
            if (n > 0) return n;
        } catch (const SClientFailure&) {
            if (mStream->Ended()) return 0;
            throw;
        }
        if (mStream->Ended()) return 0;
        return std::nullopt;  // padding, or a record not yet whole
    }

private:
    std::unique_ptr<CClientStream> mStream;
};

}  // namespace

SRefNum RefNumOf(const SClientTran& reply) {
    SRefNum ref;
    if (UFieldData::GetField(reply.Fields(), kFieldRefNum, ref.bytes, 4) != 4)
        throw SClientFailure(kExitServerError, "The server's reply has no reference number.");
    return ref;
}

CRateLimiter::CRateLimiter(std::uint64_t rate) : mRate(rate), mStart(std::chrono::steady_clock::now()) {}

std::size_t CRateLimiter::Chunk(std::size_t max) const {
    if (mRate == 0) return max;
    // About ten pieces a second keeps the pace even.
    return std::max<std::size_t>(1, std::min<std::uint64_t>(max, mRate / 10));
}

void CRateLimiter::Moved(std::size_t bytes) {
    if (mRate == 0) return;
    mBytes += bytes;
    const auto due = mStart + std::chrono::microseconds(mBytes * 1000000 / mRate);
    std::this_thread::sleep_until(due);
}

CTransferChannel::~CTransferChannel() {
    if (mFd >= 0) ::close(mFd);
}

void CTransferChannel::SendAll(const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(mFd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) Lost("The transfer connection was lost.");
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

std::optional<std::size_t> CTransferChannel::ReadSome(std::uint8_t* data, std::size_t size) {
    for (;;) {
        const ssize_t n = ::recv(mFd, data, size, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) Lost("The transfer connection was lost.");
        return static_cast<std::size_t>(n);
    }
}

namespace {

std::unique_ptr<CTransferChannel> OpenTcpChannel(const SClientOptions& opt) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(opt.port + kClientTransferPortOffset);
    const int rc = ::getaddrinfo(opt.host.c_str(), service.c_str(), &hints, &list);
    if (rc != 0) Lost("Cannot find host " + opt.host + ": " + ::gai_strerror(rc));
    int fd = -1;
    std::string lastError = "no address";
    for (addrinfo* a = list; a && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) continue;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            lastError = std::strerror(errno);
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(list);
    if (fd < 0) Lost("Cannot open the transfer connection to " + opt.host + ":" + service + ": " + lastError);
    return std::make_unique<CTransferChannel>(fd);
}

}  // namespace

std::unique_ptr<CTransferChannel> OpenTransferChannel(const SClientOptions& opt, const SRefNum& ref,
                                                      std::uint32_t dataSize, std::uint16_t type) {
    const auto tunnelPort = static_cast<std::uint16_t>(opt.port + kClientTunnelTransferPortOffset);
    std::unique_ptr<CTransferChannel> channel;
    if (opt.tunnel) {
        channel = std::make_unique<CStreamTransferChannel>(OpenTunnelStream(opt.host, tunnelPort, opt.proxy, kTunnelWaitMs));
    } else if (opt.tls) {
        const auto port = static_cast<std::uint16_t>(opt.port + kClientTlsTransferPortOffset);
        channel = std::make_unique<CStreamTransferChannel>(OpenClientTlsStream(opt, port, kTunnelWaitMs));
    } else {
        channel = OpenTcpChannel(opt);
    }

    std::uint8_t header[kTransferHeaderSize] = {};
    std::memcpy(header, kTransferProtocol, 4);
    std::memcpy(header + 4, ref.bytes, 4);
    PutBE32(header + 8, dataSize);
    PutBE16(header + 12, type);
    channel->SendAll(header, sizeof header);
    return channel;
}

CTransferLink::CTransferLink(CClientConnection& conn, std::unique_ptr<CTransferChannel> channel, const SRefNum& ref,
                             std::uint64_t rate, CTransferProgress& progress)
    : mConn(conn), mChannel(std::move(channel)), mRef(ref), mLimiter(rate), mProgress(progress) {}

void CTransferLink::SetQueuePosition(std::uint32_t position) {
    mQueuePosition = position;
    if (position) mProgress.Queued(position);
}

// The notices that have arrived on the transaction connection, all of them: a queue position for
// this transfer is shown; any other notice is read and dropped. The server sends a transfer's
// position before its data, so reading them all before the data keeps that order on screen
// whatever other notices came first.
void CTransferLink::HandleNotice() {
    SClientTran t;
    while (mConn.ReadOne(t, 0)) {
        if (t.hdr.isReply || t.hdr.type != kTranClientDownloadInfo) continue;
        SRefNum ref;
        if (UFieldData::GetField(t.Fields(), kFieldRefNum, ref.bytes, 4) != 4 || ref.Value() != mRef.Value()) continue;
        const auto position = static_cast<std::uint32_t>(UFieldData::GetInteger(t.Fields(), kFieldWaitingCount));
        if (position != mQueuePosition) {
            mQueuePosition = position;
            mProgress.Queued(position);
        }
    }
}

void CTransferLink::WaitReadable(std::chrono::steady_clock::time_point& heard) {
    for (;;) {
        // Bytes a tunnel already holds are not seen by poll.
        if (mChannel->HasBuffered()) return;
        const bool noticeHeld = mConn.HasBufferedInput();
        pollfd p[2] = {{mChannel->Fd(), POLLIN, 0}, {mConn.Fd(), POLLIN, 0}};
        const int r = ::poll(p, 2, noticeHeld ? 0 : kPollMs);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) Lost("The transfer connection was lost.");
        if (noticeHeld || p[1].revents) HandleNotice();
        if (p[0].revents) return;
        if (mQueuePosition) heard = std::chrono::steady_clock::now();
        if (std::chrono::steady_clock::now() - heard > std::chrono::milliseconds(kSilenceLimitMs))
            Lost("The server stopped sending.");
    }
}

std::size_t CTransferLink::Read(std::uint8_t* data, std::size_t size) {
    // A tunnel's padding wakes the wait without data; it does not count as the server sending.
    auto heard = std::chrono::steady_clock::now();
    for (;;) {
        WaitReadable(heard);
        if (const std::optional<std::size_t> n = mChannel->ReadSome(data, size)) return *n;
    }
}

bool CTransferLink::ReadExactOrEnd(std::uint8_t* data, std::size_t size) {
    std::size_t got = 0;
    while (got < size) {
        const std::size_t n = Read(data + got, size - got);
        if (n == 0) {
            if (got == 0) return false;
            Lost("The transfer connection was lost.");
        }
        got += n;
    }
    return true;
}

void CTransferLink::ReadExact(std::uint8_t* data, std::size_t size) {
    if (!ReadExactOrEnd(data, size)) Lost("The transfer connection was lost.");
}

std::uint16_t CTransferLink::ReadAction() {
    std::uint8_t b[2];
    ReadExact(b, 2);
    return GetBE16(b);
}

void CTransferLink::Write(const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        // Notices must not pile up at the server while we only send.
        pollfd p{mConn.Fd(), POLLIN, 0};
        if (mConn.HasBufferedInput() || ::poll(&p, 1, 0) > 0) HandleNotice();
        const std::size_t n = mLimiter.Chunk(size);
        mChannel->SendAll(data, n);
        mLimiter.Moved(n);
        data += n;
        size -= n;
    }
}

void CTransferLink::WriteAction(std::uint16_t action) {
    std::uint8_t b[2];
    PutBE16(b, action);
    mChannel->SendAll(b, 2);
}

void CTransferLink::WaitForEnd() {
    std::uint8_t buf[256];
    std::size_t dropped = 0;
    while (Read(buf, sizeof buf) != 0) {
        // The server has nothing more to say once the transfer is complete.
        dropped += sizeof buf;
        if (dropped > 65536) Lost("The server sent unexpected data.");
    }
}

}  // namespace kx
