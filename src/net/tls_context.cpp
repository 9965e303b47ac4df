// The server's TLS context: loading (and reloading) the certificate chain and key into an
// OpenSSL context with the settings every encrypted connection shares.
#include "net/tls_context.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <openssl/err.h>
#include <openssl/ssl.h>

namespace kx {

namespace {

// One context for both encrypted listeners: sessions resume across them.
constexpr unsigned char kSessionIdContext[] = "kestrix";
constexpr long kSessionLifetimeSecs = 7200;

// "" when the file can be opened for reading, else why not.
std::string Unreadable(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return std::strerror(errno);
    std::fclose(f);
    return {};
}

}  // namespace

CTlsServerContext::~CTlsServerContext() { SSL_CTX_free(mCtx); }

bool CTlsServerContext::Load(const std::string& certPath, const std::string& keyPath, std::string& error) {
    for (const std::string* path : {&certPath, &keyPath}) {
        const std::string why = Unreadable(*path);
        if (!why.empty()) {
            error = "cannot read \"" + *path + "\": " + why;
            return false;
        }
    }
    // OpenSSL writes to its socket with write(2), which raises SIGPIPE on a connection the peer
    // has closed; an encrypted endpoint learns of the close from the failed write instead.
    std::signal(SIGPIPE, SIG_IGN);
    ERR_clear_error();
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (ctx == nullptr) {
        error = "cannot make a TLS context: " + UTlsCertificate::LastError();
        return false;
    }
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    // AES-128-GCM first: as strong as a file server needs and the cheapest where the kernel does
    // not encrypt; clients without AES instructions may still choose ChaCha20.
    SSL_CTX_set_ciphersuites(ctx, "TLS_AES_128_GCM_SHA256:TLS_CHACHA20_POLY1305_SHA256:TLS_AES_256_GCM_SHA384");
    // Kernel TLS is taken where the kernel offers it (the "tls" module); elsewhere OpenSSL keeps
    // the record layer and nothing changes.
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_ENABLE_KTLS);
    // Buffers are freed while a connection is idle: an idle client costs its SSL object only.
    SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS | SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_SERVER);
    SSL_CTX_set_session_id_context(ctx, kSessionIdContext, sizeof kSessionIdContext - 1);
    SSL_CTX_set_timeout(ctx, kSessionLifetimeSecs);
    SSL_CTX_set_num_tickets(ctx, 1);
    if (SSL_CTX_use_certificate_chain_file(ctx, certPath.c_str()) != 1) {
        error = "cannot load the certificate \"" + certPath + "\": " + UTlsCertificate::LastError();
    } else if (SSL_CTX_use_PrivateKey_file(ctx, keyPath.c_str(), SSL_FILETYPE_PEM) != 1) {
        error = "cannot load the key \"" + keyPath + "\": " + UTlsCertificate::LastError();
    } else if (SSL_CTX_check_private_key(ctx) != 1) {
        error = "the key \"" + keyPath + "\" does not belong to the certificate \"" + certPath + "\"";
    }
    if (!error.empty()) {
        ERR_clear_error();
        SSL_CTX_free(ctx);
        return false;
    }
    SSL_CTX_free(mCtx);
    mCtx = ctx;
    mFingerprint = UTlsCertificate::Fingerprint(SSL_CTX_get0_certificate(ctx));
    return true;
}

SSL* CTlsServerContext::NewConnection() const { return mCtx != nullptr ? SSL_new(mCtx) : nullptr; }

void CTlsServerContext::SessionStarted(bool kernelTls) {
    if (!mFirstSession) return;
    auto hook = std::move(mFirstSession);
    mFirstSession = nullptr;
    hook(kernelTls);
}

}  // namespace kx
