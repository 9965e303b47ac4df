// A small HTTP/1.x server for monitoring scrapes: answers `GET /metrics` with the text its owner
// builds, one request per connection, on the application's event loop (non-blocking, no
// threads). Kept apart from the HTTP tunnel: it parses only a request line and the end of the
// headers, and every peer is bounded: a request longer than kRequestMax bytes, or not complete
// and answered within kExchangeMs, is closed; beyond kMaxConnections further connections are
// closed at once. Malformed requests get a short error answer and are closed.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>

#include "framework/event_loop.h"

namespace kx {

class CMetricsHttpServer {
public:
    static constexpr std::size_t kRequestMax = 4096;
    static constexpr std::uint32_t kExchangeMs = 5000;
    static constexpr std::size_t kMaxConnections = 16;

    // `body` is called for each `GET /metrics` and returns the page.
    explicit CMetricsHttpServer(std::function<std::string()> body);
    ~CMetricsHttpServer();
    CMetricsHttpServer(const CMetricsHttpServer&) = delete;
    CMetricsHttpServer& operator=(const CMetricsHttpServer&) = delete;

    // Listens on the IPv4 address (dotted) and port; raises the mapped SError when it cannot.
    void Listen(const std::string& address, std::uint16_t port);
    // The port listened on (0 before Listen).
    std::uint16_t Port() const { return mPort; }
    std::size_t OpenConnections() const { return mConns.size(); }

private:
    struct SConn {
        std::uint64_t serial = 0;
        std::string in;
        std::string out;
        std::size_t sent = 0;
        CTimerSlot timer;  // the exchange's time limit
    };
    void OnListenReady();
    void OnConnReady(int fd, std::uint32_t mask);
    // Reads what has arrived; once the headers are complete queues the answer.
    void ReadRequest(int fd, SConn& c);
    void Answer(SConn& c);
    // Writes what it can; true when everything is written.
    bool WriteAnswer(int fd, SConn& c);
    void CloseConn(int fd);
    void PauseListening();

    std::function<std::string()> mBody;
    int mListenFd = -1;
    std::uint16_t mPort = 0;
    std::uint64_t mNextSerial = 1;
    CTimerSlot mResumeTimer;
    std::unordered_map<int, SConn> mConns;
};

}  // namespace kx
