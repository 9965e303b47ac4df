// Path data parsing and building, and the client name rules (see file_path.h).
#include "fs/file_path.h"

#include <algorithm>

#include "framework/byte_codec.h"
#include "framework/error.h"

namespace kx {

namespace {

// Walks the announced components. Calls `visit(rsvd, nameOffset, nameLength)` for every complete
// one; returns true when all announced components were complete.
template <class F>
bool WalkComponents(const std::uint8_t* p, std::size_t size, F&& visit) {
    if (size < 2) return false;
    const std::uint16_t count = GetBE16(p);
    std::size_t pos = 2;
    for (std::uint16_t i = 0; i < count; ++i) {
        if (size - pos < 3) return false;
        const std::uint16_t rsvd = GetBE16(p + pos);
        const std::uint8_t len = p[pos + 2];
        if (len == 0 || size - pos - 3 < len) return false;
        visit(rsvd, pos + 3, std::size_t(len));
        pos += 3 + len;
    }
    return true;
}

bool IsBadNameByte(std::uint8_t b) {
    if (b < 0x20) return true;
    switch (b) {
        case 0x22: case 0x2A: case 0x2F: case 0x3A: case 0x3C: case 0x3E: case 0x3F: case 0x5C: case 0x7C:
        case 0x81: case 0x8D: case 0x8E: case 0x8F: case 0x90: case 0x9D: case 0x9E:
            return true;
        default:
            return false;
    }
}

}  // namespace

namespace UFilePath {

std::vector<SPathComponent> Parse(const void* data, std::size_t size) {
    std::vector<SPathComponent> out;
    if (data == nullptr || size < 6) return out;
    size = std::min(size, kMaxPathData);
    const auto* p = static_cast<const std::uint8_t*>(data);
    WalkComponents(p, size, [&](std::uint16_t rsvd, std::size_t off, std::size_t len) {
        out.push_back({rsvd, std::string_view(reinterpret_cast<const char*>(p + off), len)});
    });
    return out;
}

std::vector<std::uint8_t> Build(const std::vector<std::string>& names) {
    KX_REQUIRE(names.size() <= 0xFFFF);
    std::vector<std::uint8_t> out;
    AppendBE16(out, static_cast<std::uint16_t>(names.size()));
    for (const auto& n : names) {
        KX_REQUIRE(!n.empty() && n.size() <= kMaxNameLength);
        out.push_back(0);
        out.push_back(0);
        out.push_back(static_cast<std::uint8_t>(n.size()));
        out.insert(out.end(), n.begin(), n.end());
    }
    return out;
}

}  // namespace UFilePath

namespace UFileSys {

std::size_t ValidateFileName(void* name, std::size_t length) {
    if (name == nullptr) return 0;
    auto* p = static_cast<std::uint8_t*>(name);
    length = std::min(length, kMaxNameLength);
    if (length == 0) return 0;
    if (p[0] == '.') p[0] = '-';
    for (std::size_t i = 0; i < length; ++i)
        if (IsBadNameByte(p[i])) p[i] = '-';
    for (std::size_t i = length; i > 0 && (p[i - 1] == ' ' || p[i - 1] == '.'); --i) p[i - 1] = '-';
    return length;
}

std::string ValidateFileName(std::string_view name) {
    std::string out(name);
    out.resize(ValidateFileName(out.data(), out.size()));
    return out;
}

std::size_t ValidateFilePath(void* data, std::size_t size) {
    if (size > kMaxPathData) KX_FAIL_PARAM();
    if (data == nullptr || size < 2) return size;
    auto* p = static_cast<std::uint8_t*>(data);
    if (size < 2 + 4 * std::size_t(GetBE16(p))) return size;
    WalkComponents(p, size, [&](std::uint16_t, std::size_t off, std::size_t len) { ValidateFileName(p + off, len); });
    return size;
}

std::string GetPathTargetName(const void* data, std::size_t size, std::uint16_t* outRsvd, std::size_t maxLength) {
    if (outRsvd) *outRsvd = 0;
    if (data == nullptr || size < 6) return {};
    size = std::min(size, kMaxPathData);
    const auto* p = static_cast<const std::uint8_t*>(data);
    std::size_t lastOff = 0, lastLen = 0;
    std::uint16_t lastRsvd = 0;
    const bool complete = WalkComponents(p, size, [&](std::uint16_t rsvd, std::size_t off, std::size_t len) {
        lastRsvd = rsvd;
        lastOff = off;
        lastLen = len;
    });
    if (!complete || lastLen == 0) return {};
    if (outRsvd) *outRsvd = lastRsvd;
    return std::string(reinterpret_cast<const char*>(p + lastOff), std::min(lastLen, maxLength));
}

}  // namespace UFileSys

}  // namespace kx
