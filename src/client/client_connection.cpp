// The blocking transaction connection of the command-line client.
#include "client/client_connection.h"

#include <cstring>

#include "fs/mac_roman.h"
#include "protocol/transaction_types.h"

namespace kx {

namespace {
// A reply or notice larger than this is not believed (the server never sends one).
constexpr std::uint32_t kMaxReceiveSize = 16u * 1024 * 1024;

[[noreturn]] void Lost(const std::string& why) { throw SClientFailure(kExitConnection, why); }
}  // namespace

CClientConnection::~CClientConnection() { Close(); }

void CClientConnection::Close() {
    if (mStream) mStream->Close();
    mStream.reset();
}

void CClientConnection::Connect(const std::string& host, std::uint16_t port) {
    Open(OpenTcpStream(host, port, mTimeoutMs));
}

void CClientConnection::Open(std::unique_ptr<CClientStream> stream) {
    mStream = std::move(stream);
    const std::uint8_t request[kEstablishRequestSize] = {'T', 'R', 'T', 'P', 'K', 'S', 'T', 'X', 0, 1, 0, 2};
    SendAll(request, sizeof request);
    std::uint8_t reply[kEstablishReplySize];
    if (!ReadExact(reply, sizeof reply, mTimeoutMs, true)) Lost("The server did not answer the connection.");
    if (std::memcmp(reply, "TRTP", 4) != 0 || reply[4] || reply[5] || reply[6] || reply[7])
        Lost("The server refused the connection.");
}

void CClientConnection::SendAll(const std::uint8_t* data, std::size_t size) {
    if (!mStream) Lost("The connection to the server was lost.");
    mStream->Write(data, size);
}

// False on a time-out before the first byte when `started` is false; a time-out in the middle
// of a transaction, or a close, is a lost connection.
bool CClientConnection::ReadExact(std::uint8_t* data, std::size_t size, int timeoutMs, bool started) {
    if (!mStream) Lost("The connection to the server was lost.");
    while (size > 0) {
        const std::size_t n = mStream->Read(data, size, started ? mTimeoutMs : timeoutMs);
        if (n == 0) {
            if (!started) return false;
            Lost("The server stopped answering.");
        }
        started = true;
        data += n;
        size -= n;
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
