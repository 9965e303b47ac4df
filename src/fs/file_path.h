// The binary path data that path fields carry (a big-endian component count, then components of
// 2 reserved bytes, a length byte and the name, in Mac OS Roman), and the name rules applied to
// every name a client supplies. Nothing here touches the disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kx {

// At most this many bytes of path data are read; ValidateFilePath refuses larger data.
inline constexpr std::size_t kMaxPathData = 2048;
// Longest name a client can give (the length byte's range).
inline constexpr std::size_t kMaxNameLength = 255;

struct SPathComponent {
    std::uint16_t rsvd = 0;
    std::string_view name;  // points into the path data
};

namespace UFilePath {

// The components of path data, in order. Reads at most kMaxPathData bytes and stops at the
// announced count, at a component whose length byte is 0, or at one that would run past the end
// (the components read before it are kept). Data shorter than 6 bytes, or a count of 0, gives
// no components (the root).
std::vector<SPathComponent> Parse(const void* data, std::size_t size);

// Builds path data from names (reserved words 0). Names longer than 255 bytes are a parameter
// error; more than 65535 components too.
std::vector<std::uint8_t> Build(const std::vector<std::string>& names);

}  // namespace UFilePath

namespace UFileSys {

// Rewrites a client-supplied name in place so that it is usable as an item name, and returns the
// new length (never rejects): cut to 255 bytes; a leading "." becomes "-"; control bytes,
// " * / : < > ? \ | and the bytes 0x81 0x8D 0x8E 0x8F 0x90 0x9D 0x9E become "-"; trailing spaces
// and dots become "-".
std::size_t ValidateFileName(void* name, std::size_t length);
std::string ValidateFileName(std::string_view name);

// Rewrites every component name of path data with ValidateFileName, keeping the count and the
// reserved words; returns the (unchanged) size. Data larger than kMaxPathData is a parameter
// error; data shorter than 2 bytes, or shorter than 4 bytes per announced component, is left as
// it is; a component that runs past the end ends the rewriting.
std::size_t ValidateFilePath(void* data, std::size_t size);

// The last component's name and reserved word. Empty for data shorter than 6 bytes, a count of 0,
// or data whose components end early (a length byte of 0, or a name running past the end). The
// name is cut to `maxLength` bytes.
std::string GetPathTargetName(const void* data, std::size_t size, std::uint16_t* outRsvd = nullptr,
                              std::size_t maxLength = kMaxNameLength);

}  // namespace UFileSys

}  // namespace kx
