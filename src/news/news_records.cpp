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
    PutBE32(out.data(), t.offset);
    PutBE32(out.data() + 4, t.size);
    PutBE32(out.data() + 8, t.firstFree);
}

void _NZ_EncodeHeader(const _NZ_SDBHeader& h, std::span<std::uint8_t, kNZHeaderSize> out) {
    std::uint8_t* p = out.data();
    std::memset(p, 0, kNZHeaderSize);
    PutBE32(p + kNZOffType, h.type);
    PutBE32(p + kNZOffVers, h.vers);
    std::memcpy(p + kNZOffID, h.id.data(), h.id.size());
    PutBE32(p + kNZOffAddSerial, h.addSerial);
    PutBE32(p + kNZOffDelSerial, h.delSerial);
    PutBE32(p + kNZOffBlockSize, h.blockSize);
    PutBE32(p + kNZOffListOffset, h.listOffset);
    PutBE32(p + kNZOffListSize, h.listSize);
    PutBE32(p + kNZOffArticleCount, h.articleCount);
    PutBE32(p + kNZOffFirstArticle, h.firstArticleOffset);
    PutBE32(p + kNZOffLastArticle, h.lastArticleOffset);
    PutBE32(p + kNZOffNextArticleID, h.nextArticleID);
    _NZ_EncodeAllocTable(h.allocTable, std::span<std::uint8_t, 12>(p + kNZOffAllocTable, 12));
    PutBE32(p + kNZOffHashOffset, h.offSetIDHashOffset);
    PutBE32(p + kNZOffHashMask, h.offSetIDHashMask);
    std::memcpy(p + kNZOffRsvdB, h.rsvdB.data(), h.rsvdB.size());
    _NZ_PutPString(p + kNZOffName, h.name, kNZMaxName);
    _NZ_PutPString(p + kNZOffDescription, h.description, kNZMaxDescription);
}

_NZ_SDBHeader _NZ_DecodeHeader(std::span<const std::uint8_t, kNZHeaderSize> in) {
    const std::uint8_t* p = in.data();
    _NZ_SDBHeader h;
    h.type = GetBE32(p + kNZOffType);
    h.vers = GetBE32(p + kNZOffVers);
    std::memcpy(h.id.data(), p + kNZOffID, h.id.size());
    h.addSerial = GetBE32(p + kNZOffAddSerial);
    h.delSerial = GetBE32(p + kNZOffDelSerial);
    h.blockSize = GetBE32(p + kNZOffBlockSize);
    h.listOffset = GetBE32(p + kNZOffListOffset);
    h.listSize = GetBE32(p + kNZOffListSize);
    h.articleCount = GetBE32(p + kNZOffArticleCount);
    h.firstArticleOffset = GetBE32(p + kNZOffFirstArticle);
    h.lastArticleOffset = GetBE32(p + kNZOffLastArticle);
    h.nextArticleID = GetBE32(p + kNZOffNextArticleID);
    h.allocTable.offset = GetBE32(p + kNZOffAllocTable);
    h.allocTable.size = GetBE32(p + kNZOffAllocTable + 4);
    h.allocTable.firstFree = GetBE32(p + kNZOffAllocTable + 8);
    h.offSetIDHashOffset = GetBE32(p + kNZOffHashOffset);
    h.offSetIDHashMask = GetBE32(p + kNZOffHashMask);
    std::memcpy(h.rsvdB.data(), p + kNZOffRsvdB, h.rsvdB.size());
    h.name = _NZ_GetPString(p + kNZOffName, kNZMaxName + 1);
    h.description = _NZ_GetPString(p + kNZOffDescription, kNZMaxDescription + 1);
    return h;
}

void _NZ_EncodeItem(const _NZ_SNewsItemBlock& item, std::span<std::uint8_t, kNZItemBlockUsed> out) {
    std::uint8_t* p = out.data();
    std::memset(p, 0, kNZItemBlockUsed);
    PutBE32(p + kNZItemOffNextFlav, item.nextFlav);
    PutBE32(p + kNZItemOffSize, kNZItemDataSize);
    _NZ_PutPString(p + kNZItemOffType, _NZ_DataType_Item, kNZMaxFlavorType);
    PutBE32(p + kNZItemOffID, item.id);
    PutBE32(p + kNZItemOffPrev, item.prevArticleOffset);
    PutBE32(p + kNZItemOffNext, item.nextArticleOffset);
    PutBE32(p + kNZItemOffParent, item.parentOffset);
    PutBE32(p + kNZItemOffFirstChild, item.firstChildOffset);
    PutBE16(p + kNZItemOffDate, item.date.year);
    PutBE16(p + kNZItemOffDate + 2, item.date.msecs);
    PutBE32(p + kNZItemOffDate + 4, item.date.seconds);
    PutBE32(p + kNZItemOffFlags, item.flags);
    _NZ_PutPString(p + kNZItemOffTitle, item.title, kNZMaxTitle);
    _NZ_PutPString(p + kNZItemOffPoster, item.poster, kNZMaxPoster);
    _NZ_PutPString(p + kNZItemOffExternID, item.externId, kNZMaxExternID);
}

_NZ_SNewsItemBlock _NZ_DecodeItem(std::span<const std::uint8_t, kNZItemBlockUsed> in) {
    const std::uint8_t* p = in.data();
    // A link that leads anywhere but an item block is damage, not an article.
    if (GetBE32(p + kNZItemOffSize) != kNZItemDataSize ||
        p[kNZItemOffType] != _NZ_DataType_Item.size() ||
        std::memcmp(p + kNZItemOffType + 1, _NZ_DataType_Item.data(), _NZ_DataType_Item.size()) != 0)
        KX_FAIL(kErrClassGeneral, kErrDamaged);
    _NZ_SNewsItemBlock item;
    item.nextFlav = GetBE32(p + kNZItemOffNextFlav);
    item.id = GetBE32(p + kNZItemOffID);
    item.prevArticleOffset = GetBE32(p + kNZItemOffPrev);
    item.nextArticleOffset = GetBE32(p + kNZItemOffNext);
    item.parentOffset = GetBE32(p + kNZItemOffParent);
    item.firstChildOffset = GetBE32(p + kNZItemOffFirstChild);
    item.date.year = GetBE16(p + kNZItemOffDate);
    item.date.msecs = GetBE16(p + kNZItemOffDate + 2);
    item.date.seconds = GetBE32(p + kNZItemOffDate + 4);
    item.flags = GetBE32(p + kNZItemOffFlags);
    item.title = _NZ_GetPString(p + kNZItemOffTitle, kNZMaxTitle + 1);
    item.poster = _NZ_GetPString(p + kNZItemOffPoster, kNZMaxPoster + 1);
    item.externId = _NZ_GetPString(p + kNZItemOffExternID, kNZMaxExternID + 1);
    return item;
}

}  // namespace kx
