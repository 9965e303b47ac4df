// The client's TLS stream: the OpenSSL client context (TLS 1.2 and 1.3, the system's
// authorities, sessions kept for the run's transfer connections), the blocking stream with a
// time limit on every wait, and the trust decision of client_tls.h.
#include "client/client_tls.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "client/client_connection.h"
#include "net/tls_context.h"

namespace kx {

namespace {

[[noreturn]] void TlsLost(const std::string& why) { throw SClientFailure(kExitConnection, why); }
[[noreturn]] void TlsRefused(const std::string& why) { throw SClientFailure(kExitCertificate, why); }

// What one run keeps between its connections: the context, the session to resume and the
// certificate the first connection trusted. Never freed: it lives as long as the process.
struct SClientTlsState {
    SSL_CTX* ctx = nullptr;
    SSL_SESSION* session = nullptr;
    std::string trusted;  // fingerprint accepted in this run
};

SClientTlsState& State() {
    static SClientTlsState* state = new SClientTlsState;
    if (state->ctx == nullptr) {
        state->ctx = SSL_CTX_new(TLS_client_method());
        if (state->ctx == nullptr) TlsLost("Cannot start TLS: " + UTlsCertificate::LastError());
        SSL_CTX_set_min_proto_version(state->ctx, TLS1_2_VERSION);
        SSL_CTX_set_options(state->ctx, SSL_OP_NO_RENEGOTIATION);
        // Records other than data (session tickets) must not make a read wait past its limit.
        SSL_CTX_clear_mode(state->ctx, SSL_MODE_AUTO_RETRY);
        SSL_CTX_set_default_verify_paths(state->ctx);
        SSL_CTX_set_session_cache_mode(state->ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
        SSL_CTX_sess_set_new_cb(state->ctx, [](SSL*, SSL_SESSION* session) {
            SSL_SESSION_free(State().session);
            State().session = session;
            return 1;  // kept
        });
    }
    return *state;
}

// Asks on the terminal whether to trust a server met for the first time.
bool AskUser(int fd, const std::string& key, const std::string& fingerprint) {
    const std::string question = "The server " + key + " presents a certificate no authority vouches for.\n" +
                                 "Its fingerprint is " + fingerprint + ".\n" +
                                 "Trust it and remember it (yes/no)? ";
    if (::write(fd, question.data(), question.size()) < 0) return false;
    std::string answer;
    char c;
    while (answer.size() < 16 && ::read(fd, &c, 1) == 1 && c != '\n') answer += c;
    return answer == "yes" || answer == "y";
}

void CheckTrust(SSL* ssl, const std::string& host, const std::string& key, const SClientTlsTrust& trust) {
    X509* cert = SSL_get0_peer_certificate(ssl);
    const std::string fingerprint = UTlsCertificate::Fingerprint(cert);
    if (fingerprint.empty()) TlsRefused("The server " + key + " presented no certificate.");
    SClientTlsState& state = State();
    if (!state.trusted.empty()) {
        // A transfer connection of this run: the server already trusted.
        if (fingerprint != state.trusted)
            TlsRefused("The server's transfer port presents another certificate (" + fingerprint + ") than " + key + ".");
        return;
    }
    if (!trust.pinned.empty()) {
        if (fingerprint != trust.pinned)
            TlsRefused("The certificate of " + key + " does not match the pinned fingerprint.\n  pinned: " + trust.pinned +
                    "\n  server: " + fingerprint);
    } else if (SSL_get_verify_result(ssl) == X509_V_OK && X509_check_host(cert, host.c_str(), host.size(), 0, nullptr) == 1) {
        // Vouched for by an authority the system trusts, and made out to this host.
    } else {
        const std::string known = UKnownServers::Find(trust.knownServers, key);
        if (!known.empty() && known != fingerprint) {
            TlsRefused("THE CERTIFICATE OF " + key + " HAS CHANGED.\n  remembered: " + known + "\n  now:        " +
                    fingerprint + "\nSomeone may be listening in, or the server got a new certificate. If the "
                    "server's operator confirms the new fingerprint, remove the line for " + key + " from " +
                    trust.knownServers + " or connect with --fingerprint.");
        }
        if (known.empty()) {
            const bool accepted = trust.trustNew || (trust.promptFd >= 0 && AskUser(trust.promptFd, key, fingerprint));
            if (!accepted)
                TlsRefused("The server " + key + " is not known; its certificate fingerprint is " + fingerprint +
                        ".\nCompare it with the one in the server's log, then run again with --trust-new (or "
                        "--fingerprint " + fingerprint + ").");
            UKnownServers::Remember(trust.knownServers, key, fingerprint);
        }
    }
    state.trusted = fingerprint;
}

class CTlsStream final : public CClientStream {
public:
    CTlsStream(int fd, SSL* ssl) : mFd(fd), mSsl(ssl) {}
    ~CTlsStream() override { Close(); }

    void Write(const std::uint8_t* data, std::size_t size) override {
        while (size > 0) {
            ERR_clear_error();
            const int n = SSL_write(mSsl, data, static_cast<int>(std::min<std::size_t>(size, 1 << 20)));
            if (n <= 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK) TlsLost("The server stopped answering.");
                TlsLost("The connection to the server was lost.");
            }
            data += n;
            size -= static_cast<std::size_t>(n);
        }
    }

    std::size_t Read(std::uint8_t* data, std::size_t size, int timeoutMs) override {
        const ClientDeadline deadline = DeadlineAfter(timeoutMs);
        for (;;) {
            if (SSL_pending(mSsl) == 0 && !SocketWaitReadable(mFd, deadline)) return 0;
            ERR_clear_error();
            const int n = SSL_read(mSsl, data, static_cast<int>(std::min<std::size_t>(size, 1 << 30)));
            if (n > 0) return static_cast<std::size_t>(n);
            const int err = SSL_get_error(mSsl, n);
            if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
                if (timeoutMs == 0) return 0;
                continue;
            }
            if (err == SSL_ERROR_ZERO_RETURN) mEnded = true;
            TlsLost("The connection to the server was lost.");
        }
    }

    int PollFd() const override { return mFd; }
    bool HasBuffered() override { return mSsl != nullptr && SSL_pending(mSsl) > 0; }
    bool Ended() override { return mEnded; }

    void Close() override {
        if (mSsl != nullptr) {
            if (!mEnded) SSL_shutdown(mSsl);
            SSL_free(mSsl);
            ERR_clear_error();
        }
        mSsl = nullptr;
        if (mFd >= 0) ::close(mFd);
        mFd = -1;
    }

private:
    int mFd;
    SSL* mSsl;
    bool mEnded = false;
};

}  // namespace

void ResetClientTls() {
    SClientTlsState& state = State();
    SSL_SESSION_free(state.session);
    state.session = nullptr;
    state.trusted.clear();
}

std::unique_ptr<CClientStream> OpenTlsStream(const std::string& host, std::uint16_t port, const std::string& key,
                                             const SClientTlsTrust& trust, int sendTimeoutMs) {
    SClientTlsState& state = State();
    const int fd = ConnectSocket(host, port, sendTimeoutMs);
    SSL* ssl = SSL_new(state.ctx);
    if (ssl == nullptr) {
        ::close(fd);
        TlsLost("Cannot start TLS: " + UTlsCertificate::LastError());
    }
    auto stream = std::make_unique<CTlsStream>(fd, ssl);
    SSL_set_fd(ssl, fd);
    SSL_set_tlsext_host_name(ssl, host.c_str());
    if (state.session != nullptr) SSL_set_session(ssl, state.session);
    // A silent server must not hold the handshake for ever.
    timeval tv{};
    tv.tv_sec = sendTimeoutMs > 0 ? sendTimeoutMs / 1000 : 30;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ERR_clear_error();
    if (SSL_connect(ssl) != 1) {
        TlsLost("No TLS connection to " + host + ":" + std::to_string(port) + ": " + UTlsCertificate::LastError());
    }
    tv = timeval{};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    CheckTrust(ssl, host, key, trust);
    return stream;
}

}  // namespace kx

namespace kx {

std::unique_ptr<CClientStream> OpenClientTlsStream(const SClientOptions& opt, std::uint16_t port, int sendTimeoutMs) {
    SClientTlsTrust trust;
    trust.pinned = opt.fingerprint;
    trust.trustNew = opt.trustNew;
    trust.knownServers = UKnownServers::DefaultPath();
    // Asked on the terminal, as ssh does, whatever standard input is; never without one.
    trust.promptFd = ::isatty(STDIN_FILENO) == 1 ? ::open("/dev/tty", O_RDWR | O_CLOEXEC) : -1;
    struct SCloser {
        int fd;
        ~SCloser() {
            if (fd >= 0) ::close(fd);
        }
    } closer{trust.promptFd};
    return OpenTlsStream(opt.host, port, opt.host + ":" + std::to_string(opt.port), trust, sendTimeoutMs);
}

}  // namespace kx
