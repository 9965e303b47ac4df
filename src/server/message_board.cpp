// The message board: one shared text, newest post first, kept whole in memory and mirrored in
// "MessageBoard.txt" beside the program. Clients read it whole (cut at 65535 bytes) and add
// posts stamped with the poster's name and the local date and time; every post rewrites the file
// atomically, so a crash leaves either the old board or the new one.
#include <ctime>

#include "framework/clock.h"
#include "framework/file_util.h"
#include "framework/text_format.h"
#include "protocol/transaction_types.h"
#include "server/application.h"

namespace kx {

namespace {
constexpr std::uint32_t kMaxPostSize = 8192;
constexpr std::uint32_t kMaxBoardReply = 65535;
constexpr std::size_t kMaxPostHeader = 255;
// Far above any board a server accumulates; a file beyond it is not loaded (and then not
// overwritten either).
constexpr std::uint64_t kMaxBoardFile = 256u << 20;

const char* MonthAbbrev(int month) {
    static const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    return (month >= 0 && month < 12) ? kMonths[month] : "???";
}

// "From name (Mar07 09:05):\r\r" in the server's local time.
std::string PostHeader(const std::string& posterName) {
    const std::time_t now = UClock::WallTime();
    std::tm parts{};
    if (!localtime_r(&now, &parts)) parts.tm_mon = -1;
    std::string header = UText::FormatString("From %s (%s%2.2hu %2.2hu:%2.2hu):\r\r", posterName,
                                             MonthAbbrev(parts.tm_mon), static_cast<std::uint16_t>(parts.tm_mday),
                                             static_cast<std::uint16_t>(parts.tm_hour),
                                             static_cast<std::uint16_t>(parts.tm_min));
    if (header.size() > kMaxPostHeader) header.resize(kMaxPostHeader);
    return header;
}

const std::string& PostSeparator() {
    static const std::string separator = "\r" + std::string(58, '_') + "\r";
    return separator;
}
}  // namespace

std::string CMyApplication::GetMsgBoardFileSpec() {
    const std::string path = ProgramPath(kMsgBoardFileName);
    if (!UFileUtil::Exists(path)) UFileUtil::WriteFileAtomic(path, "", 0);
    return path;
}

void CMyApplication::LoadMsgBoard() {
    const std::string path = GetMsgBoardFileSpec();
    bool tooLarge = false;
    auto bytes = UFileUtil::ReadWholeFile(path, kMaxBoardFile, &tooLarge);
    if (!bytes) {
        // Keep whatever was loaded before; with nothing loaded, posts are refused so that the
        // file is never replaced by a board that lacks its old posts.
        Log(tooLarge ? "Could not load MessageBoard.txt (too large)" : "Could not load MessageBoard.txt");
        return;
    }
    mBoard.mMsgData = std::move(*bytes);
    mBoard.loaded = true;
    Log("Loaded MessageBoard.txt");
}

std::uint32_t CMyApplication::AddToMsgBoard(TFieldDataObj fields, const std::string& posterName) {
    KX_REQUIRE(mBoard.loaded);
    const std::string header = PostHeader(posterName);
    const std::vector<std::uint8_t> text = UFieldData::GetBytes(fields, kFieldData);
    const std::string& separator = PostSeparator();

    std::vector<std::uint8_t> block;
    block.reserve(header.size() + text.size() + separator.size());
    block.insert(block.end(), header.begin(), header.end());
    block.insert(block.end(), text.begin(), text.end());
    block.insert(block.end(), separator.begin(), separator.end());

    mBoard.mMsgData.insert(mBoard.mMsgData.begin(), block.begin(), block.end());
    try {
        UFileUtil::WriteFileAtomic(GetMsgBoardFileSpec(), mBoard.mMsgData);
    } catch (const SError&) {
        // The file keeps the old board; so does memory, so the two never differ.
        mBoard.mMsgData.erase(mBoard.mMsgData.begin(), mBoard.mMsgData.begin() + static_cast<std::ptrdiff_t>(block.size()));
        throw;
    }
    return static_cast<std::uint32_t>(block.size());
}

void CMyApplication::ProcessTran_GetMsgs(SMyClient*, TTransactSessionObj* session, TFieldDataObj) {
    StFieldData reply;
    const std::size_t size = std::min<std::size_t>(mBoard.mMsgData.size(), kMaxBoardReply);
    UFieldData::AddField(reply, kFieldData, mBoard.mMsgData.data(), static_cast<std::uint32_t>(size));
    session->SendData(reply);
}

void CMyApplication::ProcessTran_PostMsg(SMyClient* client, TTransactSessionObj* session, TFieldDataObj fields) {
    if (UFieldData::GetFieldSize(fields, kFieldData) > kMaxPostSize) {
        SendErrorMsg(session, "Your news post was not accepted because it was too big.");
        return;
    }
    if (!mBoard.loaded) {
        SendErrorMsg(session, "Your news post was not accepted because the message board could not be loaded.");
        return;
    }
    std::uint32_t inserted = 0;
    try {
        inserted = AddToMsgBoard(fields, client->userName);
    } catch (const SError& err) {
        SendErrorMsg(session, err, "Your news post was not accepted because the message board could not be saved.");
        Error(err);
        return;
    }
    SendNoError(session);
    ++mStats.boardPosts;

    // The post stays on the board even when its poster is banned for repeating it, so the
    // readers are told of it all the same.
    ApplyRepetitionRule(client, mBoard.mMsgData.data(), inserted, "Autobanned for News Spam");

    StFieldData notice;
    UFieldData::AddField(notice, kFieldData, mBoard.mMsgData.data(), inserted);
    const TSharedBlock block = TTransactObj::ShareData(notice);
    for (const auto& c : Clients()) {
        if (IsReachable(c.get()) && c->access.HasPriv(myAcc_ReadNews)) c->tpt->SendTransaction(kTranMsgBoardPost, block);
    }
}

}  // namespace kx
