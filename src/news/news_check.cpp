// The read-only consistency check of a category file behind `kestrix-server --check`: walks
// everything an operation could reach and compares the parts that must agree, without writing.
#include <algorithm>
#include <map>
#include <unordered_map>

#include "framework/error.h"
#include "news/news_database.h"
#include "news/news_internal.h"

namespace kx {
namespace {

constexpr std::size_t kMaxProblemsPerFile = 20;

std::string BlockText(std::uint32_t block) { return "block " + std::to_string(block); }

class CNZChecker {
public:
    explicit CNZChecker(CNZDatabaseFile& db) : mDb(db) {}

    void Run() {
        mDb.CheckLayout();
        mBlocks = mDb.BlocksInFile();
        const auto& t = mDb.header.allocTable;
        mBitmap = mDb.file.ReadBytes(mDb.BlockOffset(t.offset), std::uint64_t{t.size} * mDb.BlockSize(), kErrDamaged);
        Claim(t.offset, t.size, "the allocation bitmap");
        Guarded("the ID index directory", [&] {
            mDb.ReadDirectory();
            Claim(mDb.header.offSetIDHashOffset, BlocksFor(mDb.directory.size() * std::uint64_t{kNZHashInfoSize}),
                  "the ID index directory");
        });
        if (mDb.header.listOffset != 0)
            Claim(mDb.header.listOffset, mDb.header.listSize / mDb.BlockSize() + 1, "the cached listing");
        // The index is compared with a whole tree only: after a broken walk every unvisited
        // article would be reported again.
        bool walked = false;
        Guarded("the article tree", [&] {
            WalkTree();
            walked = true;
        });
        if (walked && !mDb.directory.empty()) Guarded("the ID index", [&] { CheckIndex(); });
    }

    std::vector<std::string> TakeProblems() { return std::move(mProblems); }
    void Problem(const std::string& text) {
        if (mProblems.size() < kMaxProblemsPerFile) mProblems.push_back(text);
        else if (mProblems.size() == kMaxProblemsPerFile) mProblems.push_back("more problems not listed");
    }

private:
    template <class F>
    void Guarded(const char* part, F&& check) {
        try {
            check();
        } catch (const SError& err) {
            Problem(std::string(part) + ": " + UError::GetMessage(err));
        }
    }

    std::uint32_t BlocksFor(std::uint64_t bytes) const {
        return static_cast<std::uint32_t>((bytes + mDb.BlockSize() - 1) / mDb.BlockSize());
    }

    // Blocks [first, first + count) belong to `what`: they must lie in the file, be marked in
    // use, and belong to nothing else. Blocks marked but unclaimed are not damage (a crash
    // between two steps may leave them), so only these directions are checked.
    void Claim(std::uint32_t first, std::uint64_t count, const std::string& what) {
        if (first == 0 || std::uint64_t{first} - 1 + count > mBlocks) {
            Problem(what + " lies outside the file (" + BlockText(first) + ")");
            return;
        }
        for (std::uint64_t b = first; b < std::uint64_t{first} + count; ++b) {
            const std::uint64_t bit = b - 1;
            if (bit / 8 >= mBitmap.size() || !(mBitmap[bit / 8] & (0x80u >> (bit % 8))))
                Problem(what + " uses " + BlockText(static_cast<std::uint32_t>(b)) + ", which the bitmap marks free");
            const auto [it, fresh] = mOwner.emplace(static_cast<std::uint32_t>(b), what);
            if (!fresh) Problem(BlockText(static_cast<std::uint32_t>(b)) + " is used by both " + it->second + " and " + what);
        }
    }

    void WalkTree() {
        struct SAt {
            std::uint32_t block, parent, prev;
        };
        std::vector<SAt> pending{{mDb.header.firstArticleOffset, 0, 0}};
        CNZWalkGuard guard(mBlocks);
        std::uint32_t lastTop = 0;
        while (!pending.empty()) {
            const SAt at = pending.back();
            pending.pop_back();
            if (at.block == 0) continue;
            guard.Visit(at.block);
            const _NZ_SNewsItemBlock item = _NZ_ReadItem(mDb, at.block);
            const std::string what = "article " + std::to_string(item.id);
            if (item.parentOffset != at.parent) Problem(what + ": its parent link disagrees with the tree");
            if (item.prevArticleOffset != at.prev) Problem(what + ": its previous-sibling link disagrees with the tree");
            if (!mArticles.emplace(item.id, at.block).second) Problem(what + ": the ID is used twice");
            if (at.parent == 0) lastTop = at.block;
            Guarded(what.c_str(), [&] {
                for (auto [first, count] : _NZ_FlavRuns(mDb, at.block)) Claim(first, count, what);
            });
            pending.push_back({item.nextArticleOffset, at.parent, at.block});
            pending.push_back({item.firstChildOffset, at.block, 0});
        }
        const auto& h = mDb.header;
        if (mArticles.size() != h.articleCount)
            Problem("the header counts " + std::to_string(h.articleCount) + " articles, the tree holds " +
                    std::to_string(mArticles.size()));
        if (h.lastArticleOffset != lastTop) Problem("the header's last article is not the tree's last");
        if (!mArticles.empty() && h.nextArticleID != 0 && mArticles.rbegin()->first >= h.nextArticleID)
            Problem("the next article ID " + std::to_string(h.nextArticleID) + " is already in use");
    }

    void CheckIndex() {
        std::size_t indexed = 0;
        for (std::uint32_t bucket = 0; bucket < mDb.directory.size(); ++bucket) {
            const _NZ_SHashInfo info = mDb.directory[bucket];
            if (info.size == 0) continue;
            const std::string what = "ID index bucket " + std::to_string(bucket);
            if (info.size > mBlocks) {
                Problem(what + " claims " + std::to_string(info.size) + " entries");
                continue;
            }
            Claim(info.offset, BlocksFor(std::uint64_t{info.size} * kNZIDOffsetSize), what);
            const auto raw = mDb.file.ReadBytes(mDb.BlockOffset(info.offset),
                                                std::uint64_t{info.size} * kNZIDOffsetSize, kErrOutOfRange);
            std::uint32_t previous = 0;
            for (std::uint32_t i = 0; i < info.size; ++i) {
                const std::uint32_t id = GetBE32(&raw[i * 8]);
                const std::uint32_t block = GetBE32(&raw[i * 8 + 4]);
                const auto found = mArticles.find(id);
                if (i != 0 && id <= previous) Problem(what + ": IDs out of order");
                if (mDb.Bucket(id) != bucket) Problem(what + ": ID " + std::to_string(id) + " is in the wrong bucket");
                if (found == mArticles.end()) Problem(what + ": ID " + std::to_string(id) + " is not in the tree");
                else if (found->second != block) Problem(what + ": ID " + std::to_string(id) + " points at the wrong block");
                previous = id;
                ++indexed;
            }
        }
        if (indexed < mArticles.size()) Problem(std::to_string(mArticles.size() - indexed) + " articles are missing from the ID index");
    }

    CNZDatabaseFile& mDb;
    std::uint32_t mBlocks = 0;
    std::vector<std::uint8_t> mBitmap;
    std::unordered_map<std::uint32_t, std::string> mOwner;
    std::map<std::uint32_t, std::uint32_t> mArticles;  // ID -> item block
    std::vector<std::string> mProblems;
};

}  // namespace

namespace UMyNewsDatabase {

std::vector<std::string> CheckCategory(const std::string& file) {
    std::vector<std::string> problems;
    try {
        CNZDatabaseFile db(file, false);
        CNZChecker checker(db);
        try {
            checker.Run();
        } catch (const SError& err) {
            checker.Problem("the header or the bitmap: " + UError::GetMessage(err));
        }
        problems = checker.TakeProblems();
    } catch (const SError& err) {
        if (err.type == kErrClassGeneral && err.id == 8) problems.push_back("not a news category (no KXNZ mark)");
        else if (err.type == kErrClassGeneral && err.id == 7) problems.push_back("a version other than 2");
        else if (err.type == kErrClassGeneral && err.id == 9) problems.push_back("shorter than its header");
        else problems.push_back(UError::GetMessage(err));
    }
    return problems;
}

}  // namespace UMyNewsDatabase

}  // namespace kx
