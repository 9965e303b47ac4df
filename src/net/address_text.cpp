// IPv4 address text: formatting an address, parsing dotted text typed by an administrator or
// read from the options and ban list, and masking an address text before it is shown or logged;
// and the conversions of a host-order address.
#include <cstdio>
#include <cstring>

#include "net/transport.h"

namespace kx {

SIPAddress ToIPAddress(std::uint32_t hostOrder) {
    SIPAddress ip;
    PutBE32(ip.b, hostOrder);
    return ip;
}

std::string IPAddressText(std::uint32_t hostOrder) {
    char buf[16];
    const std::uint32_t n = UTransport::IPAddressToText(ToIPAddress(hostOrder), buf, sizeof buf);
    return std::string(buf, n);
}

namespace UTransport {

namespace {

// Copies `len` bytes of `text` into dest (at most capacity), NUL-terminating when there is room.
std::uint32_t CopyOut(const char* text, std::uint32_t len, char* dest, std::uint32_t capacity) {
    if (dest == nullptr || capacity == 0) return 0;
    const std::uint32_t n = len < capacity ? len : capacity;
    std::memcpy(dest, text, n);
    if (n < capacity) dest[n] = '\0';
    return n;
}

// One number of a dotted address: 1 to 3 characters, leading zeros skipped (one digit kept),
// digits only, at most 255.
bool ParseOctet(const std::uint8_t* p, std::size_t len, std::uint8_t& out) {
    if (len == 0 || len > 3) return false;
    while (len > 1 && *p == '0') {
        ++p;
        --len;
    }
    unsigned value = 0;
    for (std::size_t i = 0; i < len; ++i) {
        if (p[i] < '0' || p[i] > '9') return false;
        value = value * 10 + (p[i] - '0');
    }
    if (value > 255) return false;
    out = static_cast<std::uint8_t>(value);
    return true;
}

bool IsWhiteSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

std::uint32_t IPAddressToText(const SIPAddress& addr, char* dest, std::uint32_t capacity) {
    char text[16];
    const int len = std::snprintf(text, sizeof(text), "%d.%d.%d.%d", addr.b[0], addr.b[1], addr.b[2], addr.b[3]);
    return CopyOut(text, static_cast<std::uint32_t>(len), dest, capacity);
}

bool TextToIPAddress(const std::uint8_t* pstr, SIPAddress& out) {
    out = SIPAddress{};
    if (pstr == nullptr) return false;
    const std::size_t total = pstr[0];
    const std::uint8_t* p = pstr + 1;
    if (total < 7) return false;

    SIPAddress result;
    std::size_t pos = 0;
    for (int i = 0; i < 3; ++i) {
        // The number runs to the next "."; it may be 1 to 3 characters long.
        std::size_t len = 0;
        while (len < 4 && pos + len < total && p[pos + len] != '.') ++len;
        if (pos + len >= total || p[pos + len] != '.') return false;
        if (!ParseOctet(p + pos, len, result.b[i])) return false;
        pos += len + 1;
    }
    std::size_t last = total - pos;
    if (last > 3) last = 3;  // anything after the fourth number's first three characters is ignored
    if (!ParseOctet(p + pos, last, result.b[3])) return false;
    out = result;
    return true;
}

std::uint32_t CleanUpAddressText(std::uint32_t /*kind*/, const char* text, std::uint32_t length,
                                 char* dest, std::uint32_t capacity) {
    if (dest == nullptr || capacity == 0) return 0;
    if (text == nullptr) length = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    std::uint32_t start = 0;
    while (start < length && IsWhiteSpace(p[start])) ++start;
    std::uint32_t end = start;
    while (end < length && !IsWhiteSpace(p[end])) ++end;
    std::uint32_t n = end - start;
    if (n > capacity) n = capacity;
    for (std::uint32_t i = 0; i < n; ++i) {
        const unsigned char c = p[start + i];
        dest[i] = (c > 0x20 && c < 0x7F) ? static_cast<char>(c) : 'x';
    }
    if (n < capacity) dest[n] = '\0';
    return n;
}

}  // namespace UTransport

}  // namespace kx
