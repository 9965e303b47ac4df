// Defaults of the options record and the tracker entry's address rules.
#include "server/options.h"

#include <algorithm>
#include <cstring>

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

void SMyTrackInfo::SetName(std::string_view name) {
    const std::size_t n = std::min<std::size_t>(name.size(), 255);
    std::memset(addr.name, 0, sizeof addr.name);
    if (n) std::memcpy(addr.name + 1, name.data(), n);
    addr.name[0] = static_cast<std::uint8_t>(n);
    addr.type = kInternetNameAddressType;
    ApplyPortRule();
}

void SMyTrackInfo::ApplyPortRule() {
    addr.type = kInternetNameAddressType;
    addr.port = Name().find(':') == std::string_view::npos ? kDefaultTrackerPort : 0;
}

}  // namespace kx
