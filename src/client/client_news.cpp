// The news commands of the command-line client: reading, posting and deleting articles of a
// news category (listing is in client_news_list.cpp). Categories are named by their path in the news tree ("Bundle/General.knz").
#include <charconv>
#include <ostream>
#include <unistd.h>

#include "client/client_session.h"
#include "fs/file_path.h"
#include "fs/mac_roman.h"
#include "protocol/transaction_types.h"

namespace kx {

namespace {

constexpr char kTextFlavor[] = "text/plain";

[[noreturn]] void Bad(const std::string& why) { throw SClientFailure(kExitBadArgument, why); }

std::vector<std::uint8_t> NewsPath(const std::string& path) {
    const std::vector<std::string> names = ClientPathNames(path);
    if (names.empty()) Bad("A news category path is needed");
    return UFilePath::Build(names);
}

std::int32_t ArticleID(const std::string& text) {
    std::int32_t id = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), id);
    if (ec != std::errc() || end != text.data() + text.size() || id <= 0) Bad("Invalid article ID: " + text);
    return id;
}

void AddPath(TFieldDataObj f, const std::vector<std::uint8_t>& path) {
    UFieldData::AddField(f, kFieldNewsPath, path.data(), static_cast<std::uint32_t>(path.size()));
}

void NewsRead(CClientLink& link, const SClientOptions& opt, std::ostream& out) {
    if (opt.args.size() != 3) Bad("Usage: kestrix HOST news read PATH ID");
    StFieldData req;
    AddPath(req, NewsPath(opt.args[1]));
    UFieldData::AddInteger(req, kFieldNewsArtID, ArticleID(opt.args[2]));
    UFieldData::AddField(req, kFieldNewsArtDataFlav, kTextFlavor, sizeof kTextFlavor);
    SClientTran reply = link.Get().Request(kTranGetNewsArtData, req);
    TFieldDataObj f = reply.Fields();
    const std::string title = WireToLocal(UFieldData::GetString(f, kFieldNewsArtTitle));
    const std::string poster = WireToLocal(UFieldData::GetString(f, kFieldNewsArtPoster));
    const std::string text = WireToLocal(UFieldData::GetString(f, kFieldNewsArtData));
    const std::int32_t parent = UFieldData::GetInteger(f, kFieldNewsArtParentArt);
    if (opt.json) {
        out << "{\"title\":" << JsonString(title) << ",\"poster\":" << JsonString(poster) << ",\"parent\":" << parent
            << ",\"text\":" << JsonString(text) << "}\n";
        return;
    }
    out << "Title: " << title << "\nPoster: " << poster << "\n";
    if (parent) out << "Reply to: " << parent << "\n";
    out << "\n" << text;
    if (text.empty() || text.back() != '\n') out << "\n";
}

void NewsPost(CClientLink& link, const SClientOptions& opt, int stdinFd) {
    std::vector<std::string> args(opt.args.begin() + 1, opt.args.end());
    std::int32_t parent = 0;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] != "--reply-to") continue;
        if (i + 1 >= args.size()) Bad("--reply-to needs an article ID");
        parent = ArticleID(args[i + 1]);
        args.erase(args.begin() + static_cast<std::ptrdiff_t>(i), args.begin() + static_cast<std::ptrdiff_t>(i) + 2);
        break;
    }
    if (args.size() != 3) Bad("Usage: kestrix HOST news post PATH TITLE TEXT|- [--reply-to ID]");
    std::string text = args[2] == "-" ? ReadClientInput(stdinFd) : args[2];
    while (!text.empty() && text.back() == '\n') text.pop_back();
    if (text.empty()) Bad("Nothing to post");
    const std::string title = LocalToWire(args[1]);
    if (title.size() > 31) Bad("The title is longer than 31 bytes");
    StFieldData req;
    AddPath(req, NewsPath(args[0]));
    if (parent) UFieldData::AddInteger(req, kFieldNewsArtID, parent);
    UFieldData::AddString(req, kFieldNewsArtTitle, title);
    UFieldData::AddField(req, kFieldNewsArtDataFlav, kTextFlavor, sizeof kTextFlavor);
    UFieldData::AddString(req, kFieldNewsArtData, LocalToWire(text));
    link.Get().Request(kTranPostNewsArt, req);
}

void NewsRemove(CClientLink& link, const SClientOptions& opt) {
    if (opt.args.size() != 3) Bad("Usage: kestrix HOST news rm PATH ID");
    StFieldData req;
    AddPath(req, NewsPath(opt.args[1]));
    UFieldData::AddInteger(req, kFieldNewsArtID, ArticleID(opt.args[2]));
    UFieldData::AddInteger(req, kFieldNewsArtRecurseDel, 1);
    link.Get().Request(kTranDelNewsArt, req);
}

}  // namespace

void NewsList(CClientLink& link, const SClientOptions& opt, std::ostream& out);  // client_news_list.cpp

void RunNewsCommand(CClientLink& link, const SClientOptions& opt, int stdinFd, std::ostream& out) {
    const std::string sub = opt.args.empty() ? std::string() : opt.args[0];
    if (sub == "ls") NewsList(link, opt, out);
    else if (sub == "read") NewsRead(link, opt, out);
    else if (sub == "post") NewsPost(link, opt, stdinFd);
    else if (sub == "rm") NewsRemove(link, opt);
    else Bad("Usage: kestrix HOST news ls|read|post|rm ...");
}

}  // namespace kx
