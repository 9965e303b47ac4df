// Incremental parsing of a tunnel request header: method, identifier, line limits, end of header.
#include "net/http_request.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace kx {

namespace {

constexpr char kVersion[] = "HTTP/1.0";
constexpr char kForwardedVersion[] = "HTTP/1.1";
constexpr std::uint32_t kVersionSize = sizeof(kVersion) - 1;
constexpr char kViaName[] = "via:";
constexpr std::uint32_t kViaNameSize = sizeof(kViaName) - 1;

bool StartsWith(const std::vector<std::uint8_t>& bytes, std::uint32_t size, const char* text) {
    const std::size_t n = std::strlen(text);
    return size >= n && std::memcmp(bytes.data(), text, n) == 0;
}

}  // namespace

std::uint32_t CHttpRequestParser::Room() const {
    return mBytes.size() >= kHttpMaxRequestHeader ? 0 : kHttpMaxRequestHeader - static_cast<std::uint32_t>(mBytes.size());
}

// The request line, [0, lineEnd) without its line break: "GET" or "POST" first, and the version
// at its very end, so that a line ending in any other version (an identifier or a header that
// happens to contain "HTTP/1.0" included) is never taken. Current proxies pass requests on as
// HTTP/1.1 (and in origin form, "GET /identifier"); such a line is held until the header shows
// the proxy's `Via`. The identifier is the 36 characters that end one character (the space)
// before the version.
bool CHttpRequestParser::CheckRequestLine(std::uint32_t lineEnd) {
    if (StartsWith(mBytes, lineEnd, "GET")) {
        mIsGet = true;
    } else if (StartsWith(mBytes, lineEnd, "POST")) {
        mIsGet = false;
    } else {
        return false;
    }
    if (lineEnd < kVersionSize + kHttpIdentifierSize + 1) return false;
    const std::uint32_t version = lineEnd - kVersionSize;
    if (std::memcmp(mBytes.data() + version, kForwardedVersion, kVersionSize) == 0) {
        mNeedsVia = true;
    } else if (std::memcmp(mBytes.data() + version, kVersion, kVersionSize) != 0) {
        return false;
    }
    const std::uint32_t id = version - kHttpIdentifierSize - 1;
    if (id < 3) return false;  // the identifier cannot overlap the method
    mIdentifier.assign(reinterpret_cast<const char*>(mBytes.data()) + id, kHttpIdentifierSize);
    return true;
}

// A header line [mLineStart, lineEnd) naming the `Via` field (names are case-insensitive).
bool CHttpRequestParser::IsViaLine(std::uint32_t lineEnd) const {
    if (lineEnd - mLineStart < kViaNameSize) return false;
    for (std::uint32_t i = 0; i < kViaNameSize; ++i) {
        if (std::tolower(mBytes[mLineStart + i]) != kViaName[i]) return false;
    }
    return true;
}

CHttpRequestParser::EResult CHttpRequestParser::Feed(const std::uint8_t* data, std::uint32_t size) {
    if (mResult != EResult::kNeedMore) return mResult;
    mBytes.insert(mBytes.end(), data, data + size);
    const std::uint32_t total = static_cast<std::uint32_t>(mBytes.size());
    for (;;) {
        // Find the line break of the line that starts at mLineStart.
        std::uint32_t cr = mLineStart;
        while (cr + 1 < total && !(mBytes[cr] == '\r' && mBytes[cr + 1] == '\n')) ++cr;
        if (cr + 1 >= total) {
            // No complete line break yet; a trailing CR may still be completed.
            const std::uint32_t partial = total - mLineStart - (total > mLineStart && mBytes[total - 1] == '\r' ? 1 : 0);
            if (partial >= kHttpMaxHeaderLine || total >= kHttpMaxRequestHeader) {
                mResult = EResult::kRejected;
            }
            return mResult;
        }
        if (cr - mLineStart >= kHttpMaxHeaderLine) {
            mResult = EResult::kRejected;
            return mResult;
        }
        const bool empty = cr == mLineStart;
        if (!mHaveRequestLine) {
            if (!CheckRequestLine(cr)) {
                mResult = EResult::kRejected;
                return mResult;
            }
            mHaveRequestLine = true;
        } else if (empty) {
            mHeaderEnd = cr + 2;
            mResult = mNeedsVia && !mSawVia ? EResult::kRejected : EResult::kDone;
            return mResult;
        } else if (IsViaLine(cr)) {
            mSawVia = true;
        }
        mLineStart = cr + 2;
    }
}

std::vector<std::uint8_t> CHttpRequestParser::TakeRest() {
    std::vector<std::uint8_t> rest;
    if (mResult == EResult::kDone && mHeaderEnd < mBytes.size()) {
        rest.assign(mBytes.begin() + mHeaderEnd, mBytes.end());
    }
    mBytes.clear();
    mBytes.shrink_to_fit();
    return rest;
}

}  // namespace kx
