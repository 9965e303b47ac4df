// Tracker registration: the tracker rows kept with the options, the announcement datagram this
// server sends to each of its trackers every five minutes, the rules that fill a tracker row from
// what the operator typed, and the application's link to the trackers (endpoint and timer; the
// sending cycle is in tracker_app.cpp).
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "framework/event_loop.h"
#include "framework/len_text.h"
#include "net/transport.h"

namespace kx {

inline constexpr std::uint32_t kTrackerPeriodMs = 300000;
inline constexpr std::uint16_t kTrackerDatagramVersion = 1;
inline constexpr std::uint16_t kDefaultTrackerPort = 5499;

// The host written into an empty first tracker entry after the options are read. This server
// ships without a public tracker: the entry stays empty until the operator names one, so no
// installation announces itself anywhere it was not told to.
inline constexpr std::string_view kDefaultTrackerAddr = "";

// The application's link to the trackers: the datagram endpoint (nothing is read from it) and
// the five-minute timer, both set up at start-up when the listeners are open.
struct SMyTrackerLink {
    TTransport mTrackerTpt;
    CTimerSlot mTrackerTimer;
};

// One tracker the server announces itself to. An entry with an empty address name is unused.
struct SMyTrackInfo {
    SInternetNameAddress addr{kInternetNameAddressType, kDefaultTrackerPort, {}};
    SLenText<31> login;   // kept with the options, never sent
    SLenText<31> passwd;  // sent with every announcement to this tracker

    std::string_view Name() const {
        return {reinterpret_cast<const char*>(addr.name + 1), addr.name[0]};
    }
    // Stores the address text (cut to 255 bytes) and applies the port rule below.
    void SetName(std::string_view name);
    // Port 5499 when the name holds no ":", else 0 (the port is then part of the name).
    void ApplyPortRule();
};

inline constexpr std::size_t kMyTrackerCount = 5;
using SMyTrackList = std::array<SMyTrackInfo, kMyTrackerCount>;

namespace UTracker {

// The part of the datagram every tracker of a cycle gets: version 1, port, the low 16 bits of
// the user count, two zero bytes, the pass ID least significant byte first, then the name (cut
// to 31 bytes) and the description (cut to 127), each with its length byte. Big-endian
// otherwise.
std::vector<std::uint8_t> BuildCommon(std::uint16_t port, std::uint32_t users, std::uint32_t passID,
                                      std::string_view serverName, std::string_view serverDesc);

// The common part followed by one tracker's password (cut to 31 bytes) with its length byte.
std::vector<std::uint8_t> BuildDatagram(const std::vector<std::uint8_t>& common, std::string_view passwd);

// True when at least one entry names a tracker.
bool HasAnyTracker(const SMyTrackList& list);

// Fills a row from the operator's texts: the address is cleaned (leading white space skipped,
// cut at the next white space, unprintable bytes masked, at most 255 bytes) and gets the port
// rule; the password is cut to 31 bytes. The login is kept.
void ApplyRow(SMyTrackInfo& entry, std::string_view addressText, std::string_view password);

}  // namespace UTracker

}  // namespace kx
