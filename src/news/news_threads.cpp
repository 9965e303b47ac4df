// Article item blocks and the threading links between them: sibling lists, the walk to the
// last reply, re-parenting and the collection of a reply subtree. Every walk is guarded
// against loops and bounded by the number of blocks in the file.
#include "framework/error.h"
#include "news/news_internal.h"

namespace kx {

_NZ_SNewsItemBlock _NZ_ReadItem(CNZDatabaseFile& db, std::uint32_t block) {
    std::uint8_t raw[kNZItemBlockUsed];
    db.file.ReadExact(db.BlockOffset(block), raw, sizeof raw, kErrDamaged);
    return _NZ_DecodeItem(std::span<const std::uint8_t, kNZItemBlockUsed>(raw, kNZItemBlockUsed));
}

void _NZ_WriteItem(CNZDatabaseFile& db, std::uint32_t block, const _NZ_SNewsItemBlock& item) {
    std::vector<std::uint8_t> raw(db.BlockSize(), 0);
    _NZ_EncodeItem(item, std::span<std::uint8_t, kNZItemBlockUsed>(raw.data(), kNZItemBlockUsed));
    db.file.WriteAt(db.BlockOffset(block), raw.data(), raw.size());
}

void _NZ_WriteItemField(CNZDatabaseFile& db, std::uint32_t block, std::size_t fieldOffset,
                        std::uint32_t value) {
    db.file.Write32(db.BlockOffset(block) + fieldOffset, value);
}

std::vector<std::uint32_t> _NZ_SiblingList(CNZDatabaseFile& db, std::uint32_t first) {
    std::vector<std::uint32_t> list;
    CNZWalkGuard guard(db.BlocksInFile());
    for (std::uint32_t block = first; block != 0;) {
        guard.Visit(block);
        list.push_back(block);
        block = _NZ_ReadItem(db, block).nextArticleOffset;
    }
    return list;
}

std::uint32_t _NZ_GetLastOffset(CNZDatabaseFile& db, std::uint32_t first) {
    // The true end of the list however long it is: a fixed step limit would link a new reply
    // into the middle and cut off the replies after it.
    CNZWalkGuard guard(db.BlocksInFile());
    std::uint32_t last = 0;
    for (std::uint32_t block = first; block != 0;) {
        guard.Visit(block);
        last = block;
        block = _NZ_ReadItem(db, block).nextArticleOffset;
    }
    return last;
}

std::uint32_t _NZ_GetLast(CNZDatabaseFile& db, std::uint32_t parentBlock) {
    return _NZ_GetLastOffset(db, _NZ_ReadItem(db, parentBlock).firstChildOffset);
}

void _NZ_ChangeParentOffset(CNZDatabaseFile& db, std::uint32_t first, std::uint32_t newParent) {
    for (std::uint32_t block : _NZ_SiblingList(db, first))
        _NZ_WriteItemField(db, block, kNZItemOffParent, newParent);
}

std::vector<std::uint32_t> _NZ_DelArticSibsChildsList(CNZDatabaseFile& db, std::uint32_t first,
                                                       std::uint32_t exclude) {
    // Depth first with an explicit stack: a hostile file could nest replies as deep as it
    // has blocks.
    std::vector<std::uint32_t> found;
    CNZWalkGuard guard(db.BlocksInFile());
    if (exclude != 0) guard.Visit(exclude);
    std::vector<std::uint32_t> pending{first};
    while (!pending.empty()) {
        std::uint32_t block = pending.back();
        pending.pop_back();
        if (block == 0) continue;
        guard.Visit(block);
        _NZ_SNewsItemBlock item = _NZ_ReadItem(db, block);
        found.push_back(block);
        pending.push_back(item.nextArticleOffset);
        pending.push_back(item.firstChildOffset);
    }
    return found;
}

}  // namespace kx
