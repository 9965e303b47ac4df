// Replays every committed fuzz input (seed corpora under tests/fuzz/corpus/<target>/ and the
// inputs of past findings under tests/fuzz/crashes/<target>/) through the same entry functions
// the fuzzers run, built without libFuzzer, so a fixed finding stays fixed. A broken invariant
// aborts the binary, like a sanitizer report; the test also insists that every target has seeds.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "fuzz/targets.h"

namespace kx::fuzz {
namespace {

namespace fs = std::filesystem;

std::vector<fs::path> InputsOf(const std::string& folder, const char* target) {
    std::vector<fs::path> out;
    const fs::path dir = fs::path(KX_SOURCE_DIR) / "tests" / "fuzz" / folder / target;
    if (!fs::is_directory(dir)) return out;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.is_regular_file() && e.path().filename().string().front() != '.') out.push_back(e.path());
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::uint8_t> ReadInput(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

void PrintTo(const SFuzzTarget& t, std::ostream* os) { *os << t.name; }

namespace {

class FuzzReplay : public ::testing::TestWithParam<SFuzzTarget> {};

std::vector<SFuzzTarget> AllTargets() {
    std::size_t n = 0;
    const SFuzzTarget* t = Targets(&n);
    return {t, t + n};
}

TEST_P(FuzzReplay, CorpusAndFindingsRunClean) {
    const SFuzzTarget target = GetParam();
    const std::vector<fs::path> seeds = InputsOf("corpus", target.name);
    EXPECT_FALSE(seeds.empty()) << "no seed corpus for " << target.name;
    std::vector<fs::path> inputs = seeds;
    const std::vector<fs::path> findings = InputsOf("crashes", target.name);
    inputs.insert(inputs.end(), findings.begin(), findings.end());
    for (const fs::path& p : inputs) {
        SCOPED_TRACE(p.string());
        const std::vector<std::uint8_t> bytes = ReadInput(p);
        EXPECT_EQ(target.entry(bytes.data(), bytes.size()), 0);
    }
}

// Empty and one-byte inputs are where length arithmetic goes wrong first.
TEST_P(FuzzReplay, TinyInputsRunClean) {
    const SFuzzTarget target = GetParam();
    static const std::uint8_t kNothing = 0;
    EXPECT_EQ(target.entry(&kNothing, 0), 0);
    for (int b = 0; b < 256; ++b) {
        const std::uint8_t one = static_cast<std::uint8_t>(b);
        EXPECT_EQ(target.entry(&one, 1), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay, ::testing::ValuesIn(AllTargets()),
                         [](const ::testing::TestParamInfo<SFuzzTarget>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kx::fuzz
