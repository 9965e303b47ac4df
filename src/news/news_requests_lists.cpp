// The two news listing requests: the bundles and categories of a bundle (short entries for old
// clients, long ones with each category's summary for newer ones) and the article listing of a
// category. Neither needs a privilege.
#include "fs/file_types.h"
#include "fs/fs_listing.h"
#include "news/news_requests.h"
#include "protocol/transaction_types.h"
#include "server/application.h"

namespace kx {

namespace {

const std::uint32_t kTypeNewsCategory = MakeCode("KXNZ");

}  // namespace

void CMyApplication::ProcessTran_GetNewsCatNameList(SMyClient* client, TTransactSessionObj* session,
                                                    TFieldDataObj fields) {
    const std::vector<std::uint8_t> path = UNewsRequests::GetPathField(fields);
    auto root = UFileSys::NewFromPath(client->newsRoot);
    int kind = fsItem_NoParent;
    TFSRef folder = UFileSys::New(*root, path.data(), path.size(), {},
                                  fsOption_ResolveAliases | fsOption_NilIfNotExists | fsOption_NilIfNotFolder,
                                  &kind);
    if (!folder) {
        SendErrorMsg(session, "Cannot get news list because the specified folder could not be found.");
        return;
    }
    StFieldData reply;
    try {
        BuildNewsCatList(folder->GetPath(), reply, client->vers);
    } catch (const SError&) {
        // The folder went away or cannot be opened (a news root removed by the operator).
        SendErrorMsg(session, "Cannot get news list because the specified folder could not be found.");
        return;
    }
    session->SendData(reply);
}

void CMyApplication::BuildNewsCatList(const std::string& folderPath, TFieldDataObj fields,
                                      std::uint32_t clientVersion) {
    UFieldData::DeleteAllFields(fields);
    auto folder = UFileSys::NewFromPath(folderPath);
    TFSList list = UFileSys::GetListing(*folder);
    SFSListItem item;
    while (UFileSys::GetListNext(*list, item)) {
        if (item.flags & kFSListFlagInvisible) continue;
        if (clientVersion < UNewsWire::kLongCatListVersion) {
            std::uint8_t kind = UNewsWire::kCatEntryOther;
            if (item.typeCode == kTypeFolder) kind = UNewsWire::kCatEntryBundle;
            else if (item.typeCode == kTypeNewsCategory || UNewsWire::IsNewsCatName(item.name)) {
                kind = UNewsWire::kCatEntryCategory;
            }
            const auto entry = UNewsRequests::EncodeCatListEntry(kind, item.name);
            UFieldData::AddField(fields, kFieldNewsCatListEntry, entry.data(), static_cast<std::uint32_t>(entry.size()));
        } else if (item.typeCode == kTypeFolder) {
            const auto entry = UNewsRequests::EncodeBundleItem(item.name, item.size);
            UFieldData::AddField(fields, kFieldNewsCatListItem, entry.data(), static_cast<std::uint32_t>(entry.size()));
        } else if (item.typeCode == kTypeNewsCategory) {
            SMyNewsGroupInfo info;
            try {
                auto file = UFileSys::New(*folder, std::string_view{}, item.name, fsOption_ResolveAliases);
                if (!file) continue;
                info = UMyNewsDatabase::GetGroupInfo(file->GetPath());
            } catch (const SError&) {
                continue;  // a category whose header cannot be read is left out
            }
            const auto entry = UNewsRequests::EncodeCategoryItem(item.name, info);
            UFieldData::AddField(fields, kFieldNewsCatListItem, entry.data(), static_cast<std::uint32_t>(entry.size()));
        }
    }
}

void CMyApplication::ProcessTran_GetNewsArtNameList(SMyClient* client, TTransactSessionObj* session,
                                                    TFieldDataObj fields) {
    TFSRef category = UNewsRequests::FindCategory(client->newsRoot, fields);
    if (!category) {
        SendErrorMsg(session, "Cannot get article list because the specified category could not be found.");
        return;
    }
    StFieldData reply;
    try {
        BuildNewsArtList(category->GetPath(), reply);
    } catch (const SError& err) {
        // A damaged category must not leave the client waiting, nor count towards a server reset
        // each time somebody opens it; the operator finds it in the error log.
        mLogger.LogError(err);
        SendErrorMsg(session, "Cannot get news list because an invalid category was specified.");
        return;
    }
    session->SendData(reply);
}

void CMyApplication::BuildNewsArtList(const std::string& category, TFieldDataObj fields) {
    UFieldData::DeleteAllFields(fields);
    // A listing longer than a field can carry goes out with its newest threads.
    const std::vector<std::uint8_t> listing =
        UNewsRequests::FitListing(UMyNewsDatabase::GetArticleListing(category), UFieldData::kMaxFieldSize);
    UFieldData::AddField(fields, kFieldNewsArtListData, listing.data(), static_cast<std::uint32_t>(listing.size()));
}

}  // namespace kx
