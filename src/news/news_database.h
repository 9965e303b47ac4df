// UMyNewsDatabase: the news category file. Each category of the threaded news is one file
// (name ending in ".knz") holding its articles, their threading links, their data flavors and
// a cached article listing. Every operation opens the file, works with positioned reads and
// writes, and closes it; nothing is kept in memory between calls. Failures raise SError:
//   (1, 7) version is not 2; (1, 8) magic is not "KXNZ"; (1, 9) short header, item block or
//   chain link, damaged link or chain, index IDs out of order; (1, 11) index table or
//   directory unreadable; (1, 12) article or flavor not found; (1, 10) the file would pass
//   its size limit; (3, 101) out of memory; class 4 for file-system failures.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fs/date_stamp.h"

namespace kx {

// Summary of a category, from its header alone.
struct SMyNewsGroupInfo {
    std::array<std::uint8_t, 16> id{};  // category GUID
    std::uint32_t articleCount = 0;
    std::uint32_t addSN = 0;
    std::uint32_t deleteSN = 0;
    std::string name;  // at most 31 bytes
    std::string desc;  // at most 255 bytes
};

// One article as GetArticleData reports it; neighbour IDs are 0 when there is none.
struct SMyNewsArticleInfo {
    std::uint32_t id = 0;
    std::uint32_t prevID = 0;
    std::uint32_t nextID = 0;
    std::uint32_t parentID = 0;
    std::uint32_t firstChildID = 0;
    std::uint32_t flags = 0;
    SDateTimeStamp dts;
    std::string title;     // at most 63 bytes
    std::string poster;    // at most 31 bytes
    std::string externId;  // at most 63 bytes
};

namespace UMyNewsDatabase {

// Creates a new category file of 1024 bytes (refused with (4, 115) when the name exists).
void CreateNewGroup(const std::string& file, std::string_view name, std::string_view description);

SMyNewsGroupInfo GetGroupInfo(const std::string& file);

// Adds an article under `parentID` (0 or an unknown ID: top level) as its last reply and
// returns its ID. No date means now; an empty extern ID is generated.
std::uint32_t AddArticle(const std::string& file, std::uint32_t parentID, std::string_view title,
                         std::string_view poster, std::uint32_t flags,
                         std::optional<SDateTimeStamp> date = std::nullopt,
                         std::string_view externId = {});

// Appends a data flavor of type `flavorType` (at most 31 bytes kept) to the article.
bool AddData(const std::string& file, std::uint32_t articleID, std::string_view flavorType,
             const void* data, std::uint32_t size);

// The article listing, from the cache in the file when there is one (built and cached otherwise).
std::vector<std::uint8_t> GetArticleListing(const std::string& file);

// The data of the article's first flavor of that type; fills `info` when given.
std::vector<std::uint8_t> GetArticleData(const std::string& file, std::uint32_t articleID,
                                         std::string_view flavorType,
                                         SMyNewsArticleInfo* info = nullptr);

// Deletes the article; with `recursive` its replies too, otherwise its first reply takes its
// place and the other replies move under that one.
bool DeleteArticle(const std::string& file, std::uint32_t articleID, bool recursive);

// Reads the whole category without changing it and checks that its parts agree: header and
// layout, the article tree (no loops, links that agree, each ID once, the header's count), every
// flavor chain, the ID index against the tree, and that every block in use lies in the file, is
// marked in the bitmap and has one owner. Returns one text per problem (empty: sound), at most
// about twenty; a file that cannot be opened gives the reason.
std::vector<std::string> CheckCategory(const std::string& file);

// "<GUID text>@<domain>", at most 63 bytes.
std::string _NZ_GenerateExternID();

}  // namespace UMyNewsDatabase

}  // namespace kx
