// The requests that change the news tree: create a bundle (a folder), create a category (a new
// ".knz" database file), and delete a bundle or category (moved into the trash).
#include "fs/file_path.h"
#include "fs/mac_roman.h"
#include "news/news_requests.h"
#include "protocol/transaction_types.h"
#include "server/application.h"

namespace kx {

namespace {

constexpr std::uint32_t kMaxNewsItemName = 255;

// The name a client asks for, made usable as an item name (cut to 255 bytes, no "/" and the
// like, no leading dot).
std::string GetNameField(TFieldDataObj fields, std::uint16_t id) {
    std::string name = UFieldData::GetString(fields, id);
    if (name.size() > kMaxNewsItemName) name.resize(kMaxNewsItemName);
    return UFileSys::ValidateFileName(name);
}

// Outcome of looking up the place of a new bundle or category.
enum class ENewItemPlace { Free, NoParent, Exists };

// The reference at which a new item `name` would be created inside the request's news path. An
// empty name names the path's last bundle itself, which usually exists already.
TFSRef FindNewItemPlace(const std::string& newsRoot, TFieldDataObj fields, const std::string& name,
                        ENewItemPlace& outPlace) {
    const std::vector<std::uint8_t> path = UNewsRequests::GetPathField(fields);
    auto root = UFileSys::NewFromPath(newsRoot);
    int kind = fsItem_NoParent;
    TFSRef ref = UFileSys::New(*root, path.data(), path.size(), name, fsOption_NilIfNoParent | fsOption_NilIfExists,
                               &kind);
    if (ref) outPlace = ENewItemPlace::Free;
    else outPlace = kind == fsItem_NoParent ? ENewItemPlace::NoParent : ENewItemPlace::Exists;
    return ref;
}

}  // namespace

void CMyApplication::ProcessTran_DelNewsFldrItem(SMyClient* client, TTransactSessionObj* session,
                                                 TFieldDataObj fields) {
    const std::vector<std::uint8_t> path = UNewsRequests::GetPathField(fields);
    auto root = UFileSys::NewFromPath(client->newsRoot);
    int kind = fsItem_NoParent;
    TFSRef item = UFileSys::New(*root, path.data(), path.size(), {}, fsOption_NilIfNotExists, &kind);
    // An alias is an item of its own, even one that leads to the root: deleting it removes the link.
    const bool isAlias = kind == fsItem_FileAlias || kind == fsItem_FolderAlias || kind == fsItem_BrokenAlias;
    if (!item || (!isAlias && UFileSys::Equals(*item, *root))) {
        SendErrorMsg(session, "Cannot delete news item because it could not be found.");
        return;
    }
    if (kind == fsItem_Folder && !client->access.HasPriv(myAcc_DeleteNewsBundles)) {
        SendErrorMsg(session, "You are not allowed to delete news bundles.");
        return;
    }
    if (kind == fsItem_File && !client->access.HasPriv(myAcc_DeleteCategories)) {
        SendErrorMsg(session, "You are not allowed to delete news categories.");
        return;
    }
    try {
        UFileSys::MoveToTrash(*item);
    } catch (const SError&) {
        SendErrorMsg(session, "News item could not be deleted.");
        return;
    }
    SendNoError(session);
}

void CMyApplication::ProcessTran_NewNewsFldr(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields) {
    const std::string name = GetNameField(fields, kFieldFileName);
    const std::string quoted = UMacRoman::Quoted(name);
    try {
        ENewItemPlace place = ENewItemPlace::Free;
        TFSRef folder = FindNewItemPlace(client->newsRoot, fields, name, place);
        if (place == ENewItemPlace::NoParent) {
            SendErrorMsg(session, "Cannot create news bundle " + quoted + " because the enclosing bundle could not be found.");
            return;
        }
        if (place == ENewItemPlace::Exists) {
            SendErrorMsg(session, "Cannot create news bundle " + quoted +
                                      " because there is already an item or bundle with that name.");
            return;
        }
        UFileSys::CreateFolder(*folder);
    } catch (const SError& err) {
        SendErrorMsg(session, err, "Cannot create bundle " + quoted + ":");
        return;
    }
    SendNoError(session);
    Log(client, "Create news folder " + quoted);
}

void CMyApplication::ProcessTran_NewNewsCat(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields) {
    const std::string requested = GetNameField(fields, kFieldNewsCatName);
    // An empty name stays empty, so that it is refused rather than becoming the hidden ".knz".
    const std::string name = requested.empty() ? requested : UNewsRequests::MakeCategoryFileName(requested);
    const std::string quoted = UMacRoman::Quoted(name);
    try {
        if (name.empty()) KX_FAIL(kErrClassFileSys, kErrInvalidName);
        ENewItemPlace place = ENewItemPlace::Free;
        TFSRef file = FindNewItemPlace(client->newsRoot, fields, name, place);
        if (place == ENewItemPlace::NoParent) {
            SendErrorMsg(session, "Cannot create news category " + quoted +
                                      " because the enclosing bundle could not be found.");
            return;
        }
        if (place == ENewItemPlace::Exists) {
            SendErrorMsg(session, "Cannot create news category " + quoted +
                                      " because there is already an item or bundle with that name.");
            return;
        }
        UMyNewsDatabase::CreateNewGroup(file->GetPath(), name, {});
    } catch (const SError& err) {
        SendErrorMsg(session, err, "Cannot create news category " + quoted + ":");
        return;
    }
    SendNoError(session);
    Log(client, "Create news category " + quoted);
}

}  // namespace kx
