// The bare TLS test peer (tls_test_client.h).
#include "support/tls_test_client.h"

#include <algorithm>
#include <cstring>
#include <openssl/err.h>
#include <poll.h>

#include "net/tls_context.h"

namespace kx::test {

CTlsTestClient::CTlsTestClient() : mTcp(10000), mCtx(SSL_CTX_new(TLS_client_method())) {}

CTlsTestClient::~CTlsTestClient() {
    SSL_free(mSsl);
    SSL_CTX_free(mCtx);
}

bool CTlsTestClient::Connect(unsigned short port) {
    if (!mTcp.Connect(port)) {
        mError = mTcp.LastError();
        return false;
    }
    mSsl = SSL_new(mCtx);
    SSL_set_fd(mSsl, mTcp.Fd());
    if (SSL_connect(mSsl) != 1) {
        mError = "handshake failed: " + UTlsCertificate::LastError();
        return false;
    }
    mFingerprint = UTlsCertificate::Fingerprint(SSL_get0_peer_certificate(mSsl));
    return true;
}

bool CTlsTestClient::SendRaw(const Bytes& bytes) {
    return SSL_write(mSsl, bytes.data(), static_cast<int>(bytes.size())) == static_cast<int>(bytes.size());
}

std::optional<Bytes> CTlsTestClient::ReadExact(std::size_t n, int ms) {
    Bytes out(n);
    std::size_t got = 0;
    while (got < n) {
        pollfd p{mTcp.Fd(), POLLIN, 0};
        if (SSL_pending(mSsl) == 0 && ::poll(&p, 1, ms) <= 0) return std::nullopt;
        const int r = SSL_read(mSsl, out.data() + got, static_cast<int>(n - got));
        if (r <= 0) {
            if (SSL_get_error(mSsl, r) == SSL_ERROR_WANT_READ) continue;
            return std::nullopt;
        }
        got += static_cast<std::size_t>(r);
    }
    return out;
}

bool CTlsTestClient::Establish() {
    if (!SendRaw(EstablishRequest("KSTX", 2))) return false;
    const std::optional<Bytes> reply = ReadExact(8);
    return reply && std::memcmp(reply->data(), "TRTP\0\0\0\0", 8) == 0;
}

bool CTlsTestClient::WaitClosed(int ms) {
    if (mSsl == nullptr) return mTcp.WaitClosed(ms);
    std::uint8_t buf[4096];
    for (;;) {
        pollfd p{mTcp.Fd(), POLLIN, 0};
        if (SSL_pending(mSsl) == 0 && ::poll(&p, 1, ms) <= 0) return false;
        const int n = SSL_read(mSsl, buf, sizeof buf);
        if (n > 0) continue;
        const int err = SSL_get_error(mSsl, n);
        if (err == SSL_ERROR_WANT_READ) continue;
        ERR_clear_error();
        return true;
    }
}

Bytes ClientHelloStart(std::size_t size) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL* ssl = SSL_new(ctx);
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl, in, out);
    SSL_connect(ssl);  // writes the ClientHello, then wants to read
    char* data = nullptr;
    const long n = BIO_get_mem_data(out, &data);
    Bytes hello(data, data + std::min<long>(n, static_cast<long>(size)));
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    return hello;
}

}  // namespace kx::test
