// Range text of the ban list: parsing and formatting.
#include "admin/ip_range.h"

#include <algorithm>
#include <cstdio>

namespace kx {

namespace {

// One number of a dotted address: leading zeros skipped (keeping one digit), digits only, at most 255.
bool ParseOctet(std::string_view s, std::uint8_t& out) {
    if (s.empty()) return false;
    while (s.size() > 1 && s.front() == '0') s.remove_prefix(1);
    unsigned v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + unsigned(c - '0');
    }
    if (v > 255) return false;
    out = static_cast<std::uint8_t>(v);
    return true;
}

// A plain decimal count: digits only, no sign, no spaces, fits 32 bits.
bool ParseCount(std::string_view s, std::uint32_t& out) {
    if (s.empty()) return false;
    while (s.size() > 1 && s.front() == '0') s.remove_prefix(1);
    if (s.size() > 10) return false;
    std::uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + std::uint64_t(c - '0');
    }
    if (v > 0xFFFFFFFFu) return false;
    out = static_cast<std::uint32_t>(v);
    return true;
}

SIPAddress AddressOrZero(std::string_view text) {
    SIPAddress a;
    ParseDottedAddress(text, a);
    return a;
}

std::string Dotted(const SIPAddress& a) {
    char buf[16];
    const int n = std::snprintf(buf, sizeof buf, "%d.%d.%d.%d", a.b[0], a.b[1], a.b[2], a.b[3]);
    return std::string(buf, static_cast<std::size_t>(n));
}

std::uint32_t LowMask(unsigned bits) { return bits >= 32 ? 0xFFFFFFFFu : (1u << bits) - 1; }

}  // namespace

bool ParseDottedAddress(std::string_view text, SIPAddress& out) {
    out = SIPAddress{};
    if (text.size() < 7) return false;
    SIPAddress a;
    std::size_t pos = 0;
    for (int i = 0; i < 3; ++i) {
        const std::size_t dot = text.find('.', pos);
        if (dot == std::string_view::npos || dot == pos || dot - pos > 3) return false;
        if (!ParseOctet(text.substr(pos, dot - pos), a.b[i])) return false;
        pos = dot + 1;
    }
    if (!ParseOctet(text.substr(pos, 3), a.b[3])) return false;
    out = a;
    return true;
}

void IPrangeFromString(std::string_view text, SIPAddress& first, SIPAddress& last) {
    first = SIPAddress{};
    last = SIPAddress{};
    if (text.size() > kMaxIPRangeText) text = text.substr(0, kMaxIPRangeText);

    const std::size_t sep = text.find_first_of("+-/");
    if (sep == std::string_view::npos) {
        first = last = AddressOrZero(text);
        return;
    }
    const SIPAddress start = AddressOrZero(text.substr(0, sep));
    const std::string_view rest = text.substr(sep + 1);
    switch (text[sep]) {
        case '-':
            first = start;
            last = AddressOrZero(rest);
            return;
        case '+': {
            std::uint32_t n = 0;
            if (!ParseCount(rest, n) || n > 0xFFFFFFFFu - start.AsHostOrder()) return;
            first = start;
            last = ToIPAddress(start.AsHostOrder() + n);
            return;
        }
        default: {  // '/'
            std::uint32_t n = 0;
            if (!ParseCount(rest, n) || n >= 32) return;
            const std::uint32_t mask = LowMask(n);
            first = ToIPAddress(start.AsHostOrder() & ~mask);
            last = ToIPAddress(start.AsHostOrder() | mask);
            return;
        }
    }
}

std::string IPrangeToString(const SIPAddress& first, const SIPAddress& last) {
    const std::uint32_t lo = first.AsHostOrder();
    const std::uint32_t hi = last.AsHostOrder();
    if (lo == 0 && hi == 0) return {};
    std::string out = Dotted(first);
    if (hi == lo) return out;
    for (unsigned n = 4; n <= 31; ++n) {
        const std::uint32_t mask = LowMask(n);
        if (lo == (hi & ~mask) && hi == (lo | mask)) return out + "/" + std::to_string(n);
    }
    if (hi > lo && hi - lo < 10000) return out + "+" + std::to_string(hi - lo);
    return out + "-" + Dotted(last);
}

bool IPrangeListFromString(std::string_view text, std::vector<std::pair<SIPAddress, SIPAddress>>& ranges,
                           std::string& shown) {
    bool ok = true;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find_first_of(", \t"), text.size());
        if (end != 0) {
            SIPAddress first, last;
            IPrangeFromString(text.substr(0, end), first, last);
            const std::string form = IPrangeToString(first, last);
            if (form.empty()) {
                ok = false;
            } else {
                ranges.emplace_back(first, last);
                shown += (shown.empty() ? "" : ", ") + form;
            }
        }
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return ok;
}

}  // namespace kx
