// Blocking protocol client for tests; see test_client.h. Every wait goes through poll() with a
// deadline, and sends use MSG_NOSIGNAL so that a closed server fails the call, not the process.
#include "support/test_client.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "framework/byte_codec.h"
#include "protocol/transaction_types.h"
#include "protocol/user_data.h"

namespace kx::test {

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : int(left);
}

// Largest chunk ReadTransaction accepts, so a corrupt header cannot make a test allocate
// gigabytes.
constexpr std::uint32_t kMaxTestChunk = 64u << 20;

}  // namespace

Bytes Be16(std::uint16_t v) {
    Bytes b;
    AppendBE16(b, v);
    return b;
}

Bytes Be32(std::uint32_t v) {
    Bytes b;
    AppendBE32(b, v);
    return b;
}

Bytes EncodeHeader(const STestHeader& h) {
    Bytes out;
    out.reserve(20);
    out.push_back(h.flag);
    out.push_back(h.isReply);
    AppendBE16(out, h.type);
    AppendBE32(out, h.id);
    AppendBE32(out, h.error);
    AppendBE32(out, h.totalSize);
    AppendBE32(out, h.dataSize);
    return out;
}

STestHeader DecodeHeader(const std::uint8_t* p) {
    STestHeader h;
    h.flag = p[0];
    h.isReply = p[1];
    h.type = GetBE16(p + 2);
    h.id = GetBE32(p + 4);
    h.error = GetBE32(p + 8);
    h.totalSize = GetBE32(p + 12);
    h.dataSize = GetBE32(p + 16);
    return h;
}

Bytes EncodeChunk(STestHeader h, const Bytes& data) {
    if (h.dataSize == 0) h.dataSize = std::uint32_t(data.size());
    if (h.totalSize == 0) h.totalSize = std::uint32_t(data.size());
    Bytes out = EncodeHeader(h);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

Bytes EncodeRequest(std::uint16_t type, std::uint32_t id, const Bytes& data, const std::vector<std::uint32_t>& chunks) {
    STestHeader h;
    h.type = type;
    h.id = id;
    h.totalSize = std::uint32_t(data.size());
    Bytes out;
    std::size_t offset = 0;
    for (std::size_t i = 0; i <= chunks.size(); ++i) {
        const bool last = i == chunks.size();
        std::size_t n = last ? data.size() - offset : std::min<std::size_t>(chunks[i], data.size() - offset);
        if (last && n == 0 && !chunks.empty()) break;
        h.dataSize = std::uint32_t(n);
        Bytes hdr = EncodeHeader(h);
        out.insert(out.end(), hdr.begin(), hdr.end());
        out.insert(out.end(), data.begin() + std::ptrdiff_t(offset), data.begin() + std::ptrdiff_t(offset + n));
        offset += n;
    }
    return out;
}

Bytes EstablishRequest(std::string_view subProtocol, std::uint16_t subVersion, std::uint16_t version,
                       std::string_view protocol) {
    Bytes out;
    for (std::size_t i = 0; i < 4; ++i) out.push_back(i < protocol.size() ? std::uint8_t(protocol[i]) : 0);
    for (std::size_t i = 0; i < 4; ++i) out.push_back(i < subProtocol.size() ? std::uint8_t(subProtocol[i]) : 0);
    AppendBE16(out, version);
    AppendBE16(out, subVersion);
    return out;
}

CFieldListBuilder& CFieldListBuilder::Add(std::uint16_t id, const Bytes& data) {
    AppendBE16(mFields, id);
    AppendBE16(mFields, std::uint16_t(data.size()));
    mFields.insert(mFields.end(), data.begin(), data.end());
    ++mCount;
    return *this;
}

CFieldListBuilder& CFieldListBuilder::Add(std::uint16_t id, std::string_view text) {
    return Add(id, Bytes(text.begin(), text.end()));
}

CFieldListBuilder& CFieldListBuilder::AddInt(std::uint16_t id, std::int32_t value) {
    const auto v = std::uint32_t(value);
    Bytes b;
    if ((v >> 16) == 0) {
        AppendBE16(b, std::uint16_t(v));
    } else {
        AppendBE32(b, v);
    }
    return Add(id, b);
}

Bytes CFieldListBuilder::Build() const {
    Bytes out;
    AppendBE16(out, mCount);
    out.insert(out.end(), mFields.begin(), mFields.end());
    return out;
}

STestReply ReplyOf(const STestTransaction& t) {
    STestReply r;
    auto fields = ParseFieldList(t.data);
    r.ok = fields.has_value();
    r.error = t.hdr.error;
    if (fields) r.fields = std::move(*fields);
    return r;
}

Bytes LoginFields(const std::string& login, const std::string& password, const std::string& name,
                  std::int32_t icon, std::int32_t version) {
    CFieldListBuilder b;
    b.Add(kFieldUserLogin, UUserData::Complement(login));
    b.Add(kFieldUserPassword, UUserData::Complement(password));
    b.AddInt(kFieldVersion, version);
    if (!name.empty()) b.Add(kFieldUserName, name);
    if (icon != 0) b.AddInt(kFieldIconID, icon);
    return b.Build();
}

std::optional<std::int64_t> STestField::Int() const {
    switch (data.size()) {
        case 1: return data[0];
        case 2: return GetBE16(data.data());
        case 4: return std::int32_t(GetBE32(data.data()));
        default: return std::nullopt;
    }
}

std::optional<std::vector<STestField>> ParseFieldList(const Bytes& bytes) {
    if (bytes.size() < 2) return std::nullopt;
    const std::uint16_t count = GetBE16(bytes.data());
    std::vector<STestField> fields;
    std::size_t pos = 2;
    for (std::uint16_t i = 0; i < count; ++i) {
        if (bytes.size() - pos < 4) return std::nullopt;
        STestField f;
        f.id = GetBE16(bytes.data() + pos);
        const std::uint16_t size = GetBE16(bytes.data() + pos + 2);
        pos += 4;
        if (bytes.size() - pos < size) return std::nullopt;
        f.data.assign(bytes.begin() + std::ptrdiff_t(pos), bytes.begin() + std::ptrdiff_t(pos + size));
        pos += size;
        fields.push_back(std::move(f));
    }
    if (pos != bytes.size()) return std::nullopt;
    return fields;
}

const STestField* FindField(const std::vector<STestField>& fields, std::uint16_t id) {
    for (const auto& f : fields) {
        if (f.id == id) return &f;
    }
    return nullptr;
}

CTestClient::~CTestClient() { Close(); }

void CTestClient::Close() {
    if (mFd >= 0) ::close(mFd);
    mFd = -1;
}

std::string NextLoopbackSource() {
    static std::atomic<unsigned> next{0};
    return "127.0.0." + std::to_string(2 + next++ % 253);
}

bool CTestClient::Connect(std::uint16_t port, const char* host) {
    Close();
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (::inet_pton(AF_INET, host, &addr.sin_addr) != 1) {
        mError = "bad host address";
        return false;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(mTimeoutMs);
    for (;;) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            mError = std::string("socket: ") + std::strerror(errno);
            return false;
        }
        if (mReceiveBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &mReceiveBuffer, sizeof mReceiveBuffer);
        if (!mSource.empty()) {
            sockaddr_in local{};
            local.sin_family = AF_INET;
            if (::inet_pton(AF_INET, mSource.c_str(), &local.sin_addr) != 1 ||
                ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
                mError = "cannot bind the source address " + mSource;
                ::close(fd);
                return false;
            }
        }
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            mFd = fd;
            mNextID = 0;
            return true;
        }
        const int err = errno;
        ::close(fd);
        if (err != ECONNREFUSED || RemainingMs(deadline) == 0) {
            mError = std::string("connect: ") + std::strerror(err);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool CTestClient::SendRaw(const Bytes& bytes) {
    if (mFd < 0) {
        mError = "not connected";
        return false;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(mTimeoutMs);
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(mFd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += std::size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{mFd, POLLOUT, 0};
            const int left = RemainingMs(deadline);
            if (left == 0 || ::poll(&p, 1, left) <= 0) {
                mError = "send timed out";
                return false;
            }
            continue;
        }
        mError = std::string("send: ") + std::strerror(errno);
        return false;
    }
    return true;
}

std::uint32_t CTestClient::SendRequest(std::uint16_t type, const Bytes& data, const std::vector<std::uint32_t>& chunks,
                                       std::uint32_t id) {
    if (id == 0) {
        if (++mNextID == 0) ++mNextID;
        id = mNextID;
    }
    return SendRaw(EncodeRequest(type, id, data, chunks)) ? id : 0;
}

bool CTestClient::SendReply(std::uint32_t id, std::uint32_t error, const Bytes& data) {
    STestHeader h;
    h.isReply = 1;
    h.id = id;
    h.error = error;
    return SendRaw(EncodeChunk(h, data));
}

std::optional<Bytes> CTestClient::ReadExact(std::size_t n, int timeoutMs) {
    if (mFd < 0) {
        mError = "not connected";
        return std::nullopt;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(Timeout(timeoutMs));
    Bytes out(n);
    std::size_t got = 0;
    while (got < n) {
        pollfd p{mFd, POLLIN, 0};
        const int left = RemainingMs(deadline);
        const int ready = ::poll(&p, 1, left);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) {
            mError = "read timed out after " + std::to_string(got) + " of " + std::to_string(n) + " bytes";
            return std::nullopt;
        }
        const ssize_t r = ::recv(mFd, out.data() + got, n - got, MSG_DONTWAIT);
        if (r > 0) {
            got += std::size_t(r);
        } else if (r == 0) {
            mError = "connection closed after " + std::to_string(got) + " of " + std::to_string(n) + " bytes";
            return std::nullopt;
        } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            mError = std::string("recv: ") + std::strerror(errno);
            return std::nullopt;
        }
    }
    return out;
}

std::optional<std::uint32_t> CTestClient::Establish(std::string_view subProtocol, std::uint16_t subVersion,
                                                    std::uint16_t version) {
    if (!SendRaw(EstablishRequest(subProtocol, subVersion, version))) return std::nullopt;
    auto reply = ReadExact(8);
    if (!reply) return std::nullopt;
    if (std::memcmp(reply->data(), "TRTP", 4) != 0) {
        mError = "establish reply does not start with TRTP";
        return std::nullopt;
    }
    return GetBE32(reply->data() + 4);
}

std::optional<STestTransaction> CTestClient::ReadTransaction(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(Timeout(timeoutMs));
    auto raw = ReadExact(20, Timeout(timeoutMs));
    if (!raw) return std::nullopt;
    STestTransaction t;
    t.hdr = DecodeHeader(raw->data());
    if (t.hdr.dataSize > kMaxTestChunk) {
        mError = "chunk of " + std::to_string(t.hdr.dataSize) + " bytes announced";
        return std::nullopt;
    }
    auto data = ReadExact(t.hdr.dataSize, RemainingMs(deadline));
    if (!data) return std::nullopt;
    t.data = std::move(*data);
    return t;
}

std::optional<STestTransaction> CTestClient::ReadReplyTo(std::uint32_t id, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(Timeout(timeoutMs));
    for (;;) {
        auto t = ReadTransaction(RemainingMs(deadline));
        if (!t) return std::nullopt;
        if (t->hdr.isReply && t->hdr.id == id) return t;
    }
}

bool CTestClient::WaitClosed(int timeoutMs, std::size_t* discarded) {
    if (discarded) *discarded = 0;
    if (mFd < 0) return true;
    const auto deadline = Clock::now() + std::chrono::milliseconds(Timeout(timeoutMs));
    std::uint8_t buf[4096];
    for (;;) {
        pollfd p{mFd, POLLIN, 0};
        const int ready = ::poll(&p, 1, RemainingMs(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) {
            mError = "connection still open";
            return false;
        }
        const ssize_t r = ::recv(mFd, buf, sizeof buf, MSG_DONTWAIT);
        if (r == 0) return true;
        if (r < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return true;  // reset counts as closed
        }
        if (discarded) *discarded += std::size_t(r);
    }
}

bool CTestClient::ExpectSilence(int ms) {
    if (mFd < 0) return false;
    pollfd p{mFd, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&p, 1, ms);
    } while (ready < 0 && errno == EINTR);
    return ready == 0;
}

}  // namespace kx::test
