// kestrix-server: parses the command line, then serves. For now the program listens on the base
// port, runs the establish exchange with each connection, and claims and discards whatever
// requests arrive; the full start-up (options, accounts, handlers) replaces RunServer's body.
// SIGTERM and SIGINT stop the loop cleanly; standard input is never read.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <sys/signalfd.h>
#include <unistd.h>
#include <vector>

#include "framework/error.h"
#include "framework/event_loop.h"
#include "net/transport.h"
#include "protocol/field_data.h"
#include "protocol/transact.h"

namespace kx {
namespace {

constexpr std::uint16_t kDefaultBasePort = 5500;
constexpr std::uint32_t kServerMaxReceiveSize = 524288;


struct SConnection {
    TTransact trn;
    bool established = false;
};

class CBootstrapServer {
public:
    explicit CBootstrapServer(std::uint16_t port) : mPort(port) {}

    void Start() {
        _gTransactMaxReceiveSize = kServerMaxReceiveSize;
        mListener = UTransact::New(kTransportStream, true, 0);
        UTransact::SetMessageHandler(mListener.get(), [this](std::uint32_t, void*) { mPassWanted = true; });
        SInternetAddress addr{kInternetAddressType, mPort, {0, 0, 0, 0, 0, 0, 0, 0}};
        UTransact::Listen(mListener.get(), &addr, sizeof addr);
        CEventLoop::Get().AddAfterBatch([this] { Pass(); });
    }

    // The port actually listened on (the system's choice when asked for port 0).
    std::uint16_t GetPort() const { return UTransact::GetTransport(mListener.get())->GetLocalPort(); }

private:
    // One processing pass: accept, advance handshakes, drain requests, drop closed connections.
    void Pass() {
        if (!mPassWanted) return;
        mPassWanted = false;
        try {
            AcceptAll();
        } catch (const SError& e) {
            std::fprintf(stderr, "accept failed: %s\n", UError::GetDetail(e).c_str());
        }
        StFieldData fields;
        for (auto it = mConnections.begin(); it != mConnections.end();) {
            bool keep = true;
            try {
                keep = Serve(**it, fields);
            } catch (const SError& e) {
                std::fprintf(stderr, "connection error: %s\n", UError::GetDetail(e).c_str());
                keep = false;
            }
            it = keep ? it + 1 : mConnections.erase(it);
        }
    }

    void AcceptAll() {
        for (;;) {
            std::uint8_t addr[sizeof(SInternetAddress)];
            std::uint32_t size = sizeof addr;
            TTransact trn = UTransact::Accept(mListener.get(), addr, &size);
            if (!trn) return;
            UTransact::SetMessageHandler(trn.get(), [this](std::uint32_t, void*) { mPassWanted = true; });
            auto conn = std::make_unique<SConnection>();
            conn->trn = std::move(trn);
            mConnections.push_back(std::move(conn));
            mPassWanted = true;  // its establish request may already be there
        }
    }

    // False when the connection is finished with.
    bool Serve(SConnection& c, TFieldDataObj fields) {
        TTransactObj* trn = c.trn.get();
        if (!UTransact::IsConnected(trn)) return false;
        if (UTransact::IsDisconnecting(trn)) return true;
        if (!c.established) {
            std::uint8_t tag[4];
            std::uint16_t subVersion = 0;
            switch (UTransact::ReceiveEstablish(trn, tag, subVersion)) {
                case kEstablishPending:
                    return true;
                case kEstablishReceived:
                    break;
                default:
                    return false;  // not this protocol, or refused already
            }
            // Sub-version 3 (a transfer arriving on this port) is accepted too; until transfers
            // exist its bytes are treated like any other traffic.
            if (std::memcmp(tag, "KSTX", 4) != 0 || (subVersion != 2 && subVersion != 3)) {
                UTransact::RejectEstablish(trn, 1);
                UTransact::StartDisconnect(trn);
                return true;
            }
            UTransact::AcceptEstablish(trn);
            c.established = true;
        }
        while (TTransactSession ses = UTransact::NewReceiveSession(trn, 0, kReceiveCompleteOnly)) {
            UTransact::ReceiveSessionData(ses.get(), fields);
            UTransact::DisposeSession(ses);
        }
        return true;
    }

    std::uint16_t mPort;
    TTransact mListener;
    std::vector<std::unique_ptr<SConnection>> mConnections;
    bool mPassWanted = false;
};

// Turns SIGTERM and SIGINT into a readable descriptor the loop watches, so that shutdown
// happens between batches rather than inside a signal handler.
int WatchStopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0) KX_FAIL_ERRNO(errno);
    const int fd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd < 0) KX_FAIL_ERRNO(errno);
    CEventLoop::Get().WatchFd(fd, kFdReadable, [fd](std::uint32_t) {
        signalfd_siginfo info;
        while (read(fd, &info, sizeof info) == sizeof info) {
        }
        CEventLoop::Get().Stop();
    });
    return fd;
}

int RunServer(const std::string& /*dir*/, std::uint16_t port) {
    std::signal(SIGPIPE, SIG_IGN);
    UTransport::Init();
    const int sigFd = WatchStopSignals();
    {
        CBootstrapServer server(port);
        server.Start();
        std::fprintf(stderr, "kestrix-server: listening on port %u\n", unsigned(server.GetPort()));
        CEventLoop::Get().Run();
        CEventLoop::Get().UnwatchFd(sigFd);
    }
    close(sigFd);
    return 0;
}

}  // namespace
}  // namespace kx

int main(int argc, char** argv) {
    std::string dir = ".";
    // --port overrides the base port for testing until the options file provides it (0: any
    // free port, reported on standard error).
    unsigned long port = kx::kDefaultBasePort;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--dir") == 0 && i + 1 < argc) {
            dir = argv[++i];
        } else if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
            char* end = nullptr;
            port = std::strtoul(argv[++i], &end, 10);
            if (end == argv[i] || *end != '\0' || port > 65535) {
                std::fprintf(stderr, "kestrix-server: bad port \"%s\"\n", argv[i]);
                return 2;
            }
        } else {
            std::fprintf(stderr, "usage: kestrix-server [--dir DIR] [--port N]\n");
            return 2;
        }
    }
    try {
        return kx::RunServer(dir, static_cast<std::uint16_t>(port));
    } catch (const kx::SError& e) {
        std::fprintf(stderr, "kestrix-server: cannot start: %s\n", kx::UError::GetDetail(e).c_str());
        return 1;
    }
}
