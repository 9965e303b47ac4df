// The file-system layer: `TFSRefObj`, a reference to one item (file or folder, existing or not)
// by its full host path, and the `UFileSys` operations on references: look-ups from a base folder
// through client path data, item kinds, aliases, listings, create/rename/move/delete, volume
// queries and (in flat_file.h) the flattened-file streams.
//
// Names given to and returned by this layer are Mac OS Roman bytes, as clients send them; paths
// on disk are UTF-8. Conversion happens here and nowhere else. The rules that keep clients inside
// their root folder (no "..", no dot names, no "/" inside a name, aliases only to items a look-up
// found) are enforced here too; see docs/files-layer.md.
//
// Single-threaded: used from the application thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "fs/date_stamp.h"

namespace kx {

// Look-up options of UFileSys::New (bits; several may be combined).
inline constexpr std::uint32_t fsOption_NilIfNoParent = 0x001;
inline constexpr std::uint32_t fsOption_NilIfNotExists = 0x002;
inline constexpr std::uint32_t fsOption_NilIfExists = 0x004;
inline constexpr std::uint32_t fsOption_NilIfNotFile = 0x008;
inline constexpr std::uint32_t fsOption_NilIfNotFolder = 0x010;
inline constexpr std::uint32_t fsOption_FailIfNotExists = 0x020;
inline constexpr std::uint32_t fsOption_FailIfExists = 0x040;
inline constexpr std::uint32_t fsOption_FailIfNotFile = 0x080;
inline constexpr std::uint32_t fsOption_FailIfNotFolder = 0x100;
inline constexpr std::uint32_t fsOption_ResolveAliases = 0x200;

// Item kinds.
inline constexpr int fsItem_NoParent = 0;     // neither the item nor its parent folder exists
inline constexpr int fsItem_Missing = 1;      // the item does not exist, its parent folder does
inline constexpr int fsItem_File = 2;
inline constexpr int fsItem_Folder = 3;
inline constexpr int fsItem_FileAlias = 4;
inline constexpr int fsItem_FolderAlias = 5;
inline constexpr int fsItem_BrokenAlias = 6;

// File-system error codes (class kErrClassFileSys) raised by this layer besides those of error.h
// and of the errno table.
inline constexpr std::int16_t kErrCannotRead = 106;
inline constexpr std::int16_t kErrNotAFile = 107;
inline constexpr std::int16_t kErrNotAFolder = 108;
inline constexpr std::int16_t kErrAliasTargetNotFound = 109;
inline constexpr std::int16_t kErrInUse = 116;
inline constexpr std::int16_t kErrNameTooLong = 118;
inline constexpr std::int16_t kErrInvalidName = 119;
inline constexpr std::int16_t kErrMoveIntoItself = 121;
inline constexpr std::int16_t kErrNotSameVolume = 129;

struct SFileFlatten;
struct SFileUnflatten;

// One item by its full host path. Owned by whoever created it (`TFSRef`); a flatten or unflatten
// run lives on the reference until it is stopped or the reference is destroyed.
class TFSRefObj {
public:
    explicit TFSRefObj(std::string hostPath);
    ~TFSRefObj();
    TFSRefObj(const TFSRefObj&) = delete;
    TFSRefObj& operator=(const TFSRefObj&) = delete;

    // Full host path (UTF-8), without a trailing "/".
    const std::string& GetPath() const { return mPath; }
    // Points the reference at another item; any flatten or unflatten run is stopped.
    void SetPath(std::string hostPath);

    SFileFlatten* GetFlatten() const { return mFlatten.get(); }
    SFileUnflatten* GetUnflatten() const { return mUnflatten.get(); }
    void SetFlatten(std::unique_ptr<SFileFlatten> f);
    void SetUnflatten(std::unique_ptr<SFileUnflatten> u);

private:
    std::string mPath;
    std::unique_ptr<SFileFlatten> mFlatten;
    std::unique_ptr<SFileUnflatten> mUnflatten;
};

using TFSRef = std::unique_ptr<TFSRefObj>;

namespace UFileSys {

// A reference to a host folder or file the server itself names (the "Files" folder beside the
// program, and the like). Not for client input. A relative path is made absolute.
TFSRef NewFromPath(const std::string& hostPath);

// The item `name` inside the folder that `pathData` reaches from `base`. With an empty name the
// last component of the path data is the item (and with no components either, `base` itself).
// Components that name an alias to a folder continue inside its target; a component that names
// anything else, or nothing, makes the path invalid. A component holding ".." makes the path
// invalid; "\", "/" and NUL inside a component become "-", and so does a leading ".".
//
// `name` must not contain "\", "/" or NUL, or be ".." (invalid-name error, 4/119); a leading "."
// becomes "-". ":" and a trailing "." are ordinary characters, so operator files such as
// "10:30.txt" are reachable. A name longer than NAME_MAX bytes on disk, or a full path longer
// than PATH_MAX - 1, is a name-too-long error (4/118).
//
// Options decide when no reference (nullptr) or an error results, tested in this order, the first
// bit present deciding: for an existing item NilIfExists, FailIfExists, NilIfNotFile,
// FailIfNotFile, NilIfNotFolder, FailIfNotFolder; for a missing one NilIfNoParent (parent missing
// too), NilIfNotExists, FailIfNotExists. An invalid path gives nullptr and kind fsItem_NoParent when
// NilIfNoParent or NilIfNotExists is set, else a folder-not-found error (4/104).
//
// `outKind` (optional) receives the item's kind; with fsOption_ResolveAliases, the kind after
// resolution (fsItem_BrokenAlias when the target is missing).
TFSRef New(const TFSRefObj& base, const void* pathData, std::size_t pathSize, std::string_view name,
           std::uint32_t options, int* outKind = nullptr);
// The same with a sub-path text whose components are separated by carriage returns (a leading and
// a trailing one are ignored).
TFSRef New(const TFSRefObj& base, std::string_view subPath, std::string_view name, std::uint32_t options,
           int* outKind = nullptr);

TFSRef Clone(const TFSRefObj& ref);

// The item's kind: fsItem_Missing (or fsItem_NoParent when its folder is missing too),
// fsItem_File, fsItem_Folder, or the alias kinds. Symbolic links whose names end in ".lnk" are
// aliases; other symbolic links (placed by the operator) count as the item they point at, or as a
// broken alias when that is missing. Devices, pipes and sockets count as missing.
int GetType(const TFSRefObj& ref);

// Reports the kind and, for an alias to a file or folder, points the reference at its target.
// Returns false for fsItem_NoParent, fsItem_Missing and fsItem_BrokenAlias.
bool ResolveAlias(TFSRefObj& ref, int* outKind = nullptr);

bool Exists(const TFSRefObj& ref);

// The item's own name in Mac OS Roman (characters without a Mac OS Roman form read as "-").
std::string GetName(const TFSRefObj& ref);
// The folder that holds the item.
TFSRef GetParentFolder(const TFSRefObj& ref);
// True when both name the same item: the same host path, or paths that lead to the same place
// once every link is followed (so a walk can recognise a folder it is already inside). Callers
// that act on a client's item should use it to refuse the client's root itself.
bool Equals(const TFSRefObj& a, const TFSRefObj& b);

// Length of a file (a link is followed). Raises the mapped error when the item cannot be read.
std::uint64_t GetSize(const TFSRefObj& ref);
// The same, for what travels in 32 bits: a file of 4 GiB or more is a size-limit error (1/10).
std::uint32_t GetSize32(const TFSRefObj& ref);
// Number of items a client would see listed in the folder.
std::uint32_t GetFolderItemCount(const TFSRefObj& folder);
// Creation date (the birth time where the file system keeps one, else the modification time) and
// modification date, in UTC. A link is followed.
void GetDates(const TFSRefObj& ref, SDateTimeStamp* outCreated, SDateTimeStamp* outModified);
// Type and creator codes as a listing shows them: folders "fldr"/0, files by extension, aliases
// by their target, aliases that cannot be followed "alis"/0.
void GetTypeAndCreator(const TFSRefObj& ref, std::uint32_t& outType, std::uint32_t& outCreator);

// This file system keeps no comments: setting one is accepted and stores nothing.
inline void SetComment(TFSRefObj&, std::string_view) {}

// Creates an empty folder / file at the reference (already-exists error 4/115 when something is
// there). The codes of a created file are those of its extension; `type`/`creator` are accepted
// for the callers' sake and not stored.
void CreateFolder(const TFSRefObj& ref);
void CreateFile(const TFSRefObj& ref, std::uint32_t type = 0, std::uint32_t creator = 0);

// Renames the item (not an alias's target) inside its folder and points the reference at the new
// name. The name follows New's rules; an existing item of that name is never replaced (4/115). For
// a folder, the deepest path below it must stay within PATH_MAX - 1 (name-too-long error 4/118).
void SetName(TFSRefObj& ref, std::string_view newName);

// Moves the item into `destFolder` under its own name and points the reference there. Never
// replaces (4/115); a folder cannot move into itself or below itself (4/121); items on different
// volumes give 4/129.
void Move(TFSRefObj& ref, const TFSRefObj& destFolder);

// Makes `aliasRef` an alias of `target`: a symbolic link to the target's full path, named as
// `aliasRef` with ".lnk" appended unless it already ends so (any case). The reference then names
// the link. The target must exist (item-not-found 4/102). Callers find both through New, so a
// client can only make aliases to items reachable from its root.
void CreateAlias(TFSRefObj& aliasRef, const TFSRefObj& target);

// The folder that deleted items are moved into. Must be outside every client's root (the server
// uses "Trash" in the program folder) and on the same volume as the items deleted.
void SetTrashFolder(const std::string& hostPath);
const std::string& GetTrashFolder();
// Moves the item (a folder with everything in it; an alias as the link itself) into the trash
// folder, under its own name or, when that is taken, its name followed by " 2", " 3", ...
// Nothing happens when the item does not exist. Raises the error that stopped it (a missing trash
// folder setting is a parameter error).
void MoveToTrash(const TFSRefObj& ref);

// Bytes available to the server on the item's volume (the nearest existing folder's), or nullopt
// when that cannot be told.
std::optional<std::uint64_t> GetFreeSpace(const TFSRefObj& ref);
// True when the item's volume is mounted read-only.
bool IsVolumeReadOnly(const TFSRefObj& ref);

}  // namespace UFileSys

}  // namespace kx
