// The ID index of a category file: a directory of buckets (ID AND mask), each pointing at a
// run of blocks holding its (id, item block) pairs sorted by ID.
#include <algorithm>

#include "framework/error.h"
#include "news/news_internal.h"

namespace kx {
namespace {

std::vector<_NZ_SIDOffset> ReadTable(CNZDatabaseFile& db, const _NZ_SHashInfo& info) {
    std::vector<_NZ_SIDOffset> entries;
    if (info.size == 0) return entries;
    if (info.offset == 0) KX_FAIL(kErrClassGeneral, kErrOutOfRange);
    auto raw = db.file.ReadBytes(db.BlockOffset(info.offset),
                                 std::uint64_t{info.size} * kNZIDOffsetSize, kErrOutOfRange);
    entries.resize(info.size);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        entries[i].id = GetBE32(&raw[i * 8]);
        entries[i].offset = GetBE32(&raw[i * 8 + 4]);
    }
    return entries;
}

void WriteEntries(CNZDatabaseFile& db, std::uint32_t tableOffset, std::size_t firstIndex,
                  const std::vector<_NZ_SIDOffset>& entries) {
    if (firstIndex >= entries.size()) return;
    std::vector<std::uint8_t> raw((entries.size() - firstIndex) * kNZIDOffsetSize);
    for (std::size_t i = firstIndex; i < entries.size(); ++i) {
        PutBE32(&raw[(i - firstIndex) * 8], entries[i].id);
        PutBE32(&raw[(i - firstIndex) * 8 + 4], entries[i].offset);
    }
    db.file.WriteAt(db.BlockOffset(tableOffset) + firstIndex * kNZIDOffsetSize, raw.data(), raw.size());
}

// Writes the entry after the table's last one, then the directory entry that counts it.
void AppendEntry(CNZDatabaseFile& db, std::uint32_t bucket, _NZ_SHashInfo info, std::uint32_t id,
                 std::uint32_t block) {
    std::uint8_t entry[8];
    PutBE32(entry, id);
    PutBE32(entry + 4, block);
    db.file.WriteAt(db.BlockOffset(info.offset) + std::uint64_t{info.size} * kNZIDOffsetSize, entry,
                    sizeof entry);
    info.size++;
    db.directory[bucket] = info;
    db.WriteDirEntry(bucket);
}

std::uint32_t TableBlocks(const CNZDatabaseFile& db, std::uint64_t entries) {
    return static_cast<std::uint32_t>((entries * kNZIDOffsetSize + db.BlockSize() - 1) / db.BlockSize());
}

}  // namespace

std::uint32_t _NZ_IDToOffset(CNZDatabaseFile& db, std::uint32_t id) {
    const _NZ_SHashInfo& info = db.directory.at(db.Bucket(id));
    if (info.size == 0 || info.offset == 0) return 0;
    auto entries = ReadTable(db, info);
    auto it = std::lower_bound(entries.begin(), entries.end(), id,
                               [](const _NZ_SIDOffset& e, std::uint32_t v) { return e.id < v; });
    return (it != entries.end() && it->id == id) ? it->offset : 0;
}

std::uint32_t _NZ_OffsetToID(CNZDatabaseFile& db, std::uint32_t block) {
    if (block == 0) return 0;
    std::uint8_t raw[4];
    if (db.file.ReadSome(db.BlockOffset(block) + kNZItemOffID, raw, 4) != 4) return 0;
    return GetBE32(raw);
}

void _NZ_CheckIDOrder(CNZDatabaseFile& db, std::uint32_t bucket, std::uint32_t id) {
    // IDs are only ever appended in increasing order.
    const _NZ_SHashInfo& info = db.directory.at(bucket);
    if (info.size == 0) return;
    if (info.offset == 0) KX_FAIL(kErrClassGeneral, kErrOutOfRange);
    std::uint8_t last[8];
    db.file.ReadExact(db.BlockOffset(info.offset) + std::uint64_t{info.size - 1} * kNZIDOffsetSize,
                      last, sizeof last, kErrOutOfRange);
    if (id <= GetBE32(last)) KX_FAIL(kErrClassGeneral, kErrDamaged);
}

void _NZ_AddIDToHash(CNZDatabaseFile& db, std::uint32_t bucket, std::uint32_t id,
                     std::uint32_t block) {
    _NZ_SHashInfo info = db.directory.at(bucket);
    const std::uint32_t bs = db.BlockSize();

    _NZ_CheckIDOrder(db, bucket, id);

    if ((std::uint64_t{info.size} * kNZIDOffsetSize) % bs == 0) {
        // Full (or empty): move the table to a run one block longer.
        std::uint32_t oldBlocks = static_cast<std::uint32_t>(std::uint64_t{info.size} * kNZIDOffsetSize / bs);
        auto entries = ReadTable(db, info);
        std::uint32_t newOffset = _NZ_AllocateBlocks(db, oldBlocks + 1);
        if (newOffset == 0) KX_FAIL(kErrClassGeneral, kErrUnknown);
        WriteEntries(db, newOffset, 0, entries);
        _NZ_ZeroBlocks(db, newOffset + oldBlocks, 1);
        const std::uint32_t oldOffset = info.offset;
        info.offset = newOffset;
        AppendEntry(db, bucket, info, id, block);
        // Freed only once the directory no longer points at it.
        if (oldBlocks != 0) _NZ_DeallocateBlocks(db, oldOffset, oldBlocks);
        return;
    }
    AppendEntry(db, bucket, info, id, block);
}

void _NZ_RmIDFromHash(CNZDatabaseFile& db, std::uint32_t bucket, std::uint32_t id) {
    _NZ_SHashInfo info = db.directory.at(bucket);
    if (info.size == 0 || info.offset == 0) return;
    auto entries = ReadTable(db, info);
    auto it = std::lower_bound(entries.begin(), entries.end(), id,
                               [](const _NZ_SIDOffset& e, std::uint32_t v) { return e.id < v; });
    if (it == entries.end() || it->id != id) return;
    std::size_t index = static_cast<std::size_t>(it - entries.begin());
    entries.erase(it);
    std::uint32_t blocksBefore = TableBlocks(db, info.size);
    info.size--;
    std::uint32_t blocksAfter = TableBlocks(db, info.size);
    WriteEntries(db, info.offset, index, entries);
    const std::uint32_t tableOffset = info.offset;
    if (blocksAfter < blocksBefore && info.size == 0) info.offset = 0;
    db.directory[bucket] = info;
    db.WriteDirEntry(bucket);
    if (blocksAfter < blocksBefore) _NZ_DeallocateBlocks(db, tableOffset + blocksAfter, 1);
}

}  // namespace kx
