// Logins as folder names. An account folder is named by its login, so a login decides a path
// inside "Users": these rules keep every login that reaches the file system a single, visible
// folder name ("..", "a/b", ".hidden" or control bytes never are), and compare logins the way
// account folders are matched, without regard to letter case.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kx::UAccountLogin {

// Longest login the server gives a folder: creation and renames refuse longer ones, so that the
// record's login and its folder's name never differ.
inline constexpr std::size_t kLoginFolderMax = 31;

// True when `name` can be used as an account folder name as it stands: 1..255 bytes, not "." or
// "..", no leading "." (such folders are hidden and never count as accounts), no trailing ".",
// no "/", "\" or ":", no control byte (below 0x20, or 0x7F).
bool IsSafeFolderName(std::string_view name);

// ASCII letters A-Z become a-z; no other byte changes.
std::string LowerCase(std::string_view login);

// Byte comparison with ASCII letters folded to lower case.
bool EqualsIgnoringCase(std::string_view a, std::string_view b);

// The operator's repair of a login typed for a new head admin account: cut to 31 bytes, a
// leading "." becomes "-", every control byte and every byte of "\"*/:<>?\\|" (and 0x81, 0x8D,
// 0x8E, 0x8F, 0x90, 0x9D, 0x9E) becomes "-", and trailing spaces and dots become "-". The result
// of a non-empty login is always a safe folder name.
std::string MakeValidLogin(std::string_view login);

}  // namespace kx::UAccountLogin
