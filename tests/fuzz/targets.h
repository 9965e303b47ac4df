// The fuzz entry points: one function per parser, each taking arbitrary bytes and returning 0.
// Each one is the body of a libFuzzer target (fuzz_main.cpp) and is also run over the committed
// corpora by the replay test, so a finding stays fixed. An entry point swallows the errors its
// parser is documented to raise for bad input; anything else (another exception, a sanitizer
// report, a broken invariant, which aborts) is a finding.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kx::fuzz {

using TFuzzEntry = int (*)(const std::uint8_t* data, std::size_t size);

int FuzzFieldData(const std::uint8_t* data, std::size_t size);
int FuzzTransact(const std::uint8_t* data, std::size_t size);
int FuzzHttpRequest(const std::uint8_t* data, std::size_t size);
int FuzzHttpBlock(const std::uint8_t* data, std::size_t size);
int FuzzFilePath(const std::uint8_t* data, std::size_t size);
int FuzzFlatFile(const std::uint8_t* data, std::size_t size);
int FuzzNewsDatabase(const std::uint8_t* data, std::size_t size);
int FuzzPrefs(const std::uint8_t* data, std::size_t size);
int FuzzBanFile(const std::uint8_t* data, std::size_t size);
int FuzzIPRange(const std::uint8_t* data, std::size_t size);
int FuzzUserData(const std::uint8_t* data, std::size_t size);
int FuzzFolderItem(const std::uint8_t* data, std::size_t size);
int FuzzWebSocket(const std::uint8_t* data, std::size_t size);
int FuzzWebRequest(const std::uint8_t* data, std::size_t size);

struct SFuzzTarget {
    const char* name;  // folder under tests/fuzz/corpus and tests/fuzz/crashes
    TFuzzEntry entry;
};

// Every target, in the order `make fuzz` runs them.
const SFuzzTarget* Targets(std::size_t* count);

// Aborts with a message naming the broken property: a finding, like a sanitizer report.
[[noreturn]] void Violation(const char* what, const char* file, int line);

}  // namespace kx::fuzz

#define KX_FUZZ_CHECK(cond) \
    do { \
        if (!(cond)) ::kx::fuzz::Violation(#cond, __FILE__, __LINE__); \
    } while (0)
