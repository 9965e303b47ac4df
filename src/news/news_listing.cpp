// The article listing of a category: served from the copy cached in the file, or built by
// walking the article tree depth first and then cached.
#include <new>

#include "framework/error.h"
#include "news/article_list.h"
#include "news/news_database.h"
#include "news/news_internal.h"

namespace kx {
namespace {

// Lists the tree from `first` in listing order (each article, its flavors, then its replies,
// then its next sibling), listing at most `budget` articles.
void _NZ_AddToList(CNZDatabaseFile& db, CNZArticleList& list, std::uint32_t first,
                   std::uint32_t budget) {
    struct SPending {
        std::uint32_t block;
        std::uint32_t parentBlock;
    };
    // An explicit stack: a damaged file could nest replies as deep as it has blocks.
    std::vector<SPending> pending{{first, 0}};
    CNZWalkGuard guard(db.BlocksInFile());
    while (budget != 0 && !pending.empty()) {
        SPending at = pending.back();
        pending.pop_back();
        if (at.block == 0) continue;
        guard.Visit(at.block);
        budget--;
        _NZ_SNewsItemBlock item = _NZ_ReadItem(db, at.block);
        std::uint32_t parentID = at.parentBlock ? list.LookupID(at.parentBlock) : 0;
        list.AddArticle(item.id, item.date, parentID, item.flags, item.title, item.poster);

        CNZWalkGuard flavorGuard(kNZMaxListFlavors);
        std::uint32_t listed = 0;
        for (std::uint32_t flav = item.nextFlav; flav != 0 && listed < kNZMaxListFlavors; ++listed) {
            flavorGuard.Visit(flav);
            SNZFlavor f = _NZ_ReadFlavor(db, flav);
            list.AddArticleFlavor(f.type, f.size);
            flav = f.nextFlav;
        }

        pending.push_back({item.nextArticleOffset, at.parentBlock});
        if (item.firstChildOffset != 0) {
            list.AddID(at.block, item.id);
            pending.push_back({item.firstChildOffset, at.block});
        }
    }
    // The budget ends a loop, but a link back to a listed article is still damage.
    for (const SPending& at : pending)
        if (at.block != 0 && guard.Seen(at.block)) KX_FAIL(kErrClassGeneral, kErrDamaged);
}

}  // namespace

namespace UMyNewsDatabase {

std::vector<std::uint8_t> GetArticleListing(const std::string& file) {
    CNZDatabaseFile db(file, true);
    db.CheckLayout();
    auto& h = db.header;
    if (h.listOffset != 0) return db.file.ReadBytes(db.BlockOffset(h.listOffset), h.listSize, kErrDamaged);

    // No tree in this file can hold more articles than it has blocks.
    if (h.articleCount > db.BlocksInFile()) KX_FAIL(kErrClassGeneral, kErrDamaged);
    std::vector<std::uint8_t> listing;
    try {
        CNZArticleList list(h.articleCount);
        _NZ_AddToList(db, list, h.firstArticleOffset, h.articleCount);
        listing = list.DetatchDataPtr();
    } catch (const std::bad_alloc&) {
        KX_FAIL(kErrClassMemory, kErrNoMemory);
    }

    const auto size = static_cast<std::uint32_t>(listing.size());
    std::uint32_t block = _NZ_AllocateBlocks(db, size / db.BlockSize() + 1);
    db.file.WriteAt(db.BlockOffset(block), listing.data(), listing.size());
    h.listOffset = block;
    h.listSize = size;
    // Place and size in one write, so that no crash leaves one without the other.
    std::uint8_t fields[8];
    PutBE32(fields, block);
    PutBE32(fields + 4, size);
    db.file.WriteAt(kNZOffListOffset, fields, sizeof fields);
    return listing;
}

}  // namespace UMyNewsDatabase

}  // namespace kx
