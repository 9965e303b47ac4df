// Datagram sending for the regular endpoint: destination records, dotted hosts sent at once,
// host names resolved off the loop thread with datagrams leaving in the order handed over.
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

#include "framework/error.h"
#include "net/host_lookup.h"
#include "net/regular_transport.h"

namespace kx {

namespace {

[[noreturn]] void FailBadAddress(const char* file, std::uint32_t line) {
    UError::Raise(kErrClassNetwork, kErrBadAddress, file, line);
}
#define KX_BAD_ADDRESS() FailBadAddress(__FILE__, __LINE__)

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Strict dotted form: four decimal numbers of 1 to 3 digits, each at most 255.
bool ParseDotted(const std::string& host, SIPAddress& out) {
    std::size_t pos = 0;
    for (int i = 0; i < 4; ++i) {
        std::size_t len = 0;
        unsigned value = 0;
        while (pos + len < host.size() && IsDigit(host[pos + len])) {
            if (++len > 3) return false;
            value = value * 10 + (host[pos + len - 1] - '0');
        }
        if (len == 0 || value > 255) return false;
        out.b[i] = static_cast<std::uint8_t>(value);
        pos += len;
        if (i < 3) {
            if (pos >= host.size() || host[pos] != '.') return false;
            ++pos;
        }
    }
    return pos == host.size();
}

bool LooksNumeric(const std::string& host) {
    for (char c : host) {
        if (!IsDigit(c) && c != '.') return false;
    }
    return true;
}

// A destination taken apart: either a numeric address or a host name to look up.
struct SUnitDestination {
    SIPAddress addr;
    std::string host;  // empty for a numeric destination
    std::uint16_t port = 0;
};

SUnitDestination ParseDestination(const void* address, std::uint32_t addrSize) {
    if (address == nullptr || addrSize < 6) KX_BAD_ADDRESS();
    const auto* p = static_cast<const std::uint8_t*>(address);
    std::uint16_t type, port;
    std::memcpy(&type, p, 2);
    std::memcpy(&port, p + 2, 2);
    SUnitDestination dest;
    if (type == kInternetAddressType) {
        if (addrSize < sizeof(SInternetAddress)) KX_BAD_ADDRESS();
        std::memcpy(dest.addr.b, p + 4, 4);
        dest.port = port;
        return dest;
    }
    if (type != kInternetNameAddressType) KX_BAD_ADDRESS();
    const std::uint32_t nameLen = p[4];
    if (nameLen == 0 || 5 + nameLen > addrSize) KX_BAD_ADDRESS();
    const std::string name(reinterpret_cast<const char*>(p + 5), nameLen);
    const std::size_t colon = name.find(':');
    std::string host = name.substr(0, colon);
    if (port == 0) {
        if (colon == std::string::npos) KX_BAD_ADDRESS();
        const std::string digits = name.substr(colon + 1);
        if (digits.empty() || digits.size() > 5) KX_BAD_ADDRESS();
        unsigned value = 0;
        for (char c : digits) {
            if (!IsDigit(c)) KX_BAD_ADDRESS();
            value = value * 10 + (c - '0');
        }
        if (value == 0 || value > 65535) KX_BAD_ADDRESS();
        port = static_cast<std::uint16_t>(value);
    }
    if (host.empty()) KX_BAD_ADDRESS();
    dest.port = port;
    if (LooksNumeric(host)) {
        // Never hand a malformed dotted address to the resolver, which reads "1.2.3" as 1.2.0.3.
        if (!ParseDotted(host, dest.addr)) KX_BAD_ADDRESS();
        return dest;
    }
    dest.host = std::move(host);
    return dest;
}

}  // namespace

void TRegularTransportObj::SendUnit(const void* address, std::uint32_t addrSize, const void* data,
                                    std::uint32_t size) {
    if (mIsStream || (data == nullptr && size != 0)) KX_FAIL_PARAM();
    SUnitDestination dest = ParseDestination(address, addrSize);
    if (!mIsBound) BindLocal(0);
    const auto* bytes = static_cast<const std::uint8_t*>(data);

    if (dest.host.empty() && mPendingUnits.empty()) {
        SendDatagramTo(dest.addr, dest.port, bytes, size);
        return;
    }
    // Behind a datagram that waits for its lookup, or waiting for its own.
    if (mPendingUnits.size() >= kMaxPendingUnits) return;  // fire-and-forget: dropped
    SPendingUnit& unit = mPendingUnits.emplace_back();
    unit.id = mNextUnitID++;
    unit.data.assign(bytes, bytes + size);
    unit.addr = dest.addr;
    unit.port = dest.port;
    if (!dest.host.empty()) {
        unit.resolving = true;
        const std::uint64_t id = unit.id;
        try {
            unit.lookup = std::make_unique<CHostLookup>(
                std::move(dest.host), [this, id](bool ok, const SIPAddress& addr) { OnLookupDone(id, ok, addr); });
        } catch (...) {
            mPendingUnits.pop_back();
            throw;
        }
    }
}

void TRegularTransportObj::SendDatagramTo(const SIPAddress& addr, std::uint16_t port, const std::uint8_t* data,
                                          std::uint32_t size) {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    std::memcpy(&sin.sin_addr.s_addr, addr.b, 4);
    // Fire and forget: the outcome is not checked.
    [[maybe_unused]] ssize_t n =
        sendto(mSock, data, size, MSG_NOSIGNAL | MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&sin), sizeof(sin));
}

void TRegularTransportObj::OnLookupDone(std::uint64_t id, bool ok, const SIPAddress& addr) {
    for (SPendingUnit& unit : mPendingUnits) {
        if (unit.id != id) continue;
        unit.resolving = false;
        unit.failed = !ok;  // an unknown name drops the datagram without a report
        unit.addr = addr;
        break;
    }
    FlushPendingUnits();
}

void TRegularTransportObj::FlushPendingUnits() {
    while (!mPendingUnits.empty() && !mPendingUnits.front().resolving) {
        SPendingUnit& unit = mPendingUnits.front();
        if (!unit.failed) SendDatagramTo(unit.addr, unit.port, unit.data.data(), static_cast<std::uint32_t>(unit.data.size()));
        mPendingUnits.pop_front();
    }
}

}  // namespace kx
