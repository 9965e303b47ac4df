// The server's options record, its option bits and defaults, and the tracker entries that are
// kept with the options. The application owns one of each; the preferences file (pref_file.h)
// loads and saves them.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "net/transport.h"
#include "framework/len_text.h"

namespace kx {

// Option bits of SMyOptions::nOpts.
inline constexpr std::uint32_t kMyOptTracker = 0x01;      // register with the trackers
inline constexpr std::uint32_t kMyOptDownloadLog = 0x02;  // write "Download Log.txt"
inline constexpr std::uint32_t kMyOptUploadLog = 0x04;    // write "Upload Log.txt"
inline constexpr std::uint32_t kMyOptConnectLog = 0x08;   // write "Connect Log.txt"
inline constexpr std::uint32_t kMyOptSound = 0x10;        // play sounds
inline constexpr std::uint32_t kMyOptConfirmQuit = 0x20;  // ask for a farewell message on quit
inline constexpr std::uint32_t kMyOptAccountLog = 0x40;   // write "Account Log.txt"
inline constexpr std::uint32_t kMyOptLocalBanner = 0x80;  // banner is a local picture file, not a URL

inline constexpr std::uint16_t kDefaultBasePortNum = 5500;
inline constexpr std::uint16_t kDefaultMaxDownloads = 100;
inline constexpr std::uint16_t kDefaultMaxDownloadsClient = 10;
inline constexpr std::uint16_t kDefaultMaxConnectionsIP = 5;
inline constexpr std::uint32_t kDefaultOpts = kMyOptSound | kMyOptConfirmQuit;  // 0x30
inline constexpr std::uint16_t kDefaultTrackerPort = 5499;
inline constexpr std::string_view kDefaultAdminLogin = "admin";

// The host written into an empty first tracker entry after the options are read. This server
// ships without a public tracker: the entry stays empty until the operator names one, so no
// installation announces itself anywhere it was not told to.
inline constexpr std::string_view kDefaultTrackerAddr = "";

struct SMyOptions {
    SIPAddress stIPAddress;                // listeners bind here; 0 = every address
    std::uint16_t nBasePortNum = 0;        // base port; +1 transfers, +2/+3 tunnelled
    std::uint16_t nCurPortNum = 0;         // port actually in use, set at start-up only
    std::uint16_t nMaxDownloads = 0;       // server-wide simultaneous downloads
    std::uint16_t nMaxDownloadsClient = 0; // simultaneous downloads per client
    std::uint16_t nMaxConnectionsIP = 0;   // clients per address; 0 = no limit
    std::uint32_t nOpts = 0;               // kMyOpt* bits

    // The values a fresh installation (or an unreadable options file) starts with.
    static SMyOptions Defaults();
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

}  // namespace kx
