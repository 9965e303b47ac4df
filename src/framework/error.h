// The error record every layer raises as a C++ exception, and the helpers that raise it.
// A failure carries its class (`type`), code (`id`), the source file and line that found it,
// an optional `special` value and the flags `fatal` and `silent`. Handlers catch the errors
// they expect and turn them into client replies; the rest reach the application's Error().
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace kx {

// Error classes in use.
inline constexpr std::int16_t kErrClassGeneral = 1;
inline constexpr std::int16_t kErrClassMemory = 3;
inline constexpr std::int16_t kErrClassFileSys = 4;
inline constexpr std::int16_t kErrClassNetwork = 8;

// The codes raised by name. Each number has one name here, matching its text in the catalogue
// (error_text.cpp); the numbers reach error replies and log lines, so none ever changes.
inline constexpr std::int16_t kErrUnknown = 1;          // class 1: no mapping for a platform code
inline constexpr std::int16_t kErrParam = 2;            // class 1: invalid argument or state
// Class 1, 7 to 12: stored or received data that is not what it should be.
inline constexpr std::int16_t kErrBadFormat = 7;        // not in the expected format
inline constexpr std::int16_t kErrBadVersion = 8;       // an unsupported version
inline constexpr std::int16_t kErrDamaged = 9;          // damaged
inline constexpr std::int16_t kErrSizeLimit = 10;       // size limit exceeded
inline constexpr std::int16_t kErrOutOfRange = 11;      // data or value out of range
inline constexpr std::int16_t kErrMissingEntry = 12;    // a required entry is missing
inline constexpr std::int16_t kErrNoMemory = 101;       // class 3
inline constexpr std::int16_t kErrItemNotFound = 102;   // class 4
inline constexpr std::int16_t kErrFileNotFound = 103;   // class 4
inline constexpr std::int16_t kErrFolderNotFound = 104; // class 4
inline constexpr std::int16_t kErrAlreadyExists = 115;  // class 4
inline constexpr std::int16_t kErrConnLost = 100;       // class 8
inline constexpr std::int16_t kErrBadAddress = 101;     // class 8
inline constexpr std::int16_t kErrTimedOut = 103;       // class 8
inline constexpr std::int16_t kErrRefused = 104;        // class 8
inline constexpr std::int16_t kErrUnreachable = 106;    // class 8
inline constexpr std::int16_t kErrBadProtocol = 107;    // class 8
inline constexpr std::int16_t kErrNoTCP = 109;          // class 8
inline constexpr std::int16_t kErrTunnelState = 111;    // class 8
inline constexpr std::int16_t kErrAddrInUse = 112;      // class 8

struct SError : std::exception {
    std::int16_t type = 0;
    std::int16_t id = 0;
    const char* file = nullptr;  // static string (a __FILE__), or null when unknown
    std::uint32_t line = 0;
    std::int32_t special = 0;
    bool fatal = false;
    bool silent = false;

    SError() = default;
    SError(std::int16_t inType, std::int16_t inID, const char* inFile = nullptr,
           std::uint32_t inLine = 0, std::int32_t inSpecial = 0)
        : type(inType), id(inID), file(inFile), line(inLine), special(inSpecial) {}

    const char* what() const noexcept override { return "SError"; }
};

namespace UError {

[[noreturn]] void Raise(std::int16_t type, std::int16_t id, const char* file, std::uint32_t line,
                        std::int32_t special = 0);

// Raises the error that a platform (errno) code maps to.
[[noreturn]] void RaiseErrno(int err, const char* file, std::uint32_t line);

// Maps an errno value onto (class, code); a code without a row gives class 1 code 1.
void MapErrno(int err, std::int16_t& outType, std::int16_t& outID);

// Message text for (class, code) from the built-in catalogue. Without an entry:
// "An unknown error has occured."; class 3 code 101: "Not enough memory.  Try closing windows.".
std::string GetMessage(const SError& err);

// "ID %hi/%hi", then " [%li]" when special is not zero, then " @ %s #%lu" when a file is known
// (the file's base name, without its folders).
std::string GetDetail(const SError& err);

// Diagnostic for conditions that must never occur: logged to standard error, and execution goes
// on (a server has nobody to answer a dialog box).
void DebugBreak(const std::string& text);
// Where DebugBreak's texts go instead of standard error (null restores it): tests read them.
using DebugSink = void (*)(const std::string& text);
void SetDebugSink(DebugSink sink);

}  // namespace UError

}  // namespace kx

#define KX_FAIL(type, id) ::kx::UError::Raise((type), (id), __FILE__, __LINE__)
#define KX_FAIL_SPECIAL(type, id, special) ::kx::UError::Raise((type), (id), __FILE__, __LINE__, (special))
#define KX_FAIL_ERRNO(err) ::kx::UError::RaiseErrno((err), __FILE__, __LINE__)
// A programming error: null object, id 0, call in a wrong state.
#define KX_FAIL_PARAM() KX_FAIL(::kx::kErrClassGeneral, ::kx::kErrParam)
#define KX_REQUIRE(cond) do { if (!(cond)) KX_FAIL_PARAM(); } while (0)
