// UText::Format: printf-style formatting into a bounded buffer, as the server formats its error
// texts, log lines and client messages. Calls read like printf calls:
//
//     UText::Format(buf, sizeof buf, "%#s: %lu", pstr, n)
//
// but the arguments are captured with their C++ types, so a missing or mismatched argument writes
// nothing for its conversion (and a diagnostic) instead of reading garbage.
//
// Conversions: %d %i %u %x %X %c with the size modifiers h (16 bits), hh (8 bits), none (32 bits)
// and l / ll (32 bits, or 64 when the argument itself is 64 bits wide); %s a NUL-terminated text
// (or std::string / std::string_view); %#s a length-prefixed text (first byte = length); %%.
// Flags - (left-justify), 0 (zero pad numbers), + and space (sign); width and precision as
// numbers or * (taken from the arguments, a negative width meaning left-justify). For texts the
// precision cuts, for numbers it gives the minimum number of digits.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace kx::UText {

// One argument of Format with its kind; built implicitly from the call's arguments.
struct SFormatArg {
    enum class EKind : std::uint8_t { kNone, kInteger, kCText, kBytes, kView };

    EKind kind = EKind::kNone;
    bool isSigned = false;
    std::uint8_t bits = 0;        // width of the integer argument's own type
    std::uint64_t raw = 0;        // the integer, sign-extended to 64 bits when signed
    const void* ptr = nullptr;    // text
    std::size_t length = 0;       // text length (kView only)

    SFormatArg() = default;
    template <std::integral T>
    SFormatArg(T v)
        : kind(EKind::kInteger),
          isSigned(std::is_signed_v<T>),
          bits(static_cast<std::uint8_t>(sizeof(T) * 8)),
          raw(static_cast<std::uint64_t>(static_cast<std::conditional_t<std::is_signed_v<T>, std::int64_t, std::uint64_t>>(v))) {}
    template <class E>
        requires std::is_enum_v<E>
    SFormatArg(E v) : SFormatArg(static_cast<std::underlying_type_t<E>>(v)) {}
    SFormatArg(const char* s) : kind(EKind::kCText), ptr(s) {}
    // Byte strings: the usual type of a length-prefixed text.
    SFormatArg(const unsigned char* s) : kind(EKind::kBytes), ptr(s) {}
    SFormatArg(std::string_view s) : kind(EKind::kView), ptr(s.data()), length(s.size()) {}
    SFormatArg(const std::string& s) : kind(EKind::kView), ptr(s.data()), length(s.size()) {}
    SFormatArg(std::nullptr_t) : kind(EKind::kCText) {}
    // Other pointers have no conversion; refuse them at compile time.
    template <class T>
    SFormatArg(const T*) = delete;
};

// Formats into `dest`, writing at most `capacity` bytes and no terminator; returns the number of
// bytes written.
std::size_t FormatArgs(void* dest, std::size_t capacity, const char* format, const SFormatArg* args,
                       std::size_t argCount);
std::string FormatArgsToString(const char* format, const SFormatArg* args, std::size_t argCount);

template <class... A>
std::size_t Format(void* dest, std::size_t capacity, const char* format, const A&... args) {
    const SFormatArg list[sizeof...(A) + 1] = {SFormatArg(args)...};
    return FormatArgs(dest, capacity, format, list, sizeof...(A));
}

// As Format, into a string of whatever length the result needs.
template <class... A>
std::string FormatString(const char* format, const A&... args) {
    const SFormatArg list[sizeof...(A) + 1] = {SFormatArg(args)...};
    return FormatArgsToString(format, list, sizeof...(A));
}

}  // namespace kx::UText
