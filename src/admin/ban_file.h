// The permanent ban file "Banned" beside the program and its one backup generation
// "Banned.bak". Layout in docs/formats/banned.md. Reading is forgiving (a damaged file yields
// the records before the damage); writing keeps the previous file as the backup and replaces
// "Banned" atomically, so there is never a moment without a ban file while one is rewritten.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "admin/ban_record.h"

namespace kx {

inline constexpr const char* kBanFileName = "Banned";
inline constexpr const char* kBanBackupFileName = "Banned.bak";
inline constexpr std::uint16_t kBanFileVersion = 2;    // written; 1 is read as well
inline constexpr std::size_t kMaxPermBans = 500;       // records the file holds at most
inline constexpr std::size_t kBanRecordMaxSize = 106;  // version 2: 1 + 4 + 4 + 33 + 64

using BanList = std::vector<BanRecord>;

// What reading a ban file image found.
enum class EBanFileRead {
    kRead,            // every stated record (up to kMaxPermBans) was read
    kMissing,         // there is no ban file
    kCountZero,       // the file states no records (such a file is deleted)
    kUnknownVersion,  // a version above 2: nothing is read
    kTooShort,        // not even a version and a count
    kDamaged,         // reading stopped early; the records before the damage were kept
};

namespace UBanFile {

// Decodes a ban file image, appending to `list` the records that are whole and sound, in file
// order, at most kMaxPermBans.
EBanFileRead Parse(std::span<const std::uint8_t> data, BanList& list);

// The version 2 image of `list` (inactive records included). Only the last kMaxPermBans
// records are kept when the list is longer: the oldest bans give way, as when the list is full.
std::vector<std::uint8_t> Build(const BanList& list);

// Reads "Banned" at `path` into `list` (which is emptied first). A missing file gives an empty
// list; a file stating a count of 0 is deleted.
EBanFileRead ReadPermBanInfo(const std::string& path, BanList& list);

// Keeps the current "Banned" as "Banned.bak" (replacing the old backup), or removes the backup
// when there is no "Banned".
void MakePermBanBackup(const std::string& path);

// Backs up, then writes `list` to "Banned" (version 2), or removes "Banned" when the list is
// empty. Raises the mapped error when the file cannot be written; the previous file then
// remains in place as well as in the backup.
void WritePermBanFile(const std::string& path, const BanList& list);

}  // namespace UBanFile

}  // namespace kx
