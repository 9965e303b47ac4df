// The application's encrypted listeners: the extended options that govern them, the certificate
// made on the first start, opening the client and transfer listeners beside the plain ones, and
// the SIGHUP reload. A TLS problem is logged and leaves TLS off; the plain listeners serve on.
#include <cstdio>
#include <unistd.h>

#include "framework/error.h"
#include "framework/file_util.h"
#include "net/tls_context.h"
#include "net/tls_transport.h"
#include "net/web_listener.h"
#include "server/application.h"

namespace kx {

namespace {

constexpr std::uint16_t kTlsPortOffset = 4;
constexpr std::uint16_t kTlsTransferPortOffset = 5;

std::string HostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

}  // namespace

void CMyApplication::OpenTlsListeners(std::uint16_t base) {
    if (!mExtOptions.Switch("tls", true)) return;
    auto off = [this](const std::string& why) {
        mLogger.LogText("TLS", "TLS is off: " + why);
        std::fprintf(stderr, "TLS is off: %s\n", why.c_str());
    };
    const std::string cert = mExtOptions.Path("tls_certificate", kTlsDefaultCertificate, mProgramDir);
    const std::string key = mExtOptions.Path("tls_key", kTlsDefaultKey, mProgramDir);
    // Only the default files are ever made: a configured path that is missing is the operator's
    // to fix, and is reported below.
    if (!mExtOptions.Get("tls_certificate") && !mExtOptions.Get("tls_key") && !UFileUtil::Exists(cert) &&
        !UFileUtil::Exists(key)) {
        std::string error;
        if (!UTlsCertificate::CreateSelfSigned(cert, key, mServerName, HostName(), error)) return off(error);
        mLogger.LogText("TLS", "Created a self-signed certificate in " + std::string(kTlsDefaultCertificate));
    }
    auto context = std::make_shared<CTlsServerContext>();
    std::string error;
    if (!context->Load(cert, key, error)) return off(error);

    const std::uint32_t tlsPort = mExtOptions.Port("tls_port", static_cast<std::uint16_t>(0));
    const std::uint32_t xferPort = mExtOptions.Port("tls_transfer_port", static_cast<std::uint16_t>(0));
    const std::uint32_t port = tlsPort != 0 ? tlsPort : base + kTlsPortOffset;
    const std::uint32_t transferPort = xferPort != 0 ? xferPort : base + kTlsTransferPortOffset;
    if (port > 65535 || transferPort > 65535) return off("the base port leaves no room for ports + 4 and + 5");
    context->SetFirstSessionHook([this](bool kernelTls) {
        mLogger.LogText("TLS", kernelTls ? "Downloads use kernel TLS (SSL_sendfile)"
                                         : "Downloads are encrypted by OpenSSL (no kernel TLS here)");
    });

    auto handler = [this](std::uint32_t code, void* object) { HandleMessage(code, object); };
    try {
        SInternetAddress a{kInternetAddressType, static_cast<std::uint16_t>(port), {}};
        mListeners.mListenTlsTpt = std::make_unique<TTransactObj>(std::make_unique<TTlsListenerObj>(context));
        mListeners.mListenTlsTpt->SetIPAddress(mOptions.stIPAddress);
        mListeners.mListenTlsTpt->SetMessageHandler(handler);
        mListeners.mListenTlsTpt->Listen(&a, sizeof a);
        a.port = static_cast<std::uint16_t>(transferPort);
        mListeners.mTransferListenTlsTpt = std::make_unique<TTlsListenerObj>(context);
        mListeners.mTransferListenTlsTpt->SetIPAddress(mOptions.stIPAddress);
        mListeners.mTransferListenTlsTpt->SetMessageHandler(handler);
        mListeners.mTransferListenTlsTpt->Listen(&a, sizeof a);
    } catch (const SError& err) {
        mListeners.mListenTlsTpt.reset();
        mListeners.mTransferListenTlsTpt.reset();
        return off("cannot listen on ports " + std::to_string(port) + " and " + std::to_string(transferPort) + ": " +
                   UError::GetMessage(err));
    }
    mListeners.mTlsContext = context;
    mLogger.LogText("TLS", "Listening on ports " + std::to_string(port) + " and " + std::to_string(transferPort) +
                               "; certificate " + context->Fingerprint());
}

void CMyApplication::ReloadTls() {
    if (!mListeners.mTlsContext) {
        if (mOptions.nCurPortNum != 0) OpenTlsListeners(mOptions.nCurPortNum);
        SMyListeners& l = mListeners;
        if (l.mWebListener && l.mTlsContext) l.mWebListener->SetTls(l.mTlsContext);  // HTTPS from now on
        return;
    }
    const std::string cert = mExtOptions.Path("tls_certificate", kTlsDefaultCertificate, mProgramDir);
    const std::string key = mExtOptions.Path("tls_key", kTlsDefaultKey, mProgramDir);
    std::string error;
    if (!mListeners.mTlsContext->Load(cert, key, error)) {
        mLogger.LogText("TLS", "Certificate not reloaded, the previous one stays in use: " + error);
        return;
    }
    mLogger.LogText("TLS", "Certificate reloaded for new connections: " + mListeners.mTlsContext->Fingerprint());
}

std::string CMyApplication::TlsFingerprint() const {
    return mListeners.mTlsContext ? mListeners.mTlsContext->Fingerprint() : std::string();
}

std::uint16_t CMyApplication::TlsPort() const {
    const TTransact& listener = mListeners.mListenTlsTpt;
    return listener ? listener->GetTransport()->GetLocalPort() : 0;
}

}  // namespace kx
