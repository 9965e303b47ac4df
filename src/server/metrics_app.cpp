// The application's side of the metrics: the listener started with the others (the extended
// option "metrics": HOST:PORT, or "off"; by default 127.0.0.1 at base port + 6, so that only
// this machine can scrape unless the operator says otherwise) and the page built from the
// statistics counters and the states of the moment.
#include "net/metrics_http.h"
#include "server/application.h"

namespace kx {

namespace {
constexpr std::uint16_t kMetricsPortOffset = 6;
}  // namespace

void CMyApplication::StartMetrics() {
    std::string host = "127.0.0.1";
    std::uint32_t port = std::uint32_t{mOptions.nBasePortNum} + kMetricsPortOffset;
    if (const auto set = mExtOptions.Get("metrics")) {
        if (*set == "off") return;
        // Checked when it was read: an IPv4 address, a colon and a port.
        const std::size_t colon = set->rfind(':');
        host = set->substr(0, colon);
        port = static_cast<std::uint32_t>(std::stoul(set->substr(colon + 1)));
    }
    if (port > 65535) {
        Log("Metrics: no port above the base port; set \"metrics\" to HOST:PORT or off");
        return;
    }
    auto server = std::make_shared<CMetricsHttpServer>([this] { return MetricsPage(); });
    const std::string where = host + ":" + std::to_string(port);
    try {
        server->Listen(host, static_cast<std::uint16_t>(port));
    } catch (const SError& err) {
        Log("Metrics: cannot listen on " + where + ": " + UError::GetMessage(err));
        return;
    }
    mListeners.mMetrics = std::move(server);
    Log("Metrics at http://" + where + "/metrics");
}

std::string CMyApplication::MetricsPage() const {
    SMyMetricsGauges g;
    g.transfers = ConsoleTransferCounts();
    g.clientsConnected = mClientList.size();
    for (const auto& c : mClientList) g.clientsLoggedIn += c->hasLoggedIn;
    g.tempBansActive = mBans.TempBans().size();
    g.permBansActive = mBans.PermBans().size();
    g.residentBytes = ProcessResidentBytes();
    g.openDescriptors = ProcessOpenDescriptors();
    return FormatMetrics(mStats, g);
}

}  // namespace kx
