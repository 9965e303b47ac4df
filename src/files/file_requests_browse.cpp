// The frame every file request runs in (ServeFileRequest), and the read-only file transactions:
// the file list of a folder (with the drop-box filter) and the information of one item.
// File-system failures are answered with the handler's prefix and the error's message, never left
// to the application's error counter: a client must not be able to push the server towards its
// error reset by asking for names that cannot exist.
#include <functional>
#include <optional>

#include "files/file_tree.h"
#include "fs/file_types.h"
#include "fs/mac_roman.h"
#include "protocol/transaction_types.h"
#include "server/application.h"

namespace kx {

using namespace UFileTree;
using UMacRoman::Quoted;

void CMyApplication::ServeFileRequest(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields,
                                      const std::string& failure, const std::string& logText,
                                      const std::function<TRefusal(SMyFileRequest&)>& body) {
    SMyFileRequest request;
    request.path = ReadPathField(fields, kFieldFilePath);
    try {
        request.root = UFileSys::NewFromPath(client->filesRoot);
        if (const TRefusal refusal = body(request)) {
            SendErrorMsg(session, *refusal);
            return;
        }
    } catch (const SError& err) {
        SendErrorMsg(session, err, failure);
        return;
    }
    session->SendData(request.reply);
    if (!logText.empty()) Log(client, logText);
}

void CMyApplication::ProcessTran_GetFileNameList(SMyClient* client, TTransactSessionObj* session,
                                                 TFieldDataObj fields) {
    const auto body = [&](SMyFileRequest& r) -> TRefusal {
        // Path data shorter than 6 bytes (or with no components) is the root itself.
        TFSRef folder = LookUpClientItem(*r.root, r.path, {},
                                         fsOption_ResolveAliases | fsOption_NilIfNotExists | fsOption_NilIfNotFolder);
        if (!folder) return "Cannot get file list because the specified folder could not be found.";
        const bool dropBoxOnly = !client->access.HasPriv(myAcc_ViewDropBoxes) && IsInDropBox(*r.root, *folder, r.path);
        BuildFileList(*folder, dropBoxOnly, r.reply);
        return {};
    };
    ServeFileRequest(client, session, fields, "Cannot get file list:", {}, body);
}

namespace {

void AddCode(TFieldDataObj reply, std::uint16_t id, std::uint32_t code) {
    const std::string bytes = CodeBytes(code);
    UFieldData::AddField(reply, id, bytes.data(), 4);
}

void AddText(TFieldDataObj reply, std::uint16_t id, const std::string& text) {
    UFieldData::AddField(reply, id, text.data(), static_cast<std::uint32_t>(text.size()));
}

void AddStamp(TFieldDataObj reply, std::uint16_t id, const SDateTimeStamp& stamp) {
    const auto wire = UDateTime::ToWire(stamp);
    UFieldData::AddField(reply, id, wire.data(), static_cast<std::uint32_t>(wire.size()));
}

// The reply of a get-info request for an item and its resolved target.
void BuildFileInfo(const TFSRefObj& item, const TFSRefObj& target, int kind, TFieldDataObj reply) {
    switch (kind) {
        case fsItem_File:
        case fsItem_FileAlias: {
            std::uint32_t type = 0, creator = 0;
            UFileSys::GetTypeAndCreator(item, type, creator);
            AddCode(reply, kFieldFileType, type);
            AddText(reply, kFieldFileTypeString, FileTypeDescription(type, kind == fsItem_FileAlias));
            AddText(reply, kFieldFileCreatorString, FileCreatorDescription(creator));
            // Sizes travel in 32 bits; a larger file shows the largest size, as in the file list.
            const std::uint64_t size = UFileSys::GetSize(target);
            UFieldData::AddInteger(reply, kFieldFileSize,
                                   static_cast<std::int32_t>(size > 0xFFFFFFFFull ? 0xFFFFFFFFu : std::uint32_t(size)));
            break;
        }
        case fsItem_Folder:
        case fsItem_FolderAlias:
            AddText(reply, kFieldFileTypeString, kind == fsItem_Folder ? "Folder" : "Folder Alias");
            AddText(reply, kFieldFileCreatorString, "n/a");
            AddCode(reply, kFieldFileType, kTypeFolder);
            break;
        default:  // an alias that cannot be followed
            AddText(reply, kFieldFileTypeString, "Unattached Alias");
            AddText(reply, kFieldFileCreatorString, "n/a");
            AddCode(reply, kFieldFileType, kTypeAlias);
            break;
    }
    AddText(reply, kFieldFileName, UFileSys::GetName(item));
    if (kind == fsItem_BrokenAlias) return;
    SDateTimeStamp created, modified;
    UFileSys::GetDates(target, &created, &modified);
    AddStamp(reply, kFieldFileCreateDate, created);
    AddStamp(reply, kFieldFileModifyDate, modified);
    // The comment comes last; this file system keeps none, and an empty field is not sent.
}

}  // namespace

void CMyApplication::ProcessTran_GetFileInfo(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields) {
    const std::string name = ReadNameField(fields, kFieldFileName);
    const auto body = [&](SMyFileRequest& r) -> TRefusal {
        TFSRef item = LookUpClientItem(*r.root, r.path, name, fsOption_NilIfNotExists);
        int kind = fsItem_Missing;
        TFSRef target = ResolveTarget(item, kind);
        if (kind == fsItem_NoParent || kind == fsItem_Missing)
            return "Cannot get info because there is no file/folder named " + Quoted(name) + ".";
        BuildFileInfo(*item, *target, kind, r.reply);
        return {};
    };
    ServeFileRequest(client, session, fields, "Cannot get info for " + Quoted(name) + ":", {}, body);
}

}  // namespace kx
