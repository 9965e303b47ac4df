// The article requests of the news: read one article's data, post an article or a reply, and
// delete an article (alone, its first reply taking its place, or with all its replies).
#include "fs/date_stamp.h"
#include "news/news_requests.h"
#include "protocol/transaction_types.h"
#include "server/application.h"

namespace kx {

namespace {

constexpr std::size_t kMaxReadFlavor = 255;
constexpr std::size_t kMaxPostFlavor = 31;
constexpr std::size_t kMaxPostTitle = 31;

// A flavor field is text with a terminator: what precedes the first NUL, cut to `maxLength`.
std::string GetFlavorField(TFieldDataObj fields, std::size_t maxLength) {
    std::string flavor = UFieldData::GetString(fields, kFieldNewsArtDataFlav);
    const std::size_t nul = flavor.find('\0');
    if (nul != std::string::npos) flavor.resize(nul);
    if (flavor.size() > maxLength) flavor.resize(maxLength);
    return flavor;
}

std::uint32_t GetArticleIDField(TFieldDataObj fields) {
    return static_cast<std::uint32_t>(UFieldData::GetInteger(fields, kFieldNewsArtID));
}

}  // namespace

void CMyApplication::ProcessTran_GetNewsArtData(SMyClient* client, TTransactSessionObj* session,
                                                TFieldDataObj fields) {
    TFSRef category = UNewsRequests::FindCategory(client->newsRoot, fields);
    if (!category) {
        SendErrorMsg(session, "Cannot get article data because the specified category could not be found.");
        return;
    }
    StFieldData reply;
    try {
        BuildNewsArtData(category->GetPath(), GetArticleIDField(fields), GetFlavorField(fields, kMaxReadFlavor),
                         reply);
    } catch (const SError&) {
        SendErrorMsg(session, "Cannot get article data because an invalid category was specified.");
        return;
    }
    session->SendData(reply);
}

void CMyApplication::BuildNewsArtData(const std::string& category, std::uint32_t articleID,
                                      const std::string& flavor, TFieldDataObj fields) {
    UFieldData::DeleteAllFields(fields);
    SMyNewsArticleInfo info;
    const std::vector<std::uint8_t> data = UMyNewsDatabase::GetArticleData(category, articleID, flavor, &info);
    UFieldData::AddField(fields, kFieldNewsArtData, data.data(), static_cast<std::uint32_t>(data.size()));
    UFieldData::AddInteger(fields, kFieldNewsArtPrevArt, static_cast<std::int32_t>(info.prevID));
    UFieldData::AddInteger(fields, kFieldNewsArtNextArt, static_cast<std::int32_t>(info.nextID));
    UFieldData::AddInteger(fields, kFieldNewsArtParentArt, static_cast<std::int32_t>(info.parentID));
    UFieldData::AddInteger(fields, kFieldNewsArt1stChildArt, static_cast<std::int32_t>(info.firstChildID));
    UFieldData::AddField(fields, kFieldNewsArtTitle, info.title.data(), static_cast<std::uint32_t>(info.title.size()));
    UFieldData::AddField(fields, kFieldNewsArtPoster, info.poster.data(), static_cast<std::uint32_t>(info.poster.size()));
    const std::string flavorText = flavor + '\0';
    UFieldData::AddField(fields, kFieldNewsArtDataFlav, flavorText.data(), static_cast<std::uint32_t>(flavorText.size()));
    const auto date = UDateTime::ToWire(info.dts);
    UFieldData::AddField(fields, kFieldNewsArtDate, date.data(), static_cast<std::uint32_t>(date.size()));
}

void CMyApplication::ProcessTran_PostNewsArt(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields) {
    TFSRef category = UNewsRequests::FindCategory(client->newsRoot, fields);
    if (!category) {
        SendErrorMsg(session, "Cannot post article because the specified category could not be found.");
        return;
    }
    const std::uint32_t parentID = GetArticleIDField(fields);
    std::string title = UFieldData::GetString(fields, kFieldNewsArtTitle);
    if (title.size() > kMaxPostTitle) title.resize(kMaxPostTitle);
    const auto flags = static_cast<std::uint32_t>(UFieldData::GetInteger(fields, kFieldNewsArtFlags));
    const std::string flavor = GetFlavorField(fields, kMaxPostFlavor);
    const std::vector<std::uint8_t> data = UFieldData::GetBytes(fields, kFieldNewsArtData);
    // Checked before anything is written: a refused post leaves no empty article behind.
    if (data.empty()) {
        SendErrorMsg(session, "Cannot post article because invalid data was specified.");
        return;
    }

    const std::string& file = category->GetPath();
    std::uint32_t articleID = 0;
    try {
        articleID = UMyNewsDatabase::AddArticle(file, parentID, title, client->userName, flags);
    } catch (const SError& err) {
        mLogger.LogError(err);
        SendErrorMsg(session, "Cannot post article because the specified category was corrupt.");
        return;
    }
    if (articleID == 0) {
        SendErrorMsg(session, "Cannot post article because invalid data was specified.");
        return;
    }
    bool added = false;
    try {
        added = UMyNewsDatabase::AddData(file, articleID, flavor, data.data(), static_cast<std::uint32_t>(data.size()));
    } catch (const SError& err) {
        mLogger.LogError(err);
    }
    if (!added) {
        // The post failed: take back the article that has no data.
        try {
            UMyNewsDatabase::DeleteArticle(file, articleID, false);
        } catch (const SError&) {
        }
        SendErrorMsg(session, "Cannot post article because the specified category was corrupt.");
        return;
    }
    SendNoError(session);
    ++mStats.newsPosts;
}

void CMyApplication::ProcessTran_DelNewsArt(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields) {
    TFSRef category = UNewsRequests::FindCategory(client->newsRoot, fields);
    if (!category) {
        SendErrorMsg(session, "Cannot delete article because the specified category could not be found.");
        return;
    }
    const bool recursive = UFieldData::GetInteger(fields, kFieldNewsArtRecurseDel) != 0;
    bool deleted = false;
    try {
        deleted = UMyNewsDatabase::DeleteArticle(category->GetPath(), GetArticleIDField(fields), recursive);
    } catch (const SError&) {
    }
    if (!deleted) {
        SendErrorMsg(session, "Cannot delete article because an invalid category or item was specified.");
        return;
    }
    SendNoError(session);
}

}  // namespace kx
