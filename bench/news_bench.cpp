// Benchmark of the news category file: posts 100,000 articles (a third of them replies) with one
// 400-byte data flavor each into one category, then measures building the article listing (cold), serving
// it from the copy cached in the file, and reading articles at random. Run from a release build:
//   ./build/news_bench [articles] [folder]
#include <stdlib.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

#include "framework/error.h"
#include "news/news_database.h"
#include "news/news_requests.h"
#include "protocol/field_data.h"

namespace {

using Clock = std::chrono::steady_clock;

// Wall time and this process's CPU time (the machine may be shared: CPU time shows our own cost).
struct SMark {
    Clock::time_point wall = Clock::now();
    double cpu = CpuSeconds();
    static double CpuSeconds() {
        timespec ts{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
        return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
    }
};
struct SSpan {
    double wall;
    double cpu;
};
SSpan Since(const SMark& m) {
    return {std::chrono::duration<double>(Clock::now() - m.wall).count(), SMark::CpuSeconds() - m.cpu};
}

}  // namespace

int main(int argc, char** argv) {
    using namespace kx;
    const std::uint32_t articles = argc > 1 ? static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 100000;
    std::string dir = argc > 2 ? argv[2] : (std::filesystem::temp_directory_path() / "kx_news_bench_XXXXXX").string();
    if (argc <= 2 && mkdtemp(dir.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string file = dir + "/Bench.knz";
    std::filesystem::remove(file);
    try {
        UMyNewsDatabase::CreateNewGroup(file, "Bench.knz", "benchmark");
        const std::string body(400, 'b');  // a typical short post: header and data fill two blocks

        SMark t;
        for (std::uint32_t i = 1; i <= articles; ++i) {
            // Every third article replies to the one before it.
            const std::uint32_t parent = i % 3 == 0 ? i - 1 : 0;
            const std::uint32_t id = UMyNewsDatabase::AddArticle(file, parent, "Subject of article " + std::to_string(i),
                                                                 "Poster", 0);
            UMyNewsDatabase::AddData(file, id, "text/plain", body.data(), static_cast<std::uint32_t>(body.size()));
        }
        const SSpan post = Since(t);

        t = SMark();
        const auto cold = UMyNewsDatabase::GetArticleListing(file);
        const SSpan listCold = Since(t);

        constexpr int kCachedRuns = 20;
        t = SMark();
        std::size_t cachedBytes = 0;
        for (int i = 0; i < kCachedRuns; ++i) cachedBytes += UMyNewsDatabase::GetArticleListing(file).size();
        const SSpan cachedAll = Since(t);
        const SSpan listCached{cachedAll.wall / kCachedRuns, cachedAll.cpu / kCachedRuns};

        // What the article-list request adds: cutting the listing to one field's newest threads.
        t = SMark();
        std::size_t fitted = 0;
        for (int i = 0; i < kCachedRuns; ++i) {
            fitted = UNewsRequests::FitListing(UMyNewsDatabase::GetArticleListing(file), UFieldData::kMaxFieldSize).size();
        }
        const SSpan fitAll = Since(t);

        constexpr int kReads = 20000;
        std::mt19937 rng(12345);
        std::uniform_int_distribution<std::uint32_t> pick(1, articles);
        t = SMark();
        std::size_t readBytes = 0;
        for (int i = 0; i < kReads; ++i) {
            SMyNewsArticleInfo info;
            readBytes += UMyNewsDatabase::GetArticleData(file, pick(rng), "text/plain", &info).size();
        }
        const SSpan read = Since(t);

        std::printf("articles posted        %u\n", articles);
        std::printf("category file          %.1f MB\n", std::filesystem::file_size(file) / 1e6);
        std::printf("(wall time; CPU time of this process in brackets)\n");
        std::printf("posting                %.2f s [%.2f s] total, %.1f us [%.1f us] per article (add + data)\n",
                    post.wall, post.cpu, post.wall * 1e6 / articles, post.cpu * 1e6 / articles);
        std::printf("listing, cold          %.1f ms [%.1f ms] (%zu bytes, built and cached)\n", listCold.wall * 1e3,
                    listCold.cpu * 1e3, cold.size());
        std::printf("listing, cached        %.2f ms [%.2f ms] per listing (mean of %d)\n", listCached.wall * 1e3,
                    listCached.cpu * 1e3, kCachedRuns);
        std::printf("listing, as sent       %.2f ms [%.2f ms] per request (cached listing cut to %zu bytes)\n",
                    fitAll.wall * 1e3 / kCachedRuns, fitAll.cpu * 1e3 / kCachedRuns, fitted);
        std::printf("reading                %.1f us [%.1f us] per article (%d random reads, %zu bytes)\n",
                    read.wall * 1e6 / kReads, read.cpu * 1e6 / kReads, kReads, readBytes);
        if (cachedBytes != cold.size() * kCachedRuns) std::printf("WARNING: cached listing differs in size\n");
    } catch (const SError& err) {
        std::fprintf(stderr, "failed: error %d/%d\n", err.type, err.id);
        return 1;
    }
    if (argc <= 2) std::filesystem::remove_all(dir);
    return 0;
}
