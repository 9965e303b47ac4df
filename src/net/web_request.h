// The web listener's HTTP/1.1 requests: CWebRequestReader reads a request head (request line and
// header fields) as its bytes arrive, bounded per line and in total, and the UWebRequest helpers
// make the listener's decisions on it: the file path a target names (no way out of the served
// tree), whether an Origin matches the Host, and the client's address when a trusted proxy
// forwarded the request. Nothing here touches a socket, so the fuzz target drives it whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kx {

struct SWebRequest {
    std::string method;
    std::string target;
    std::string version;  // "HTTP/1.1", "HTTP/1.0"
    // Field names in lower case, values without the white space around them, in arrival order.
    std::vector<std::pair<std::string, std::string>> fields;

    // The first field of that (lower-case) name, or null.
    const std::string* Field(std::string_view name) const;
    // True when a field of that name lists `token` among its comma-separated values (any case).
    bool HasToken(std::string_view name, std::string_view token) const;
};

class CWebRequestReader {
public:
    // A line (its line break excluded) longer than this, or a head longer than kMaxHead, or more
    // than kMaxFields fields refuse the request.
    static constexpr std::size_t kMaxLine = 4096;
    static constexpr std::size_t kMaxHead = 16384;
    static constexpr std::size_t kMaxFields = 64;

    enum class EState { kMore, kDone, kBad, kTooLarge };

    // Reads head bytes; stops at the head's end (the rest belongs to what follows it) or at a
    // verdict. Returns the bytes consumed.
    std::size_t Feed(const std::uint8_t* data, std::size_t size);
    EState State() const { return mState; }
    const SWebRequest& Request() const { return mRequest; }
    // Ready for the next request on the same connection.
    void Reset() { *this = CWebRequestReader(); }

private:
    void Line(std::string_view line);

    SWebRequest mRequest;
    std::string mLine;
    std::size_t mHeadSize = 0;
    bool mHaveRequestLine = false;
    EState mState = EState::kMore;
};

namespace UWebRequest {

// The path of a static file a request target names, without its leading "/" ("index.html" for
// "/" or a folder's trailing "/"); the query is dropped and %XX decoded. Nullopt for anything
// that could leave the served tree or is not a plain path: not starting with "/", ".." or "."
// segments, empty segments, a backslash, a control byte, a bad escape.
std::optional<std::string> FilePath(std::string_view target);

// True when the Origin a browser sent names the host the request was addressed to (the Host
// field): same host name (any case) and same port, a missing port taken as the default of the
// Origin's scheme on both sides, so a page served through a proxy that ends TLS still matches.
bool OriginMatchesHost(std::string_view origin, std::string_view host);

// A dotted IPv4 address (also in the IPv4-mapped IPv6 form "::ffff:a.b.c.d") as a host-order
// number; nullopt when it is not one.
std::optional<std::uint32_t> ParseIPv4(std::string_view text);

// An inclusive range of IPv4 addresses (host order), as the operator's range texts give it.
struct SAddressRange {
    std::uint32_t first = 0;
    std::uint32_t last = 0;
    bool Contains(std::uint32_t a) const { return a >= first && a <= last; }
};

// The client's address: the peer's, unless the peer is a trusted proxy; then the
// X-Forwarded-For list is read from its right end, past every trusted proxy, and the first other
// address is the client's. An entry that is not an IPv4 address leaves the last trusted hop's.
// Several X-Forwarded-For fields count as one list, in their order.
std::uint32_t ClientAddress(std::uint32_t peer, const SWebRequest& request, const std::vector<SAddressRange>& trusted);

}  // namespace UWebRequest

}  // namespace kx
