// The options file "pref" in the application's folder: everything the operator configures
// (options record, server name and description, head administrator login, banner settings,
// trackers and tracker pass ID) plus the placement of the console windows. Read once at
// start-up; written whole on quit and whenever the operator applies the options.
//
// Reading never fails: a missing, short, unknown or damaged file yields the defaults (the file
// on disk is left alone until the next write). Writing replaces the file atomically.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "admin/tracker.h"
#include "framework/len_text.h"
#include "server/options.h"

namespace kx {

inline constexpr const char* kMyPrefsFileName = "pref";
inline constexpr std::uint16_t kMyPrefsVersion = 5;  // written; 4 is read as well
inline constexpr std::size_t kMyPrefsMinSize = 96;
inline constexpr std::size_t kMyPrefsMaxRead = 8192;

// Console window flags kept in the file.
inline constexpr std::uint16_t kMyWinToolbarVisible = 0x01;
inline constexpr std::uint16_t kMyWinLogVisible = 0x02;
inline constexpr std::uint16_t kMyWinStatsVisible = 0x04;
inline constexpr std::uint16_t kMyDefaultWindowFlags = 0x07;

// A console window's saved place; all zero means "let the window place itself".
struct SMyWinRect {
    std::int16_t left = 0, top = 0, right = 0, bottom = 0;
    bool operator==(const SMyWinRect&) const = default;
};

// Everything the options file carries. The field names are those of the application's members
// that receive them.
struct SMyPrefs {
    SMyOptions mOptions;
    SLenText<31> mServerName;
    SLenText<127> mServerDesc;
    SLenText<31> mAdminLogin;
    SLenText<127> mAgreementBanner;     // file name of a local banner picture
    SLenText<255> mAgreementBannerUrl;  // link sent with a local banner
    SLenText<255> mAgreementUrl;        // URL of a remote banner
    std::uint32_t mTrackerPassID = 0;
    SMyTrackList mTrackInfo;
    bool resolveAliases = false;        // file layer resolves aliases interactively
    std::uint16_t windowFlags = kMyDefaultWindowFlags;
    SMyWinRect toolbarRect, logRect, statsRect;

    // The values of a missing or rejected file, before the after-reading fix-ups.
    static SMyPrefs Defaults();
};

namespace UMyPrefs {

// "pref" in the given folder.
std::string GetPrefsSpec(const std::string& appFolder);

// Decodes the bytes of an options file (at most the first 8192 are looked at). Returns true
// when the file was accepted; false when `out` holds the defaults instead. The after-reading
// fix-ups are not applied.
bool Parse(std::span<const std::uint8_t> data, SMyPrefs& out);

// The fix-ups applied after every read, accepted or not: a pass ID of 0 becomes a random
// non-zero number, an empty first tracker gets kDefaultTrackerAddr (empty login and
// password), base port / download limits of 0 get their defaults, an empty head administrator
// login becomes "admin". A per-address limit of 0 stays 0 (no limit).
void ApplyFixUps(SMyPrefs& prefs);

// Reads the file at `path` (Parse + ApplyFixUps). Returns true when the file was accepted.
// The caller switches sound on or off by kMyOptSound afterwards (unless sound is unavailable).
bool ReadPrefs(const std::string& path, SMyPrefs& out);

// The file image, version 5. The caller sets kMyOptSound from the current sound switch and the
// window flags and rectangles from the console before building.
std::vector<std::uint8_t> Build(const SMyPrefs& prefs);

// Writes the version 5 file atomically. On failure the previous file stays as it was and the
// mapped error is raised for the application's error handling.
void WritePrefs(const std::string& path, const SMyPrefs& prefs);

}  // namespace UMyPrefs

}  // namespace kx
