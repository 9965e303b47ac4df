// Helpers shared by the file-system layer's source files (not for use outside src/files): host
// path pieces, the client-name rules on the way to disk, and item classification.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kx::FSInternal {

// Longest name and full path the host takes (NAME_MAX bytes; PATH_MAX including the terminator).
inline constexpr std::size_t kHostNameMax = 255;
inline constexpr std::size_t kHostPathMax = 4095;
// Bound on chains of aliases to aliases.
inline constexpr int kMaxAliasHops = 16;

std::string JoinPath(const std::string& folder, std::string_view name);
std::string_view BaseName(std::string_view path);
std::string DirName(std::string_view path);

// ".lnk" at the end, compared without regard to case.
bool HasAliasSuffix(std::string_view name);

// A client-given item name (Mac OS Roman) made into a disk name: invalid-name error for "/",
// "\", NUL, "..", or an empty name; a leading "." becomes "-"; name-too-long error past NAME_MAX.
std::string DiskNameOfItem(std::string_view macName);
// A path component: "\", "/" and NUL become "-", a leading "." becomes "-"; nullopt when it holds
// ".." or is too long for the host (the path is then invalid).
std::optional<std::string> DiskNameOfComponent(std::string_view macName);

// The name a client sees for a disk name, or nullopt when the item is invisible to clients: names
// starting with ".", names without a Mac OS Roman form (or not valid UTF-8), and names holding "\"
// (which no look-up could reach).
std::optional<std::string> ClientNameOfDiskName(std::string_view diskName);

// Raises name-too-long when a full path exceeds the host's limit.
void CheckPathLength(const std::string& path);

// Where a symbolic link points, made absolute against the link's folder; nullopt when it cannot
// be read.
std::optional<std::string> ReadLinkTarget(const std::string& linkPath);

// Kind of the item at a host path (fsItem_* values). `outTarget`, when given, receives the final
// target of an alias (a ".lnk" link) for the alias kinds.
int Classify(const std::string& path, std::string* outTarget = nullptr);

// stat() that follows links; false when the item cannot be reached.
bool StatFollow(const std::string& path, struct stat& st);

}  // namespace kx::FSInternal
