// Every file and news request of a fully privileged client, against the real server binary,
// with a corpus of hostile names and path data: climbing components, absolute and separator
// names, empty and overlong components, control bytes, Mac OS Roman high bytes, broken UTF-8,
// alias names and links the client made itself; folder downloads and uploads included.
// Everything outside the client's roots (a sibling folder of known files and the
// rest of the program folder) must be byte-for-byte, date-for-date the same afterwards, no reply
// or transfer may carry anything from outside, links the client made must stay inside, and the
// server must still answer.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <map>

#include "framework/byte_codec.h"
#include "fs/file_path.h"
#include "server/wire_session.h"

namespace kx::test {
namespace {

namespace fs = std::filesystem;

const std::string kMarker = "OUTSIDE-MARKER-7c1e";
constexpr std::uint16_t kSendFile = 1, kResumeFile = 2, kNextItem = 3;  // folder-transfer actions

// What the test remembers of one entry: kind, size, modification time, bytes or link target.
struct SEntry {
    char kind = '?';
    std::uintmax_t size = 0;
    std::int64_t mtimeNs = 0;
    std::string content;
    bool operator==(const SEntry&) const = default;
};
using Snapshot = std::map<std::string, SEntry>;

void TakeSnapshot(const std::string& root, const std::string& rel, const std::vector<std::string>& skip, Snapshot& out) {
    const std::string full = rel.empty() ? root : root + "/" + rel;
    struct stat st {};
    if (lstat(full.c_str(), &st) != 0) return;
    SEntry e;
    e.mtimeNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    e.size = static_cast<std::uintmax_t>(st.st_size);
    if (S_ISLNK(st.st_mode)) {
        e.kind = 'l';
        e.content = fs::read_symlink(full).string();
    } else if (S_ISREG(st.st_mode)) {
        e.kind = 'f';
        e.content = ReadFileText(full);
    } else if (S_ISDIR(st.st_mode)) {
        e.kind = 'd';
        e.size = 0;
    }
    out[rel] = e;
    if (!S_ISDIR(st.st_mode)) return;
    for (const auto& child : fs::directory_iterator(full)) {
        const std::string name = child.path().filename().string();
        const std::string childRel = rel.empty() ? name : rel + "/" + name;
        if (std::find(skip.begin(), skip.end(), childRel) != skip.end()) continue;
        TakeSnapshot(root, childRel, skip, out);
    }
}

// Item names as clients send them (Mac OS Roman bytes).
std::vector<std::string> NameCorpus() {
    std::vector<std::string> names = {
        "..", ".", "...", "a..b", "../Outside", "../../Outside", "../../Outside/secret.txt", "..\\..\\Outside",
        "/etc", "/", "\\", "//", "/tmp/x", "Outside", "secret.txt", "Server", "pref", "Users", "Trash",
        "", std::string(255, 'x'), std::string(300, 'y'), std::string("a\x01" "b", 3), "\x1f", "\x7f", "a\rb",
        "a\nb", std::string("nul\0byte", 8), "caf\x8E", "\xFF\xFE", "\xDB\xF0", "\xC3\x28", "\xED\xA0\x80",
        "\xF8\x88\x80\x80\x80", "\xC0\xAF", "\xC0\xAE\xC0\xAE", "\xE2\x80\xAE" "txt.exe", "evil.lnk", "..lnk",
        ".lnk", "Folder.lnk", "inside.txt", "Folder", "%2e%2e", " .. ", "..."};
    return names;
}

// Path data: well-formed lists of hostile components and malformed raw data.
std::vector<Bytes> PathCorpus() {
    std::vector<Bytes> paths = {
        UFilePath::Build({".."}), UFilePath::Build({"..", ".."}), UFilePath::Build({"..", "..", "Outside"}),
        UFilePath::Build({"Folder", "..", ".."}), UFilePath::Build({"/"}), UFilePath::Build({"/", "etc"}),
        UFilePath::Build({"/tmp"}), UFilePath::Build({"\\..\\.."}), UFilePath::Build({"."}),
        UFilePath::Build({".", ".."}), UFilePath::Build({"..."}), UFilePath::Build({"a..b"}),
        UFilePath::Build({std::string(255, 'z')}), UFilePath::Build({"Folder", std::string("\x01\x7f", 2)}),
        UFilePath::Build({"caf\x8E", "\xC0\xAE\xC0\xAE"}), UFilePath::Build({"Folder.lnk", ".."}),
        UFilePath::Build({"evil.lnk"}), UFilePath::Build({"Folder"}), UFilePath::Build({"Bundle"}),
        // Through the links the client made (see the test): to a folder, and to a file.
        UFilePath::Build({"Sub", "Folder", ".."}), UFilePath::Build({"Sub", "Folder", "..", ".."}),
        UFilePath::Build({"Sub", "Folder", "..", "..", "..", "Outside"}), UFilePath::Build({"Sub", "Folder.lnk"}),
        UFilePath::Build({"Sub", "inside.txt", ".."}), UFilePath::Build({"Sub", "inside.txt"}),
        UFilePath::Build({"Cat.knz"}), UFilePath::Build({"Bundle", "..", "..", "Outside"}),
        Bytes{0, 2, 0, 0, 0, 0, 0, 2, '.', '.'},             // an empty component, then ".."
        Bytes{0, 5, 0, 0, 2, '.', '.'},                       // announces more than it holds
        Bytes{0xFF, 0xFF, 0, 0, 2, '.', '.'}, Bytes{0, 1, 0, 0, 200, 'a'}, Bytes{0, 1}, Bytes{1},
        Bytes{0, 1, 0xFF, 0xFF, 2, '.', '.'}};
    std::vector<std::string> many(600, "..");  // more than the path limit holds
    paths.push_back(UFilePath::Build(many));
    return paths;
}

class HostilePaths : public ::testing::Test {
protected:
    void SetUp() override {
        mProgram = mDir / "Server";
        mOutside = mDir / "Outside";
        mPort = WriteOpenPrefs(mProgram);
        WriteAccount(mProgram, "hostile", "pw", kFullAccessPrivs);
        UFileUtil::EnsureDirectory(mOutside);
        UFileUtil::EnsureDirectory(mOutside + "/sub");
        WriteFileText(mOutside + "/secret.txt", kMarker + " secret");
        WriteFileText(mOutside + "/sub/inner.txt", kMarker + " inner");
        WriteFileText(mOutside + "/Cat.knz", kMarker + " not a category");
        WriteFileText(mProgram + "/Outside-note.txt", kMarker + " in the program folder");
        UFileUtil::EnsureDirectory(mProgram + "/Files");
        UFileUtil::EnsureDirectory(mProgram + "/Files/Folder");
        UFileUtil::EnsureDirectory(mProgram + "/Files/Sub");
        WriteFileText(mProgram + "/Files/inside.txt", "inside");
        WriteFileText(mProgram + "/Files/Folder/f.txt", "f");
        UFileUtil::EnsureDirectory(mProgram + "/News");
        mServer = std::make_unique<ServerProcess>(mProgram, false, mPort);
        ASSERT_TRUE(mServer->Start()) << mServer->StdOut() << mServer->StdErr();
        mClient = LogInOverWire(mPort, "hostile", "pw", "hostile");
        ASSERT_TRUE(mClient);
    }

    Snapshot Outside() {
        Snapshot s;
        // The client's roots, the trash (where deletions go), and the server's own output.
        TakeSnapshot(mDir.Path(), "", {"Server/Files", "Server/News", "Server/Trash", "Server/server.out",
                                       "Server/server.err", "Server/Logs"},
                     s);
        return s;
    }

    // Sends a request and returns its reply (a failure when none comes). Everything received is
    // checked for bytes from outside.
    std::optional<STestTransaction> Ask(std::uint16_t type, const Bytes& fields) {
        // The request-rate rule allows 120 requests a minute per connection: spread the corpus
        // over fresh logins, each from its own address (the connection-flood rule), rather than wait.
        if (++mOnThisLogin > 100) {
            mClient = LogInOverWire(mPort, "hostile", "pw", "hostile", NextLoopbackSource());
            if (!mClient) throw std::runtime_error("login refused:\n" + mServer->StdOut());
            mOnThisLogin = 1;
        }
        const std::uint32_t id = mClient->SendRequest(type, fields);
        auto reply = mClient->ReadReplyTo(id);
        ++mRequests;
        if (!reply) {
            ADD_FAILURE() << "no reply to request " << type << " #" << mRequests << " (" << mClient->LastError() << ")\n"
                          << mServer->StdOut() << "running " << mServer->IsRunning() << "\n" << mServer->StdErr();
            throw std::runtime_error("connection lost");
            return std::nullopt;
        }
        CheckClean(reply->data, type);
        if (reply->hdr.error == 0) ++mAccepted;
        return reply;
    }

    void CheckClean(const Bytes& data, std::uint16_t type) {
        const std::string s(data.begin(), data.end());
        EXPECT_EQ(s.find(kMarker), std::string::npos) << "request " << type << " returned outside bytes";
        EXPECT_EQ(s.find("inner.txt"), std::string::npos) << "request " << type << " listed an outside name";
    }

    std::unique_ptr<CTestClient> OpenTransfer(const Bytes& refNum, std::uint32_t size, std::uint8_t type = 0) {
        auto t = std::make_unique<CTestClient>();
        EXPECT_TRUE(t->Connect(static_cast<std::uint16_t>(mPort + 1)));
        Bytes header;
        header.reserve(16);
        for (char c : std::string("KXXF")) header.push_back(static_cast<std::uint8_t>(c));
        for (std::uint8_t b : refNum) header.push_back(b);
        for (int shift : {24, 16, 8, 0}) header.push_back(static_cast<std::uint8_t>(size >> shift));
        header.insert(header.end(), {0, type, 0, 0});  // type, then two reserved bytes
        EXPECT_TRUE(t->SendRaw(header));
        return t;
    }

    // Path data of one component as a client may send it: any bytes, cut to 255.
    static Bytes OneComponent(const std::string& name) {
        Bytes out = {0, 1, 0, 0, static_cast<std::uint8_t>(std::min<std::size_t>(name.size(), 255))};
        out.insert(out.end(), name.begin(), name.begin() + out[4]);
        return out;
    }

    // A folder download taken item by item, every file asked for whole; all of it checked.
    void TakeFolder(const STestTransaction& reply) {
        const auto items = std::max<std::int64_t>(0, ReplyOf(reply).Int(kFieldFolderItemCount));
        auto t = OpenTransfer(ReplyOf(reply).Data(kFieldRefNum), 0, 1);
        for (std::int64_t i = 0; i < items && i < 64; ++i) {
            if (!t->SendRaw(Be16(kNextItem))) break;
            auto size = t->ReadExact(2);
            auto header = size ? t->ReadExact(GetBE16(size->data())) : std::nullopt;
            if (!header || header->size() < 2) break;
            CheckClean(*header, kTranDownloadFldr);
            if ((*header)[1] == 1) continue;  // a folder
            if (!t->SendRaw(Be16(kSendFile))) break;
            auto length = t->ReadExact(4);
            if (!length) break;
            const std::size_t n = GetBE32(length->data());
            auto flat = t->ReadExact(std::min<std::size_t>(n, 1 << 20));
            if (flat) CheckClean(*flat, kTranDownloadFldr);
        }
    }

    // A folder upload whose one item is named by hostile path data.
    void SendFolderItem(const STestTransaction& reply, const Bytes& itemPath, std::uint32_t size) {
        auto t = OpenTransfer(ReplyOf(reply).Data(kFieldRefNum), size, 1);
        auto ask = t->ReadExact(2, 2000);
        if (!ask) return;
        Bytes header = Be16(2 + itemPath.size());
        header.insert(header.end(), {0, 0});
        header.insert(header.end(), itemPath.begin(), itemPath.end());
        t->SendRaw(header);
        auto action = t->ReadExact(2, 500);
        if (action && (*action)[1] == kSendFile) {
            const Bytes flat = FlatStream("folder item");
            Bytes out = {0, 0, 0, static_cast<std::uint8_t>(flat.size())};
            out.insert(out.end(), flat.begin(), flat.end());
            t->SendRaw(out);
        }
        t->WaitClosed(200);
    }

    // Every file request with one (name, path) pair.
    void FileRequests(const std::string& name, const Bytes& path, const std::string& other, const Bytes& otherPath) {
        auto base = [&] {
            CFieldListBuilder b;
            b.Add(kFieldFileName, name);
            b.Add(kFieldFilePath, path);
            return b;
        };
        Ask(kTranGetFileNameList, CFieldListBuilder().Add(kFieldFilePath, path).Build());
        Ask(kTranGetFileInfo, base().Build());
        if (auto r = Ask(kTranDownloadFile, base().Build()); r && r->hdr.error == 0) {
            const Bytes ref = ReplyOf(*r).Data(kFieldRefNum);
            const auto size = std::max<std::int64_t>(0, ReplyOf(*r).Int(kFieldTransferSize));
            auto t = OpenTransfer(ref, 0);
            if (size > 0) {
                auto data = t->ReadExact(static_cast<std::size_t>(size));
                EXPECT_TRUE(data) << "download of an inside file did not arrive";
                if (data) CheckClean(*data, kTranDownloadFile);
            }
        }
        const std::string payload = "uploaded";
        const Bytes flat = FlatStream(payload);
        if (auto r = Ask(kTranUploadFile, base().AddInt(kFieldTransferSize, static_cast<std::int32_t>(flat.size())).Build());
            r && r->hdr.error == 0) {
            auto t = OpenTransfer(ReplyOf(*r).Data(kFieldRefNum), static_cast<std::uint32_t>(flat.size()));
            t->SendRaw(flat);
            t->WaitClosed(200);
        }
        if (auto r = Ask(kTranDownloadFldr, base().Build()); r && r->hdr.error == 0) TakeFolder(*r);
        // The item: the hostile path data itself, or the hostile name as its one component.
        const Bytes item = otherPath == path ? otherPath : OneComponent(other);
        if (auto r = Ask(kTranUploadFldr, base()
                                              .AddInt(kFieldFolderItemCount, 1)
                                              .AddInt(kFieldTransferSize, 200)
                                              .Build());
            r && r->hdr.error == 0)
            SendFolderItem(*r, item, 200);
        Ask(kTranMakeFileAlias, base().Add(kFieldFileNewPath, otherPath).Build());
        Ask(kTranNewFolder, base().Build());
        Ask(kTranSetFileInfo, base().Add(kFieldFileNewName, other).Build());
        Ask(kTranMoveFile, base().Add(kFieldFileNewPath, otherPath).Build());
        Ask(kTranDeleteFile, base().Build());
    }

    // One folder upload whose items are named by the given path data (files, and every third a
    // folder); the server asks for each in turn, and whatever it accepts gets a small file.
    void UploadHostileItems(const std::vector<Bytes>& items) {
        auto r = Ask(kTranUploadFldr, CFieldListBuilder()
                                          .Add(kFieldFileName, "Items")
                                          .AddInt(kFieldFolderItemCount, static_cast<std::int32_t>(items.size()))
                                          .AddInt(kFieldTransferSize, 1000000)
                                          .Build());
        ASSERT_TRUE(r && r->hdr.error == 0);
        auto t = OpenTransfer(ReplyOf(*r).Data(kFieldRefNum), 1000000, 1);
        const Bytes flat = FlatStream("item");
        Bytes file = {0, 0, 0, static_cast<std::uint8_t>(flat.size())};
        file.insert(file.end(), flat.begin(), flat.end());
        std::size_t next = 0, files = 0;
        while (auto action = t->ReadExact(2, 2000)) {
            const std::uint8_t a = (*action)[1];
            if (a == kSendFile || a == kResumeFile) {
                if (a == kResumeFile) {
                    auto size = t->ReadExact(2, 2000);
                    if (!size || !t->ReadExact(GetBE16(size->data()), 2000)) break;
                }
                t->SendRaw(file);
                ++files;
            } else if (a == kNextItem && next < items.size()) {
                Bytes header = Be16(2 + items[next].size());
                header.insert(header.end(), {0, static_cast<std::uint8_t>(next % 3 == 2 ? 1 : 0)});
                header.insert(header.end(), items[next].begin(), items[next].end());
                ++next;
                if (!t->SendRaw(header)) break;
            } else {
                break;
            }
        }
        EXPECT_EQ(next, items.size()) << "the upload stopped early";
        EXPECT_GT(files, 0u);
        t->WaitClosed(1000);
    }

    // Every news request with one (name, path) pair.
    void NewsRequests(const std::string& name, const Bytes& path) {
        auto withPath = [&] { return CFieldListBuilder().Add(kFieldNewsPath, path); };
        Ask(kTranGetNewsCatNameList, withPath().Build());
        Ask(kTranGetNewsArtNameList, withPath().Build());
        Ask(kTranNewNewsFldr, withPath().Add(kFieldFileName, name).Build());
        Ask(kTranNewNewsCat, withPath().Add(kFieldNewsCatName, name).Build());
        Ask(kTranPostNewsArt, withPath()
                                  .AddInt(kFieldNewsArtID, 0)
                                  .Add(kFieldNewsArtTitle, name)
                                  .Add(kFieldNewsArtDataFlav, "text/plain")
                                  .Add(kFieldNewsArtData, "body " + name)
                                  .Build());
        Ask(kTranGetNewsArtData, withPath().AddInt(kFieldNewsArtID, 1).Add(kFieldNewsArtDataFlav, "text/plain").Build());
        Ask(kTranDelNewsArt, withPath().AddInt(kFieldNewsArtID, 1).AddInt(kFieldNewsArtRecurseDel, 1).Build());
        Ask(kTranDelNewsFldrItem, withPath().Build());
    }

    static Bytes FlatStream(const std::string& data) {
        auto be32 = [](Bytes& b, std::uint32_t v) {
            for (int shift : {24, 16, 8, 0}) b.push_back(static_cast<std::uint8_t>(v >> shift));
        };
        Bytes info(72, 0);
        info[0] = 'M', info[1] = 'W', info[2] = 'I', info[3] = 'N';
        info.insert(info.end(), {0, 0});
        Bytes out = {'F', 'I', 'L', 'P', 0, 1};
        out.insert(out.end(), 16, 0);
        out.insert(out.end(), {0, 2, 'I', 'N', 'F', 'O'});
        be32(out, 0);
        be32(out, 0);
        be32(out, static_cast<std::uint32_t>(info.size()));
        out.insert(out.end(), info.begin(), info.end());
        out.insert(out.end(), {'D', 'A', 'T', 'A'});
        be32(out, 0);
        be32(out, 0);
        be32(out, static_cast<std::uint32_t>(data.size()));
        out.insert(out.end(), data.begin(), data.end());
        return out;
    }

    // Every link below `root` leads to something inside it (or nowhere).
    void ExpectLinksInside(const std::string& root) {
        const std::string real = fs::canonical(root).string();
        for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
            if (!it->is_symlink()) continue;
            std::error_code ec;
            const fs::path target = fs::weakly_canonical(it->path(), ec);
            EXPECT_EQ(target.string().rfind(real, 0), 0u) << it->path() << " leads to " << target;
        }
    }

    TempDir mDir;
    std::string mProgram, mOutside;
    unsigned short mPort = 0;
    std::unique_ptr<ServerProcess> mServer;
    std::unique_ptr<CTestClient> mClient;
    int mRequests = 0;
    int mAccepted = 0;
    int mOnThisLogin = 1;  // the login itself
};

TEST_F(HostilePaths, NothingOutsideTheRootsIsReadListedOrChanged) {
    // A bundle and a category to aim at, made the ordinary way.
    auto made = Ask(kTranNewNewsFldr, CFieldListBuilder().Add(kFieldFileName, "Bundle").Build());
    ASSERT_TRUE(made && made->hdr.error == 0);
    made = Ask(kTranNewNewsCat, CFieldListBuilder().Add(kFieldNewsCatName, "Cat").Build());
    ASSERT_TRUE(made && made->hdr.error == 0);
    // Links the client makes itself, to climb through later.
    for (const char* name : {"Folder", "inside.txt"}) {
        made = Ask(kTranMakeFileAlias,
                   CFieldListBuilder().Add(kFieldFileName, name).Add(kFieldFileNewPath, UFilePath::Build({"Sub"})).Build());
        ASSERT_TRUE(made && made->hdr.error == 0);
    }
    const Snapshot before = Outside();
    ASSERT_TRUE(before.count("Outside/secret.txt"));
    ASSERT_TRUE(before.count("Server/Outside-note.txt"));

    const auto names = NameCorpus();
    const auto paths = PathCorpus();
    const Bytes root;
    const Bytes climb = UFilePath::Build({"..", ".."});
    for (const std::string& name : names) {
        FileRequests(name, root, "renamed", climb);
        FileRequests("inside.txt", root, name, paths[0]);
        NewsRequests(name, root);
    }
    for (const Bytes& path : paths) {
        FileRequests("secret.txt", path, "../x", path);
        FileRequests("", path, "..", path);
        NewsRequests("Cat", path);
    }

    std::vector<Bytes> items = paths;
    for (const std::string& name : names) {
        items.push_back(OneComponent(name));
        Bytes deeper = OneComponent(name);  // below a climb: {"..", name}
        deeper[1] = 2;
        deeper.insert(deeper.begin() + 2, {0, 0, 2, '.', '.'});
        items.push_back(deeper);
    }
    UploadHostileItems(items);

    EXPECT_EQ(Outside(), before);
    EXPECT_GT(mAccepted, 100) << "the corpus hardly reached the handlers";
    ExpectLinksInside(mProgram + "/Files");
    ExpectLinksInside(mProgram + "/News");

    // Still serving: the root lists, and a second client can log in.
    auto list = Ask(kTranGetFileNameList, CFieldListBuilder().Build());
    ASSERT_TRUE(list);
    EXPECT_EQ(list->hdr.error, 0u);
    EXPECT_TRUE(LogInOverWire(mPort, "hostile", "pw", "second"));
    EXPECT_TRUE(mServer->IsRunning());
    EXPECT_EQ(mServer->StdErr().find("ERROR: AddressSanitizer"), std::string::npos) << mServer->StdErr();
}

}  // namespace
}  // namespace kx::test
