// Whole-file reads and crash-safe rewrites. A rewrite goes to a temporary file beside the
// target, is flushed to disk, then renamed over the target, so a crash at any moment leaves
// either the old file or the new one, never a damaged or missing file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kx::UFileUtil {

// The whole file, or nullopt when it does not exist or cannot be read. At most maxSize bytes
// are accepted: a larger file reads as nullopt (and `tooLarge`, when given, is set).
std::optional<std::vector<std::uint8_t>> ReadWholeFile(const std::string& path,
                                                       std::uint64_t maxSize = 64u << 20,
                                                       bool* tooLarge = nullptr);

// Writes `data` to path via "path.tmp" + fsync + rename. Raises the mapped error on failure
// (the target is then untouched). `mode` is the new file's permission bits (a private key: 0600).
void WriteFileAtomic(const std::string& path, const void* data, std::size_t size, unsigned mode = 0644);
inline void WriteFileAtomic(const std::string& path, const std::vector<std::uint8_t>& data) {
    WriteFileAtomic(path, data.data(), data.size());
}

bool Exists(const std::string& path);
bool IsDirectory(const std::string& path);
// Creates the folder when missing; raises the mapped error when it cannot.
void EnsureDirectory(const std::string& path);
// Appends bytes to a file, creating it when missing. Raises on failure.
void AppendToFile(const std::string& path, const void* data, std::size_t size);

}  // namespace kx::UFileUtil
