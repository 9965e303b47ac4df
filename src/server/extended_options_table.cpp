// The rows of the extended options (extended_options.h): each known option with its default,
// the check its values pass and its one-line description. A feature that needs an option adds
// its row here; the reader, the rewrite, --set, --options and the console pick it up.
#include <algorithm>
#include <charconv>

#include "admin/ip_range.h"
#include "server/extended_options.h"

namespace kx {

namespace {

bool CheckSwitch(std::string& value, std::string& why) {
    if (value == "on" || value == "yes" || value == "true" || value == "1") {
        value = "on";
        return true;
    }
    if (value == "off" || value == "no" || value == "false" || value == "0") {
        value = "off";
        return true;
    }
    why = "on or off";
    return false;
}

bool CheckPort(std::string& value, std::string& why) {
    unsigned port = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), port);
    if (value.empty() || value.size() > 5 || ec != std::errc() || end != value.data() + value.size() || port < 1 ||
        port > 65535) {
        why = "a port number from 1 to 65535";
        return false;
    }
    value = std::to_string(port);
    return true;
}

bool CheckPath(std::string& value, std::string& why) {
    for (unsigned char c : value) {
        if (c < 0x20 || c == 0x7F) {
            why = "a file path without control characters";
            return false;
        }
    }
    if (value.size() > 4096) {
        why = "a file path of at most 4096 bytes";
        return false;
    }
    return true;
}

// "off", or an IPv4 address and a port: the metrics page has no business on a name lookup.
bool CheckListenAddress(std::string& value, std::string& why) {
    if (value == "off") return true;
    why = "off, or HOST:PORT with HOST an IPv4 address (127.0.0.1, 0.0.0.0 for every interface)";
    const std::size_t colon = value.rfind(':');
    if (colon == std::string::npos) return false;
    std::string port = value.substr(colon + 1), ignored;
    if (!CheckPort(port, ignored)) return false;
    const std::string host = value.substr(0, colon);
    unsigned parts = 0;
    for (std::size_t at = 0; at <= host.size(); ++parts) {
        const std::size_t dot = std::min(host.find('.', at), host.size());
        unsigned byte = 0;
        const auto [end, ec] = std::from_chars(host.data() + at, host.data() + dot, byte);
        if (dot == at || dot - at > 3 || ec != std::errc() || end != host.data() + dot || byte > 255) return false;
        at = dot + 1;
    }
    if (parts != 4) return false;
    value = host + ":" + port;
    return true;
}

// Address ranges as the ban list writes them, separated by commas: the web listener's proxies.
bool CheckRangeList(std::string& value, std::string& why) {
    std::vector<std::pair<SIPAddress, SIPAddress>> ranges;
    std::string shown;
    if (!IPrangeListFromString(value, ranges, shown) || shown.empty()) {
        why = "addresses or ranges as in the ban list (a.b.c.d, a.b.c.d-e.f.g.h), separated by commas";
        return false;
    }
    value = shown;
    return true;
}

constexpr SExtOptionDef kRows[] = {
    {"tls", "on", CheckSwitch, "encrypted listeners on tls_port and tls_transfer_port (on/off; next start)"},
    {"tls_port", "port + 4", CheckPort, "port of the encrypted client listener (next start)"},
    {"tls_transfer_port", "port + 5", CheckPort, "port of the encrypted transfer listener (next start)"},
    {"tls_certificate", "TLS/cert.pem", CheckPath,
     "PEM certificate chain, server certificate first; relative to the program folder (reloaded on SIGHUP)"},
    {"tls_key", "TLS/key.pem", CheckPath, "PEM private key of that certificate (reloaded on SIGHUP)"},
    {"metrics", "127.0.0.1:port + 6", CheckListenAddress,
     "address of the Prometheus metrics page /metrics, HOST:PORT or off (next start)"},
    {"web", "on", CheckSwitch, "the web client and its WebSocket paths on web_port (on/off; next start)"},
    {"web_port", "port + 7", CheckPort, "port of the web listener, HTTP and HTTPS (next start)"},
    {"trusted_proxies", "none", CheckRangeList,
     "reverse proxies whose X-Forwarded-For names a web client's address, as ban-list ranges (next start)"},
};

}  // namespace

std::span<const SExtOptionDef> CMyExtendedOptions::Table() { return kRows; }

}  // namespace kx
