// Building the article listing bytes (see article_list.h).
#include "news/article_list.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

#include "framework/error.h"
#include "news/news_format.h"

namespace kx {

CNZArticleList::CNZArticleList(std::uint32_t articleCount) {
    try {
        mData.reserve(std::size_t{articleCount} * 50 + 12);
        mData.resize(kNZListHeaderSize, 0);
    } catch (const std::bad_alloc&) {
        KX_FAIL(kErrClassMemory, kErrNoMemory);
    }
}

void CNZArticleList::Reallocate(std::size_t need) {
    if (mData.capacity() - mData.size() >= need) return;
    try {
        mData.reserve(mData.capacity() + mData.capacity() / 10 + need);
    } catch (const std::bad_alloc&) {
        KX_FAIL(kErrClassMemory, kErrNoMemory);
    } catch (const std::length_error&) {
        KX_FAIL(kErrClassMemory, kErrNoMemory);
    }
}

void CNZArticleList::Append(const void* bytes, std::size_t n) {
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    mData.insert(mData.end(), p, p + n);
}

void CNZArticleList::AppendPString(std::string_view text, std::size_t maxLen) {
    std::uint8_t n = static_cast<std::uint8_t>(std::min(text.size(), maxLen));
    Append(&n, 1);
    Append(text.data(), n);
}

void CNZArticleList::AddArticle(std::uint32_t id, const SDateTimeStamp& date,
                                std::uint32_t parentID, std::uint32_t flags,
                                std::string_view title, std::string_view poster) {
    Reallocate(4 + 8 + 4 + 4 + 2 + 1 + kNZMaxTitle + 1 + kNZMaxPoster);
    std::uint8_t fixed[22];
    PutBE32(fixed, id);
    PutBE16(fixed + 4, date.year);
    PutBE16(fixed + 6, date.msecs);
    PutBE32(fixed + 8, date.seconds);
    PutBE32(fixed + 12, parentID);
    PutBE32(fixed + 16, flags);
    PutBE16(fixed + 20, 0);
    Append(fixed, sizeof fixed);
    mFlavorCountAt = mData.size() - 2;
    AppendPString(title, kNZMaxTitle);
    AppendPString(poster, kNZMaxPoster);
    ++mCount;
}

void CNZArticleList::AddArticleFlavor(std::string_view type, std::uint32_t size) {
    if (mFlavorCountAt == 0) KX_FAIL_PARAM();
    Reallocate(1 + kNZListMaxFlavorType + 2);
    AppendPString(type, kNZListMaxFlavorType);
    std::uint8_t sizeBytes[2];
    PutBE16(sizeBytes, static_cast<std::uint16_t>(size & 0xFFFF));
    Append(sizeBytes, 2);
    PutBE16(&mData[mFlavorCountAt], static_cast<std::uint16_t>(GetBE16(&mData[mFlavorCountAt]) + 1));
}

std::vector<std::uint8_t> CNZArticleList::DetatchDataPtr() {
    PutBE32(&mData[4], mCount);
    std::vector<std::uint8_t> out = std::move(mData);
    mData.assign(kNZListHeaderSize, 0);
    mCount = 0;
    mFlavorCountAt = 0;
    mIDs.clear();
    return out;
}

std::uint32_t CNZArticleList::LookupID(std::uint32_t block) const {
    auto it = std::lower_bound(mIDs.begin(), mIDs.end(), block,
                               [](const auto& e, std::uint32_t b) { return e.first < b; });
    return (it != mIDs.end() && it->first == block) ? it->second : 0;
}

void CNZArticleList::AddID(std::uint32_t block, std::uint32_t id) {
    auto it = std::lower_bound(mIDs.begin(), mIDs.end(), block,
                               [](const auto& e, std::uint32_t b) { return e.first < b; });
    if (it != mIDs.end() && it->first == block) {
        it->second = id;
        return;
    }
    try {
        mIDs.insert(it, {block, id});
    } catch (const std::bad_alloc&) {
        KX_FAIL(kErrClassMemory, kErrNoMemory);
    }
}

}  // namespace kx
