// Defaults of the options record.
#include "server/options.h"

namespace kx {

SMyOptions SMyOptions::Defaults() {
    SMyOptions o;
    o.nBasePortNum = kDefaultBasePortNum;
    o.nMaxDownloads = kDefaultMaxDownloads;
    o.nMaxDownloadsClient = kDefaultMaxDownloadsClient;
    o.nMaxConnectionsIP = kDefaultMaxConnectionsIP;
    o.nOpts = kDefaultOpts;
    return o;
}

}  // namespace kx
