// Fuzz target: an uploaded flattened file and the resume record a client sends with a download.
// Input: a byte giving the size of each arrival (0: all at once), then the stream. The DATA fork
// goes to an in-memory file; what lands there, and the INFO bytes kept, must be what a plain
// walk over the stream finds. The stream bytes are then read as a resume record.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "framework/byte_codec.h"
#include "framework/error.h"
#include "fs/flat_file.h"
#include "fuzz/targets.h"

namespace kx::fuzz {

namespace {

// One in-memory file for the whole run, emptied before each input.
int ScratchFile() {
    static const int fd = [] {
        const int f = ::memfd_create("kx-fuzz-unflatten", 0);
        if (f < 0) Violation("memfd_create failed", __FILE__, __LINE__);
        return f;
    }();
    if (::ftruncate(fd, 0) != 0) Violation("ftruncate failed", __FILE__, __LINE__);
    return fd;
}

struct SExpected {
    bool ok = true;             // the stream never failed
    std::vector<std::uint8_t> file;
    std::vector<std::uint8_t> info;  // bytes of the last INFO fork kept
    bool gotInfo = false;
    int stage = SFileUnflatten::kHeader;
};

SExpected Walk(const std::uint8_t* p, std::size_t size) {
    SExpected e;
    if (size < kFlatHeaderSize) return e;
    if (GetBE32(p) != kFlatFormat || GetBE16(p + 4) != kFlatVersion) {
        e.ok = false;
        return e;
    }
    std::size_t at = kFlatHeaderSize;
    e.stage = SFileUnflatten::kForkHeader;
    while (size - at >= kFlatForkHeaderSize) {
        const std::uint8_t* h = p + at;
        at += kFlatForkHeaderSize;
        if (GetBE32(h + 4) != 0) {
            e.ok = false;
            return e;
        }
        const std::uint32_t type = GetBE32(h);
        const std::uint32_t forkSize = GetBE32(h + 12);
        const std::size_t n = std::min<std::size_t>(forkSize, size - at);
        if (type == kFlatForkData) {
            if (e.file.size() < n) e.file.resize(n);
            std::copy(p + at, p + at + n, e.file.begin());
        } else if (type == kFlatForkInfo && n != 0) {
            // Bytes past the kept part leave earlier ones in place.
            const std::size_t keep = std::min(n, kFlatInfoKeepMax);
            if (e.info.size() < keep) e.info.resize(keep);
            std::copy(p + at, p + at + keep, e.info.begin());
            e.info.resize(keep);
            e.gotInfo = true;
        }
        at += n;
        e.stage = n == forkSize ? SFileUnflatten::kBetweenForks : SFileUnflatten::kForkData;
    }
    if (at < size) e.stage = SFileUnflatten::kForkHeader;
    return e;
}

}  // namespace

int FuzzFlatFile(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t* stream = data + 1;
    const std::size_t streamSize = size - 1;
    const std::size_t piece = data[0] == 0 ? std::max<std::size_t>(streamSize, 1) : data[0];
    const SExpected expected = Walk(stream, streamSize);

    const int fd = ScratchFile();
    SFileUnflatten u;
    u.file.Reset(::dup(fd));
    bool failed = false;
    for (std::size_t at = 0; at < streamSize; at += piece) {
        try {
            u.Process(stream + at, std::min(piece, streamSize - at));
        } catch (const SError& e) {
            KX_FUZZ_CHECK(e.type == kErrClassGeneral);
            KX_FUZZ_CHECK(e.id == kErrBadFormat || e.id == kErrBadVersion);
            failed = true;
            break;
        }
    }
    KX_FUZZ_CHECK(failed == !expected.ok);
    if (failed) {
        // A failed stream stays failed.
        bool raised = false;
        try {
            u.Process(stream, std::min<std::size_t>(streamSize, 4));
        } catch (const SError& e) {
            raised = e.type == kErrClassGeneral && e.id == kErrBadFormat;
        }
        KX_FUZZ_CHECK(raised || streamSize == 0);
    } else {
        std::vector<std::uint8_t> written(expected.file.size() + 1);
        const ssize_t got = ::pread(fd, written.data(), written.size(), 0);
        KX_FUZZ_CHECK(got == static_cast<ssize_t>(expected.file.size()));
        written.resize(static_cast<std::size_t>(got));
        KX_FUZZ_CHECK(written == expected.file);
        KX_FUZZ_CHECK(u.gotInfoData == expected.gotInfo);
        if (expected.gotInfo) {
            KX_FUZZ_CHECK(u.infoSize == expected.info.size());
            KX_FUZZ_CHECK(std::memcmp(u.info, expected.info.data(), expected.info.size()) == 0);
        }
        KX_FUZZ_CHECK(u.IsBetweenForks() == (expected.stage == SFileUnflatten::kBetweenForks));
    }

    // The same bytes as a resume record.
    try {
        const std::optional<std::uint32_t> resume = UFlatFile::ReadResumeData(stream, streamSize);
        KX_FUZZ_CHECK(streamSize >= kResumeHeaderSize && GetBE32(stream) == kResumeFormat);
        if (resume) {
            const std::vector<std::uint8_t> again = UFlatFile::MakeResumeData(*resume);
            KX_FUZZ_CHECK(UFlatFile::ReadResumeData(again.data(), again.size()) == resume);
        }
    } catch (const SError& e) {
        KX_FUZZ_CHECK(e.type == kErrClassGeneral);
        KX_FUZZ_CHECK((e.id == kErrParam && streamSize < kResumeHeaderSize) ||
                      (e.id == kErrBadFormat && GetBE32(stream) != kResumeFormat) || e.id == kErrBadVersion);
    }
    return 0;
}

}  // namespace kx::fuzz
