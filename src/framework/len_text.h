// Length-prefixed text of bounded size: one length byte followed by at most Max characters,
// laid out exactly as the server keeps such texts in memory and in its own files (Max + 1
// bytes). Every setter cuts to Max and zeroes the unused tail, so the byte image of a text is
// always the same for the same content.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace kx {

template <std::size_t Max>
struct SLenText {
    static_assert(Max >= 1 && Max <= 255, "a length byte holds at most 255");
    static constexpr std::size_t kMax = Max;

    std::uint8_t bytes[Max + 1] = {};  // bytes[0] is the length

    SLenText() = default;
    explicit SLenText(std::string_view text) { Set(text); }

    std::size_t Length() const { return bytes[0]; }
    bool IsEmpty() const { return bytes[0] == 0; }
    const std::uint8_t* Chars() const { return bytes + 1; }
    // The length-prefixed form, as the field-list and address helpers take it.
    const std::uint8_t* P() const { return bytes; }
    std::string_view View() const {
        return {reinterpret_cast<const char*>(bytes + 1), bytes[0]};
    }
    std::string Str() const { return std::string(View()); }

    void Clear() { std::memset(bytes, 0, sizeof bytes); }
    // Copies at most Max bytes of `data`.
    void Set(const void* data, std::size_t size) {
        const std::size_t n = std::min(size, Max);
        std::uint8_t tmp[Max];
        if (n) std::memcpy(tmp, data, n);  // `data` may point into this text
        Clear();
        if (n) std::memcpy(bytes + 1, tmp, n);
        bytes[0] = static_cast<std::uint8_t>(n);
    }
    void Set(std::string_view text) { Set(text.data(), text.size()); }

    bool operator==(const SLenText& other) const { return View() == other.View(); }
};

}  // namespace kx
