// The news forms both ends of a connection read: the entries of the category list (a short form
// for clients before protocol version 15, a long form from it on) and the name rule that tells a
// category file from other items of a news folder. The server writes them
// (src/news/news_requests*.cpp), the client reads them (src/client/client_news_list.cpp).
#pragma once

#include <algorithm>
#include <cstdint>
#include <string_view>

namespace kx::UNewsWire {

// Kinds of the short category-list entry.
inline constexpr std::uint8_t kCatEntryBundle = 1;
inline constexpr std::uint8_t kCatEntryCategory = 10;
inline constexpr std::uint8_t kCatEntryOther = 255;
// Types of the long category-list entry.
inline constexpr std::uint16_t kCatItemBundle = 2;
inline constexpr std::uint16_t kCatItemCategory = 3;
// Clients from this protocol version on understand the long category-list entries.
inline constexpr std::uint32_t kLongCatListVersion = 15;

// Category files are named with this extension.
inline constexpr std::string_view kCatFileExtension = ".knz";

// True when `name` ends in ".knz", the letters in any case.
inline bool EndsWithCatExtension(std::string_view name) {
    if (name.size() < kCatFileExtension.size()) return false;
    const std::string_view ext = name.substr(name.size() - kCatFileExtension.size());
    return std::equal(ext.begin(), ext.end(), kCatFileExtension.begin(), [](char a, char b) {
        return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
    });
}

// True for a name that ends in ".knz" in any case and has at least one byte before it.
inline bool IsNewsCatName(std::string_view name) {
    return name.size() > kCatFileExtension.size() && EndsWithCatExtension(name);
}

}  // namespace kx::UNewsWire
