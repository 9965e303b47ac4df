// Four-character type and creator codes, and the table that derives a file's codes from its
// name's extension. This file system stores no codes of its own: a file's codes are always those
// of its extension.
#pragma once

#include <cstdint>
#include <string_view>

#include "framework/byte_codec.h"

namespace kx {

// A four-character code as a 32-bit value, first character in the most significant byte, so that
// writing it big-endian puts the characters on the wire in their written order.
constexpr std::uint32_t MakeCode(const char (&s)[5]) {
    return GetBE32(s);
}

inline constexpr std::uint32_t kTypeFolder = MakeCode("fldr");
inline constexpr std::uint32_t kTypeAlias = MakeCode("alis");
inline constexpr std::uint32_t kTypeDefault = MakeCode("BINA");
inline constexpr std::uint32_t kCreatorDefault = MakeCode("dosa");
inline constexpr std::uint32_t kTypePartial = MakeCode("KXft");
inline constexpr std::uint32_t kCreatorPartial = MakeCode("KXLC");

namespace UFileTypes {

// Type and creator of a file named `name` (Mac OS Roman): looked up by the text after the last
// ".", in upper case; no extension, or one longer than 3 characters, gives "BINA" / "dosa".
void GetCodes(std::string_view name, std::uint32_t& outType, std::uint32_t& outCreator);

}  // namespace UFileTypes

}  // namespace kx
