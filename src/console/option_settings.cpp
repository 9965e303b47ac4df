// The named options: display, checks and changes.
#include "console/option_settings.h"

#include <charconv>
#include <functional>

#include "accounts/login_name.h"
#include "admin/ip_range.h"
#include "admin/tracker.h"
#include "fs/mac_roman.h"

namespace kx::UOptionSettings {

namespace {

struct SFlagSetting {
    const char* name;
    std::uint32_t bit;
    const char* what;
};

constexpr SFlagSetting kFlags[] = {
    {"tracker-registration", kMyOptTracker, "announce the server to the trackers (on/off)"},
    {"download-log", kMyOptDownloadLog, "write \"Download Log.txt\" (on/off)"},
    {"upload-log", kMyOptUploadLog, "write \"Upload Log.txt\" (on/off)"},
    {"connect-log", kMyOptConnectLog, "write \"Connect Log.txt\" (on/off)"},
    {"account-log", kMyOptAccountLog, "write \"Account Log.txt\" (on/off)"},
    {"sound", kMyOptSound, "play sounds (kept for the options file; this server is silent)"},
    {"confirm-quit", kMyOptConfirmQuit, "a quit with clients connected may carry a farewell (on/off)"},
    {"local-banner", kMyOptLocalBanner, "the banner is the local file banner-file, else banner-url (on/off)"},
};

std::string Trimmed(std::string_view v) {
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
    return std::string(v);
}

bool ParseNumber(std::string_view v, std::uint32_t min, std::uint32_t max, std::uint32_t& out) {
    if (v.empty() || v.size() > 10) return false;
    std::uint64_t value = 0;
    const auto [ptr, ec] = std::from_chars(v.data(), v.data() + v.size(), value);
    if (ec != std::errc() || ptr != v.data() + v.size()) return false;
    if (value < min || value > max) return false;
    out = static_cast<std::uint32_t>(value);
    return true;
}

bool ParseSwitch(std::string_view v, bool& out) {
    if (v == "on" || v == "yes" || v == "1" || v == "true") return out = true, true;
    if (v == "off" || v == "no" || v == "0" || v == "false") return out = false, true;
    return false;
}

// Texts go to clients and into the options file in Mac OS Roman, converted from the console's
// UTF-8; control bytes have no place there. `v` becomes the converted text.
bool CheckText(std::string& v, std::size_t max, std::string& error) {
    std::string converted;
    if (!UMacRoman::FromUtf8(v, converted)) {
        error = "the text holds characters that clients cannot show (Mac OS Roman only)";
        return false;
    }
    v = converted;
    if (v.size() > max) {
        error = "too long: at most " + std::to_string(max) + " characters";
        return false;
    }
    for (unsigned char c : v) {
        if (c < 0x20 || c == 0x7F) {
            error = "control characters are not allowed";
            return false;
        }
    }
    return true;
}

// "trackerN", "trackerN-password" or "trackerN-login": the row index, or -1.
int TrackerRow(std::string_view name, std::string_view suffix) {
    if (name.size() != 8 + suffix.size() || name.substr(0, 7) != "tracker") return -1;
    if (name.substr(8) != suffix) return -1;
    const char d = name[7];
    if (d < '1' || d > '5') return -1;
    return d - '1';
}

std::string AddressText(const SIPAddress& a) {
    char buf[16];
    const std::uint32_t n = UTransport::IPAddressToText(a, buf, sizeof buf);
    return std::string(buf, n);
}

}  // namespace

std::vector<std::pair<std::string, std::string>> List(const SMyPrefs& p) {
    std::vector<std::pair<std::string, std::string>> out;
    const SMyOptions& o = p.mOptions;
    auto text = [](std::string_view macRoman) { return UMacRoman::ToUtf8(macRoman); };
    out.emplace_back("name", text(p.mServerName.View()));
    out.emplace_back("description", text(p.mServerDesc.View()));
    out.emplace_back("address", o.stIPAddress.IsZero() ? "any" : AddressText(o.stIPAddress));
    out.emplace_back("port", std::to_string(o.nBasePortNum));
    out.emplace_back("max-downloads", std::to_string(o.nMaxDownloads));
    out.emplace_back("max-downloads-client", std::to_string(o.nMaxDownloadsClient));
    out.emplace_back("max-connections-ip", std::to_string(o.nMaxConnectionsIP));
    for (const SFlagSetting& f : kFlags) out.emplace_back(f.name, (o.nOpts & f.bit) ? "on" : "off");
    out.emplace_back("banner-file", text(p.mAgreementBanner.View()));
    out.emplace_back("banner-link", text(p.mAgreementBannerUrl.View()));
    out.emplace_back("banner-url", text(p.mAgreementUrl.View()));
    out.emplace_back("admin-login", p.mAdminLogin.Str());
    for (std::size_t i = 0; i < kMyTrackerCount; ++i) {
        const std::string row = "tracker" + std::to_string(i + 1);
        const SMyTrackInfo& e = p.mTrackInfo[i];
        out.emplace_back(row, std::string(e.Name()));
        out.emplace_back(row + "-login", text(e.login.View()));
        out.emplace_back(row + "-password", e.passwd.IsEmpty() ? "" : "(set)");
    }
    return out;
}

std::vector<std::pair<std::string, std::string>> Describe() {
    std::vector<std::pair<std::string, std::string>> out = {
        {"name", "server name, at most 31 characters"},
        {"description", "server description, at most 127 characters"},
        {"address", "IPv4 address to listen on, or \"any\" (next start)"},
        {"port", "base port 1-65532; +1 transfers, +2/+3 tunnelled (next start)"},
        {"max-downloads", "simultaneous downloads, 1-65535"},
        {"max-downloads-client", "simultaneous downloads per client, 1-65535"},
        {"max-connections-ip", "clients per address, 0-65535 (0 = no limit)"},
    };
    for (const SFlagSetting& f : kFlags) out.emplace_back(f.name, f.what);
    out.emplace_back("banner-file", "file name of the local banner picture, at most 127 characters");
    out.emplace_back("banner-link", "link sent with the local banner, at most 255 characters");
    out.emplace_back("banner-url", "URL of a remote banner, at most 255 characters");
    out.emplace_back("admin-login", "login of the head administrator account");
    out.emplace_back("tracker1..tracker5", "tracker address: host or a.b.c.d, \":port\" optional (5499)");
    out.emplace_back("tracker1-password..tracker5-password", "password sent to that tracker, at most 31");
    out.emplace_back("tracker1-login..tracker5-login", "login kept for that tracker, at most 31");
    return out;
}

bool Set(SMyPrefs& prefs, std::string_view rawName, std::string_view rawValue, std::string& error) {
    const std::string name = Trimmed(rawName);
    std::string value = Trimmed(rawValue);
    SMyPrefs p = prefs;  // changed copy; committed only when the value passes
    SMyOptions& o = p.mOptions;
    std::uint32_t n = 0;
    bool on = false;
    auto bad = [&](const std::string& why) {
        error = "bad value for " + name + ": " + why;
        return false;
    };

    if (name == "name" || name == "description" || name == "banner-file" || name == "banner-link" ||
        name == "banner-url") {
        const std::size_t max = name == "name" ? 31 : (name == "description" || name == "banner-file") ? 127 : 255;
        std::string why;
        if (!CheckText(value, max, why)) return bad(why);
        if (name == "name") p.mServerName.Set(value);
        else if (name == "description") p.mServerDesc.Set(value);
        else if (name == "banner-file") p.mAgreementBanner.Set(value);
        else if (name == "banner-link") p.mAgreementBannerUrl.Set(value);
        else p.mAgreementUrl.Set(value);
    } else if (name == "address") {
        SIPAddress a;
        if (value == "any" || value == "0.0.0.0" || value == "0") {
            a = SIPAddress{};
        } else if (!ParseDottedAddress(value, a) || AddressText(a) != value) {
            return bad("not an IPv4 address (a.b.c.d) or \"any\"");
        }
        o.stIPAddress = a;
    } else if (name == "port") {
        if (!ParseNumber(value, 1, 65532, n)) return bad("a number from 1 to 65532");
        o.nBasePortNum = static_cast<std::uint16_t>(n);
    } else if (name == "max-downloads" || name == "max-downloads-client") {
        if (!ParseNumber(value, 1, 65535, n)) return bad("a number from 1 to 65535");
        (name == "max-downloads" ? o.nMaxDownloads : o.nMaxDownloadsClient) = static_cast<std::uint16_t>(n);
    } else if (name == "max-connections-ip") {
        if (!ParseNumber(value, 0, 65535, n)) return bad("a number from 0 to 65535 (0 = no limit)");
        o.nMaxConnectionsIP = static_cast<std::uint16_t>(n);
    } else if (name == "admin-login") {
        if (value.empty() || value.size() > UAccountLogin::kLoginFolderMax || !UAccountLogin::IsSafeFolderName(value))
            return bad("a login of 1 to 31 characters usable as a folder name");
        p.mAdminLogin.Set(value);
    } else if (int row = TrackerRow(name, ""); row >= 0) {
        std::string why;
        if (!CheckText(value, 255, why)) return bad(why);
        UTracker::ApplyRow(p.mTrackInfo[row], value, p.mTrackInfo[row].passwd.View());
    } else if (int row = TrackerRow(name, "-password"); row >= 0) {
        std::string why;
        if (!CheckText(value, 31, why)) return bad(why);
        p.mTrackInfo[row].passwd.Set(value);
    } else if (int row = TrackerRow(name, "-login"); row >= 0) {
        std::string why;
        if (!CheckText(value, 31, why)) return bad(why);
        p.mTrackInfo[row].login.Set(value);
    } else {
        const SFlagSetting* flag = nullptr;
        for (const SFlagSetting& f : kFlags) {
            if (name == f.name) flag = &f;
        }
        if (!flag) {
            error = "unknown option \"" + name + "\" (\"options\" lists them)";
            return false;
        }
        if (!ParseSwitch(value, on)) return bad("on or off");
        if (on) o.nOpts |= flag->bit;
        else o.nOpts &= ~flag->bit;
    }
    prefs = p;
    return true;
}

bool SplitAssignment(std::string_view text, std::string& name, std::string& value) {
    const std::size_t eq = text.find('=');
    if (eq == std::string_view::npos) return false;
    name = Trimmed(text.substr(0, eq));
    value = std::string(text.substr(eq + 1));
    return !name.empty();
}

}  // namespace kx::UOptionSettings
