// Folder listings: `UFileSys::GetListing` / `UFileSys::GetListNext` produce one `SFSListItem` per
// item a client may see, in the host's directory order, with type and creator codes, sizes
// (folder: item count), UTC dates and the Mac OS Roman name. `UFileSys::EncodeFileInfo` gives an
// entry's wire form (the value of one file-list field).
#pragma once

#include <dirent.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fs/date_stamp.h"
#include "fs/fs_ref.h"

namespace kx {

// Flags of SFSListItem.
inline constexpr std::uint32_t kFSListFlagInvisible = 0x1;
// Listing option: do not follow aliases (they are listed as "alis").
inline constexpr std::uint32_t kFSListOptionNoAliasFollow = 0x1;

struct SFSListItem {
    std::uint32_t typeCode = 0;
    std::uint32_t creatorCode = 0;
    std::uint32_t size = 0;   // file: bytes, capped at 0xFFFFFFFF; folder: item count
    std::uint32_t flags = 0;  // never set by this file system: invisible items are not listed at all
    std::uint32_t rsvd = 0;
    SDateTimeStamp createdDate;
    SDateTimeStamp modifiedDate;
    std::string name;         // Mac OS Roman, 1..255 bytes
};

// A listing in progress; owns the open folder.
class TFSListObj {
public:
    TFSListObj(DIR* dir, std::string folderPath, std::uint32_t options);
    ~TFSListObj();
    TFSListObj(const TFSListObj&) = delete;
    TFSListObj& operator=(const TFSListObj&) = delete;

    bool Next(SFSListItem& out);

private:
    DIR* mDir;
    std::string mFolderPath;
    std::uint32_t mOptions;
};

using TFSList = std::unique_ptr<TFSListObj>;

namespace UFileSys {

// Starts listing a folder (a link to a folder is followed). Raises the mapped error when the
// folder cannot be opened (a missing folder: 4/103; not a folder: 4/102).
TFSList GetListing(const TFSRefObj& folder, std::uint32_t options = 0);
// The next entry; false when the listing is exhausted.
bool GetListNext(TFSListObj& list, SFSListItem& out);

// Wire form of an entry: type, creator, size (big-endian), 4 reserved bytes, name script 0,
// name length (big-endian 16 bits), name bytes.
std::vector<std::uint8_t> EncodeFileInfo(const SFSListItem& item);

}  // namespace UFileSys

namespace FSListing {

struct SItemTimes {
    SDateTimeStamp created;
    SDateTimeStamp modified;
};

// Dates of the item at a path (following links or not); false with errno set on failure.
bool GetTimes(const std::string& path, bool follow, SItemTimes& out);
// Number of entries a listing of the folder would produce (0 when it cannot be opened).
std::uint32_t CountItems(const std::string& folderPath);
// Type and creator of a file reached through `path`, from the name of the file a link finally
// points at.
void FileCodes(const std::string& path, std::uint32_t& outType, std::uint32_t& outCreator);

}  // namespace FSListing

}  // namespace kx
