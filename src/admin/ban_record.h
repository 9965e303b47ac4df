// One ban: an address range with its date and reason. Temporary bans cover one address and
// expire; permanent bans cover ranges and live in the ban file until the operator edits them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "admin/ip_range.h"
#include "framework/len_text.h"
#include "net/transport.h"

namespace kx {

inline constexpr std::uint32_t kBanNoTimeout = 0xFFFFFFFF;

struct BanRecord {
    std::uint8_t nActive = 1;             // 0: kept in the file but not applied
    std::uint32_t timeout = kBanNoTimeout;  // expiry in up-time seconds (temporary bans)
    SIPAddress nAddrFirst;
    SIPAddress nAddrLast;
    SLenText<32> psDateTime;              // when the ban was made
    SLenText<63> description;             // the reason

    // nAddrFirst <= address <= nAddrLast, compared as numbers. nActive is not looked at.
    bool Match(const SIPAddress& address) const {
        const std::uint32_t a = address.AsHostOrder();
        return nAddrFirst.AsHostOrder() <= a && a <= nAddrLast.AsHostOrder();
    }
    void IPrangeFromString(std::string_view text) { kx::IPrangeFromString(text, nAddrFirst, nAddrLast); }
    std::string IPrangeToString() const { return kx::IPrangeToString(nAddrFirst, nAddrLast); }

    bool operator==(const BanRecord&) const = default;
};

// The date text of a ban made now: local date and time with seconds, "MM/DD/YYYY HH:MM:SS".
std::string MakeBanDateText();

}  // namespace kx
