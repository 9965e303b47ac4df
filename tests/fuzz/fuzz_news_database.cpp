// Fuzz target: a news category file with arbitrary bytes. The input is written to a temporary
// ".knz" file and every operation of the database runs on it in turn, as the server would run
// them on a damaged file: reads, listings, an article added under an existing one with data,
// deletions with and without replies. Each may refuse with its documented error; none may crash,
// hang or allocate beyond the file. An article that was added and given data reads back.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "framework/error.h"
#include "fuzz/targets.h"
#include "news/news_database.h"

namespace kx::fuzz {

namespace {

// One temporary folder for the whole run (memory-backed when possible).
const std::string& ScratchPath() {
    static const std::string path = [] {
        std::string pattern = access("/dev/shm", W_OK) == 0 ? "/dev/shm/kx_fuzz_news_XXXXXX" : "/tmp/kx_fuzz_news_XXXXXX";
        if (!mkdtemp(pattern.data())) Violation("mkdtemp failed", __FILE__, __LINE__);
        const std::string dir = pattern;
        static const std::string cleanup = dir;
        std::atexit([] {
            ::unlink((cleanup + "/Fuzz.knz").c_str());
            ::rmdir(cleanup.c_str());
        });
        return dir + "/Fuzz.knz";
    }();
    return path;
}

void WriteBytes(const std::string& path, const std::uint8_t* data, std::size_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) Violation("cannot write the scratch file", __FILE__, __LINE__);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0) Violation("cannot write the scratch file", __FILE__, __LINE__);
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

template <class F>
bool Try(F&& op) {
    try {
        op();
        return true;
    } catch (const SError& e) {
        // Damage is reported as stored-data (class 1), memory (class 3) or file errors (class 4).
        KX_FUZZ_CHECK(e.type == kErrClassGeneral || e.type == kErrClassMemory || e.type == kErrClassFileSys);
        KX_FUZZ_CHECK(!(e.type == kErrClassGeneral && e.id == kErrParam));
        return false;
    }
}

}  // namespace

int FuzzNewsDatabase(const std::uint8_t* data, std::size_t size) {
    const std::string& file = ScratchPath();
    WriteBytes(file, data, size);
    namespace db = UMyNewsDatabase;

    Try([&] { (void)db::GetGroupInfo(file); });
    Try([&] { (void)db::GetArticleListing(file); });
    Try([&] { (void)db::GetArticleListing(file); });

    // Walk the threads from the first IDs, as clients follow the links they are given.
    std::set<std::uint32_t> seen;
    std::vector<std::uint32_t> todo = {1, 2, 3, 0xFFFFFFFF};
    while (!todo.empty() && seen.size() < 24) {
        const std::uint32_t id = todo.back();
        todo.pop_back();
        if (id == 0 || !seen.insert(id).second) continue;
        SMyNewsArticleInfo info;
        if (Try([&] { (void)db::GetArticleData(file, id, "text/plain", &info); })) {
            KX_FUZZ_CHECK(info.title.size() <= 63 && info.poster.size() <= 31 && info.externId.size() <= 63);
            for (std::uint32_t next : {info.prevID, info.nextID, info.parentID, info.firstChildID}) todo.push_back(next);
        }
    }

    std::uint32_t added = 0;
    const SDateTimeStamp when{};
    if (Try([&] { added = db::AddArticle(file, 1, "Re: fuzz", "fuzzer", 0, when, "x@fuzz"); })) {
        static const char kBody[] = "hello";
        bool stored = false;
        if (Try([&] { stored = db::AddData(file, added, "text/plain", kBody, 5); }) && stored) {
            std::vector<std::uint8_t> back;
            if (Try([&] { back = db::GetArticleData(file, added, "text/plain"); })) {
                KX_FUZZ_CHECK(back == std::vector<std::uint8_t>(kBody, kBody + 5));
            }
        }
    }
    Try([&] { (void)db::DeleteArticle(file, 1, false); });
    Try([&] { (void)db::DeleteArticle(file, 2, true); });
    if (added != 0) Try([&] { (void)db::DeleteArticle(file, added, true); });
    Try([&] { (void)db::GetArticleListing(file); });
    Try([&] { (void)db::GetGroupInfo(file); });
    return 0;
}

}  // namespace kx::fuzz
