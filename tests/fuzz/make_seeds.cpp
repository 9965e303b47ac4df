// Writes the seed corpora under tests/fuzz/corpus/<target>/ from the system's own writers: field
// lists and transactions as the server and clients build them, tunnel requests and blocks, path
// data, a flattened file produced from a real file, resume records, news category files made by
// the news database, "pref", "Banned" and "UserData" images, and the streams of folder transfers. Run by hand when a format changes
// (`build-fuzz/fuzz_make_seeds tests/fuzz/corpus`); the output is committed.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "admin/ban_file.h"
#include "fs/file_path.h"
#include "fs/flat_file.h"
#include "fs/fs_ref.h"
#include "net/http_block.h"
#include "news/news_database.h"
#include "protocol/field_data.h"
#include "protocol/user_data.h"
#include "server/pref_file.h"
#include "support/test_client.h"
#include "support/websocket_test_client.h"

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

namespace {

fs::path gRoot;

void Write(const std::string& target, const std::string& name, const Bytes& bytes) {
    fs::create_directories(gRoot / target);
    std::ofstream out(gRoot / target / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes ListOf(kx::TFieldDataObj obj) { return kx::UFieldData::GetListBytes(obj); }

Bytes LoginFields() {
    kx::StFieldData f;
    kx::UFieldData::AddString(f, 105, kx::UUserData::EncodeText("guest"));
    kx::UFieldData::AddString(f, 106, kx::UUserData::EncodeText("secret"));
    kx::UFieldData::AddInteger(f, 160, 151);
    kx::UFieldData::AddString(f, 102, "Visitor");
    kx::UFieldData::AddInteger(f, 104, 128);
    return ListOf(f);
}

Bytes FileListFields() {
    kx::StFieldData f;
    const Bytes path = kx::UFilePath::Build({"Uploads", "New"});
    kx::UFieldData::AddField(f, 202, path.data(), static_cast<std::uint32_t>(path.size()));
    kx::UFieldData::AddString(f, 201, "report.txt");
    return ListOf(f);
}

void FieldDataSeeds() {
    Write("field_data", "login", Cat({{0}, LoginFields()}));
    Write("field_data", "file_path", Cat({{0}, FileListFields()}));
    kx::StFieldData outer, inner;
    kx::UFieldData::AddInteger(inner, 1, 0x7FFFFFFF);
    kx::UFieldData::AddInteger(inner, 2, -1);
    kx::UFieldData::AddString(outer, 101, "chat text");
    kx::UFieldData::AddFieldList(outer, 300, inner);
    kx::UFieldData::AddInteger(outer, 101, 3);
    Write("field_data", "nested_duplicate", Cat({{0}, ListOf(outer)}));
    Write("field_data", "header2", Cat({{2, 0xAB, 0xCD}, LoginFields()}));
    Bytes cut = LoginFields();
    cut.resize(cut.size() - 3);
    Write("field_data", "truncated", Cat({{0}, cut}));
    Write("field_data", "empty", {0, 0, 0});
}

void TransactSeeds() {
    using namespace kx::test;
    const Bytes est = EstablishRequest();
    Write("transact", "login_whole", Cat({{0}, est, EncodeRequest(107, 1, LoginFields())}));
    Write("transact", "login_bytewise", Cat({{1}, est, EncodeRequest(107, 1, LoginFields())}));
    Write("transact", "chunked_pair",
          Cat({{7}, est, EncodeRequest(200, 2, FileListFields(), {5, 9}), EncodeRequest(105, 3, Bytes{0, 0})}));
    STestHeader reply;
    reply.isReply = 1;
    reply.type = 0;
    reply.id = 9;
    Write("transact", "reply_then_request",
          Cat({{0}, est, EncodeChunk(reply, Bytes{0, 0}), EncodeRequest(300, 4, Bytes{0, 0})}));
    Write("transact", "bad_version", Cat({{0}, EstablishRequest("KSTX", 2, 2)}));
    Write("transact", "bad_protocol", Cat({{0}, EstablishRequest("KSTX", 2, 1, "HTTP")}));
}

const std::string kId = "0123456789abcdef0123456789abcdef0123";

void HttpSeeds() {
    const std::string get = "GET http://127.0.0.1:5502/" + kId +
                            " HTTP/1.0\r\nProxy-Connection: Keep-Alive\r\nPragma: no-cache\r\n"
                            "Host: 127.0.0.1:5502\r\nAccept: kestrix/protocol\r\n\r\n";
    const std::string post = "POST http://127.0.0.1:5502/" + kId +
                             " HTTP/1.0\r\nProxy-Connection: Keep-Alive\r\nPragma: no-cache\r\n"
                             "Host: 127.0.0.1:5502\r\nContent-Length: 999999999\r\n"
                             "Content-Type: kestrix/protocol\r\n\r\n";
    Bytes opening;
    kx::UHttpBlock::AppendPadding(opening, 64);
    Write("http_request", "get", Cat({{0}, Text(get)}));
    Write("http_request", "post_with_body", Cat({{0}, Text(post), opening}));
    Write("http_request", "post_in_pieces", Cat({{5}, Text(post)}));
    Write("http_request", "other_version", Cat({{0}, Text("GET /" + kId + " HTTP/1.1\r\n\r\n")}));

    const Bytes hello = Text("TRTPKSTX\x00\x01\x00\x02");
    const Bytes data = kx::UHttpBlock::DataPackage(hello.data(), static_cast<std::uint32_t>(hello.size()));
    Bytes small;
    kx::UHttpBlock::AppendHeader(small, kx::kHttpBlockData, 3);
    small.insert(small.end(), {'a', 'b', 'c'});
    kx::UHttpBlock::AppendPadding(small, 12);
    kx::UHttpBlock::AppendHeader(small, kx::kHttpBlockData, 2);
    small.insert(small.end(), {'d', 'e'});
    Bytes close;
    kx::UHttpBlock::AppendHeader(close, kx::kHttpBlockDisconnect, 0);
    Write("http_block", "opening_then_data", Cat({{0, 0}, opening, small}));
    Write("http_block", "pending_prefix", Cat({{20, 3}, small, close, small}));
    Write("http_block", "package", Cat({{0, 200}, Bytes(data.begin(), data.begin() + std::min<std::size_t>(data.size(), 600))}));
}

void WebSeeds() {
    using kx::test::CWebSocketTestClient;
    const Bytes start = CWebSocketTestClient::Frame(0x2, kx::test::EstablishRequest(), false);
    const Bytes rest = CWebSocketTestClient::Frame(0x0, kx::test::EncodeRequest(107, 1, LoginFields()));
    const Bytes ping = CWebSocketTestClient::Frame(0x9, Text("beat"));
    const Bytes close = CWebSocketTestClient::Frame(0x8, {0x03, 0xE8});
    Write("websocket", "fragmented_login", Cat({{0}, start, ping, rest, close}));
    Write("websocket", "bytewise", Cat({{1}, start, ping, rest}));
    Write("websocket", "long_frame", Cat({{0}, CWebSocketTestClient::Frame(0x2, Bytes(3000, 'u'))}));
    Write("websocket", "unmasked", Cat({{0}, CWebSocketTestClient::Frame(0x2, Text("plain"), true, false)}));
    const std::string upgrade = "GET /kestrix HTTP/1.1\r\nHost: example.org:5507\r\nUpgrade: websocket\r\n"
                                "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                "Sec-WebSocket-Version: 13\r\nOrigin: http://example.org:5507\r\n"
                                "X-Forwarded-For: 203.0.113.5, 127.0.0.1\r\n\r\n";
    Write("web_request", "upgrade", Cat({{0}, Text(upgrade)}));
    Write("web_request", "upgrade_in_pieces", Cat({{7}, Text(upgrade)}));
    Write("web_request", "page", Cat({{0}, Text("GET /app.js?v=1 HTTP/1.1\r\nHost: x\r\nIf-None-Match: \"ab\"\r\n\r\n")}));
    Write("web_request", "escapes", Cat({{0}, Text("HEAD /a%20b/%2e%2e/c HTTP/1.0\n\n")}));
}

void FilePathSeeds() {
    Write("file_path", "two", kx::UFilePath::Build({"Uploads", "report.txt"}));
    Write("file_path", "dots", kx::UFilePath::Build({"..", ".", "a:b", "tail. "}));
    Write("file_path", "one", kx::UFilePath::Build({"Mac \xA5 Roman"}));
    Bytes over = kx::UFilePath::Build({"a", "b"});
    over[1] = 9;  // more components announced than present
    Write("file_path", "overcounted", over);
}

using kx::test::Be16;
using kx::test::Be32;

// An item header as an uploading client sends it: size, type (1 folder), path data.
Bytes ItemHeader(bool isFolder, const std::vector<std::string>& names) {
    const Bytes path = kx::UFilePath::Build(names);
    return Cat({Be16(2 + path.size()), Be16(isFolder ? 1 : 0), path});
}

// Folder transfers: what the client sends after the transfer header. Byte 0: bit 7 download,
// bits 0-6 arrival size; byte 1: upload item count less one, bit 4 drop boxes visible.
void FolderSeeds(const Bytes& flat) {
    const Bytes file = Cat({Be32(flat.size()), flat});
    Write("folder_item", "upload_files_and_folder",
          Cat({{0, 2}, ItemHeader(false, {"notes.txt"}), file, ItemHeader(true, {"New"}),
               ItemHeader(false, {"New", "b.txt"}), file}));
    // have.txt exists (skipped); part.bin has a partial file (resumed with the rest).
    Write("folder_item", "upload_existing_and_partial",
          Cat({{0, 1}, ItemHeader(false, {"have.txt"}), ItemHeader(false, {"part.bin"}),
               Be32(flat.size() - 20), Bytes(flat.begin() + 20, flat.end())}));
    Write("folder_item", "upload_escapes",
          Cat({{5, 3}, ItemHeader(false, {"Out", "x.txt"}), ItemHeader(false, {"..", "x.txt"}),
               ItemHeader(false, {"x.lnk"}), ItemHeader(true, {"Sub", "..", ".."})}));
    Bytes all = Be16(3);
    for (int i = 0; i < 12; ++i) all = Cat({all, Be16(1), Be16(3)});
    Write("folder_item", "download_every_file", Cat({{0x80, 0}, all}));
    const Bytes record = kx::UFlatFile::MakeResumeData(100);
    Bytes resume = Be16(3);
    for (int i = 0; i < 8; ++i) resume = Cat({resume, Be16(2), Be16(record.size()), record, Be16(3)});
    Write("folder_item", "download_resumed", Cat({{0x87, 0x10}, resume}));
    Bytes skip;
    for (int i = 0; i < 16; ++i) skip = Cat({skip, Be16(3)});
    Write("folder_item", "download_skipping", Cat({{0x81, 0x10}, skip}));
}

void FlatFileSeeds(const fs::path& work) {
    fs::create_directories(work / "Files");
    {
        std::ofstream out(work / "Files" / "notes.txt", std::ios::binary);
        out << "Meeting at noon.\nBring the slides.\n";
    }
    kx::TFSRef root = kx::UFileSys::NewFromPath((work / "Files").string());
    kx::TFSRef ref = kx::UFileSys::New(*root, "", "notes.txt", 0);
    kx::UFileSys::StartFlatten(*ref);
    Bytes stream;
    std::uint8_t buf[4096];
    while (std::size_t n = kx::UFileSys::ProcessFlatten(*ref, buf, sizeof buf)) stream.insert(stream.end(), buf, buf + n);
    kx::UFileSys::StopFlatten(*ref);
    Write("flat_file", "notes_whole", Cat({{0}, stream}));
    Write("flat_file", "notes_in_pieces", Cat({{13}, stream}));
    Write("flat_file", "resume_record", Cat({{0}, kx::UFlatFile::MakeResumeData(17)}));
    FolderSeeds(stream);
}

void NewsSeeds(const fs::path& work) {
    const std::string empty = (work / "Empty.knz").string();
    kx::UMyNewsDatabase::CreateNewGroup(empty, "General", "Talk about anything");
    Write("news_database", "empty_group", ReadFile(empty));
    const std::string file = (work / "General.knz").string();
    kx::UMyNewsDatabase::CreateNewGroup(file, "General", "Talk about anything");
    const kx::SDateTimeStamp when{2024, 0, 3600};
    const std::uint32_t a = kx::UMyNewsDatabase::AddArticle(file, 0, "Welcome", "admin", 0, when);
    kx::UMyNewsDatabase::AddData(file, a, "text/plain", "Hello all", 9);
    const std::uint32_t b = kx::UMyNewsDatabase::AddArticle(file, a, "Re: Welcome", "guest", 0, when);
    kx::UMyNewsDatabase::AddData(file, b, "text/plain", "Thanks", 6);
    kx::UMyNewsDatabase::AddArticle(file, 0, "Second", "admin", 0, when);
    (void)kx::UMyNewsDatabase::GetArticleListing(file);  // caches the listing in the file
    Write("news_database", "three_articles", ReadFile(file));
}

void SettingsSeeds() {
    kx::SMyPrefs prefs = kx::SMyPrefs::Defaults();
    Write("prefs", "defaults", kx::UMyPrefs::Build(prefs));
    kx::UMyPrefs::ApplyFixUps(prefs);
    Write("prefs", "fixed_up", kx::UMyPrefs::Build(prefs));

    kx::BanList bans(2);
    bans[0].IPrangeFromString("10.0.0.0/8");
    bans[0].psDateTime.Set("01/02/2024 10:11:12");
    bans[0].description.Set("spam");
    bans[1].nActive = 0;
    bans[1].IPrangeFromString("192.168.1.5");
    Write("ban_file", "two_records", kx::UBanFile::Build(bans));
    Write("ban_file", "count_zero", {0, 2, 0, 0});

    for (const char* t : {"10.0.0.1", "10.0.0.0-10.0.0.255", "192.168.1.0/8", "1.2.3.4+10", "255.255.255.250+5",
                          "001.002.003.004"}) {
        std::string name = t;
        for (char& c : name)
            if (c == '/' || c == '+' || c == '-' || c == '.') c = '_';
        Write("ip_range", name, Text(t));
    }

    kx::SMyUserDataFile rec;
    rec.access = kx::SMyUserAccess{};
    rec.SetName("Guest Account");
    rec.SetLogin("guest");
    rec.SetPassword(kx::UUserData::EncodeText("secret"));
    const auto bytes = kx::UUserData::Encode(rec);
    Write("user_data", "guest", Bytes(bytes.begin(), bytes.end()));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
        return 2;
    }
    gRoot = argv[1];
    char pattern[] = "/tmp/kx_seeds_XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const fs::path work = pattern;
    try {
        FieldDataSeeds();
        TransactSeeds();
        HttpSeeds();
        WebSeeds();
        FilePathSeeds();
        FlatFileSeeds(work);
        NewsSeeds(work);
        SettingsSeeds();
    } catch (const kx::SError& e) {
        std::fprintf(stderr, "seed generation failed: error %d/%d\n", e.type, e.id);
        fs::remove_all(work);
        return 1;
    }
    fs::remove_all(work);
    return 0;
}
