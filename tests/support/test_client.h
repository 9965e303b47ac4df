// A blocking protocol client for tests: connects to the server over loopback, runs the establish
// exchange, sends transactions (whole or in chunks) and reads them back, with a timeout on every
// wait so that a misbehaving server fails a test instead of hanging it. Also builds and parses
// field lists and transaction headers as raw bytes, for tests that feed an endpoint directly.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/transaction_types.h"

namespace kx::test {

using Bytes = std::vector<std::uint8_t>;

// Generous: a wait that times out is a failure, and a loaded machine must not cause one.
inline constexpr int kDefaultTimeoutMs = 20000;

// Two and four bytes, most significant first, for requests and expected replies.
Bytes Be16(std::uint16_t v);
Bytes Be32(std::uint32_t v);

// The 20-byte transaction header, big-endian.
struct STestHeader {
    std::uint8_t flag = 0;
    std::uint8_t isReply = 0;
    std::uint16_t type = 0;
    std::uint32_t id = 0;
    std::uint32_t error = 0;
    std::uint32_t totalSize = 0;
    std::uint32_t dataSize = 0;
};
Bytes EncodeHeader(const STestHeader& h);
STestHeader DecodeHeader(const std::uint8_t* p);  // 20 bytes

// One chunk: a header and dataSize bytes. `data` of a whole transaction when it came in one chunk.
struct STestTransaction {
    STestHeader hdr;
    Bytes data;
};

// Header + data of one chunk as wire bytes (dataSize/totalSize are taken from `data` when the
// header's are 0).
Bytes EncodeChunk(STestHeader h, const Bytes& data);
// A request split into chunks of the given sizes (the last chunk takes whatever remains; no
// sizes = one chunk). Every chunk carries the same type, id and total.
Bytes EncodeRequest(std::uint16_t type, std::uint32_t id, const Bytes& data, const std::vector<std::uint32_t>& chunks = {});

// The 12-byte establish request.
Bytes EstablishRequest(std::string_view subProtocol = "KSTX", std::uint16_t subVersion = 2,
                       std::uint16_t version = 1, std::string_view protocol = "TRTP");

// Field lists: a 16-bit count, then (16-bit id, 16-bit size, data), big-endian.
class CFieldListBuilder {
public:
    CFieldListBuilder& Add(std::uint16_t id, const Bytes& data);
    CFieldListBuilder& Add(std::uint16_t id, std::string_view text);
    // The integer as the server writes it: 2 bytes when its upper 16 bits are zero, else 4.
    CFieldListBuilder& AddInt(std::uint16_t id, std::int32_t value);
    Bytes Build() const;
    std::uint16_t Count() const { return mCount; }

private:
    std::uint16_t mCount = 0;
    Bytes mFields;
};
// Field list of a kTranLogin: login and password complemented as on the wire; a name and an
// icon only when given (non-empty / non-zero).
Bytes LoginFields(const std::string& login, const std::string& password, const std::string& name = "",
                  std::int32_t icon = 0, std::int32_t version = 190);

struct STestField {
    std::uint16_t id = 0;
    Bytes data;
    std::string Text() const { return std::string(data.begin(), data.end()); }
    // The field as the server reads an integer: 1 or 2 bytes unsigned, 4 bytes signed;
    // nullopt for other sizes.
    std::optional<std::int64_t> Int() const;
};
// Nullopt when the bytes are not exactly one well-formed field list.
std::optional<std::vector<STestField>> ParseFieldList(const Bytes& bytes);
const STestField* FindField(const std::vector<STestField>& fields, std::uint16_t id);

// A reply as tests read it: whether one arrived, its header's error flag and its fields.
struct STestReply {
    bool ok = false;
    std::uint32_t error = 0;
    std::vector<STestField> fields;
    const STestField* Find(std::uint16_t id) const { return FindField(fields, id); }
    // The field as text, "" when absent; ErrorText is the error text field's.
    std::string Text(std::uint16_t id) const { return Find(id) ? Find(id)->Text() : std::string(); }
    std::string ErrorText() const { return Text(kFieldErrorText); }
    Bytes Data(std::uint16_t id) const { return Find(id) ? Find(id)->data : Bytes{}; }
    // The field as an integer, -1 when absent or not one.
    std::int64_t Int(std::uint16_t id) const { return Find(id) && Find(id)->Int() ? *Find(id)->Int() : -1; }
};
// A received transaction as a reply record (`ok` when its data is one well-formed field list).
STestReply ReplyOf(const STestTransaction& t);

class CTestClient {
public:
    explicit CTestClient(int timeoutMs = kDefaultTimeoutMs) : mTimeoutMs(timeoutMs) {}
    ~CTestClient();
    CTestClient(const CTestClient&) = delete;
    CTestClient& operator=(const CTestClient&) = delete;

    // Connects to host:port, retrying refused connections until the timeout (a server that is
    // still starting up). False on failure; LastError() says why.
    bool Connect(std::uint16_t port, const char* host = "127.0.0.1");
    // Options for the next Connect: the local address to bind first (any 127.x.y.z looks like
    // another host to the server's per-address rules), and a receive buffer size (a small one
    // makes a client that stops reading back up the server's queue quickly). Empty / 0 = default.
    void SetSourceAddress(std::string host) { mSource = std::move(host); }
    void SetReceiveBuffer(int bytes) { mReceiveBuffer = bytes; }
    void Close();
    bool IsOpen() const { return mFd >= 0; }
    int Fd() const { return mFd; }
    const std::string& LastError() const { return mError; }

    // Sends the establish request and reads the 8-byte reply: the reply's error code (0 =
    // accepted), or nullopt when no well-formed reply came.
    std::optional<std::uint32_t> Establish(std::string_view subProtocol = "KSTX", std::uint16_t subVersion = 2,
                                           std::uint16_t version = 1);

    bool SendRaw(const Bytes& bytes);
    // Sends a request (new id from 1 unless `id` is given) and returns its id, or 0 on failure.
    std::uint32_t SendRequest(std::uint16_t type, const Bytes& data, const std::vector<std::uint32_t>& chunks = {},
                              std::uint32_t id = 0);
    bool SendReply(std::uint32_t id, std::uint32_t error, const Bytes& data);

    // Exactly n bytes, or nullopt on timeout/close.
    std::optional<Bytes> ReadExact(std::size_t n, int timeoutMs = -1);
    // One chunk (header + its data), or nullopt on timeout/close/absurd size.
    std::optional<STestTransaction> ReadTransaction(int timeoutMs = -1);
    // Reads chunks until one that is a reply to `id` arrives, skipping others (notifications).
    std::optional<STestTransaction> ReadReplyTo(std::uint32_t id, int timeoutMs = -1);
    // True when the server closes the connection within the timeout; whatever arrives before
    // the close is discarded (and counted in *discarded when given).
    bool WaitClosed(int timeoutMs = -1, std::size_t* discarded = nullptr);
    // True when nothing at all arrives within `ms` (the connection stays open and quiet).
    bool ExpectSilence(int ms);

private:
    int Timeout(int timeoutMs) const { return timeoutMs < 0 ? mTimeoutMs : timeoutMs; }

    int mFd = -1;
    int mTimeoutMs;
    std::uint32_t mNextID = 0;
    std::string mError;
    std::string mSource;
    int mReceiveBuffer = 0;
};

// 127.0.0.2, 127.0.0.3, ... 127.0.0.254, then 127.0.0.2 again: a different source address for
// each call, so that many connections or logins from one test stay below the server's
// per-address flood rules. Shared by the whole test process.
std::string NextLoopbackSource();

}  // namespace kx::test
