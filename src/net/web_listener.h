// The web listener: one port that speaks HTTP/1.1, and HTTPS when a TLS context is given (the
// first byte of a connection tells: 0x16 opens a TLS handshake). It serves the web client's files
// (CWebContent) and upgrades "/kestrix" and "/transfer" to WebSocket; an upgraded connection
// becomes a TWebSocketTransportObj and waits for the application on the face of its path.
//
// A face (NewFace) is a listener-like TTransportObj: 104 when an upgraded connection waits, and
// Accept hands it out with the client's address, so the application takes web connections in
// exactly as it takes connections from its other listeners (establish, admission, flood rules,
// bans, transfers).
//
// Every peer is bounded until it is upgraded or served: its request head must arrive within
// SWebTimings::requestMs of the accept (a TLS handshake included) and a later request on a kept
// connection within idleMs of the previous answer (a connection whose answer is still being
// written lives on while the writing moves); the head is capped per line and in total;
// a connection does not read its next request while more than kMaxUnsentBeforeNext bytes of
// answers wait; at most kMaxPending connections are pending, kMaxPendingPerAddress from one
// address. A malformed or oversized request, a bad upgrade and a foreign Origin get an error
// status and the connection is closed; nothing else happens.
//
// Origin: a browser names the page that opened a WebSocket; only a page of this same host (the
// request's Host) may open one, so a foreign site cannot act with a visitor's connection. A
// request without Origin is no browser's and is taken.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "framework/event_loop.h"
#include "net/notice_target.h"
#include "net/transport.h"
#include "net/web_content.h"
#include "net/web_request.h"
#include "net/websocket_frame.h"

namespace kx {

class CTlsServerContext;
class TRegularTransportObj;

struct SWebTimings {
    std::uint64_t requestMs = 10000;  // accept (and TLS handshake) to the end of the first request head
    std::uint64_t idleMs = 15000;     // an answer to the end of the next request head
};

struct SWebSettings {
    std::shared_ptr<const CWebContent> content;
    std::shared_ptr<CTlsServerContext> tls;  // null: plain HTTP only
    std::vector<UWebRequest::SAddressRange> trustedProxies;
    SWsLimits limits;
};

class CWebListener {
public:
    enum class EPath : std::uint8_t { kSession, kTransfer };
    static constexpr std::size_t kMaxPending = 512;
    static constexpr std::uint32_t kMaxPendingPerAddress = 32;
    static constexpr std::uint32_t kMaxRequestsPerConnection = 1000;
    static constexpr std::uint32_t kMaxUnsentBeforeNext = 256u * 1024;
    // Upgraded connections that may wait for the application on one path.
    static constexpr std::size_t kMaxWaiting = 256;

    explicit CWebListener(SWebSettings settings);
    ~CWebListener();
    CWebListener(const CWebListener&) = delete;
    CWebListener& operator=(const CWebListener&) = delete;

    // Listens on `port` (0: any) of `address` (zero: every interface). Raises the mapped error.
    void Listen(const SIPAddress& address, std::uint16_t port);
    std::uint16_t Port() const;
    // New connections use these from now on.
    void SetTls(std::shared_ptr<CTlsServerContext> tls) { mSettings.tls = std::move(tls); }
    void SetContent(std::shared_ptr<const CWebContent> content) { mSettings.content = std::move(content); }
    bool HasTls() const { return mSettings.tls != nullptr; }
    std::size_t PendingCount() const { return mPending.size(); }

    // The face of one path; it keeps the listener alive. One face per path at a time.
    static TTransport NewFace(const std::shared_ptr<CWebListener>& listener, EPath path);

    // Tests shorten the times; process-wide.
    static void SetTimings(const SWebTimings& timings);

private:
    struct SPending;
    struct SWaiting {
        TTransport conn;
        std::uint32_t address = 0;
    };
    struct SPath {
        std::deque<SWaiting> waiting;
        std::shared_ptr<SNoticeTarget> face;  // null while no face exists
    };
    friend class TWebFaceObj;

    void AcceptAll();
    void OnNotice(std::uint64_t id, std::uint32_t code);
    // The time is up: dropped, unless an answer is still being taken, more since last time.
    void OnDeadline(std::uint64_t id);
    // Reads and answers requests until one needs more bytes, the connection closes or upgrades.
    void Serve(std::uint64_t id);
    bool Sniff(SPending& p);
    // Answers one whole request; false when reading must stop (closing, upgraded, waiting).
    bool Answer(SPending& p);
    void Upgrade(SPending& p, EPath path);
    void Respond(SPending& p, const std::string& status, const std::string& headers, const std::string& body,
                 bool keep, bool head = false);
    void Drop(std::uint64_t id);
    TTransport TakeWaiting(EPath path, std::uint32_t& address);

    SWebSettings mSettings;
    std::unique_ptr<TRegularTransportObj> mListener;
    std::unordered_map<std::uint64_t, std::unique_ptr<SPending>> mPending;
    std::unordered_map<std::uint32_t, std::uint32_t> mPendingPerAddress;
    std::uint64_t mNextID = 1;
    std::array<SPath, 2> mPaths;
};

}  // namespace kx
