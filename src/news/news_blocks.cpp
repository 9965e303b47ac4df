// Block allocation in a category file: the allocation bitmap, its search for free runs, its
// growth when full, and freeing. Bit k of the bitmap (most significant bit first) stands for
// block k + 1.
#include <algorithm>
#include <cstring>

#include "framework/error.h"
#include "news/news_internal.h"

namespace kx {
namespace {

constexpr std::size_t kSearchPiece = 2048;   // bitmap bytes read at a time
constexpr std::size_t kFreePiece = 1024;     // bitmap bytes changed at a time when freeing

bool TestBit(const std::uint8_t* bytes, std::uint64_t bit) {
    return (bytes[bit / 8] & (0x80u >> (bit % 8))) != 0;
}
void SetBit(std::uint8_t* bytes, std::uint64_t bit, bool on) {
    std::uint8_t mask = static_cast<std::uint8_t>(0x80u >> (bit % 8));
    if (on) bytes[bit / 8] |= mask;
    else bytes[bit / 8] &= static_cast<std::uint8_t>(~mask);
}

// Highest block number whose bytes end inside the size limit.
std::uint64_t MaxUsableBlock(const CNZDatabaseFile& db) {
    return (kNZMaxFileSize - kNZHeaderArea) / db.BlockSize();
}

std::uint64_t BitmapStart(const CNZDatabaseFile& db) {
    return db.BlockOffset(db.header.allocTable.offset);
}

// Moves the bitmap to a new place one block larger: the first block the old bitmap cannot
// describe. The old bitmap's blocks become free.
void GrowBitmap(CNZDatabaseFile& db) {
    const std::uint32_t bs = db.BlockSize();
    auto& t = db.header.allocTable;
    const std::uint64_t oldBytes = std::uint64_t{t.size} * bs;
    const std::uint64_t newOffset = oldBytes * 8 + 1;
    const std::uint64_t newSize = std::uint64_t{t.size} + 1;
    const std::uint64_t newLast = newOffset + newSize - 1;
    if (newLast > MaxUsableBlock(db) || newLast > newSize * bs * 8)
        KX_FAIL(kErrClassGeneral, kErrSizeLimit);

    std::vector<std::uint8_t> bitmap = db.file.ReadBytes(BitmapStart(db), oldBytes, kErrDamaged);
    bitmap.resize(newSize * bs, 0);
    for (std::uint64_t b = t.offset; b < std::uint64_t{t.offset} + t.size; ++b)
        SetBit(bitmap.data(), b - 1, false);
    for (std::uint64_t b = newOffset; b <= newLast; ++b) SetBit(bitmap.data(), b - 1, true);

    const std::uint32_t oldOffset = t.offset;
    const std::uint32_t oldSize = t.size;
    t.offset = static_cast<std::uint32_t>(newOffset);
    t.size = static_cast<std::uint32_t>(newSize);
    db.file.WriteAt(BitmapStart(db), bitmap.data(), bitmap.size());
    std::uint32_t freed = static_cast<std::uint32_t>((std::uint64_t{oldOffset} - 1 + oldSize + 7) / 8);
    if (t.firstFree == 0 || freed < t.firstFree) t.firstFree = freed;
    db.WriteAllocTable();
}

// Searches the bitmap from `firstFree` for `count` clear bits in a row; returns the first
// bit's index, or -1 when the rest of the bitmap holds no such run.
std::int64_t FindRun(CNZDatabaseFile& db, std::uint32_t count) {
    const auto& t = db.header.allocTable;
    const std::uint64_t totalBytes = std::uint64_t{t.size} * db.BlockSize();
    const std::uint64_t usableBits = std::min<std::uint64_t>(totalBytes * 8, MaxUsableBlock(db));
    std::uint64_t byte = (std::uint64_t{t.firstFree} - 1) & ~std::uint64_t{3};
    std::uint64_t runStart = 0, runLength = 0;
    std::uint8_t piece[kSearchPiece];
    while (byte < totalBytes && byte * 8 < usableBits) {
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kSearchPiece, totalBytes - byte));
        db.file.ReadExact(BitmapStart(db) + byte, piece, n, kErrDamaged);
        for (std::size_t i = 0; i < n; i += 4) {
            if (runLength == 0 && i + 4 <= n && piece[i] == 0xFF && piece[i + 1] == 0xFF &&
                piece[i + 2] == 0xFF && piece[i + 3] == 0xFF)
                continue;
            for (std::size_t bit = i * 8; bit < std::min(n, i + 4) * 8; ++bit) {
                std::uint64_t index = byte * 8 + bit;
                if (index >= usableBits) return -1;
                if (TestBit(piece, bit)) {
                    runLength = 0;
                    continue;
                }
                if (runLength == 0) runStart = index;
                if (++runLength == count) return static_cast<std::int64_t>(runStart);
            }
        }
        byte += n;
    }
    return -1;
}

// Sets or clears the bits of blocks [first, first + count), in pieces of at most
// kFreePiece bitmap bytes. Returns false when a bit being cleared was already clear.
bool MarkBlocks(CNZDatabaseFile& db, std::uint64_t first, std::uint64_t count, bool on) {
    bool allWereSet = true;
    std::uint64_t bit = first - 1;
    const std::uint64_t end = first - 1 + count;
    while (bit < end) {
        std::uint64_t firstByte = bit / 8;
        std::uint64_t pieceEnd = std::min(end, (firstByte + kFreePiece) * 8);
        std::uint64_t lastByte = (pieceEnd - 1) / 8;
        auto bytes = db.file.ReadBytes(BitmapStart(db) + firstByte, lastByte - firstByte + 1, kErrDamaged);
        for (std::uint64_t b = bit; b < pieceEnd; ++b) {
            if (!on && !TestBit(bytes.data(), b - firstByte * 8)) allWereSet = false;
            SetBit(bytes.data(), b - firstByte * 8, on);
        }
        db.file.WriteAt(BitmapStart(db) + firstByte, bytes.data(), bytes.size());
        bit = pieceEnd;
    }
    return allWereSet;
}

}  // namespace

std::uint32_t _NZ_AllocateBlocks(CNZDatabaseFile& db, std::uint32_t count) {
    if (count == 0) KX_FAIL_PARAM();
    db.CheckLayout();
    if (count > MaxUsableBlock(db)) KX_FAIL(kErrClassGeneral, kErrSizeLimit);
    if (db.header.allocTable.firstFree == 0) GrowBitmap(db);
    // Every growth adds a bitmap block and moves the bitmap past the blocks the old one
    // described, so the size limit ends this loop.
    for (;;) {
        std::int64_t run = FindRun(db, count);
        if (run >= 0) {
            std::uint64_t first = static_cast<std::uint64_t>(run) + 1;
            MarkBlocks(db, first, count, true);
            return static_cast<std::uint32_t>(first);
        }
        GrowBitmap(db);
    }
}

void _NZ_DeallocateBlocks(CNZDatabaseFile& db, std::uint32_t first, std::uint32_t count) {
    if (count == 0) return;
    db.CheckLayout();
    auto& t = db.header.allocTable;
    const std::uint64_t bits = std::uint64_t{t.size} * db.BlockSize() * 8;
    if (first == 0 || std::uint64_t{first} - 1 + count > bits) KX_FAIL(kErrClassGeneral, kErrDamaged);
    if (!MarkBlocks(db, first, count, false))
        UError::DebugBreak("DeallocateBlocks: block not allocated!");
    std::uint32_t byteIndex = (first - 1) / 8 + 1;
    if (byteIndex < t.firstFree) {
        t.firstFree = byteIndex;
        db.WriteAllocTable();
    }
}

void _NZ_ZeroBlocks(CNZDatabaseFile& db, std::uint32_t first, std::uint32_t count) {
    std::vector<std::uint8_t> zeros(db.BlockSize(), 0);
    for (std::uint32_t i = 0; i < count; ++i)
        db.file.WriteAt(db.BlockOffset(first + i), zeros.data(), zeros.size());
}

}  // namespace kx
