// Fuzz target: the request header of a raw tunnel connection. The first input byte sets the size
// of each arrival (0: all at once), the rest is what the peer sends; arrivals are bounded by the
// parser's room as the listener bounds its reads.
#include <algorithm>
#include <vector>

#include "fuzz/targets.h"
#include "net/http_request.h"

namespace kx::fuzz {

int FuzzHttpRequest(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t piece = data[0] == 0 ? size : data[0];
    CHttpRequestParser parser;
    CHttpRequestParser::EResult r = CHttpRequestParser::EResult::kNeedMore;
    std::size_t at = 1;
    while (at < size && r == CHttpRequestParser::EResult::kNeedMore) {
        const std::uint32_t room = parser.Room();
        KX_FUZZ_CHECK(room <= kHttpMaxRequestHeader);
        if (room == 0) break;
        const std::size_t n = std::min({piece, size - at, std::size_t{room}});
        r = parser.Feed(data + at, static_cast<std::uint32_t>(n));
        at += n;
        KX_FUZZ_CHECK(parser.Received() <= kHttpMaxRequestHeader);
    }
    if (r == CHttpRequestParser::EResult::kNeedMore && parser.Room() == 0) {
        // A full header that never ended must have been refused.
        Violation("header cap reached without a verdict", __FILE__, __LINE__);
    }
    if (r == CHttpRequestParser::EResult::kDone) {
        KX_FUZZ_CHECK(parser.Identifier().size() == kHttpIdentifierSize);
        const std::uint32_t received = parser.Received();
        const std::vector<std::uint8_t> rest = parser.TakeRest();
        KX_FUZZ_CHECK(rest.size() < received);
        // Whatever follows the header was fed last.
        KX_FUZZ_CHECK(std::equal(rest.begin(), rest.end(), data + at - rest.size()));
        // After the verdict further bytes change nothing.
        KX_FUZZ_CHECK(parser.Feed(data, static_cast<std::uint32_t>(std::min<std::size_t>(size, 16))) ==
                      CHttpRequestParser::EResult::kDone);
    }
    return 0;
}

}  // namespace kx::fuzz
