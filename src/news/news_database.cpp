// The public operations of the news category file: creating it, reading its summary, adding
// articles and their data, reading data and deleting articles. The listing is in
// news_listing.cpp; the machinery below these operations is declared in news_internal.h.
#include "news/news_database.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <random>

#include "framework/clock.h"
#include "framework/error.h"
#include "framework/file_util.h"
#include "news/news_internal.h"

namespace kx {
namespace {

constexpr std::string_view kExternIDDomain = "news.kestrix.local";

std::array<std::uint8_t, 16> NewGUID() {
    std::random_device rd;
    std::array<std::uint8_t, 16> id{};
    for (std::size_t i = 0; i < id.size(); i += 4) {
        std::uint32_t r = rd();
        PutBE32(&id[i], r);
    }
    id[6] = static_cast<std::uint8_t>((id[6] & 0x0F) | 0x40);  // random (version 4) GUID
    id[8] = static_cast<std::uint8_t>((id[8] & 0x3F) | 0x80);
    return id;
}

// Writes a new file whole under `file`, never replacing one ((4, 115) when the name is taken).
// The bytes go to a hidden temporary file with a short name beside it, which is then linked
// under the final name: the file appears complete or not at all, and a name of the longest
// length allowed still works (a temporary named after the file could not be longer).
void CreateFileWhole(const std::string& file, const std::vector<std::uint8_t>& bytes) {
    const std::size_t slash = file.rfind('/');
    std::string tmp = (slash == std::string::npos ? std::string() : file.substr(0, slash + 1)) + ".knz-new-XXXXXX";
    const int fd = mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) KX_FAIL_ERRNO(errno);
    int err = 0;
    std::size_t done = 0;
    while (done < bytes.size() && err == 0) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno != EINTR) err = errno;
        if (n > 0) done += static_cast<std::size_t>(n);
    }
    if (err == 0 && fsync(fd) != 0) err = errno;
    if (err == 0 && fchmod(fd, 0644) != 0) err = errno;
    close(fd);
    if (err == 0 && link(tmp.c_str(), file.c_str()) != 0) err = errno;  // EEXIST: never replaces
    unlink(tmp.c_str());
    if (err != 0) KX_FAIL_ERRNO(err);
}

// Checks what an operation that looks articles up relies on, and reads the directory.
void PrepareForArticles(CNZDatabaseFile& db) {
    db.CheckLayout();
    db.ReadDirectory();
}

std::uint32_t FindArticle(CNZDatabaseFile& db, std::uint32_t articleID, _NZ_SNewsItemBlock& item) {
    std::uint32_t block = _NZ_IDToOffset(db, articleID);
    if (block == 0) KX_FAIL(kErrClassGeneral, kErrMissingEntry);
    item = _NZ_ReadItem(db, block);
    if (item.id != articleID) KX_FAIL(kErrClassGeneral, kErrDamaged);
    return block;
}

// Reads an optional neighbour so that a damaged link is refused before anything is written.
void CheckLink(CNZDatabaseFile& db, std::uint32_t block) {
    if (block != 0) (void)_NZ_ReadItem(db, block);
}

}  // namespace

namespace UMyNewsDatabase {

std::string _NZ_GenerateExternID() {
    auto id = NewGUID();
    char text[40];
    std::snprintf(text, sizeof text,
                  "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", id[0],
                  id[1], id[2], id[3], id[4], id[5], id[6], id[7], id[8], id[9], id[10], id[11],
                  id[12], id[13], id[14], id[15]);
    std::string result = std::string(text) + "@" + std::string(kExternIDDomain);
    if (result.size() > kNZMaxExternID) result.resize(kNZMaxExternID);
    return result;
}

void CreateNewGroup(const std::string& file, std::string_view name, std::string_view description) {
    if (file.empty()) KX_FAIL_PARAM();
    if (UFileUtil::Exists(file)) KX_FAIL(kErrClassFileSys, kErrAlreadyExists);
    _NZ_SDBHeader h;
    h.type = kNZFileType;
    h.vers = kNZVersion;
    h.id = NewGUID();
    h.addSerial = 1;
    h.delSerial = 1;
    h.blockSize = kNZNewBlockSize;
    h.nextArticleID = 1;
    h.allocTable = {1, 1, 1};
    h.offSetIDHashOffset = 2;
    h.offSetIDHashMask = kNZNewHashMask;
    h.name = std::string(name.substr(0, kNZMaxName));
    h.description = std::string(description.substr(0, kNZMaxDescription));

    std::vector<std::uint8_t> image(kNZNewFileSize, 0);
    _NZ_EncodeHeader(h, std::span<std::uint8_t, kNZHeaderSize>(image.data(), kNZHeaderSize));
    image[kNZHeaderArea] = 0xC0;  // blocks 1 (bitmap) and 2 (directory) in use
    CreateFileWhole(file, image);
}

SMyNewsGroupInfo GetGroupInfo(const std::string& file) {
    CNZDatabaseFile db(file, false);
    SMyNewsGroupInfo info;
    info.id = db.header.id;
    info.articleCount = db.header.articleCount;
    info.addSN = db.header.addSerial;
    info.deleteSN = db.header.delSerial;
    info.name = db.header.name;
    info.desc = db.header.description;
    return info;
}

std::uint32_t AddArticle(const std::string& file, std::uint32_t parentID, std::string_view title,
                         std::string_view poster, std::uint32_t flags,
                         std::optional<SDateTimeStamp> date, std::string_view externId) {
    CNZDatabaseFile db(file, true);
    PrepareForArticles(db);
    auto& h = db.header;
    if (h.nextArticleID == 0) KX_FAIL(kErrClassGeneral, kErrDamaged);  // IDs exhausted or damaged header

    std::uint32_t parentBlock = 0;
    if (parentID != 0) {
        parentBlock = _NZ_IDToOffset(db, parentID);
        if (parentBlock == 0) UError::DebugBreak("Cannot find this parent!");
    }
    // Find the new article's previous sibling before anything is written.
    std::uint32_t prev = 0;
    if (parentBlock != 0) {
        prev = _NZ_GetLast(db, parentBlock);
    } else {
        prev = h.lastArticleOffset;
        CheckLink(db, prev);
    }

    _NZ_CheckIDOrder(db, db.Bucket(h.nextArticleID), h.nextArticleID);

    // The ID is taken (and the listing dropped) on disk first: after a crash further on, the
    // next article gets a fresh ID instead of one the index may already hold.
    const std::uint32_t newID = h.nextArticleID;
    h.nextArticleID = newID + 1;
    _NZ_DropList(db);
    db.WriteHeader();

    std::uint32_t block = _NZ_AllocateBlocks(db, 1);
    _NZ_SNewsItemBlock item;
    item.id = newID;
    item.prevArticleOffset = prev;
    item.parentOffset = parentBlock;
    item.date = date ? *date : UDateTime::FromLocalTime(UClock::WallTime());
    item.flags = flags;
    item.title = std::string(title.substr(0, kNZMaxTitle));
    item.poster = std::string(poster.substr(0, kNZMaxPoster));
    item.externId = externId.empty() ? _NZ_GenerateExternID()
                                     : std::string(externId.substr(0, kNZMaxExternID));

    _NZ_AddIDToHash(db, db.Bucket(item.id), item.id, block);
    _NZ_WriteItem(db, block, item);
    if (prev == 0) {
        if (parentBlock != 0) _NZ_WriteItemField(db, parentBlock, kNZItemOffFirstChild, block);
        else h.firstArticleOffset = block;
    } else {
        _NZ_WriteItemField(db, prev, kNZItemOffNext, block);
    }
    if (parentBlock == 0) h.lastArticleOffset = block;

    h.addSerial++;
    h.articleCount++;
    db.WriteHeader();
    return item.id;
}

bool AddData(const std::string& file, std::uint32_t articleID, std::string_view flavorType,
             const void* data, std::uint32_t size) {
    if (data == nullptr && size != 0) KX_FAIL_PARAM();
    CNZDatabaseFile db(file, true);
    PrepareForArticles(db);
    _NZ_SNewsItemBlock item;
    std::uint32_t block = FindArticle(db, articleID, item);

    std::string_view type = flavorType.substr(0, kNZMaxFlavorType);
    const std::uint32_t headerSize = _NZ_FlavorHeaderSize(static_cast<std::uint32_t>(type.size()));
    if (std::uint64_t{headerSize} + size > kNZMaxFileSize) KX_FAIL(kErrClassGeneral, kErrSizeLimit);

    // Walk to the chain's last block.
    std::uint32_t last = block;
    CNZWalkGuard guard(kNZMaxAddDataSteps + 1);
    guard.Visit(block);
    for (std::uint32_t next = item.nextFlav; next != 0;) {
        guard.Visit(next);
        last = next;
        next = _NZ_ReadFlavor(db, next).nextFlav;
    }

    const std::uint32_t count = _NZ_FlavorBlocks(db, headerSize, size);
    const std::uint32_t first = _NZ_AllocateBlocks(db, count);
    std::vector<std::uint8_t> image;
    try {
        image.assign(std::size_t{count} * db.BlockSize(), 0);
    } catch (const std::bad_alloc&) {
        KX_FAIL(kErrClassMemory, kErrNoMemory);
    }
    PutBE32(&image[kNZFlavOffNext], 0);
    PutBE32(&image[kNZFlavOffSize], size);
    _NZ_PutPString(&image[kNZFlavOffType], type, kNZMaxFlavorType);
    if (size != 0) std::memcpy(&image[headerSize], data, size);
    db.file.WriteAt(db.BlockOffset(first), image.data(), image.size());
    _NZ_WriteItemField(db, last, kNZFlavOffNext, first);

    // The cached listing shows every article's flavors, so it is out of date now.
    _NZ_DropList(db);
    return true;
}

std::vector<std::uint8_t> GetArticleData(const std::string& file, std::uint32_t articleID,
                                         std::string_view flavorType, SMyNewsArticleInfo* info) {
    CNZDatabaseFile db(file, false);
    PrepareForArticles(db);
    _NZ_SNewsItemBlock item;
    FindArticle(db, articleID, item);

    // Only the first 30 flavors are looked at; a loop among them is damage.
    CNZWalkGuard guard(kNZMaxReadFlavors);
    std::uint32_t examined = 0;
    for (std::uint32_t block = item.nextFlav; block != 0 && examined < kNZMaxReadFlavors; ++examined) {
        guard.Visit(block);
        SNZFlavor f = _NZ_ReadFlavor(db, block);
        if (f.type == flavorType) {
            auto data = db.file.ReadBytes(db.BlockOffset(block) + f.headerSize, f.size, kErrDamaged);
            if (info) {
                info->id = item.id;
                info->prevID = _NZ_OffsetToID(db, item.prevArticleOffset);
                info->nextID = _NZ_OffsetToID(db, item.nextArticleOffset);
                info->parentID = _NZ_OffsetToID(db, item.parentOffset);
                info->firstChildID = _NZ_OffsetToID(db, item.firstChildOffset);
                info->flags = item.flags;
                info->dts = item.date;
                info->title = item.title;
                info->poster = item.poster;
                info->externId = item.externId;
            }
            return data;
        }
        block = f.nextFlav;
    }
    KX_FAIL(kErrClassGeneral, kErrMissingEntry);
}

bool DeleteArticle(const std::string& file, std::uint32_t articleID, bool recursive) {
    CNZDatabaseFile db(file, true);
    PrepareForArticles(db);
    auto& h = db.header;
    _NZ_SNewsItemBlock article;
    const std::uint32_t block = FindArticle(db, articleID, article);
    const std::uint32_t prev = article.prevArticleOffset;
    const std::uint32_t next = article.nextArticleOffset;
    const std::uint32_t parent = article.parentOffset;

    // Read every link this deletion will follow or write before changing anything.
    CheckLink(db, prev);
    CheckLink(db, next);
    CheckLink(db, parent);
    std::vector<std::uint32_t> replies;
    const std::uint32_t promoted = recursive ? 0 : article.firstChildOffset;
    std::vector<std::uint32_t> others;
    std::uint32_t promotedLastReply = 0;
    if (recursive) {
        replies = _NZ_DelArticSibsChildsList(db, article.firstChildOffset, block);
    } else if (promoted != 0) {
        _NZ_SNewsItemBlock p = _NZ_ReadItem(db, promoted);
        others = _NZ_SiblingList(db, p.nextArticleOffset);
        promotedLastReply = _NZ_GetLastOffset(db, p.firstChildOffset);
    }

    // Every flavor chain to be freed is read and checked before the first block is freed.
    struct SDoomed {
        std::uint32_t id;
        std::vector<std::pair<std::uint32_t, std::uint32_t>> runs;
    };
    std::vector<SDoomed> doomed;
    for (std::uint32_t reply : replies)
        doomed.push_back({_NZ_ReadItem(db, reply).id, _NZ_FlavRuns(db, reply)});
    doomed.push_back({article.id, _NZ_FlavRuns(db, block)});
    for (std::size_t i = 0; i < doomed.size() && h.articleCount != 0; ++i) h.articleCount--;

    // What takes the article's place in its sibling list: the promoted reply, or its next sibling.
    // The header goes first, so that an article added after a crash part-way is linked to the
    // new end of the list. Nothing is freed until no link or index entry names it any more: a
    // crash then leaves unused blocks marked, never blocks in use that a later write may take.
    const std::uint32_t replacement = promoted != 0 ? promoted : next;
    const std::uint32_t before = promoted != 0 ? promoted : prev;
    if (prev == 0 && parent == 0) h.firstArticleOffset = replacement;
    if (next == 0 && parent == 0) h.lastArticleOffset = before;
    _NZ_DropList(db);
    db.WriteHeader();
    if (prev != 0) _NZ_WriteItemField(db, prev, kNZItemOffNext, replacement);
    else if (parent != 0) _NZ_WriteItemField(db, parent, kNZItemOffFirstChild, replacement);
    if (next != 0) _NZ_WriteItemField(db, next, kNZItemOffPrev, before);

    if (promoted != 0) {
        if (!others.empty()) {
            _NZ_ChangeParentOffset(db, others.front(), promoted);
            if (promotedLastReply != 0) {
                _NZ_WriteItemField(db, promotedLastReply, kNZItemOffNext, others.front());
                _NZ_WriteItemField(db, others.front(), kNZItemOffPrev, promotedLastReply);
            } else {
                _NZ_WriteItemField(db, promoted, kNZItemOffFirstChild, others.front());
                _NZ_WriteItemField(db, others.front(), kNZItemOffPrev, 0);
            }
        }
        _NZ_SNewsItemBlock p = _NZ_ReadItem(db, promoted);
        p.prevArticleOffset = prev;
        p.nextArticleOffset = next;
        p.parentOffset = parent;
        _NZ_WriteItem(db, promoted, p);
    }

    for (const SDoomed& d : doomed) _NZ_RmIDFromHash(db, db.Bucket(d.id), d.id);
    for (const SDoomed& d : doomed) _NZ_DelFlavs(db, d.runs);
    return true;
}

}  // namespace UMyNewsDatabase

}  // namespace kx
