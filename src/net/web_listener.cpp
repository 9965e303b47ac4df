// The web listener: accepting, telling TLS from plain HTTP, reading request heads, answering with
// the web client's files or an error, upgrading to WebSocket, and the faces through which the
// application takes the upgraded connections. Runs inside the event loop's message delivery
// (the endpoints' notices) and timers.
#include "net/web_listener.h"

#include <cstring>
#include <openssl/err.h>

#include "framework/byte_codec.h"
#include "framework/error.h"
#include "net/regular_transport.h"
#include "net/tls_context.h"
#include "net/tls_transport.h"
#include "net/websocket_transport.h"

namespace kx {

namespace {

SWebTimings gWebTimings;

constexpr std::uint8_t kTlsHandshakeRecord = 0x16;
constexpr std::uint32_t kReadPiece = 8192;

// Sent with every answer: the page runs nothing from elsewhere and is framed by nobody.
constexpr const char* kCommonHeaders =
    "X-Content-Type-Options: nosniff\r\n"
    "Referrer-Policy: no-referrer\r\n"
    "Content-Security-Policy: default-src 'self'; img-src 'self' data: blob:; connect-src 'self'; "
    "frame-ancestors 'none'; base-uri 'self'; form-action 'self'\r\n";

}  // namespace

struct CWebListener::SPending {
    std::uint64_t id = 0;
    TTransport conn;
    std::uint32_t peer = 0;  // host order
    bool sniffed = false;
    bool closing = false;       // the last answer is written; the connection closes after it
    bool waitingDrain = false;  // answers wait to be written before the next request is read
    CWebRequestReader reader;
    std::vector<std::uint8_t> input;  // read and not yet fed, from inputAt on
    std::size_t inputAt = 0;
    std::uint32_t requests = 0;
    std::uint32_t unsentAtDeadline = 0;  // answers still unwritten when the deadline was set
    CTimerSlot deadline;
};

// ---- The faces ----

class TWebFaceObj final : public TTransportObj {
public:
    TWebFaceObj(std::shared_ptr<CWebListener> listener, CWebListener::EPath path)
        : mListener(std::move(listener)), mPath(path), mNotice(std::make_shared<SNoticeTarget>()) {
        mNotice->object = static_cast<TTransportObj*>(this);
        mListener->mPaths[static_cast<std::size_t>(path)].face = mNotice;
    }
    ~TWebFaceObj() override {
        mNotice->alive = false;
        mListener->mPaths[static_cast<std::size_t>(mPath)].face.reset();
        CEventLoop::Get().RemoveMessages(static_cast<TTransportObj*>(this));
    }

    bool IsRegular() const override { return true; }
    void SetMessageHandler(TMessageProc handler) override {
        mNotice->handler = std::move(handler);
        if (mNotice->handler && !mListener->mPaths[static_cast<std::size_t>(mPath)].waiting.empty())
            PostNotice(mNotice, kMsgConnectionRequest);
    }
    void SetMessageObject(void* object) override {
        mNotice->object = object != nullptr ? object : static_cast<TTransportObj*>(this);
    }
    void SetIPAddress(const SIPAddress&) override {}
    void Listen(const void*, std::uint32_t) override {}  // the listener listens for both faces
    TTransport Accept(void* addrBuf, std::uint32_t* ioSize) override {
        std::uint32_t address = 0;
        TTransport conn = mListener->TakeWaiting(mPath, address);
        if (ioSize != nullptr) {
            if (conn && addrBuf != nullptr && *ioSize >= sizeof(SInternetAddress)) {
                SInternetAddress rec{kInternetAddressType, 0, {}};
                PutBE32(rec.host, address);
                std::memcpy(addrBuf, &rec, sizeof rec);
                *ioSize = sizeof rec;
            } else {
                *ioSize = 0;
            }
        }
        return conn;
    }
    bool IsConnected() const override { return mListener->Port() != 0; }
    std::uint16_t GetConnectStatus() const override { return 0; }
    void Disconnect() override {}
    void StartDisconnect() override {}
    bool IsDisconnecting() const override { return false; }
    void Send(const void*, std::uint32_t) override { KX_FAIL_PARAM(); }
    void SendBuffer(TTransportBuffer) override { KX_FAIL_PARAM(); }
    std::uint32_t GetUnsentSize() const override { return 0; }
    bool IsReadyToSend() const override { return false; }
    void NotifyReadyToSend() override {}
    std::uint32_t Receive(void*, std::uint32_t) override { return 0; }
    TTransportBuffer ReceiveBuffer() override { return nullptr; }
    bool IsReadyToReceive(std::uint32_t) override { return false; }
    void NotifyReadyToReceive(std::uint32_t) override {}
    std::uint32_t GetReceiveSize() override { return 0; }
    void SendUnit(const void*, std::uint32_t, const void*, std::uint32_t) override { KX_FAIL_PARAM(); }
    std::uint32_t GetRemoteAddressText(char* dest, std::uint32_t capacity) override {
        return UTransport::IPAddressToText(SIPAddress{}, dest, capacity);
    }
    std::uint32_t GetLocalAddressText(char* dest, std::uint32_t capacity) override {
        return mListener->mListener->GetLocalAddressText(dest, capacity);
    }
    SIPAddress GetRemoteIPAddress() const override { return {}; }
    std::uint16_t GetLocalPort() const override { return mListener->Port(); }

private:
    std::shared_ptr<CWebListener> mListener;
    CWebListener::EPath mPath;
    std::shared_ptr<SNoticeTarget> mNotice;
};

TTransport CWebListener::NewFace(const std::shared_ptr<CWebListener>& listener, EPath path) {
    return std::make_unique<TWebFaceObj>(listener, path);
}

TTransport CWebListener::TakeWaiting(EPath path, std::uint32_t& address) {
    auto& waiting = mPaths[static_cast<std::size_t>(path)].waiting;
    if (waiting.empty()) return nullptr;
    SWaiting w = std::move(waiting.front());
    waiting.pop_front();
    address = w.address;
    return std::move(w.conn);
}

// ---- The listener ----

void CWebListener::SetTimings(const SWebTimings& timings) { gWebTimings = timings; }

CWebListener::CWebListener(SWebSettings settings) : mSettings(std::move(settings)) {}

CWebListener::~CWebListener() {
    mPending.clear();
    for (SPath& path : mPaths) path.waiting.clear();
}

void CWebListener::Listen(const SIPAddress& address, std::uint16_t port) {
    auto listener = std::make_unique<TRegularTransportObj>(true);
    listener->SetIPAddress(address);
    listener->SetMessageHandler([this](std::uint32_t code, void*) {
        if (code == kMsgConnectionRequest) AcceptAll();
    });
    SInternetAddress rec{kInternetAddressType, port, {}};
    std::memcpy(rec.host, address.b, 4);
    listener->Listen(&rec, sizeof rec);
    mListener = std::move(listener);
}

std::uint16_t CWebListener::Port() const { return mListener ? mListener->GetLocalPort() : 0; }

void CWebListener::AcceptAll() {
    for (;;) {
        SInternetAddress rec{};
        std::uint32_t size = sizeof rec;
        TTransport conn = mListener->Accept(&rec, &size);
        if (!conn) return;
        const std::uint32_t peer = size >= sizeof rec ? GetBE32(rec.host) : 0;
        std::uint32_t& fromPeer = mPendingPerAddress[peer];
        if (mPending.size() >= kMaxPending || fromPeer >= kMaxPendingPerAddress) {
            if (fromPeer == 0) mPendingPerAddress.erase(peer);
            continue;  // closed on the spot
        }
        ++fromPeer;
        auto p = std::make_unique<SPending>();
        p->id = mNextID++;
        p->peer = peer;
        const std::uint64_t id = p->id;
        p->conn = std::move(conn);
        p->conn->SetMessageHandler([this, id](std::uint32_t code, void*) { OnNotice(id, code); });
        p->deadline.Start(gWebTimings.requestMs, [this, id] { OnDeadline(id); });
        mPending.emplace(id, std::move(p));
    }
}

void CWebListener::Drop(std::uint64_t id) {
    const auto it = mPending.find(id);
    if (it == mPending.end()) return;
    const std::uint32_t peer = it->second->peer;
    mPending.erase(it);
    if (auto n = mPendingPerAddress.find(peer); n != mPendingPerAddress.end() && --n->second == 0)
        mPendingPerAddress.erase(n);
}

void CWebListener::OnDeadline(std::uint64_t id) {
    const auto it = mPending.find(id);
    if (it == mPending.end()) return;
    SPending& p = *it->second;
    // A large answer that a slow reader is still taking keeps the connection while it moves.
    const std::uint32_t unsent = p.conn ? p.conn->GetUnsentSize() : 0;
    if (unsent != 0 && unsent < p.unsentAtDeadline) {
        p.unsentAtDeadline = unsent;
        p.deadline.Start(gWebTimings.idleMs, [this, id] { OnDeadline(id); });
        return;
    }
    Drop(id);
}

void CWebListener::OnNotice(std::uint64_t id, std::uint32_t code) {
    const auto it = mPending.find(id);
    if (it == mPending.end()) return;
    SPending& p = *it->second;
    if (code == kMsgConnectionClosed) {
        Drop(id);
    } else if (code == kMsgReadyToSend && p.waitingDrain) {
        p.waitingDrain = false;
        Serve(id);
    } else if (code == kMsgDataArrived) {
        Serve(id);
    }
}

bool CWebListener::Sniff(SPending& p) {
    auto& plain = static_cast<TRegularTransportObj&>(*p.conn);
    std::uint8_t first = 0;
    if (!plain.PeekFirstByte(first)) return false;
    p.sniffed = true;
    if (first != kTlsHandshakeRecord) return true;
    SSL* ssl = mSettings.tls ? mSettings.tls->NewConnection() : nullptr;
    if (ssl == nullptr) {
        ERR_clear_error();
        Drop(p.id);  // TLS without a certificate, or out of memory
        return false;
    }
    const SIPAddress remote = plain.GetRemoteIPAddress();
    const int fd = plain.ReleaseSocket();
    const std::uint64_t id = p.id;
    try {
        p.conn = std::make_unique<TTlsTransportObj>(fd, remote, ssl, mSettings.tls);
    } catch (const SError&) {
        Drop(id);  // the endpoint closed the socket
        return false;
    }
    p.conn->SetMessageHandler([this, id](std::uint32_t code, void*) { OnNotice(id, code); });
    return false;  // the handshake runs; plain bytes are announced after it
}

void CWebListener::Serve(std::uint64_t id) {
    for (;;) {
        const auto it = mPending.find(id);
        if (it == mPending.end()) return;
        SPending& p = *it->second;
        if (p.closing || p.waitingDrain) return;
        if (!p.sniffed && !Sniff(p)) return;
        if (p.inputAt == p.input.size()) {
            p.input.resize(kReadPiece);
            const std::uint32_t n = p.conn->Receive(p.input.data(), kReadPiece);
            p.input.resize(n);
            p.inputAt = 0;
            if (n == 0) return;  // readability is watched again
        }
        p.inputAt += p.reader.Feed(p.input.data() + p.inputAt, p.input.size() - p.inputAt);
        switch (p.reader.State()) {
        case CWebRequestReader::EState::kMore:
            break;
        case CWebRequestReader::EState::kBad:
            Respond(p, "400 Bad Request", "", "Bad request.\n", false);
            return;
        case CWebRequestReader::EState::kTooLarge:
            Respond(p, "431 Request Header Fields Too Large", "", "Request header too large.\n", false);
            return;
        case CWebRequestReader::EState::kDone:
            if (!Answer(p)) return;
            break;
        }
    }
}

bool CWebListener::Answer(SPending& p) {
    const SWebRequest& r = p.reader.Request();
    ++p.requests;
    bool keep = r.version == "HTTP/1.1" ? !r.HasToken("connection", "close") : r.HasToken("connection", "keep-alive");
    if (p.requests >= kMaxRequestsPerConnection) keep = false;
    const std::string path = r.target.substr(0, r.target.find('?'));
    const std::string* length = r.Field("content-length");
    // Request bodies are never read, so a request that has one ends the connection after it.
    if ((length != nullptr && *length != "0") || r.Field("transfer-encoding") != nullptr) {
        Respond(p, "400 Bad Request", "", "Requests with a body are not taken.\n", false);
        return false;
    }
    if (path == "/kestrix" || path == "/transfer") {
        Upgrade(p, path == "/kestrix" ? EPath::kSession : EPath::kTransfer);
        return false;
    }
    if (r.method != "GET" && r.method != "HEAD") {
        Respond(p, "405 Method Not Allowed", "Allow: GET, HEAD\r\n", "Only GET and HEAD.\n", false);
        return false;
    }
    const std::optional<std::string> file = UWebRequest::FilePath(r.target);
    const SWebFile* found = file && mSettings.content ? mSettings.content->Find(*file) : nullptr;
    const bool head = r.method == "HEAD";
    if (found == nullptr) {
        Respond(p, "404 Not Found", "", "Not found.\n", keep, head);
    } else {
        const std::string headers = "Content-Type: " + found->type + "\r\nETag: " + found->etag +
                                    "\r\nCache-Control: no-cache\r\n";
        if (r.HasToken("if-none-match", found->etag)) Respond(p, "304 Not Modified", headers, "", keep);
        else Respond(p, "200 OK", headers, found->body, keep, head);
    }
    if (!keep) return false;
    p.reader.Reset();
    p.unsentAtDeadline = p.conn->GetUnsentSize();
    p.deadline.Start(gWebTimings.idleMs, [this, id = p.id] { OnDeadline(id); });
    if (p.conn->GetUnsentSize() > kMaxUnsentBeforeNext) {
        p.waitingDrain = true;
        p.conn->NotifyReadyToSend();
        return false;
    }
    return true;
}

void CWebListener::Respond(SPending& p, const std::string& status, const std::string& headers,
                           const std::string& body, bool keep, bool head) {
    std::string text = "HTTP/1.1 " + status + "\r\n" + headers + kCommonHeaders +
                       "Content-Length: " + std::to_string(body.size()) + "\r\n" +
                       (keep ? "" : "Connection: close\r\n") + "\r\n";
    if (!head) text += body;  // a HEAD answer names the length of what it leaves out
    p.conn->Send(text.data(), static_cast<std::uint32_t>(text.size()));
    if (!keep) {
        p.closing = true;
        p.conn->StartDisconnect();
        p.unsentAtDeadline = p.conn->GetUnsentSize();
        p.deadline.Start(gWebTimings.idleMs, [this, id = p.id] { OnDeadline(id); });
    }
}

void CWebListener::Upgrade(SPending& p, EPath path) {
    const SWebRequest& r = p.reader.Request();
    const std::string* host = r.Field("host");
    const std::string* key = r.Field("sec-websocket-key");
    const std::string* version = r.Field("sec-websocket-version");
    const std::string* origin = r.Field("origin");
    if (r.method != "GET" || r.version != "HTTP/1.1" || host == nullptr || !r.HasToken("upgrade", "websocket") ||
        !r.HasToken("connection", "upgrade") || key == nullptr || !UWebSocket::IsValidKey(*key)) {
        Respond(p, "400 Bad Request", "", "Not a WebSocket request.\n", false);
        return;
    }
    if (version == nullptr || *version != "13") {
        Respond(p, "426 Upgrade Required", "Sec-WebSocket-Version: 13\r\n", "WebSocket version 13 only.\n", false);
        return;
    }
    if (origin != nullptr && !UWebRequest::OriginMatchesHost(*origin, *host)) {
        Respond(p, "403 Forbidden", "", "This page may not connect here.\n", false);
        return;
    }
    SPath& target = mPaths[static_cast<std::size_t>(path)];
    if (target.waiting.size() >= kMaxWaiting) {
        Respond(p, "503 Service Unavailable", "", "Busy.\n", false);
        return;
    }
    const std::string answer = std::string("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n") +
                               "Connection: Upgrade\r\nSec-WebSocket-Accept: " + UWebSocket::AcceptKey(*key) +
                               "\r\n\r\n";
    p.conn->Send(answer.data(), static_cast<std::uint32_t>(answer.size()));
    const std::uint32_t address = UWebRequest::ClientAddress(p.peer, r, mSettings.trustedProxies);
    std::vector<std::uint8_t> early(p.input.begin() + static_cast<std::ptrdiff_t>(p.inputAt), p.input.end());
    const std::uint64_t id = p.id;
    TTransport conn = std::make_unique<TWebSocketTransportObj>(std::move(p.conn), std::move(early),
                                                               ToIPAddress(address), mSettings.limits);
    Drop(id);
    target.waiting.push_back(SWaiting{std::move(conn), address});
    if (target.face && target.face->handler) PostNotice(target.face, kMsgConnectionRequest);
}

}  // namespace kx
