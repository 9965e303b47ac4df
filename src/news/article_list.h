// CNZArticleList builds the article listing of a category: a 10-byte header, then per article
// its id, date, parent ID, flags, flavor count, title and poster, each followed by one entry
// (type, low 16 bits of the size) per data flavor. It also keeps the (item block, ID) pairs of
// listed articles that have replies, so that replies can name their parent's ID.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "fs/date_stamp.h"

namespace kx {

class CNZArticleList {
public:
    // Reserves room for about `articleCount` articles (the caller bounds the count).
    explicit CNZArticleList(std::uint32_t articleCount);

    void AddArticle(std::uint32_t id, const SDateTimeStamp& date, std::uint32_t parentID,
                    std::uint32_t flags, std::string_view title, std::string_view poster);
    // Adds a flavor entry to the article added last and counts it in that article's entry.
    void AddArticleFlavor(std::string_view type, std::uint32_t size);

    // The finished listing, its article count set; the list is empty afterwards.
    std::vector<std::uint8_t> DetatchDataPtr();

    std::uint32_t GetArticleCount() const { return mCount; }
    std::size_t GetSize() const { return mData.size(); }

    // ID of the listed article whose item block is `block`, 0 when it has not been added.
    std::uint32_t LookupID(std::uint32_t block) const;
    void AddID(std::uint32_t block, std::uint32_t id);

private:
    // Makes room for `need` more bytes, growing the capacity by a tenth plus the need.
    void Reallocate(std::size_t need);
    void Append(const void* bytes, std::size_t n);
    void AppendPString(std::string_view text, std::size_t maxLen);

    std::vector<std::uint8_t> mData;
    std::uint32_t mCount = 0;
    std::size_t mFlavorCountAt = 0;  // where the last article's flavor count sits, 0 = none
    std::vector<std::pair<std::uint32_t, std::uint32_t>> mIDs;  // (block, id) sorted by block
};

}  // namespace kx
