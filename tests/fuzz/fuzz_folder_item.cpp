// Fuzz target: what a client sends on the connection of a folder transfer, fed to the server's own
// dialogue steps on a real scratch folder. Byte 0: bit 7 picks the direction (0: the client
// uploads a folder, 1: it downloads one), bits 0-6 the arrival size (0: all at once). Byte 1:
// bits 0-3 give the upload's item count less one, bit 4 lets the downloader see drop boxes. The
// rest is the client's stream: item headers and file streams for an upload, actions and resume
// records for a download.
//
// Upload: the uploaded folder holds a file, a partial ".kpf" file, a sub-folder and a link to a
// folder outside it; whatever the items name, nothing lands outside the folder, no link is made,
// and the server's replies are well-formed actions. Download: the server sends only headers of
// the walked items, in walk order and each once, every path naming the item inside the folder,
// and each announced file stream is exactly as long as announced.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "files/folder_records.h"
#include "framework/byte_codec.h"
#include "framework/error.h"
#include "fs/file_path.h"
#include "fs/flat_file.h"
#include "fs/fs_ref.h"
#include "fuzz/targets.h"
#include "support/fake_transport.h"

namespace kx::fuzz {

namespace {

namespace fs = std::filesystem;

using Bytes = std::vector<std::uint8_t>;

void WriteBytes(const fs::path& p, std::string_view bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) Violation("cannot write a scratch file", __FILE__, __LINE__);
}

std::string ReadBytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The scratch folder, made once per process and removed at exit.
struct SScratch {
    fs::path root;
    fs::path up;        // the folder being uploaded; put back before each input
    fs::path outside;   // beside it: must never change
    fs::path docs;      // the folder being downloaded; never changes
    std::string upReal;
    static constexpr std::string_view kSecret = "secret";

    SScratch() {
        // In memory where there is such a place: every input creates and removes files.
        std::string tmpl = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm/kx-fuzz-folder-XXXXXX" : "/tmp/kx-fuzz-folder-XXXXXX";
        if (::mkdtemp(tmpl.data()) == nullptr) Violation("mkdtemp failed", __FILE__, __LINE__);
        root = tmpl;
        up = root / "Up";
        outside = root / "Outside";
        docs = root / "Docs";
        fs::create_directory(outside);
        WriteBytes(outside / "secret.txt", kSecret);
        fs::create_directories(docs / "Sub" / "Deep");
        fs::create_directory(docs / "Empty");
        fs::create_directory(docs / "drop box");
        std::string pattern(300, '\0');
        for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<char>(i * 7);
        WriteBytes(docs / "a.txt", pattern);
        WriteBytes(docs / "Sub" / "b.txt", "bee");
        WriteBytes(docs / "Sub" / "Deep" / "empty", "");
        WriteBytes(docs / "drop box" / "hidden.txt", "hidden");
        fs::create_symlink("a.txt", docs / "a alias");      // a second way to the same file
        fs::create_symlink(".", docs / "Loop");             // back to the folder itself
        fs::create_symlink("../Outside", docs / "Away");    // a folder outside the tree
        fs::create_symlink("nowhere", docs / "Gone");       // broken
        ResetUp();
        char real[PATH_MAX];
        if (::realpath(up.c_str(), real) == nullptr) Violation("realpath failed", __FILE__, __LINE__);
        upReal = real;
    }
    ~SScratch() {
        std::error_code ec;
        fs::remove_all(root, ec);
    }

    // Puts the uploaded folder back as it was, unless the last input left it so.
    void ResetUp() {
        if (upPristine) return;
        std::error_code ec;
        fs::remove_all(up, ec);
        fs::create_directories(up / "Sub");
        WriteBytes(up / "have.txt", "have");
        WriteBytes(up / "part.bin.kpf", "partial");
        fs::create_symlink("../Outside", up / "Out");
        upPristine = true;
    }
    bool upPristine = false;

    // Nothing outside the uploaded folder changed, and inside it only plain folders and files
    // were added (the one link was there before); the existing file was not overwritten.
    void CheckUploadContained() {
        std::size_t entries = 0;
        for (const auto& e : fs::directory_iterator(root)) {
            ++entries;
            const std::string n = e.path().filename().string();
            KX_FUZZ_CHECK(n == "Up" || n == "Outside" || n == "Docs");
        }
        KX_FUZZ_CHECK(entries == 3);
        entries = 0;
        for (const auto& e : fs::directory_iterator(outside)) {
            ++entries;
            KX_FUZZ_CHECK(e.path().filename() == "secret.txt");
        }
        KX_FUZZ_CHECK(entries == 1);
        KX_FUZZ_CHECK(ReadBytes(outside / "secret.txt") == kSecret);
        KX_FUZZ_CHECK(ReadBytes(up / "have.txt") == "have");
        entries = 0;
        for (const auto& e : fs::recursive_directory_iterator(up)) {
            ++entries;
            const fs::file_status st = e.symlink_status();
            if (fs::is_symlink(st)) {
                KX_FUZZ_CHECK(e.path() == up / "Out");
                KX_FUZZ_CHECK(fs::read_symlink(e.path()) == "../Outside");
            } else {
                KX_FUZZ_CHECK(fs::is_directory(st) || fs::is_regular_file(st));
            }
        }
        // Sub, have.txt, part.bin.kpf, Out: nothing added, and the partial file as it was.
        upPristine = entries == 4 && ReadBytes(up / "part.bin.kpf") == "partial";
    }
};

SScratch& Scratch() {
    static SScratch s;
    return s;
}

// The errors a step may raise for a client's bytes: a damaged stream or resume record (class 1:
// bad format, bad version; a resume record too short to be one is a parameter error) and the
// disk's refusals (class 4).
void CheckStepError(const SError& e, bool resumeRecords) {
    if (e.type == kErrClassFileSys) return;
    KX_FUZZ_CHECK(e.type == kErrClassGeneral);
    KX_FUZZ_CHECK(e.id == kErrBadFormat || e.id == kErrBadVersion || (resumeRecords && e.id == kErrParam));
}

// The server's replies to an uploader: "next item", "send file", or "resume" with a record.
void CheckUploadReplies(const Bytes& sent, std::uint32_t totalItems) {
    std::uint32_t next = 0, files = 0;
    std::size_t at = 0;
    while (at < sent.size()) {
        KX_FUZZ_CHECK(sent.size() - at >= 2);
        const std::uint16_t action = GetBE16(&sent[at]);
        at += 2;
        if (action == kFldrActionNextItem) {
            ++next;
        } else if (action == kFldrActionSendFile) {
            ++files;
        } else {
            KX_FUZZ_CHECK(action == kFldrActionResumeFile);
            KX_FUZZ_CHECK(sent.size() - at >= 2);
            const std::size_t size = GetBE16(&sent[at]);
            at += 2;
            KX_FUZZ_CHECK(sent.size() - at >= size);
            const auto have = UFlatFile::ReadResumeData(&sent[at], size);
            KX_FUZZ_CHECK(have.has_value());
            at += size;
            ++files;
        }
    }
    KX_FUZZ_CHECK(next <= totalItems + 1);
    KX_FUZZ_CHECK(files <= totalItems);
}

int FuzzUpload(const std::uint8_t* stream, std::size_t size, std::size_t piece, std::uint32_t totalItems) {
    SScratch& s = Scratch();
    s.ResetUp();
    auto fake = std::make_unique<test::CFakeTransport>();
    test::CFakeTransport* tpt = fake.get();
    {
        SMyUploadFldrData u;
        u.tpt = std::move(fake);
        u.fldr = UFileSys::NewFromPath(s.up.string());
        u.fldrRealPath = s.upReal;
        u.totalItems = totalItems;
        u.totalSize = 1000;
        std::size_t steps = 0;
        const std::size_t maxSteps = 8 * size + 8 * std::size_t{totalItems} + 16;
        // An item whose final name cannot be given is reported and the dialogue goes on.
        const UMyFldrTransfer::TFldrErrorSink sink = [](const SError& e) { CheckStepError(e, false); };
        bool over = false;
        for (std::size_t at = 0; !over; at += piece) {
            if (at < size) tpt->Feed(stream + at, std::min(piece, size - at));
            try {
                bool failedLast = false;
                int step = kFldrStepMoved;
                while (step == kFldrStepMoved) {
                    step = UMyFldrTransfer::StepFldrUpload(&u, 0, failedLast, sink);
                    KX_FUZZ_CHECK(++steps <= maxSteps);  // every move consumes bytes or an item
                }
                if (step == kFldrStepEnded) {
                    KX_FUZZ_CHECK(u.uploadedItems == totalItems);
                    over = true;
                }
            } catch (const SError& e) {
                CheckStepError(e, false);
                over = true;  // the pass drops the transfer
            }
            if (at >= size) over = true;
        }
        KX_FUZZ_CHECK(u.uploadedItems <= totalItems);
        CheckUploadReplies(tpt->Sent(), totalItems);
    }  // the record goes, as when the pass drops it
    s.CheckUploadContained();
    return 0;
}

// Every item header a full walk sends, in order.
const std::vector<Bytes>& WalkHeaders(bool viewDropBoxes) {
    static std::vector<Bytes> headers[2];
    static bool made[2] = {false, false};
    std::vector<Bytes>& out = headers[viewDropBoxes ? 1 : 0];
    if (made[viewDropBoxes ? 1 : 0]) return out;
    CMyDLFldr walker(UFileSys::NewFromPath(Scratch().docs.string()), "Docs", nullptr, viewDropBoxes);
    SMyDLNext next;
    walker.GetNextItem(next);  // the folder itself
    while (walker.GetNextItem(next)) {
        std::vector<std::string> names(next.path.begin() + 1, next.path.end());
        const Bytes path = UFilePath::Build(names);
        Bytes h;
        AppendBE16(h, static_cast<std::uint16_t>(path.size() + 2));
        AppendBE16(h, next.isFolder ? 1 : 0);
        h.insert(h.end(), path.begin(), path.end());
        out.push_back(std::move(h));
    }
    made[viewDropBoxes ? 1 : 0] = true;
    return out;
}

// An item header names an item inside the downloaded folder, of the kind it says.
void CheckHeaderNamesItem(const Bytes& h) {
    KX_FUZZ_CHECK(h.size() >= 4 && GetBE16(h.data()) == h.size() - 2);
    const bool isFolder = GetBE16(h.data() + 2) == 1;
    KX_FUZZ_CHECK(isFolder || GetBE16(h.data() + 2) == 0);
    const auto parts = UFilePath::Parse(h.data() + 4, h.size() - 4);
    KX_FUZZ_CHECK(!parts.empty() && parts.size() == GetBE16(h.data() + 4));
    fs::path p = Scratch().docs;
    for (const SPathComponent& c : parts) {
        KX_FUZZ_CHECK(!c.name.empty() && c.name != "." && c.name != ".." && c.name.find('/') == std::string_view::npos);
        p /= std::string(c.name);
    }
    std::error_code ec;
    KX_FUZZ_CHECK(isFolder ? fs::is_directory(p, ec) : fs::is_regular_file(p, ec));
}

// The send calls: item headers (subsequence of the walk, each once), each file's 4-byte length
// announcement, and then exactly that many stream bytes.
void CheckDownloadSends(const std::vector<Bytes>& calls, const std::vector<Bytes>& walk, bool ended) {
    std::size_t walkAt = 0;
    bool afterFileHeader = false;
    std::uint64_t streamLeft = 0;
    for (const Bytes& c : calls) {
        if (streamLeft != 0) {
            KX_FUZZ_CHECK(c.size() <= streamLeft);
            streamLeft -= c.size();
            continue;
        }
        if (afterFileHeader && c.size() == 4) {
            streamLeft = GetBE32(c.data());
            afterFileHeader = false;
            continue;
        }
        CheckHeaderNamesItem(c);
        while (walkAt < walk.size() && walk[walkAt] != c) ++walkAt;
        KX_FUZZ_CHECK(walkAt < walk.size());  // in walk order, never twice
        ++walkAt;
        afterFileHeader = c[3] == 0;
    }
    if (ended) KX_FUZZ_CHECK(streamLeft == 0);
}

int FuzzDownload(const std::uint8_t* stream, std::size_t size, std::size_t piece, bool viewDropBoxes) {
    SScratch& s = Scratch();
    const std::vector<Bytes>& walk = WalkHeaders(viewDropBoxes);
    auto fake = std::make_unique<test::CFakeTransport>();
    test::CFakeTransport* tpt = fake.get();
    bool ended = false;
    {
        SMyDownloadFldrData d;
        d.fldr = std::make_unique<CMyDLFldr>(UFileSys::NewFromPath(s.docs.string()), "Docs", nullptr, viewDropBoxes);
        SMyDLNext self;
        d.fldr->GetNextItem(self);
        KX_FUZZ_CHECK(d.fldr->GetTotalItems() - 1 == walk.size());
        d.tpt = std::move(fake);
        std::size_t steps = 0;
        const std::size_t maxSteps = 8 * size + 8 * walk.size() + 16;
        bool over = false;
        for (std::size_t at = 0; !over; at += piece) {
            if (at < size) tpt->Feed(stream + at, std::min(piece, size - at));
            try {
                int step = kFldrStepMoved;
                while (step == kFldrStepMoved) {
                    step = UMyFldrTransfer::StepFldrDownload(&d, 0);
                    KX_FUZZ_CHECK(++steps <= maxSteps);
                }
                if (step == kFldrStepEnded) {
                    KX_FUZZ_CHECK(!d.fldr && !d.file);
                    ended = over = true;
                }
            } catch (const SError& e) {
                CheckStepError(e, true);
                over = true;
            }
            if (at >= size) over = true;
        }
        CheckDownloadSends(tpt->SendCalls(), walk, ended);
    }
    return 0;
}

}  // namespace

int FuzzFolderItem(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const bool download = (data[0] & 0x80) != 0;
    const std::size_t rest = size - 2;
    const std::size_t piece = (data[0] & 0x7F) == 0 ? std::max<std::size_t>(rest, 1) : (data[0] & 0x7F);
    if (download) return FuzzDownload(data + 2, rest, piece, (data[1] & 0x10) != 0);
    return FuzzUpload(data + 2, rest, piece, (data[1] & 0x0F) + 1u);
}

}  // namespace kx::fuzz
