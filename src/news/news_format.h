// On-disk layout of a news category file: constants, offsets and the records that the reader
// and the writer of the file share. Every integer in the file is big-endian; texts are one
// length byte followed by the bytes. docs/formats/news-category.md describes the same bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "framework/byte_codec.h"
#include "fs/date_stamp.h"

namespace kx {

// --- File identity -----------------------------------------------------------------------
inline constexpr std::uint32_t kNZFileType = 0x4B584E5A;     // "KXNZ": header magic
inline constexpr std::uint32_t kNZFileCreator = 0x4B584C53;  // "KXLS"
inline constexpr std::uint32_t kNZVersion = 2;

// --- Geometry ----------------------------------------------------------------------------
inline constexpr std::uint32_t kNZHeaderSize = 380;      // bytes of _NZ_SDBHeader
inline constexpr std::uint32_t kNZHeaderArea = 512;      // header + reserved zeros; block 1 starts here
inline constexpr std::uint32_t kNZNewBlockSize = 256;    // block size of every file we create
inline constexpr std::uint32_t kNZNewFileSize = 1024;    // header area + bitmap block + directory block
inline constexpr std::uint32_t kNZNewHashMask = 31;      // 32 directory entries in a new file
// Block sizes accepted when reading: an item block must fit in one block, and the bitmap and
// index arithmetic needs whole 8-byte entries per block.
inline constexpr std::uint32_t kNZMinBlockSize = 256;
inline constexpr std::uint32_t kNZMaxBlockSize = 65536;
// Largest directory accepted (mask + 1 entries of 8 bytes); new files use 32 entries.
inline constexpr std::uint32_t kNZMaxHashMask = 0xFFFF;
// No allocation may place a block past this file offset; keeps 32-bit sizes and block numbers
// meaningful and stops a hostile bitmap from growing the file without end.
inline constexpr std::uint64_t kNZMaxFileSize = 0x7FFFFFFF;

// --- Header field offsets (_NZ_SDBHeader) -------------------------------------------------
inline constexpr std::size_t kNZOffType = 0;
inline constexpr std::size_t kNZOffVers = 4;
inline constexpr std::size_t kNZOffID = 8;
inline constexpr std::size_t kNZOffAddSerial = 24;
inline constexpr std::size_t kNZOffDelSerial = 28;
inline constexpr std::size_t kNZOffBlockSize = 32;
inline constexpr std::size_t kNZOffListOffset = 36;
inline constexpr std::size_t kNZOffListSize = 40;
inline constexpr std::size_t kNZOffArticleCount = 44;
inline constexpr std::size_t kNZOffFirstArticle = 48;
inline constexpr std::size_t kNZOffLastArticle = 52;
inline constexpr std::size_t kNZOffNextArticleID = 56;
inline constexpr std::size_t kNZOffAllocTable = 60;   // 12 bytes: offset, size, firstFree
inline constexpr std::size_t kNZOffHashOffset = 72;
inline constexpr std::size_t kNZOffHashMask = 76;
inline constexpr std::size_t kNZOffRsvdB = 80;        // 12 reserved bytes
inline constexpr std::size_t kNZOffName = 92;         // 32 bytes: length + at most 31
inline constexpr std::size_t kNZOffDescription = 124; // 256 bytes: length + at most 255
inline constexpr std::size_t kNZMaxName = 31;
inline constexpr std::size_t kNZMaxDescription = 255;

// --- Index records ------------------------------------------------------------------------
inline constexpr std::uint32_t kNZHashInfoSize = 8;   // _NZ_SHashInfo: offset, size
inline constexpr std::uint32_t kNZIDOffsetSize = 8;   // _NZ_SIDOffset: id, offset

// --- Flavor blocks (_NZ_SGenericBlock) ------------------------------------------------------
inline constexpr std::size_t kNZFlavOffNext = 0;
inline constexpr std::size_t kNZFlavOffSize = 4;
inline constexpr std::size_t kNZFlavOffType = 8;
inline constexpr std::size_t kNZMaxFlavorType = 31;

// Bytes before a flavor's data: nextFlav, size, then the type padded to a multiple of 4.
inline constexpr std::uint32_t _NZ_FlavorHeaderSize(std::uint32_t typeLength) {
    return 8 + ((typeLength + 4) & ~3u);
}

// --- Article item block (_NZ_SNewsItemBlock) ------------------------------------------------
inline constexpr std::string_view _NZ_DataType_Item = "application/x-kxnewsitem";
inline constexpr std::uint32_t kNZItemDataSize = 192;   // the item's `size` field
inline constexpr std::uint32_t kNZItemBlockUsed = 228;  // header (36) + 192
inline constexpr std::size_t kNZItemOffNextFlav = 0;
inline constexpr std::size_t kNZItemOffSize = 4;
inline constexpr std::size_t kNZItemOffType = 8;
inline constexpr std::size_t kNZItemOffID = 36;
inline constexpr std::size_t kNZItemOffPrev = 40;
inline constexpr std::size_t kNZItemOffNext = 44;
inline constexpr std::size_t kNZItemOffParent = 48;
inline constexpr std::size_t kNZItemOffFirstChild = 52;
inline constexpr std::size_t kNZItemOffDate = 56;
inline constexpr std::size_t kNZItemOffFlags = 64;
inline constexpr std::size_t kNZItemOffTitle = 68;     // 64 bytes
inline constexpr std::size_t kNZItemOffPoster = 132;   // 32 bytes
inline constexpr std::size_t kNZItemOffExternID = 164; // 64 bytes
inline constexpr std::size_t kNZMaxTitle = 63;
inline constexpr std::size_t kNZMaxPoster = 31;
inline constexpr std::size_t kNZMaxExternID = 63;

// --- Chain limits -------------------------------------------------------------------------
// Longest flavor chain AddData extends (links followed from the item block).
inline constexpr std::uint32_t kNZMaxAddDataSteps = 100;
// Flavors examined by GetArticleData and listed per article in the listing.
inline constexpr std::uint32_t kNZMaxReadFlavors = 30;
inline constexpr std::uint32_t kNZMaxListFlavors = 32;
// Blocks of a flavor chain freed on deletion: the whole chain AddData can build.
inline constexpr std::uint32_t kNZMaxDelFlavBlocks = kNZMaxAddDataSteps + 2;

// --- Article listing ----------------------------------------------------------------------
inline constexpr std::size_t kNZListHeaderSize = 10;
inline constexpr std::size_t kNZListMaxFlavorType = 63;

// --- Records ------------------------------------------------------------------------------
struct _NZ_SAllocTableInfo {
    std::uint32_t offset = 0;     // first block of the bitmap
    std::uint32_t size = 0;       // bitmap blocks (contiguous)
    std::uint32_t firstFree = 0;  // 1-based bitmap byte where free-block searches start
};

struct _NZ_SDBHeader {
    std::uint32_t type = 0;
    std::uint32_t vers = 0;
    std::array<std::uint8_t, 16> id{};
    std::uint32_t addSerial = 0;
    std::uint32_t delSerial = 0;
    std::uint32_t blockSize = 0;
    std::uint32_t listOffset = 0;
    std::uint32_t listSize = 0;
    std::uint32_t articleCount = 0;
    std::uint32_t firstArticleOffset = 0;
    std::uint32_t lastArticleOffset = 0;
    std::uint32_t nextArticleID = 0;
    _NZ_SAllocTableInfo allocTable;
    std::uint32_t offSetIDHashOffset = 0;
    std::uint32_t offSetIDHashMask = 0;
    std::array<std::uint8_t, 12> rsvdB{};
    std::string name;         // at most 31 bytes
    std::string description;  // at most 255 bytes
};

struct _NZ_SHashInfo {
    std::uint32_t offset = 0;  // first block of the bucket's table, 0 when empty
    std::uint32_t size = 0;    // entries in the table
};

struct _NZ_SIDOffset {
    std::uint32_t id = 0;
    std::uint32_t offset = 0;  // the article's item block
};

struct _NZ_SNewsItemBlock {
    std::uint32_t nextFlav = 0;
    std::uint32_t id = 0;
    std::uint32_t prevArticleOffset = 0;
    std::uint32_t nextArticleOffset = 0;
    std::uint32_t parentOffset = 0;
    std::uint32_t firstChildOffset = 0;
    SDateTimeStamp date;
    std::uint32_t flags = 0;
    std::string title;     // at most 63 bytes
    std::string poster;    // at most 31 bytes
    std::string externId;  // at most 63 bytes
};

// Encoding and decoding of the fixed records (news_records.cpp). Decoders take spans of the
// record's full size and clamp stored text lengths to their fields.
void _NZ_EncodeHeader(const _NZ_SDBHeader& h, std::span<std::uint8_t, kNZHeaderSize> out);
_NZ_SDBHeader _NZ_DecodeHeader(std::span<const std::uint8_t, kNZHeaderSize> in);
void _NZ_EncodeAllocTable(const _NZ_SAllocTableInfo& t, std::span<std::uint8_t, 12> out);
// Writes the 228 used bytes of an item block.
void _NZ_EncodeItem(const _NZ_SNewsItemBlock& item, std::span<std::uint8_t, kNZItemBlockUsed> out);
// Raises (1, 9) when the bytes are not an item block (wrong size field or type).
_NZ_SNewsItemBlock _NZ_DecodeItem(std::span<const std::uint8_t, kNZItemBlockUsed> in);
// Writes a length byte and at most `maxLen` bytes of `text` at `p`.
void _NZ_PutPString(std::uint8_t* p, std::string_view text, std::size_t maxLen);
// Reads a length-prefixed text from a field of `fieldSize` bytes (length clamped to the field).
std::string _NZ_GetPString(const std::uint8_t* p, std::size_t fieldSize);

}  // namespace kx
