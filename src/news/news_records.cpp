// Encoding and decoding of the category file's fixed records.
#include <algorithm>
#include <cstring>

#include "framework/error.h"
#include "news/news_format.h"

namespace kx {

void _NZ_PutPString(std::uint8_t* p, std::string_view text, std::size_t maxLen) {
    std::size_t n = std::min(text.size(), maxLen);
    p[0] = static_cast<std::uint8_t>(n);
    if (n) std::memcpy(p + 1, text.data(), n);
}

std::string _NZ_GetPString(const std::uint8_t* p, std::size_t fieldSize) {
    std::size_t n = std::min<std::size_t>(p[0], fieldSize - 1);
    return std::string(reinterpret_cast<const char*>(p + 1), n);
}

void _NZ_EncodeAllocTable(const _NZ_SAllocTableInfo& t, std::span<std::uint8_t, 12> out) {
    NZPut32(out.data(), t.offset);
    NZPut32(out.data() + 4, t.size);
    NZPut32(out.data() + 8, t.firstFree);
}

void _NZ_EncodeHeader(const _NZ_SDBHeader& h, std::span<std::uint8_t, kNZHeaderSize> out) {
    std::uint8_t* p = out.data();
    std::memset(p, 0, kNZHeaderSize);
    NZPut32(p + kNZOffType, h.type);
    NZPut32(p + kNZOffVers, h.vers);
    std::memcpy(p + kNZOffID, h.id.data(), h.id.size());
    NZPut32(p + kNZOffAddSerial, h.addSerial);
    NZPut32(p + kNZOffDelSerial, h.delSerial);
    NZPut32(p + kNZOffBlockSize, h.blockSize);
    NZPut32(p + kNZOffListOffset, h.listOffset);
    NZPut32(p + kNZOffListSize, h.listSize);
    NZPut32(p + kNZOffArticleCount, h.articleCount);
    NZPut32(p + kNZOffFirstArticle, h.firstArticleOffset);
    NZPut32(p + kNZOffLastArticle, h.lastArticleOffset);
    NZPut32(p + kNZOffNextArticleID, h.nextArticleID);
    _NZ_EncodeAllocTable(h.allocTable, std::span<std::uint8_t, 12>(p + kNZOffAllocTable, 12));
    NZPut32(p + kNZOffHashOffset, h.offSetIDHashOffset);
    NZPut32(p + kNZOffHashMask, h.offSetIDHashMask);
    std::memcpy(p + kNZOffRsvdB, h.rsvdB.data(), h.rsvdB.size());
    _NZ_PutPString(p + kNZOffName, h.name, kNZMaxName);
    _NZ_PutPString(p + kNZOffDescription, h.description, kNZMaxDescription);
}

_NZ_SDBHeader _NZ_DecodeHeader(std::span<const std::uint8_t, kNZHeaderSize> in) {
    const std::uint8_t* p = in.data();
    _NZ_SDBHeader h;
    h.type = NZGet32(p + kNZOffType);
    h.vers = NZGet32(p + kNZOffVers);
    std::memcpy(h.id.data(), p + kNZOffID, h.id.size());
    h.addSerial = NZGet32(p + kNZOffAddSerial);
    h.delSerial = NZGet32(p + kNZOffDelSerial);
    h.blockSize = NZGet32(p + kNZOffBlockSize);
    h.listOffset = NZGet32(p + kNZOffListOffset);
    h.listSize = NZGet32(p + kNZOffListSize);
    h.articleCount = NZGet32(p + kNZOffArticleCount);
    h.firstArticleOffset = NZGet32(p + kNZOffFirstArticle);
    h.lastArticleOffset = NZGet32(p + kNZOffLastArticle);
    h.nextArticleID = NZGet32(p + kNZOffNextArticleID);
    h.allocTable.offset = NZGet32(p + kNZOffAllocTable);
    h.allocTable.size = NZGet32(p + kNZOffAllocTable + 4);
    h.allocTable.firstFree = NZGet32(p + kNZOffAllocTable + 8);
    h.offSetIDHashOffset = NZGet32(p + kNZOffHashOffset);
    h.offSetIDHashMask = NZGet32(p + kNZOffHashMask);
    std::memcpy(h.rsvdB.data(), p + kNZOffRsvdB, h.rsvdB.size());
    h.name = _NZ_GetPString(p + kNZOffName, kNZMaxName + 1);
    h.description = _NZ_GetPString(p + kNZOffDescription, kNZMaxDescription + 1);
    return h;
}

void _NZ_EncodeItem(const _NZ_SNewsItemBlock& item, std::span<std::uint8_t, kNZItemBlockUsed> out) {
    std::uint8_t* p = out.data();
    std::memset(p, 0, kNZItemBlockUsed);
    NZPut32(p + kNZItemOffNextFlav, item.nextFlav);
    NZPut32(p + kNZItemOffSize, kNZItemDataSize);
    _NZ_PutPString(p + kNZItemOffType, _NZ_DataType_Item, kNZMaxFlavorType);
    NZPut32(p + kNZItemOffID, item.id);
    NZPut32(p + kNZItemOffPrev, item.prevArticleOffset);
    NZPut32(p + kNZItemOffNext, item.nextArticleOffset);
    NZPut32(p + kNZItemOffParent, item.parentOffset);
    NZPut32(p + kNZItemOffFirstChild, item.firstChildOffset);
    NZPut16(p + kNZItemOffDate, item.date.year);
    NZPut16(p + kNZItemOffDate + 2, item.date.msecs);
    NZPut32(p + kNZItemOffDate + 4, item.date.seconds);
    NZPut32(p + kNZItemOffFlags, item.flags);
    _NZ_PutPString(p + kNZItemOffTitle, item.title, kNZMaxTitle);
    _NZ_PutPString(p + kNZItemOffPoster, item.poster, kNZMaxPoster);
    _NZ_PutPString(p + kNZItemOffExternID, item.externId, kNZMaxExternID);
}

_NZ_SNewsItemBlock _NZ_DecodeItem(std::span<const std::uint8_t, kNZItemBlockUsed> in) {
    const std::uint8_t* p = in.data();
    // A link that leads anywhere but an item block is damage, not an article.
    if (NZGet32(p + kNZItemOffSize) != kNZItemDataSize ||
        p[kNZItemOffType] != _NZ_DataType_Item.size() ||
        std::memcmp(p + kNZItemOffType + 1, _NZ_DataType_Item.data(), _NZ_DataType_Item.size()) != 0)
        KX_FAIL(kErrClassGeneral, 9);
    _NZ_SNewsItemBlock item;
    item.nextFlav = NZGet32(p + kNZItemOffNextFlav);
    item.id = NZGet32(p + kNZItemOffID);
    item.prevArticleOffset = NZGet32(p + kNZItemOffPrev);
    item.nextArticleOffset = NZGet32(p + kNZItemOffNext);
    item.parentOffset = NZGet32(p + kNZItemOffParent);
    item.firstChildOffset = NZGet32(p + kNZItemOffFirstChild);
    item.date.year = NZGet16(p + kNZItemOffDate);
    item.date.msecs = NZGet16(p + kNZItemOffDate + 2);
    item.date.seconds = NZGet32(p + kNZItemOffDate + 4);
    item.flags = NZGet32(p + kNZItemOffFlags);
    item.title = _NZ_GetPString(p + kNZItemOffTitle, kNZMaxTitle + 1);
    item.poster = _NZ_GetPString(p + kNZItemOffPoster, kNZMaxPoster + 1);
    item.externId = _NZ_GetPString(p + kNZItemOffExternID, kNZMaxExternID + 1);
    return item;
}

}  // namespace kx
