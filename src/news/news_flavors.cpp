// Flavor chains: the typed data blocks behind each article (the item block is the first link),
// and the cached listing's blocks.
#include <algorithm>

#include "framework/error.h"
#include "news/news_internal.h"

namespace kx {

SNZFlavor _NZ_ReadFlavor(CNZDatabaseFile& db, std::uint32_t block) {
    std::uint8_t raw[8 + 1 + kNZMaxFlavorType];
    const std::uint64_t start = db.BlockOffset(block);
    std::size_t got = db.file.ReadSome(start, raw, sizeof raw);
    if (got < 9) KX_FAIL(kErrClassGeneral, kErrDamaged);
    SNZFlavor f;
    f.block = block;
    f.nextFlav = GetBE32(raw + kNZFlavOffNext);
    f.size = GetBE32(raw + kNZFlavOffSize);
    std::uint32_t typeLength = raw[kNZFlavOffType];
    if (typeLength > kNZMaxFlavorType || got < 9 + typeLength) KX_FAIL(kErrClassGeneral, kErrDamaged);
    f.type.assign(reinterpret_cast<const char*>(raw + kNZFlavOffType + 1), typeLength);
    f.headerSize = _NZ_FlavorHeaderSize(typeLength);
    if (!db.file.Holds(start, std::uint64_t{f.headerSize} + f.size)) KX_FAIL(kErrClassGeneral, kErrDamaged);
    return f;
}

std::uint32_t _NZ_FlavorBlocks(const CNZDatabaseFile& db, std::uint64_t headerSize,
                               std::uint64_t dataSize) {
    std::uint64_t n = (headerSize + dataSize + db.BlockSize() - 1) / db.BlockSize();
    if (n > 0xFFFFFFFFu) KX_FAIL(kErrClassGeneral, kErrSizeLimit);
    return static_cast<std::uint32_t>(n);
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> _NZ_FlavRuns(CNZDatabaseFile& db,
                                                                  std::uint32_t itemBlock) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> runs;
    // A loop is damage; a chain longer than any AddData builds is cut at the limit.
    CNZWalkGuard guard(kNZMaxDelFlavBlocks);
    for (std::uint32_t block = itemBlock; block != 0 && runs.size() < kNZMaxDelFlavBlocks;) {
        guard.Visit(block);
        SNZFlavor f = _NZ_ReadFlavor(db, block);
        runs.emplace_back(block, _NZ_FlavorBlocks(db, f.headerSize, f.size));
        block = f.nextFlav;
    }
    return runs;
}

void _NZ_DelFlavs(CNZDatabaseFile& db, const std::vector<std::pair<std::uint32_t, std::uint32_t>>& runs) {
    for (auto [first, count] : runs) _NZ_DeallocateBlocks(db, first, count);
}

void _NZ_DropList(CNZDatabaseFile& db) {
    if (db.header.listOffset == 0) return;
    const std::uint32_t first = db.header.listOffset;
    const std::uint32_t count = db.header.listSize / db.BlockSize() + 1;
    // The header lets go of the listing before its blocks are freed: a crash in between leaves
    // unused blocks marked, never a header pointing at blocks another write may take.
    db.header.listOffset = 0;
    db.header.listSize = 0;
    const std::uint8_t none[8] = {};
    db.file.WriteAt(kNZOffListOffset, none, sizeof none);
    _NZ_DeallocateBlocks(db, first, count);
}

}  // namespace kx
