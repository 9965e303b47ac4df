// Pieces shared by the news request handlers (news_requests_*.cpp): reading the news path of a
// request, finding a category from the client's news root, category file names, the wire form
// of category-list entries (their codes are in protocol/news_wire.h), and fitting an article
// listing into one field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fs/fs_ref.h"
#include "news/news_database.h"
#include "protocol/field_data.h"
#include "protocol/news_wire.h"

namespace kx::UNewsRequests {

// The request's news path data (at most kMaxPathData bytes of it).
std::vector<std::uint8_t> GetPathField(TFieldDataObj fields);

// The category file the request's news path names, aliases followed, from the news root;
// nullptr when there is none (missing, a folder, or a path that leaves the root).
TFSRef FindCategory(const std::string& newsRoot, TFieldDataObj fields);

// The file name of a new category: ".knz" appended unless the name already ends so; a name that
// would pass 255 bytes keeps 251 of them and gets ".knz" in place of the rest.
std::string MakeCategoryFileName(std::string_view name);

// Wire forms of the category-list entries (one field value each).
std::vector<std::uint8_t> EncodeCatListEntry(std::uint8_t kind, std::string_view name);
std::vector<std::uint8_t> EncodeBundleItem(std::string_view name, std::uint32_t itemCount);
std::vector<std::uint8_t> EncodeCategoryItem(std::string_view name, const SMyNewsGroupInfo& info);

// An article listing as it can travel in one field of at most `maxSize` bytes: the listing
// itself when it fits; otherwise its newest whole threads that fit (a single thread too large
// for the field is cut to its newest articles), with the header's count set to the articles
// kept. A listing whose entries run past its end raises (1, 9).
std::vector<std::uint8_t> FitListing(std::vector<std::uint8_t> listing, std::size_t maxSize);

}  // namespace kx::UNewsRequests
