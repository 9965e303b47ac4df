// `news ls [PATH]` of the command-line client: the bundles and categories inside a bundle, or
// the articles of a category as threads (replies indented under their parent) with poster and
// date. Both lists arrive as packed binary entries, decoded here with every length checked.
#include <cstdio>
#include <map>
#include <optional>
#include <ostream>

#include "client/client_session.h"
#include "framework/byte_codec.h"
#include "fs/file_path.h"
#include "fs/mac_roman.h"
#include "protocol/news_wire.h"
#include "protocol/transaction_types.h"

namespace kx {

namespace {

[[noreturn]] void Bad(const std::string& why) { throw SClientFailure(kExitBadArgument, why); }
[[noreturn]] void Damaged() { throw SClientFailure(kExitServerError, "The server sent a damaged news list."); }

// Reading of a received entry through the bounds-checked reader; any read past the end means a
// damaged list.
class CReader {
public:
    explicit CReader(const std::vector<std::uint8_t>& bytes) : mReader(bytes) {}
    std::uint8_t U8() {
        std::uint8_t v = 0;
        if (!mReader.U8(v)) Damaged();
        return v;
    }
    std::uint16_t U16() {
        std::uint16_t v = 0;
        if (!mReader.U16(v)) Damaged();
        return v;
    }
    std::uint32_t U32() {
        std::uint32_t v = 0;
        if (!mReader.U32(v)) Damaged();
        return v;
    }
    void Skip(std::size_t n) {
        if (!mReader.Skip(n)) Damaged();
    }
    // A length byte and that many bytes, as UTF-8.
    std::string Text() {
        std::span<const std::uint8_t> raw;
        if (!mReader.LenText(raw)) Damaged();
        return WireToLocal(std::string_view(reinterpret_cast<const char*>(raw.data()), raw.size()));
    }

private:
    CByteReader mReader;
};

struct SNewsItem {
    std::string name;
    std::string kind;         // "bundle", "category" or "other"
    std::uint32_t count = 0;  // items of a bundle, articles of a category
};

struct SArticleEntry {
    std::uint32_t id = 0, parent = 0, flags = 0;
    std::string date, title, poster;
    std::vector<std::pair<std::string, std::uint32_t>> flavors;  // type, low 16 bits of the size
    int depth = 0;
};

std::string Kind(std::uint16_t type) {
    if (type == UNewsWire::kCatItemBundle) return "bundle";
    if (type == UNewsWire::kCatItemCategory) return "category";
    return "other";
}

// The path data of a news path; empty for the news root.
std::vector<std::uint8_t> ListPath(const std::string& path) {
    const std::vector<std::string> names = ClientPathNames(path);
    return names.empty() ? std::vector<std::uint8_t>() : UFilePath::Build(names);
}

std::vector<SNewsItem> DecodeItems(TFieldDataObj f) {
    std::vector<SNewsItem> items;
    const std::uint16_t count = UFieldData::GetFieldCount(f);
    for (std::uint32_t i = 1; i <= count; ++i) {
        const auto index = static_cast<std::uint16_t>(i);
        const std::uint16_t id = UFieldData::GetFieldID(f, index);
        if (id != kFieldNewsCatListItem && id != kFieldNewsCatListEntry) continue;
        const std::vector<std::uint8_t> bytes = UFieldData::GetBytesByIndex(f, index);
        CReader r(bytes);
        SNewsItem item;
        if (id == kFieldNewsCatListEntry) {
            // The short form: a kind byte, then the name filling the rest.
            const std::uint32_t kind = r.U8();
            item.kind = kind == UNewsWire::kCatEntryBundle     ? "bundle"
                        : kind == UNewsWire::kCatEntryCategory ? "category"
                                                                   : "other";
            item.name = WireToLocal(std::string_view(reinterpret_cast<const char*>(bytes.data()) + 1, bytes.size() - 1));
        } else {
            const auto type = r.U16();
            item.kind = Kind(type);
            item.count = r.U16();
            if (type == UNewsWire::kCatItemCategory) r.Skip(16 + 4 + 4);  // GUID and serials
            item.name = r.Text();
        }
        items.push_back(std::move(item));
    }
    return items;
}

// "YYYY-MM-DD HH:MM:SS" of a stamp (year, milliseconds, seconds into that year).
std::string DateText(std::uint32_t year, std::uint32_t seconds) {
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    const int monthDays[12] = {31, leap ? 29 : 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    std::uint32_t day = seconds / 86400;
    const std::uint32_t time = seconds % 86400;
    int month = 0;
    while (month < 11 && day >= static_cast<std::uint32_t>(monthDays[month])) day -= static_cast<std::uint32_t>(monthDays[month++]);
    char text[40];
    std::snprintf(text, sizeof text, "%04u-%02d-%02u %02u:%02u:%02u", year, month + 1, day + 1, time / 3600,
                  time / 60 % 60, time % 60);
    return text;
}

std::vector<SArticleEntry> DecodeArticles(const std::vector<std::uint8_t>& listing) {
    std::vector<SArticleEntry> articles;
    if (listing.empty()) return articles;
    CReader r(listing);
    r.Skip(4);
    const std::uint32_t count = r.U32();
    r.Skip(2);
    std::map<std::uint32_t, int> depthOf;
    // Every entry takes at least 24 bytes, so the count cannot make this loop run away.
    for (std::uint32_t n = 0; n < count; ++n) {
        SArticleEntry a;
        a.id = r.U32();
        const std::uint32_t year = r.U16();
        r.U16();  // milliseconds
        const std::uint32_t seconds = r.U32();
        a.date = DateText(year, seconds);
        a.parent = r.U32();
        a.flags = r.U32();
        const std::uint32_t flavors = r.U16();
        a.title = r.Text();
        a.poster = r.Text();
        for (std::uint32_t k = 0; k < flavors; ++k) {
            std::string type = r.Text();
            a.flavors.emplace_back(std::move(type), r.U16());
        }
        const auto parent = depthOf.find(a.parent);
        a.depth = a.parent != 0 && parent != depthOf.end() ? parent->second + 1 : 0;
        depthOf[a.id] = a.depth;
        articles.push_back(std::move(a));
    }
    return articles;
}

void PrintItems(std::ostream& out, bool json, const std::vector<SNewsItem>& items) {
    if (json) out << "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
        const SNewsItem& it = items[i];
        if (json) {
            out << (i ? "," : "") << "{\"name\":" << JsonString(it.name) << ",\"kind\":" << JsonString(it.kind);
            if (it.kind == "bundle") out << ",\"items\":" << it.count;
            if (it.kind == "category") out << ",\"articles\":" << it.count;
            out << "}";
        } else if (it.kind == "bundle") {
            out << it.name << "/\t" << it.count << (it.count == 1 ? " item\n" : " items\n");
        } else if (it.kind == "category") {
            out << it.name << "\t" << it.count << (it.count == 1 ? " article\n" : " articles\n");
        } else {
            out << it.name << "\n";
        }
    }
    if (json) out << "]\n";
}

void PrintArticles(std::ostream& out, bool json, const std::vector<SArticleEntry>& articles) {
    if (json) out << "[";
    for (std::size_t i = 0; i < articles.size(); ++i) {
        const SArticleEntry& a = articles[i];
        if (!json) {
            out << a.id << "\t" << a.date << "\t" << a.poster << "\t" << std::string(2 * std::size_t(a.depth), ' ')
                << a.title << "\n";
            continue;
        }
        out << (i ? "," : "") << "{\"id\":" << a.id << ",\"parent\":" << a.parent << ",\"date\":" << JsonString(a.date)
            << ",\"poster\":" << JsonString(a.poster) << ",\"title\":" << JsonString(a.title) << ",\"flags\":" << a.flags
            << ",\"flavors\":[";
        for (std::size_t k = 0; k < a.flavors.size(); ++k)
            out << (k ? "," : "") << "{\"type\":" << JsonString(a.flavors[k].first)
                << ",\"size\":" << a.flavors[k].second << "}";
        out << "]}";
    }
    if (json) out << "]\n";
}

SClientTran ListRequest(CClientConnection& conn, std::uint16_t type, const std::vector<std::uint8_t>& path) {
    StFieldData req;
    if (!path.empty()) UFieldData::AddField(req, kFieldNewsPath, path.data(), static_cast<std::uint32_t>(path.size()));
    return conn.RequestRaw(type, req);
}

}  // namespace

void NewsList(CClientLink& link, const SClientOptions& opt, std::ostream& out) {
    if (opt.args.size() > 2) Bad("Usage: kestrix HOST news ls [PATH]");
    const std::string path = opt.args.size() == 2 ? opt.args[1] : std::string();
    const std::vector<std::uint8_t> pathData = ListPath(path);
    std::string last = path;
    while (!last.empty() && last.back() == '/') last.pop_back();
    last = last.substr(last.rfind('/') == std::string::npos ? 0 : last.rfind('/') + 1);
    const bool looksLikeCategory = UNewsWire::IsNewsCatName(last);

    CClientConnection& conn = link.Get();
    // A category is named so on this server; anything else is asked for as a bundle first, and
    // as a category when no bundle has that name (an alias to a category, say).
    std::optional<SClientTran> bundle;
    if (!looksLikeCategory) {
        bundle = ListRequest(conn, kTranGetNewsCatNameList, pathData);
        if (bundle->hdr.error == 0) {
            PrintItems(out, opt.json, DecodeItems(bundle->Fields()));
            return;
        }
        if (pathData.empty()) throw SClientFailure(kExitServerError, ErrorTextOf(*bundle));
    }
    SClientTran category = ListRequest(conn, kTranGetNewsArtNameList, pathData);
    if (category.hdr.error != 0) throw SClientFailure(kExitServerError, ErrorTextOf(bundle ? *bundle : category));
    PrintArticles(out, opt.json, DecodeArticles(UFieldData::GetBytes(category.Fields(), kFieldNewsArtListData)));
}

}  // namespace kx
