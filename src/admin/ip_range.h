// Address ranges as the operator writes them in the ban list: "a.b.c.d" (one address),
// "a.b.c.d-e.f.g.h" (first to last), "a.b.c.d+n" (the address and the n after it) and
// "a.b.c.d/n" (the aligned block of 2^n addresses around the address; n counts the varying
// low bits, so /8 spans 256 addresses).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "net/transport.h"

namespace kx {

inline constexpr std::size_t kMaxIPRangeText = 63;

// Parses a dotted IPv4 address by the server's address-text rules: at least 7 characters;
// the first three numbers 1 to 3 characters each, each followed by "."; the fourth is what
// follows, cut to 3 characters; leading zeros allowed; every value at most 255. False (and
// `out` = 0) when the text is not such an address.
bool ParseDottedAddress(std::string_view text, SIPAddress& out);

// Sets `first` and `last` from a range text (cut to 63 characters). A part that is not an
// address counts as 0. A "+" or "/" count that is not a plain decimal number, a "/" count of
// 32 or more, or a "+" count that runs past 255.255.255.255 makes the whole range 0 to 0
// (which reads back as the empty text): a typing slip must never ban every address.
void IPrangeFromString(std::string_view text, SIPAddress& first, SIPAddress& last);

// The shortest of the forms above for the range: empty when both ends are 0; the address
// alone when first = last; "/n" for an aligned block of n = 4..31 bits; "+n" when last is
// above first by less than 10000; otherwise "-" and the last address.
std::string IPrangeToString(const SIPAddress& first, const SIPAddress& last);

// A list of such ranges separated by commas or white space (the web listener's trusted
// proxies). False when an item reads as no range at all; `ranges` holds the ones that do, and
// the list in their shown forms, joined by ", ".
bool IPrangeListFromString(std::string_view text, std::vector<std::pair<SIPAddress, SIPAddress>>& ranges,
                           std::string& shown);

}  // namespace kx
