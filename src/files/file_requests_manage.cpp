// The file transactions that change the tree: delete (into the trash), new folder, set info
// (comment and rename), move and make alias. Every item is found from the client's root; the root
// itself can be named (empty name, empty path) but is never deleted, renamed, moved or aliased.
// File-system failures are answered with the handler's prefix and the error's message, never left
// to the application's error counter, so that no client request can drive the server to a reset.
#include "files/file_tree.h"
#include "fs/file_path.h"
#include "fs/mac_roman.h"
#include "protocol/transaction_types.h"
#include "server/application.h"

namespace kx {

using namespace UFileTree;
using UMacRoman::Quoted;

namespace {

bool IsFolderKind(int kind) { return kind == fsItem_Folder || kind == fsItem_FolderAlias; }

bool HasAliasSuffix(std::string_view name) {
    if (name.size() <= 3) return false;
    std::string tail(name.substr(name.size() - 4));
    for (char& c : tail)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return tail == ".lnk";
}

constexpr char kNameTakenThere[] =
    " because there is already a file/folder in the destination folder with the same name.";

bool IsFileSysError(const SError& err, std::int16_t id) { return err.type == kErrClassFileSys && err.id == id; }

// The item a request names, or nullptr when it does not exist or is the client's root.
TFSRef FindExistingItem(const TFSRefObj& root, const std::string& path, const std::string& name, int* outKind) {
    TFSRef item = LookUpClientItem(root, path, name, fsOption_NilIfNotExists, outKind);
    if (item && IsClientRoot(*item, root)) return nullptr;
    return item;
}

// The rename part of a set-info request, under the privileges for the item's kind; a name that
// would turn the item into an alias is refused.
CMyApplication::TRefusal RenameItem(const SMyClient* client, TFSRefObj& item, bool isFolder, const std::string& newName) {
    if (!isFolder && !client->access.HasPriv(myAcc_RenameFiles)) return "You are not allowed to rename files.";
    if (isFolder && !client->access.HasPriv(myAcc_RenameFolders)) return "You are not allowed to rename folders.";
    // The item's own name, not the request's: an item named by its path has an empty name.
    const std::string currentName = UFileSys::GetName(item);
    if (!client->access.HasPriv(myAcc_ViewDropBoxes) && IsDropBoxName(currentName))
        return "You are not allowed to rename drop boxes.";
    const std::string validName = UFileSys::ValidateFileName(newName);
    if (!HasAliasSuffix(currentName) && HasAliasSuffix(validName)) return "You are not allowed to hack servers.";
    UFileSys::SetName(item, validName);
    return {};
}

}  // namespace

void CMyApplication::ProcessTran_DeleteFile(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields) {
    const std::string name = ReadNameField(fields, kFieldFileName);
    const auto body = [&](SMyFileRequest& r) -> TRefusal {
        int kind = fsItem_Missing;
        TFSRef item = FindExistingItem(*r.root, r.path, name, &kind);
        if (!item) return "Cannot delete " + Quoted(name) + " because it does not exist or cannot be found.";
        // Deleting an alias deletes the alias file, but a folder alias still needs the folder right.
        if (IsFolderKind(kind)) {
            if (!client->access.HasPriv(myAcc_DeleteFolders)) return "You are not allowed to delete folders.";
        } else if (!client->access.HasPriv(myAcc_DeleteFiles)) {
            return "You are not allowed to delete files.";
        }
        UFileSys::MoveToTrash(*item);
        return {};
    };
    ServeFileRequest(client, session, fields, "Cannot delete " + Quoted(name) + ":", "Delete " + Quoted(name), body);
}

void CMyApplication::ProcessTran_NewFolder(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields) {
    const std::string name = UFileSys::ValidateFileName(ReadNameField(fields, kFieldFileName));
    const std::string quoted = Quoted(name);
    const auto body = [&](SMyFileRequest& r) -> TRefusal {
        int kind = fsItem_NoParent;
        TFSRef folder = UFileSys::New(*r.root, r.path.data(), r.path.size(), name,
                                      fsOption_NilIfNoParent | fsOption_NilIfExists, &kind);
        if (!folder && kind == fsItem_NoParent)
            return "Cannot create folder " + quoted + " because the enclosing folder could not be found.";
        if (!folder)
            return "Cannot create folder " + quoted + " because there is already a file or folder with that name.";
        UFileSys::CreateFolder(*folder);
        return {};
    };
    ServeFileRequest(client, session, fields, "Cannot create folder " + quoted + ":", "Create folder " + quoted, body);
}

void CMyApplication::ProcessTran_SetFileInfo(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields) {
    const std::string name = ReadNameField(fields, kFieldFileName);
    const auto body = [&](SMyFileRequest& r) -> TRefusal {
        TFSRef item = FindExistingItem(*r.root, r.path, name, nullptr);
        int kind = fsItem_Missing;
        TFSRef target = ResolveTarget(item, kind);
        if (kind == fsItem_NoParent || kind == fsItem_Missing)
            return "Cannot set info because there is no file/folder named " + Quoted(name) + ".";
        const bool isFolder = IsFolderKind(kind);
        if (UFieldData::HasField(fields, kFieldFileComment) && kind != fsItem_BrokenAlias) {
            if (!isFolder && !client->access.HasPriv(myAcc_SetFileComment))
                return "You are not allowed set comments for files.";
            if (isFolder && !client->access.HasPriv(myAcc_SetFolderComment))
                return "You are not allowed set comments for folders.";
            std::string comment = UFieldData::GetString(fields, kFieldFileComment);
            if (comment.size() == 1 && comment[0] == '\0') comment.clear();
            UFileSys::SetComment(*target, comment);
        }
        const std::string newName = ReadNameField(fields, kFieldFileNewName);
        if (newName.empty() || newName == name) return {};
        return RenameItem(client, *item, isFolder, newName);
    };
    ServeFileRequest(client, session, fields, "Cannot set info for " + Quoted(name) + ":", {}, body);
}

void CMyApplication::ProcessTran_MoveFile(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields) {
    const std::string name = ReadNameField(fields, kFieldFileName);
    const std::string newPath = ReadPathField(fields, kFieldFileNewPath);
    const std::string quoted = Quoted(name);
    const auto body = [&](SMyFileRequest& r) -> TRefusal {
        int kind = fsItem_Missing;
        TFSRef item = FindExistingItem(*r.root, r.path, name, &kind);
        if (!item) return "Cannot move because there is no file/folder named " + quoted + ".";
        if (IsFolderKind(kind)) {
            if (!client->access.HasPriv(myAcc_MoveFolders)) return "You are not allowed to move folders.";
        } else if (!client->access.HasPriv(myAcc_MoveFiles)) {
            return "You are not allowed to move files.";
        }
        TFSRef dest = LookUpClientItem(*r.root, newPath, {},
                                       fsOption_ResolveAliases | fsOption_NilIfNotExists | fsOption_NilIfNotFolder);
        if (!dest) return "Cannot move " + quoted + " because the destination folder could not be found.";
        try {
            UFileSys::Move(*item, *dest);
        } catch (const SError& err) {
            if (IsFileSysError(err, kErrAlreadyExists)) return "Cannot move " + quoted + kNameTakenThere;
            if (IsFileSysError(err, kErrMoveIntoItself))
                return "Cannot move " + quoted + " into itself or into a subfolder of itself.";
            if (IsFileSysError(err, kErrNotSameVolume))
                return "Cannot move " + quoted + " between different disks.";
            throw;
        }
        return {};
    };
    ServeFileRequest(client, session, fields, "Cannot move " + quoted + ":", "Move " + quoted, body);
}

void CMyApplication::ProcessTran_MakeFileAlias(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields) {
    const std::string name = ReadNameField(fields, kFieldFileName);
    const std::string newPath = ReadPathField(fields, kFieldFileNewPath);
    const std::string quoted = Quoted(name);
    const auto body = [&](SMyFileRequest& r) -> TRefusal {
        // The target comes from a look-up in the client's root, so an alias can only lead to what
        // the client could reach anyway.
        TFSRef source = FindExistingItem(*r.root, r.path, name, nullptr);
        if (!source) return "Cannot make alias because there is no file/folder named " + quoted + ".";
        // The alias takes the source's name inside the destination folder; it always has one (the
        // root was refused), so the alias can never be the destination folder itself or land
        // beside it.
        const std::string aliasName = name.empty() ? UFileSys::GetName(*source) : name;
        TFSRef alias = LookUpClientItem(*r.root, newPath, aliasName, fsOption_NilIfNoParent);
        if (!alias)
            return "Cannot make alias of " + quoted + " because the destination folder could not be found.";
        try {
            UFileSys::CreateAlias(*alias, *source);
        } catch (const SError& err) {
            if (IsFileSysError(err, kErrAlreadyExists)) return "Cannot make alias of " + quoted + kNameTakenThere;
            throw;
        }
        return {};
    };
    ServeFileRequest(client, session, fields, "Cannot make alias of " + quoted + ":", "Alias " + quoted, body);
}

}  // namespace kx
