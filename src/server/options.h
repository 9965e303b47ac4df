// The server's options record, its option bits and defaults. The application owns one; the
// preferences file (pref_file.h) loads and saves it with the tracker rows (admin/tracker.h).
#pragma once

#include <cstdint>
#include <string_view>

#include "net/transport.h"

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
inline constexpr std::string_view kDefaultAdminLogin = "admin";

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

}  // namespace kx
