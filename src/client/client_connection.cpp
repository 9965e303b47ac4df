// The blocking transaction connection of the command-line client.
#include "client/client_connection.h"

#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "files/mac_roman.h"
#include "protocol/transaction_types.h"

namespace kx {

namespace {
// A reply or notice larger than this is not believed (the server never sends one).
constexpr std::uint32_t kMaxReceiveSize = 16u * 1024 * 1024;

[[noreturn]] void Lost(const std::string& why) { throw SClientFailure(kExitConnection, why); }
}  // namespace

CClientConnection::~CClientConnection() { Close(); }

void CClientConnection::Close() {
    if (mFd >= 0) ::close(mFd);
    mFd = -1;
}

void CClientConnection::Connect(const std::string& host, std::uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    if (rc != 0) Lost("Cannot find host " + host + ": " + ::gai_strerror(rc));
    std::string lastError = "no address";
    for (addrinfo* a = list; a; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) continue;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
            mFd = fd;
            break;
        }
        lastError = std::strerror(errno);
        ::close(fd);
    }
    ::freeaddrinfo(list);
    if (mFd < 0) Lost("Cannot connect to " + host + ":" + service + ": " + lastError);

    const std::uint8_t request[kEstablishRequestSize] = {'T', 'R', 'T', 'P', 'K', 'S', 'T', 'X', 0, 1, 0, 2};
    SendAll(request, sizeof request);
    std::uint8_t reply[kEstablishReplySize];
    if (!ReadExact(reply, sizeof reply, mTimeoutMs, true)) Lost("The server did not answer the connection.");
    if (std::memcmp(reply, "TRTP", 4) != 0 || reply[4] || reply[5] || reply[6] || reply[7])
        Lost("The server refused the connection.");
}

void CClientConnection::SendAll(const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(mFd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) Lost("The connection to the server was lost.");
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

// False on a time-out before the first byte when `started` is false; a time-out in the middle
// of a transaction, or a close, is a lost connection.
bool CClientConnection::ReadExact(std::uint8_t* data, std::size_t size, int timeoutMs, bool started) {
    while (size > 0) {
        pollfd p{mFd, POLLIN, 0};
        const int r = ::poll(&p, 1, started ? mTimeoutMs : timeoutMs);
        if (r < 0 && errno == EINTR) continue;
        if (r == 0) {
            if (!started) return false;
            Lost("The server stopped answering.");
        }
        const ssize_t n = ::recv(mFd, data, size, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) Lost("The connection to the server was lost.");
        started = true;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::uint32_t CClientConnection::Send(std::uint16_t type, TFieldDataObj fields) {
    const std::vector<std::uint8_t> body = UFieldData::GetListBytes(fields);
    STranHdr hdr;
    hdr.type = type;
    hdr.id = ++mNextID;
    hdr.totalSize = hdr.dataSize = static_cast<std::uint32_t>(body.size());
    std::vector<std::uint8_t> out(kTranHdrSize);
    hdr.Encode(out.data());
    out.insert(out.end(), body.begin(), body.end());
    SendAll(out.data(), out.size());
    return hdr.id;
}

bool CClientConnection::ReadOne(SClientTran& out, int timeoutMs) {
    std::uint8_t head[kTranHdrSize];
    if (!ReadExact(head, sizeof head, timeoutMs, false)) return false;
    STranHdr hdr = STranHdr::Decode(head);
    if (hdr.totalSize > kMaxReceiveSize || hdr.dataSize > hdr.totalSize) Lost("The server sent a damaged transaction.");
    auto data = std::make_unique<THdl>(hdr.dataSize);
    if (hdr.dataSize) ReadExact(data->data(), hdr.dataSize, timeoutMs, true);
    // Later chunks of the same transaction follow directly.
    while (data->size() < hdr.totalSize) {
        ReadExact(head, sizeof head, timeoutMs, true);
        const STranHdr next = STranHdr::Decode(head);
        if (next.id != hdr.id || next.dataSize > hdr.totalSize - data->size())
            Lost("The server sent a damaged transaction.");
        const std::size_t at = data->size();
        data->resize(at + next.dataSize);
        if (next.dataSize) ReadExact(data->data() + at, next.dataSize, timeoutMs, true);
    }
    hdr.dataSize = hdr.totalSize;
    if (data->empty()) data->assign(2, 0);
    out.hdr = hdr;
    out.fields.reset(UFieldData::New(std::move(data)));
    return true;
}

bool CClientConnection::NextNotice(SClientTran& out, int timeoutMs) {
    if (!mNotices.empty()) {
        out = std::move(mNotices.front());
        mNotices.pop_front();
        return true;
    }
    return ReadOne(out, timeoutMs);
}

SClientTran CClientConnection::RequestRaw(std::uint16_t type, TFieldDataObj fields) {
    const std::uint32_t id = Send(type, fields);
    for (;;) {
        SClientTran t;
        if (!ReadOne(t, mTimeoutMs)) Lost("The server did not answer in time.");
        if (t.hdr.isReply && t.hdr.id == id) return t;
        if (!t.hdr.isReply) mNotices.push_back(std::move(t));
    }
}

SClientTran CClientConnection::Request(std::uint16_t type, TFieldDataObj fields) {
    SClientTran reply = RequestRaw(type, fields);
    if (reply.hdr.error != 0) throw SClientFailure(kExitServerError, ErrorTextOf(reply));
    return reply;
}

std::string ErrorTextOf(const SClientTran& reply) {
    const std::string text = UFieldData::GetString(reply.Fields(), kFieldErrorText);
    if (text.empty()) return "The server reported an error.";
    return WireToLocal(text);
}

std::string WireToLocal(std::string_view wire) {
    std::string text = UMacRoman::ToUtf8(wire);
    for (char& c : text)
        if (c == '\r') c = '\n';
    return text;
}

std::string LocalToWire(std::string_view local) {
    std::string text = UMacRoman::FromUtf8Lossy(local);
    for (char& c : text)
        if (c == '\n') c = '\r';
    return text;
}

}  // namespace kx
