// SMyListeners: the listeners of the running server, one record owned by the application
// (mListeners). The plain and tunnel pairs are opened in application.cpp, the TLS pair in
// tls_setup.cpp, the web listener in web_setup.cpp, the metrics listener in metrics_app.cpp;
// all are closed first when the application goes.
#pragma once

#include <memory>

#include "net/transport.h"
#include "protocol/transact.h"

namespace kx {

class CMetricsHttpServer;
class CTlsServerContext;
class CWebListener;

// The TLS pair, the web listener and the metrics listener are opened only when the extended options switch them on.
struct SMyListeners {
    TTransact mListenTpt;               // clients, base port
    TTransport mTransferListenTpt;      // transfers, base port + 1
    TTransact mListenHttpTpt;           // clients through the HTTP tunnel, base port + 2
    TTransport mTransferListenHttpTpt;  // transfers through the tunnel, base port + 3
    TTransact mListenTlsTpt;            // clients over TLS
    TTransport mTransferListenTlsTpt;   // transfers over TLS
    std::shared_ptr<CTlsServerContext> mTlsContext;
    // The web listener's two faces (src/server/web_setup.cpp) and the listener they share.
    TTransact mListenWebTpt;
    TTransport mTransferListenWebTpt;
    std::shared_ptr<CWebListener> mWebListener;
    std::shared_ptr<CMetricsHttpServer> mMetrics;  // none when off or when it could not listen

    void Close();
};

}  // namespace kx
