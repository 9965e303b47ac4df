// Fuzz target: a request head on the web listener and the decisions made on it. Byte 0 sets the
// size of each arrival (0: all at once), the rest is what the peer sends.
#include <algorithm>
#include <cctype>

#include "fuzz/targets.h"
#include "net/web_request.h"

namespace kx::fuzz {

int FuzzWebRequest(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t piece = data[0] == 0 ? size : data[0];
    CWebRequestReader reader;
    std::size_t at = 1;
    while (at < size && reader.State() == CWebRequestReader::EState::kMore) {
        const std::size_t n = std::min(piece, size - at);
        const std::size_t used = reader.Feed(data + at, n);
        KX_FUZZ_CHECK(used <= n);
        KX_FUZZ_CHECK(used == n || reader.State() != CWebRequestReader::EState::kMore);
        at += used;
    }
    // The head's cap holds whatever arrives.
    KX_FUZZ_CHECK(at - 1 <= CWebRequestReader::kMaxHead + 1);
    if (reader.State() != CWebRequestReader::EState::kDone) return 0;
    const SWebRequest& r = reader.Request();
    KX_FUZZ_CHECK(r.version == "HTTP/1.1" || r.version == "HTTP/1.0");
    KX_FUZZ_CHECK(r.fields.size() <= CWebRequestReader::kMaxFields);
    for (const auto& [name, value] : r.fields) {
        KX_FUZZ_CHECK(!name.empty());
        KX_FUZZ_CHECK(std::none_of(name.begin(), name.end(), [](unsigned char c) { return std::isupper(c) || c <= ' '; }));
    }
    if (const std::optional<std::string> path = UWebRequest::FilePath(r.target)) {
        // A served path is relative and has no way up or out.
        KX_FUZZ_CHECK(!path->empty() && path->front() != '/' && path->back() != '/');
        KX_FUZZ_CHECK(path->find("//") == std::string::npos && path->find('\\') == std::string::npos);
        KX_FUZZ_CHECK(path->find("/.") == std::string::npos && path->front() != '.');
        KX_FUZZ_CHECK(std::none_of(path->begin(), path->end(), [](unsigned char c) { return c < 0x20 || c == 0x7F; }));
    }
    const std::string* host = r.Field("host");
    const std::string* origin = r.Field("origin");
    if (host != nullptr && origin != nullptr && UWebRequest::OriginMatchesHost(*origin, *host)) {
        KX_FUZZ_CHECK(origin->size() > 7);
    }
    const std::vector<UWebRequest::SAddressRange> trusted{{0x7F000001, 0x7F000001}};
    // An untrusted peer is never named otherwise.
    KX_FUZZ_CHECK(UWebRequest::ClientAddress(0x0A000001, r, trusted) == 0x0A000001);
    (void)UWebRequest::ClientAddress(0x7F000001, r, trusted);
    return 0;
}

}  // namespace kx::fuzz
