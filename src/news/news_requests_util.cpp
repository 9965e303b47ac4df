// Helpers of the news request handlers: path fields, category look-ups, category names, the
// category-list entry forms, and cutting an article listing down to what one field can carry.
#include "news/news_requests.h"

#include <algorithm>

#include "framework/byte_codec.h"
#include "framework/error.h"
#include "fs/file_path.h"
#include "news/news_format.h"
#include "protocol/transaction_types.h"

namespace kx::UNewsRequests {
namespace {

constexpr std::size_t kMaxCatNameLength = 255;

void PutName(std::vector<std::uint8_t>& out, std::string_view name) {
    name = name.substr(0, kMaxCatNameLength);
    out.push_back(static_cast<std::uint8_t>(name.size()));
    out.insert(out.end(), name.begin(), name.end());
}

// Where each article entry of a listing starts, and whether it opens a thread (parent 0).
struct SListEntry {
    std::size_t offset;
    bool topLevel;
};

std::vector<SListEntry> ScanListing(const std::vector<std::uint8_t>& l) {
    if (l.size() < kNZListHeaderSize) KX_FAIL(kErrClassGeneral, kErrDamaged);
    const std::uint32_t count = GetBE32(&l[4]);
    // Every entry takes at least 24 bytes: a count past that is damage, not a reason to reserve.
    if (count > (l.size() - kNZListHeaderSize) / 24) KX_FAIL(kErrClassGeneral, kErrDamaged);
    std::vector<SListEntry> entries;
    entries.reserve(count);
    std::size_t at = kNZListHeaderSize;
    auto need = [&](std::size_t n) {
        if (n > l.size() - at) KX_FAIL(kErrClassGeneral, kErrDamaged);
    };
    auto skipText = [&] {
        need(1);
        const std::size_t len = l[at];
        need(1 + len);
        at += 1 + len;
    };
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::size_t start = at;
        need(22);
        const bool topLevel = GetBE32(&l[at + 12]) == 0;
        const std::uint16_t flavors = GetBE16(&l[at + 20]);
        at += 22;
        skipText();  // title
        skipText();  // poster
        for (std::uint16_t f = 0; f < flavors; ++f) {
            skipText();
            need(2);
            at += 2;
        }
        entries.push_back({start, topLevel});
    }
    return entries;
}

}  // namespace

std::vector<std::uint8_t> GetPathField(TFieldDataObj fields) {
    std::vector<std::uint8_t> path(std::min<std::size_t>(UFieldData::GetFieldSize(fields, kFieldNewsPath),
                                                          kMaxPathData));
    if (!path.empty()) {
        UFieldData::GetField(fields, kFieldNewsPath, path.data(), static_cast<std::uint32_t>(path.size()));
    }
    return path;
}

TFSRef FindCategory(const std::string& newsRoot, TFieldDataObj fields) {
    const std::vector<std::uint8_t> path = GetPathField(fields);
    auto root = UFileSys::NewFromPath(newsRoot);
    return UFileSys::New(*root, path.data(), path.size(), {},
                         fsOption_ResolveAliases | fsOption_NilIfNotExists | fsOption_NilIfNotFile);
}

std::string MakeCategoryFileName(std::string_view name) {
    std::string result(name.substr(0, kMaxCatNameLength));
    if (UNewsWire::EndsWithCatExtension(result)) return result;
    if (result.size() + UNewsWire::kCatFileExtension.size() > kMaxCatNameLength) {
        result.resize(kMaxCatNameLength - UNewsWire::kCatFileExtension.size());
    }
    result += UNewsWire::kCatFileExtension;
    return result;
}

std::vector<std::uint8_t> EncodeCatListEntry(std::uint8_t kind, std::string_view name) {
    std::vector<std::uint8_t> out;
    out.push_back(kind);
    out.insert(out.end(), name.begin(), name.end());
    return out;
}

std::vector<std::uint8_t> EncodeBundleItem(std::string_view name, std::uint32_t itemCount) {
    std::vector<std::uint8_t> out;
    AppendBE16(out, UNewsWire::kCatItemBundle);
    AppendBE16(out, static_cast<std::uint16_t>(std::min<std::uint32_t>(itemCount, 0xFFFF)));
    PutName(out, name);
    out.push_back(0);
    return out;
}

std::vector<std::uint8_t> EncodeCategoryItem(std::string_view name, const SMyNewsGroupInfo& info) {
    std::vector<std::uint8_t> out;
    AppendBE16(out, UNewsWire::kCatItemCategory);
    AppendBE16(out, static_cast<std::uint16_t>(info.articleCount));
    out.insert(out.end(), info.id.begin(), info.id.end());
    AppendBE32(out, info.addSN);
    AppendBE32(out, info.deleteSN);
    PutName(out, name);
    out.insert(out.end(), 3, 0);
    return out;
}

std::vector<std::uint8_t> FitListing(std::vector<std::uint8_t> listing, std::size_t maxSize) {
    if (listing.size() <= maxSize) return listing;
    const std::vector<SListEntry> entries = ScanListing(listing);
    const std::size_t end = listing.size();
    const std::size_t room = maxSize - kNZListHeaderSize;
    // The first entry from which everything to the end fits.
    std::size_t first = entries.size();
    while (first > 0 && end - entries[first - 1].offset <= room) --first;
    // Prefer starting at a thread, so that every reply kept is listed with its parent.
    std::size_t keep = first;
    while (keep < entries.size() && !entries[keep].topLevel) ++keep;
    if (keep == entries.size()) keep = first;

    std::vector<std::uint8_t> out(listing.begin(), listing.begin() + kNZListHeaderSize);
    if (keep < entries.size()) {
        out.insert(out.end(), listing.begin() + static_cast<std::ptrdiff_t>(entries[keep].offset),
                   listing.end());
    }
    PutBE32(&out[4], static_cast<std::uint32_t>(entries.size() - keep));
    return out;
}

}  // namespace kx::UNewsRequests
