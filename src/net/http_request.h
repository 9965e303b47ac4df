// Parses the request header of a raw connection accepted by a tunnel listener: a GET (the
// server-to-client channel) or a POST (the client-to-server channel) whose request line ends in
// the 36-character connection identifier, a space and "HTTP/1.0". A client sends HTTP/1.0; a
// proxy passing the request on may send it as "HTTP/1.1", which is taken only with the `Via`
// header such a proxy adds. Bytes are fed as they arrive; the header is capped so that a
// hostile peer cannot grow it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kx {

// The request line (up to its line break) must arrive within this many bytes before it is read.
inline constexpr std::uint32_t kHttpMinRequest = 42;
// A header line (line break excluded) of this many bytes or more refuses the request.
inline constexpr std::uint32_t kHttpMaxHeaderLine = 256;
// A request whose header has not ended within this many bytes is refused.
inline constexpr std::uint32_t kHttpMaxRequestHeader = 7168;
inline constexpr std::uint32_t kHttpIdentifierSize = 36;

class CHttpRequestParser {
public:
    enum class EResult { kNeedMore, kDone, kRejected };

    // Appends bytes and scans on. Once kDone or kRejected, further calls change nothing.
    EResult Feed(const std::uint8_t* data, std::uint32_t size);
    EResult Result() const { return mResult; }

    // Bytes the header may still take before the cap (how much the next read may ask for).
    std::uint32_t Room() const;
    std::uint32_t Received() const { return static_cast<std::uint32_t>(mBytes.size()); }

    // After kDone.
    bool IsGet() const { return mIsGet; }
    const std::string& Identifier() const { return mIdentifier; }
    // Bytes fed after the header's final empty line (the start of a POST body).
    std::vector<std::uint8_t> TakeRest();

private:
    bool CheckRequestLine(std::uint32_t lineEnd);
    bool IsViaLine(std::uint32_t lineEnd) const;

    std::vector<std::uint8_t> mBytes;
    std::uint32_t mLineStart = 0;   // start of the line being scanned
    std::uint32_t mHeaderEnd = 0;   // offset just past the final empty line
    bool mHaveRequestLine = false;
    bool mIsGet = false;
    bool mNeedsVia = false;   // an HTTP/1.1 request line: acceptable only as forwarded by a proxy
    bool mSawVia = false;
    std::string mIdentifier;
    EResult mResult = EResult::kNeedMore;
};

}  // namespace kx
