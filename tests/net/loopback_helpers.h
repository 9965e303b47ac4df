// Helpers for the endpoint tests: a notice recorder, a loop pump driving CEventLoop::Get(), a
// counter of loop iterations that did anything (to prove an idle endpoint does not spin), and
// a loopback pair (a listening endpoint, a plain client socket, the accepted endpoint).
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <utility>
#include <vector>

#include "framework/event_loop.h"
#include "net/transport.h"

namespace kx::test {

struct SNoticeLog {
    std::vector<std::pair<std::uint32_t, void*>> seen;
    TMessageProc Proc() {
        return [this](std::uint32_t code, void* object) { seen.emplace_back(code, object); };
    }
    int Count(std::uint32_t code) const {
        int n = 0;
        for (const auto& s : seen) n += s.first == code;
        return n;
    }
    std::vector<std::uint32_t> Codes() const {
        std::vector<std::uint32_t> codes;
        for (const auto& s : seen) codes.push_back(s.first);
        return codes;
    }
};

// Runs the loop until `done` holds; gives up after `rounds` iterations of at most 20 ms each.
// `done` is evaluated once per iteration, so it may consume what it checks.
inline bool PumpUntil(const std::function<bool()>& done, int rounds = 250) {
    for (int i = 0; i < rounds; ++i) {
        if (done()) return true;
        CEventLoop::Get().RunOnce(20);
    }
    return done();
}

inline void PumpIdle(int rounds = 3) {
    for (int i = 0; i < rounds; ++i) CEventLoop::Get().RunOnce(0);
}

// Iterations of CEventLoop::Get() in which anything fired (descriptors, timers or messages).
inline int& BusyPasses() {
    static int passes = 0;
    static bool hooked = false;
    if (!hooked) {
        hooked = true;
        CEventLoop::Get().AddAfterBatch([] { ++passes; });
    }
    return passes;
}

inline SInternetAddress MakeAddress(std::uint16_t port, std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    SInternetAddress rec{};
    rec.type = kInternetAddressType;
    rec.port = port;
    rec.host[0] = a;
    rec.host[1] = b;
    rec.host[2] = c;
    rec.host[3] = d;
    return rec;
}

inline SIPAddress Loopback() {
    SIPAddress a;
    a.b[0] = 127;
    a.b[3] = 1;
    return a;
}

// A blocking client socket connected to 127.0.0.1:port, with a receive timeout as a safety net.
inline int ConnectClient(std::uint16_t port, int rcvBuf = 0) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (rcvBuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvBuf, sizeof(rcvBuf));
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)), 0);
    return fd;
}

struct SLoopbackPair {
    TTransport listener;
    TTransport server;
    int client = -1;
    std::uint16_t port = 0;
    SNoticeLog listenerLog;
    SNoticeLog log;  // the accepted endpoint's notices

    explicit SLoopbackPair(int clientRcvBuf = 0, bool setHandler = true) {
        listener = UTransport::New(kTransportStream, true);
        listener->SetIPAddress(Loopback());
        listener->SetMessageHandler(listenerLog.Proc());
        SInternetAddress rec = MakeAddress(0, 127, 0, 0, 1);
        listener->Listen(&rec, sizeof(rec));
        port = listener->GetLocalPort();
        client = ConnectClient(port, clientRcvBuf);
        EXPECT_TRUE(PumpUntil([&] { return listenerLog.Count(kMsgConnectionRequest) > 0; }));
        server = listener->Accept(nullptr, nullptr);
        EXPECT_NE(server, nullptr);
        if (server && setHandler) server->SetMessageHandler(log.Proc());
    }
    ~SLoopbackPair() {
        if (client >= 0) close(client);
    }

    void ClientSend(const std::string& bytes) const {
        ASSERT_EQ(send(client, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }
    // Waits (without running the loop) until the server side holds `n` bytes.
    void AwaitReceiveSize(std::uint32_t n) const {
        for (int i = 0; i < 2000 && server->GetReceiveSize() < n; ++i) usleep(1000);
        ASSERT_EQ(server->GetReceiveSize(), n);
    }
    // Everything the client can read now, without blocking.
    std::string ClientDrain() const {
        std::string out;
        char buf[65536];
        for (;;) {
            const ssize_t n = recv(client, buf, sizeof(buf), MSG_DONTWAIT);
            if (n <= 0) break;
            out.append(buf, static_cast<std::size_t>(n));
        }
        return out;
    }
};

}  // namespace kx::test
