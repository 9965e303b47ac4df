// Fuzz target: the address-range text an operator types into the ban list, and the dotted
// address text. A range read from text and written back reads back to the same range.
#include <string>
#include <string_view>

#include "admin/ip_range.h"
#include "fuzz/targets.h"

namespace kx::fuzz {

int FuzzIPRange(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    SIPAddress first{{9, 9, 9, 9}}, last{{9, 9, 9, 9}};
    IPrangeFromString(text, first, last);
    const std::string shown = IPrangeToString(first, last);
    KX_FUZZ_CHECK(shown.size() <= kMaxIPRangeText);
    SIPAddress first2, last2;
    IPrangeFromString(shown, first2, last2);
    KX_FUZZ_CHECK(first2 == first && last2 == last);
    KX_FUZZ_CHECK(IPrangeToString(first2, last2) == shown);

    SIPAddress addr{{9, 9, 9, 9}};
    if (ParseDottedAddress(text, addr)) {
        const std::string dotted = IPrangeToString(addr, addr);
        SIPAddress back;
        if (!dotted.empty()) {
            KX_FUZZ_CHECK(ParseDottedAddress(dotted, back));
            KX_FUZZ_CHECK(back == addr);
        }
    } else {
        KX_FUZZ_CHECK(addr == SIPAddress{});
    }
    return 0;
}

}  // namespace kx::fuzz
