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

// The item a request names, or nullptr when it does not exist or is the client's root.
TFSRef FindExistingItem(const TFSRefObj& root, const std::string& path, const std::string& name, int* outKind) {
    TFSRef item = LookUpClientItem(root, path, name, fsOption_NilIfNotExists, outKind);
    if (item && IsClientRoot(*item, root)) return nullptr;
    return item;
}

}  // namespace

void CMyApplication::ProcessTran_DeleteFile(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields) {
    const std::string name = ReadNameField(fields, kFieldFileName);
    const std::string path = ReadPathField(fields, kFieldFilePath);
    try {
        TFSRef root = GetClientRootFolder(client);
        int kind = fsItem_Missing;
        TFSRef item = FindExistingItem(*root, path, name, &kind);
        if (!item) {
            SendErrorMsg(session, "Cannot delete " + Quoted(name) + " because it does not exist or cannot be found.");
            return;
        }
        // Deleting an alias deletes the alias file, but a folder alias still needs the folder right.
        if (IsFolderKind(kind)) {
            if (!client->access.HasPriv(myAcc_DeleteFolders)) {
                SendErrorMsg(session, "You are not allowed to delete folders.");
                return;
            }
        } else if (!client->access.HasPriv(myAcc_DeleteFiles)) {
            SendErrorMsg(session, "You are not allowed to delete files.");
            return;
        }
        UFileSys::MoveToTrash(*item);
    } catch (const SError& err) {
        SendErrorMsg(session, err, "Cannot delete " + Quoted(name) + ":");
        return;
    }
    SendNoError(session);
    Log(client, "Delete " + Quoted(name));
}

void CMyApplication::ProcessTran_NewFolder(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields) {
    if (!client->access.HasPriv(myAcc_CreateFolders)) {
        SendErrorMsg(session, "You are not allowed to create folders.");
        return;
    }
    const std::string name = UFileSys::ValidateFileName(ReadNameField(fields, kFieldFileName));
    const std::string path = ReadPathField(fields, kFieldFilePath);
    try {
        TFSRef root = GetClientRootFolder(client);
        int kind = fsItem_NoParent;
        TFSRef folder =
            UFileSys::New(*root, path.data(), path.size(), name, fsOption_NilIfNoParent | fsOption_NilIfExists, &kind);
        if (!folder) {
            if (kind == fsItem_NoParent)
                SendErrorMsg(session, "Cannot create folder " + Quoted(name) +
                                          " because the enclosing folder could not be found.");
            else
                SendErrorMsg(session, "Cannot create folder " + Quoted(name) +
                                          " because there is already a file or folder with that name.");
            return;
        }
        UFileSys::CreateFolder(*folder);
    } catch (const SError& err) {
        SendErrorMsg(session, err, "Cannot create folder " + Quoted(name) + ":");
        return;
    }
    SendNoError(session);
    Log(client, "Create folder " + Quoted(name));
}

void CMyApplication::ProcessTran_SetFileInfo(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields) {
    const std::string name = ReadNameField(fields, kFieldFileName);
    const std::string path = ReadPathField(fields, kFieldFilePath);
    try {
        TFSRef root = GetClientRootFolder(client);
        TFSRef item = FindExistingItem(*root, path, name, nullptr);
        int kind = fsItem_Missing;
        TFSRef target;
        if (item) {
            target = UFileSys::Clone(*item);
            UFileSys::ResolveAlias(*target, &kind);
        }
        if (kind == fsItem_NoParent || kind == fsItem_Missing) {
            SendErrorMsg(session, "Cannot set info because there is no file/folder named " + Quoted(name) + ".");
            return;
        }
        const bool isFolder = IsFolderKind(kind);

        if (UFieldData::HasField(fields, kFieldFileComment) && kind != fsItem_BrokenAlias) {
            if (!isFolder && !client->access.HasPriv(myAcc_SetFileComment)) {
                SendErrorMsg(session, "You are not allowed set comments for files.");
                return;
            }
            if (isFolder && !client->access.HasPriv(myAcc_SetFolderComment)) {
                SendErrorMsg(session, "You are not allowed set comments for folders.");
                return;
            }
            std::string comment = UFieldData::GetString(fields, kFieldFileComment);
            if (comment.size() == 1 && comment[0] == '\0') comment.clear();
            UFileSys::SetComment(*target, comment);
        }

        const std::string newName = ReadNameField(fields, kFieldFileNewName);
        if (!newName.empty() && newName != name) {
            if (!isFolder && !client->access.HasPriv(myAcc_RenameFiles)) {
                SendErrorMsg(session, "You are not allowed to rename files.");
                return;
            }
            if (isFolder && !client->access.HasPriv(myAcc_RenameFolders)) {
                SendErrorMsg(session, "You are not allowed to rename folders.");
                return;
            }
            // The item's own name, not the request's: an item named by its path has an empty name.
            const std::string currentName = UFileSys::GetName(*item);
            if (!client->access.HasPriv(myAcc_ViewDropBoxes) && IsDropBoxName(currentName)) {
                SendErrorMsg(session, "You are not allowed to rename drop boxes.");
                return;
            }
            const std::string validName = UFileSys::ValidateFileName(newName);
            if (!HasAliasSuffix(currentName) && HasAliasSuffix(validName)) {
                SendErrorMsg(session, "You are not allowed to hack servers.");
                return;
            }
            UFileSys::SetName(*item, validName);
        }
    } catch (const SError& err) {
        SendErrorMsg(session, err, "Cannot set info for " + Quoted(name) + ":");
        return;
    }
    SendNoError(session);
}

void CMyApplication::ProcessTran_MoveFile(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields) {
    const std::string name = ReadNameField(fields, kFieldFileName);
    const std::string path = ReadPathField(fields, kFieldFilePath);
    const std::string newPath = ReadPathField(fields, kFieldFileNewPath);
    const std::string quoted = Quoted(name);
    try {
        TFSRef root = GetClientRootFolder(client);
        int kind = fsItem_Missing;
        TFSRef item = FindExistingItem(*root, path, name, &kind);
        if (!item) {
            SendErrorMsg(session, "Cannot move because there is no file/folder named " + quoted + ".");
            return;
        }
        if (IsFolderKind(kind)) {
            if (!client->access.HasPriv(myAcc_MoveFolders)) {
                SendErrorMsg(session, "You are not allowed to move folders.");
                return;
            }
        } else if (!client->access.HasPriv(myAcc_MoveFiles)) {
            SendErrorMsg(session, "You are not allowed to move files.");
            return;
        }
        TFSRef dest = LookUpClientItem(*root, newPath, {},
                                       fsOption_ResolveAliases | fsOption_NilIfNotExists | fsOption_NilIfNotFolder);
        if (!dest) {
            SendErrorMsg(session, "Cannot move " + quoted + " because the destination folder could not be found.");
            return;
        }
        UFileSys::Move(*item, *dest);
    } catch (const SError& err) {
        if (err.type == kErrClassFileSys && err.id == kErrAlreadyExists)
            SendErrorMsg(session, "Cannot move " + quoted +
                                      " because there is already a file/folder in the destination folder with the same name.");
        else if (err.type == kErrClassFileSys && err.id == kErrMoveIntoItself)
            SendErrorMsg(session, "Cannot move " + quoted + " into itself or into a subfolder of itself.");
        else if (err.type == kErrClassFileSys && err.id == kErrNotSameVolume)
            SendErrorMsg(session, "Cannot move " + quoted + " between different disks.");
        else
            SendErrorMsg(session, err, "Cannot move " + quoted + ":");
        return;
    }
    SendNoError(session);
    Log(client, "Move " + quoted);
}

void CMyApplication::ProcessTran_MakeFileAlias(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields) {
    if (!client->access.HasPriv(myAcc_MakeAliases)) {
        SendErrorMsg(session, "You are not allowed to make aliases.");
        return;
    }
    const std::string name = ReadNameField(fields, kFieldFileName);
    const std::string path = ReadPathField(fields, kFieldFilePath);
    const std::string newPath = ReadPathField(fields, kFieldFileNewPath);
    const std::string quoted = Quoted(name);
    try {
        TFSRef root = GetClientRootFolder(client);
        // The target comes from a look-up in the client's root, so an alias can only lead to what
        // the client could reach anyway.
        TFSRef source = FindExistingItem(*root, path, name, nullptr);
        if (!source) {
            SendErrorMsg(session, "Cannot make alias because there is no file/folder named " + quoted + ".");
            return;
        }
        // The alias takes the source's name inside the destination folder; it always has one
        // (the root was refused), so the alias can never be the destination folder itself or land
        // beside it.
        const std::string aliasName = name.empty() ? UFileSys::GetName(*source) : name;
        TFSRef alias = LookUpClientItem(*root, newPath, aliasName, fsOption_NilIfNoParent);
        if (!alias) {
            SendErrorMsg(session, "Cannot make alias of " + quoted + " because the destination folder could not be found.");
            return;
        }
        UFileSys::CreateAlias(*alias, *source);
    } catch (const SError& err) {
        if (err.type == kErrClassFileSys && err.id == kErrAlreadyExists)
            SendErrorMsg(session, "Cannot make alias of " + quoted +
                                      " because there is already a file/folder in the destination folder with the same name.");
        else
            SendErrorMsg(session, err, "Cannot make alias of " + quoted + ":");
        return;
    }
    SendNoError(session);
    Log(client, "Alias " + quoted);
}

}  // namespace kx
