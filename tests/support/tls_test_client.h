// A bare TLS peer for wire tests of the encrypted listeners: a CTestClient's socket (with its
// source address) wrapped in an OpenSSL client that trusts any certificate and reports its
// fingerprint, with the establish exchange and a wait for the server's close.
#pragma once

#include <openssl/ssl.h>
#include <string>

#include "support/test_client.h"

namespace kx::test {

class CTlsTestClient {
public:
    CTlsTestClient();
    ~CTlsTestClient();
    CTlsTestClient(const CTlsTestClient&) = delete;
    CTlsTestClient& operator=(const CTlsTestClient&) = delete;

    void SetSourceAddress(std::string host) { mTcp.SetSourceAddress(std::move(host)); }
    // Connects and completes the handshake; false (LastError says why) when either fails.
    bool Connect(unsigned short port);
    const std::string& Fingerprint() const { return mFingerprint; }
    const std::string& LastError() const { return mError; }
    // Sends the establish request and reads the reply: true on "TRTP" and error 0.
    bool Establish();
    bool SendRaw(const Bytes& bytes);
    // Exactly n bytes, or nullopt on a time-out or the end of the connection.
    std::optional<Bytes> ReadExact(std::size_t n, int ms = 10000);
    // True when the server ends the connection (close notice or TCP end) within `ms`.
    bool WaitClosed(int ms);

private:
    CTestClient mTcp;
    SSL_CTX* mCtx = nullptr;
    SSL* mSsl = nullptr;
    std::string mFingerprint;
    std::string mError;
};

// The first `size` bytes of a real TLS ClientHello, for a peer that stalls mid-handshake.
Bytes ClientHelloStart(std::size_t size);

}  // namespace kx::test
