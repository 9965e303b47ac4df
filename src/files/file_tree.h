// What the file transactions and the transfers share about the tree a client sees (from its root
// folder, SMyClient::filesRoot): the record a file request's body works with, the look-up of a
// named item, drop boxes and upload folders, the file list reply, the descriptions of type and
// creator codes.
//
// Everything here runs on the application thread, inside a handler.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fs/fs_ref.h"
#include "protocol/field_data.h"

namespace kx {

// What a file request's body works with (CMyApplication::ServeFileRequest): the request's path
// field, the client's files root, and the reply it fills (sent as it is when the body accepts).
struct SMyFileRequest {
    std::string path;
    TFSRef root;
    StFieldData reply;
};

namespace UFileTree {

// A name field (kFieldFileName, kFieldFileNewName) cut to 255 bytes, and a path field
// (kFieldFilePath, kFieldFileNewPath) cut to the 2048 bytes that are read of it.
std::string ReadNameField(TFieldDataObj fields, std::uint16_t id);
std::string ReadPathField(TFieldDataObj fields, std::uint16_t id);

// True when `ref` is the client's root itself (an empty name with empty path data names it).
// Deleting, renaming or moving it must be refused.
bool IsClientRoot(const TFSRefObj& ref, const TFSRefObj& root);

// UFileSys::New for a name and path a client sent, with one difference: a name the host could
// never hold (holding "/" or "\", "..", or too long) names nothing, so the result is nullptr with
// kind fsItem_Missing instead of an error. Other file-system errors are raised.
TFSRef LookUpClientItem(const TFSRefObj& root, const std::string& pathData, std::string_view name,
                        std::uint32_t options, int* outKind = nullptr);

// The item's target, aliases followed, with its kind in `kind`; none (kind left as it is) for no
// item.
TFSRef ResolveTarget(const TFSRef& item, int& kind);

// Lower-cased (A-Z only), the name contains "drop box" / "upload".
bool IsDropBoxName(std::string_view name);
bool IsUploadFolderName(std::string_view name);

// True when `folder` (found from `root` through `pathData`) is a drop box or lies below one: a path
// component as the client named it, the folder's own name, or any folder between the root and it
// on disk contains "drop box". The last test catches a path that reached a drop box's subfolder
// through an alias; for a folder outside the root, the folders it does not share with the root
// are tested.
bool IsInDropBox(const TFSRefObj& root, const TFSRefObj& folder, const std::string& pathData);

// Clears `fields` and adds one kFieldFileNameWithInfo per item of the folder, in listing order;
// with `dropBoxOnly`, only partial uploads (type "KXft").
void BuildFileList(const TFSRefObj& folder, bool dropBoxOnly, TFieldDataObj fields);

// kFieldFileTypeString / kFieldFileCreatorString of a file: the known codes described in words,
// any other code as its four bytes. An alias's type reads "<type> (alias)".
std::string FileTypeDescription(std::uint32_t type, bool isAlias);
std::string FileCreatorDescription(std::uint32_t creator);

// The four bytes of a code, first character first.
std::string CodeBytes(std::uint32_t code);

}  // namespace UFileTree

}  // namespace kx
