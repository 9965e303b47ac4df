// The TLS settings and certificates shared by every encrypted endpoint (OpenSSL 3).
//
// CTlsServerContext is the server's side: one OpenSSL context (certificate chain, key, TLS 1.2
// and 1.3 only, no renegotiation, session resumption through the session cache and tickets,
// kernel TLS asked for) shared by the encrypted client and transfer listeners, so a session
// made on one resumes on the other. Reload swaps in a new context for new connections; a
// connection keeps the context it started with (OpenSSL counts the references).
//
// UTlsCertificate: the self-signed certificate a server makes on its first start, and the
// SHA-256 fingerprint text ("SHA256:AB:CD:...") the server logs and the client compares.
#pragma once

#include <functional>
#include <memory>
#include <string>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;
typedef struct x509_st X509;

namespace kx {

class CTlsServerContext {
public:
    CTlsServerContext() = default;
    ~CTlsServerContext();
    CTlsServerContext(const CTlsServerContext&) = delete;
    CTlsServerContext& operator=(const CTlsServerContext&) = delete;

    // Loads the PEM chain and key into a new context and makes it the one new connections use.
    // On failure returns false with `error` saying which file and why; the context in use (if
    // any) stays.
    bool Load(const std::string& certPath, const std::string& keyPath, std::string& error);
    bool IsLoaded() const { return mCtx != nullptr; }
    // A new server-side connection object on the current context (null when none is loaded).
    SSL* NewConnection() const;
    // The fingerprint of the certificate in use ("" when none).
    const std::string& Fingerprint() const { return mFingerprint; }

    // Called once, after the first handshake completes, with whether the kernel took over the
    // sending side (kernel TLS: files go out with SSL_sendfile); lets the owner log which path
    // downloads use.
    void SetFirstSessionHook(std::function<void(bool kernelTls)> hook) { mFirstSession = std::move(hook); }
    void SessionStarted(bool kernelTls);

private:
    SSL_CTX* mCtx = nullptr;
    std::string mFingerprint;
    std::function<void(bool)> mFirstSession;
};

namespace UTlsCertificate {

// "SHA256:" and the certificate's SHA-256 digest as upper-case hex pairs joined by ':', as
// `openssl x509 -noout -fingerprint -sha256` prints it.
std::string Fingerprint(X509* cert);
// The same text for a fingerprint typed by a user: accepts upper or lower case, with or without
// the "SHA256:" prefix and the colons; "" when it is not 32 bytes of hex.
std::string NormalizeFingerprint(const std::string& text);

// Makes a self-signed ECDSA P-256 certificate (ten years, the names as subject and DNS names)
// and its key, and writes them as PEM: the key readable by the owner only, folders created as
// needed, each file replaced atomically. Returns false with `error` set when it cannot.
bool CreateSelfSigned(const std::string& certPath, const std::string& keyPath, const std::string& serverName,
                      const std::string& hostName, std::string& error);

// The last OpenSSL error as text ("" when none), clearing the queue.
std::string LastError();

}  // namespace UTlsCertificate

}  // namespace kx
