// The tracker rows, the announcement datagram and the rules that fill a row.
#include "admin/tracker.h"

#include <algorithm>
#include <cstring>

#include "framework/byte_codec.h"

namespace kx {

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

namespace UTracker {

namespace {
void PutLenText(std::vector<std::uint8_t>& out, std::string_view text, std::size_t max) {
    const std::size_t n = std::min(text.size(), max);
    out.push_back(static_cast<std::uint8_t>(n));
    out.insert(out.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n));
}
}  // namespace

std::vector<std::uint8_t> BuildCommon(std::uint16_t port, std::uint32_t users, std::uint32_t passID,
                                      std::string_view serverName, std::string_view serverDesc) {
    std::vector<std::uint8_t> out;
    out.reserve(12 + 1 + 31 + 1 + 127 + 1 + 31);
    AppendBE16(out, kTrackerDatagramVersion);
    AppendBE16(out, port);
    AppendBE16(out, static_cast<std::uint16_t>(users));
    AppendBE16(out, 0);
    // Trackers read the pass ID in the byte order of the machines the protocol began on.
    std::uint8_t id[4];
    PutLE32(id, passID);
    out.insert(out.end(), id, id + 4);
    PutLenText(out, serverName, 31);
    PutLenText(out, serverDesc, 127);
    return out;
}

std::vector<std::uint8_t> BuildDatagram(const std::vector<std::uint8_t>& common, std::string_view passwd) {
    std::vector<std::uint8_t> out = common;
    PutLenText(out, passwd, 31);
    return out;
}

bool HasAnyTracker(const SMyTrackList& list) {
    return std::any_of(list.begin(), list.end(), [](const SMyTrackInfo& e) { return !e.Name().empty(); });
}

void ApplyRow(SMyTrackInfo& entry, std::string_view addressText, std::string_view password) {
    char clean[256];
    const std::size_t inLen = std::min<std::size_t>(addressText.size(), 255);
    const std::uint32_t n = UTransport::CleanUpAddressText(kInternetNameAddressType, addressText.data(),
                                                           static_cast<std::uint32_t>(inLen), clean, 255);
    entry.SetName(std::string_view(clean, std::min<std::uint32_t>(n, 255)));
    entry.passwd.Set(password);
}

}  // namespace UTracker

}  // namespace kx
