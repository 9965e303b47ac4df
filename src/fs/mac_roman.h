// File names travel in Mac OS Roman and live on disk in UTF-8. This module converts between the
// two at the file-system layer's boundary, and quotes names for the system's messages. Mac OS Roman maps each of its 256 bytes to one Unicode
// character, so the conversion to UTF-8 is total and one-to-one; the way back exists only for
// UTF-8 texts made entirely of those 256 characters.
#pragma once

#include <string>
#include <string_view>

namespace kx::UMacRoman {

// The UTF-8 form of a Mac OS Roman text (always succeeds).
std::string ToUtf8(std::string_view macRoman);

// The Mac OS Roman form of a UTF-8 text. Returns false (and leaves `out` unspecified) when the
// text is not valid UTF-8 or holds a character that Mac OS Roman lacks.
bool FromUtf8(std::string_view utf8, std::string& out);

// For display only: like FromUtf8, but every character (or invalid byte) without a Mac OS Roman
// form becomes "-". Never use the result to find a file again: two names can give the same text.
std::string FromUtf8Lossy(std::string_view utf8);

// The name between the curly quotes of the messages and log lines (Mac OS Roman 0xD2 and 0xD3).
std::string Quoted(std::string_view name);

}  // namespace kx::UMacRoman
