// The database's internal operations on an opened category file: the open file with its
// checked header and index directory, block allocation, the ID index, item blocks, threading
// links and flavor chains. Only the news database's own files include this header.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "news/news_file.h"
#include "news/news_format.h"

namespace kx {

// A category file opened for one operation. The constructor reads the header and refuses a
// short header (1, 9), a wrong magic (1, 8) and a version other than 2 (1, 7).
class CNZDatabaseFile {
public:
    CNZDatabaseFile(const std::string& path, bool writable);

    // Checks the header fields every block operation relies on (block size, bitmap place);
    // raises (1, 9) when they are impossible.
    void CheckLayout();

    std::uint32_t BlockSize() const { return header.blockSize; }
    // File offset of block `block` (1-based; raises (1, 9) for block 0).
    std::uint64_t BlockOffset(std::uint32_t block) const;
    // Number of whole or partial blocks the file holds; no valid list or chain is longer.
    std::uint32_t BlocksInFile() const;

    void WriteHeader();
    void WriteAllocTable();

    // The ID index directory: (mask + 1) entries; a directory that does not fit in the file
    // or is absurdly large raises (1, 11).
    void ReadDirectory();
    void WriteDirectory();
    void WriteDirEntry(std::uint32_t bucket);
    std::uint32_t Bucket(std::uint32_t id) const { return id & header.offSetIDHashMask; }

    CNZFile file;
    _NZ_SDBHeader header;
    std::vector<_NZ_SHashInfo> directory;
};

// Tracks the blocks a walk has visited: a second visit, or more steps than `limit`, is a
// damaged chain and raises (1, 9).
class CNZWalkGuard {
public:
    explicit CNZWalkGuard(std::uint32_t limit) : mLimit(limit) {}
    void Visit(std::uint32_t block);
    bool Seen(std::uint32_t block) const { return mSeen.count(block) != 0; }

private:
    std::uint32_t mLimit;
    std::unordered_set<std::uint32_t> mSeen;
};

// --- Blocks (news_blocks.cpp) ---
// Returns the first of `count` contiguous blocks now marked in use.
std::uint32_t _NZ_AllocateBlocks(CNZDatabaseFile& db, std::uint32_t count);
void _NZ_DeallocateBlocks(CNZDatabaseFile& db, std::uint32_t first, std::uint32_t count);
// Writes zeros over whole blocks.
void _NZ_ZeroBlocks(CNZDatabaseFile& db, std::uint32_t first, std::uint32_t count);

// --- ID index (news_index.cpp) ---
std::uint32_t _NZ_IDToOffset(CNZDatabaseFile& db, std::uint32_t id);
std::uint32_t _NZ_OffsetToID(CNZDatabaseFile& db, std::uint32_t block);
// Raises (1, 9) when `id` is not above the bucket's last ID.
void _NZ_CheckIDOrder(CNZDatabaseFile& db, std::uint32_t bucket, std::uint32_t id);
void _NZ_AddIDToHash(CNZDatabaseFile& db, std::uint32_t bucket, std::uint32_t id,
                     std::uint32_t block);
// Leaves the directory entry changed in memory; the caller writes the directory.
void _NZ_RmIDFromHash(CNZDatabaseFile& db, std::uint32_t bucket, std::uint32_t id);

// --- Items and threading (news_threads.cpp) ---
// Reads and checks an item block; raises (1, 9) when it is short or not an item block.
_NZ_SNewsItemBlock _NZ_ReadItem(CNZDatabaseFile& db, std::uint32_t block);
void _NZ_WriteItem(CNZDatabaseFile& db, std::uint32_t block, const _NZ_SNewsItemBlock& item);
void _NZ_WriteItemField(CNZDatabaseFile& db, std::uint32_t block, std::size_t fieldOffset,
                        std::uint32_t value);
// The blocks of a sibling list from `first` on, in order (none when `first` is 0).
std::vector<std::uint32_t> _NZ_SiblingList(CNZDatabaseFile& db, std::uint32_t first);
// The last item of the sibling list starting at `first` (0 when `first` is 0).
std::uint32_t _NZ_GetLastOffset(CNZDatabaseFile& db, std::uint32_t first);
// The last reply of the article at `parentBlock` (0 when it has none).
std::uint32_t _NZ_GetLast(CNZDatabaseFile& db, std::uint32_t parentBlock);
// Makes `newParent` the parent of `first` and of all its later siblings.
void _NZ_ChangeParentOffset(CNZDatabaseFile& db, std::uint32_t first, std::uint32_t newParent);
// Item blocks of the whole subtree below `first` and its later siblings (each once).
std::vector<std::uint32_t> _NZ_DelArticSibsChildsList(CNZDatabaseFile& db, std::uint32_t first,
                                                       std::uint32_t exclude);

// --- Flavors (news_flavors.cpp) ---
struct SNZFlavor {
    std::uint32_t block = 0;
    std::uint32_t nextFlav = 0;
    std::uint32_t size = 0;
    std::uint32_t headerSize = 0;
    std::string type;
};
// Reads a flavor's header and checks that the flavor lies inside the file; raises (1, 9).
SNZFlavor _NZ_ReadFlavor(CNZDatabaseFile& db, std::uint32_t block);
// Blocks a flavor of this header and data size occupies.
std::uint32_t _NZ_FlavorBlocks(const CNZDatabaseFile& db, std::uint64_t headerSize,
                               std::uint64_t dataSize);
// The block runs (first block, count) of the chain that starts at the item block `itemBlock`,
// the item block included, read and checked without changing anything.
std::vector<std::pair<std::uint32_t, std::uint32_t>> _NZ_FlavRuns(CNZDatabaseFile& db,
                                                                  std::uint32_t itemBlock);
// Frees the runs _NZ_FlavRuns found. Collecting first means damage found halfway through a
// chain leaves the file as it was.
void _NZ_DelFlavs(CNZDatabaseFile& db,
                  const std::vector<std::pair<std::uint32_t, std::uint32_t>>& runs);
// Frees the cached listing, if any, and clears its place in the header (in memory).
void _NZ_DropList(CNZDatabaseFile& db);

}  // namespace kx
