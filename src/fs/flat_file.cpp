// Flattening and unflattening files in slices, and the resume record (see flat_file.h).
#include "fs/flat_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "framework/byte_codec.h"
#include "framework/error.h"
#include "fs/fs_listing.h"

namespace kx {

namespace {

void MakeForkHeader(std::uint8_t* p, std::uint32_t type, std::uint32_t size) {
    std::memset(p, 0, kFlatForkHeaderSize);
    PutBE32(p, type);
    PutBE32(p + 12, size);
}

// Largest file offset + 1 that a 32-bit size can describe.
constexpr std::uint64_t kMax32 = 0xFFFFFFFFull;

SFileFlatten& FlattenOf(const TFSRefObj& ref) {
    SFileFlatten* f = ref.GetFlatten();
    KX_REQUIRE(f != nullptr);
    return *f;
}

SFileUnflatten& UnflattenOf(const TFSRefObj& ref) {
    SFileUnflatten* u = ref.GetUnflatten();
    KX_REQUIRE(u != nullptr);
    return *u;
}

// Opens the file at the reference for reading and builds the stream's headers; the DATA fork
// covers the file from `offset` on.
std::unique_ptr<SFileFlatten> PrepareFlatten(const TFSRefObj& ref, std::uint64_t offset) {
    const int fd = ::open(ref.GetPath().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) KX_FAIL_ERRNO(errno);
    auto f = std::make_unique<SFileFlatten>();
    f->file.Reset(fd);  // owned from here on, so every failure below closes it

    struct stat st {};
    if (::fstat(fd, &st) != 0) KX_FAIL_ERRNO(errno);
    if (!S_ISREG(st.st_mode)) KX_FAIL(kErrClassFileSys, kErrNotAFile);
    const std::uint64_t length = static_cast<std::uint64_t>(st.st_size);
    // Sizes and offsets travel in 32 bits: such a file cannot be described to the receiver.
    if (length > kMax32) KX_FAIL(kErrClassGeneral, kErrSizeLimit);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

    const std::uint64_t start = std::min(offset, length);
    f->dataResumeSize = static_cast<std::uint32_t>(start);
    f->dataSize = static_cast<std::uint32_t>(length - start);

    std::string name = UFileSys::GetName(ref);
    if (name.size() > kFlatInfoNameMax) name.resize(kFlatInfoNameMax);
    std::uint32_t type, creator;
    FSListing::FileCodes(ref.GetPath(), type, creator);
    PutBE32(f->info, kFlatPlatform);
    PutBE32(f->info + 4, type);
    PutBE32(f->info + 8, creator);
    PutBE16(f->info + 70, static_cast<std::uint16_t>(name.size()));
    std::memcpy(f->info + kFlatInfoFixedSize, name.data(), name.size());
    f->infoSize = static_cast<std::uint32_t>(kFlatInfoFixedSize + name.size() + 2);  // comment size 0 ends it

    PutBE32(f->hdr, kFlatFormat);
    PutBE16(f->hdr + 4, kFlatVersion);
    PutBE16(f->hdr + 22, 2);
    MakeForkHeader(f->infoHdr, kFlatForkInfo, f->infoSize);
    MakeForkHeader(f->dataHdr, kFlatForkData, f->dataSize);

    if (kFlatHeaderSize + 2 * kFlatForkHeaderSize + f->infoSize + std::uint64_t(f->dataSize) > kMax32)
        KX_FAIL(kErrClassGeneral, kErrSizeLimit);
    return f;
}

// Opens an existing file for an unflatten, refusing one that another unflatten is writing.
std::unique_ptr<SFileUnflatten> PrepareUnflatten(const TFSRefObj& ref) {
    const int fd = ::open(ref.GetPath().c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) KX_FAIL_ERRNO(errno);
    auto u = std::make_unique<SFileUnflatten>();
    u->file.Reset(fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0) KX_FAIL_ERRNO(errno);
    if (!S_ISREG(st.st_mode)) KX_FAIL(kErrClassFileSys, kErrNotAFile);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) KX_FAIL(kErrClassFileSys, kErrInUse);
        KX_FAIL_ERRNO(errno);
    }
    return u;
}

}  // namespace

CFileDescriptor::~CFileDescriptor() { Reset(-1); }

void CFileDescriptor::Reset(int fd) {
    if (mFd >= 0) ::close(mFd);
    mFd = fd;
}

std::uint32_t SFileFlatten::GetTotalSize() const {
    const std::uint64_t total = kFlatHeaderSize + 2 * kFlatForkHeaderSize + std::uint64_t(infoSize) + dataSize;
    return total > kMax32 ? 0 : static_cast<std::uint32_t>(total);
}

std::size_t SFileFlatten::Process(std::uint8_t* buffer, std::size_t size) {
    std::size_t produced = 0;
    while (produced < size && stage != kFinished) {
        const std::uint8_t* part = nullptr;
        std::uint32_t partSize = 0;
        switch (stage) {
            case kHeader: part = hdr; partSize = kFlatHeaderSize; break;
            case kInfoHeader: part = infoHdr; partSize = kFlatForkHeaderSize; break;
            case kInfoData: part = info; partSize = infoSize; break;
            case kDataHeader: part = dataHdr; partSize = kFlatForkHeaderSize; break;
            case kData: partSize = dataSize; break;
            default: break;
        }
        const std::size_t n = std::min<std::size_t>(partSize - pos, size - produced);
        if (stage == kData) {
            std::size_t done = 0;
            while (done < n) {
                const ssize_t got = ::pread(file.Get(), buffer + produced + done, n - done,
                                            static_cast<off_t>(std::uint64_t(dataResumeSize) + pos + done));
                if (got < 0) {
                    if (errno == EINTR) continue;
                    KX_FAIL_ERRNO(errno);
                }
                // The file got shorter than the size already announced to the receiver.
                if (got == 0) KX_FAIL(kErrClassFileSys, kErrCannotRead);
                done += static_cast<std::size_t>(got);
            }
        } else if (n > 0) {
            std::memcpy(buffer + produced, part + pos, n);
        }
        produced += n;
        pos += static_cast<std::uint32_t>(n);
        if (pos == partSize) {
            ++stage;
            pos = 0;
        }
    }
    return produced;
}

void SFileUnflatten::Process(const std::uint8_t* data, std::size_t size) {
    if (stage == kFailed) KX_FAIL(kErrClassGeneral, kErrBadFormat);
    std::size_t used = 0;
    try {
        while (used < size) {
            const std::size_t left = size - used;
            switch (stage) {
                case kHeader: {
                    const std::size_t n = std::min<std::size_t>(kFlatHeaderSize - pos, left);
                    std::memcpy(hdr + pos, data + used, n);
                    used += n;
                    pos += static_cast<std::uint32_t>(n);
                    if (pos < kFlatHeaderSize) break;
                    stage = kHeaderCheck;
                    if (GetBE32(hdr) != kFlatFormat) KX_FAIL(kErrClassGeneral, kErrBadFormat);
                    if (GetBE16(hdr + 4) != kFlatVersion) KX_FAIL(kErrClassGeneral, kErrBadVersion);
                    stage = kForkHeader;
                    pos = 0;
                    break;
                }
                case kBetweenForks:
                    stage = kForkHeader;
                    pos = 0;
                    [[fallthrough]];
                case kForkHeader: {
                    const std::size_t n = std::min<std::size_t>(kFlatForkHeaderSize - pos, size - used);
                    std::memcpy(forkHdr + pos, data + used, n);
                    used += n;
                    pos += static_cast<std::uint32_t>(n);
                    if (pos < kFlatForkHeaderSize) break;
                    stage = kForkHeaderCheck;
                    if (GetBE32(forkHdr + 4) != 0) KX_FAIL(kErrClassGeneral, kErrBadFormat);  // compressed
                    forkType = GetBE32(forkHdr);
                    forkSize = GetBE32(forkHdr + 12);
                    stage = forkSize == 0 ? kBetweenForks : kForkData;
                    pos = 0;
                    break;
                }
                case kForkData: {
                    const std::size_t n = std::min<std::size_t>(forkSize - pos, left);
                    if (forkType == kFlatForkData) {
                        const std::uint64_t offset = std::uint64_t(dataResumeSize) + pos;
                        if (offset + n > kMax32) KX_FAIL(kErrClassGeneral, kErrSizeLimit);
                        std::size_t done = 0;
                        while (done < n) {
                            const ssize_t put = ::pwrite(file.Get(), data + used + done, n - done,
                                                         static_cast<off_t>(offset + done));
                            if (put < 0) {
                                if (errno == EINTR) continue;
                                KX_FAIL_ERRNO(errno);
                            }
                            done += static_cast<std::size_t>(put);
                        }
                    } else if (forkType == kFlatForkInfo && pos < kFlatInfoKeepMax) {
                        const std::size_t keep = std::min<std::size_t>(n, kFlatInfoKeepMax - pos);
                        std::memcpy(info + pos, data + used, keep);
                        infoSize = static_cast<std::uint32_t>(pos + keep);
                        gotInfoData = true;
                    }
                    used += n;
                    pos += static_cast<std::uint32_t>(n);
                    if (pos == forkSize) {
                        stage = kBetweenForks;
                        pos = 0;
                    }
                    break;
                }
                default:
                    KX_FAIL(kErrClassGeneral, kErrBadFormat);
            }
        }
    } catch (...) {
        stage = kFailed;
        throw;
    }
}

namespace UFlatFile {

std::vector<std::uint8_t> MakeResumeData(std::uint32_t dataSize) {
    std::vector<std::uint8_t> out(kResumeRecordSize, 0);
    PutBE32(out.data(), kResumeFormat);
    PutBE16(out.data() + 4, kResumeVersion);
    PutBE16(out.data() + 40, 1);
    PutBE32(out.data() + kResumeHeaderSize, kFlatForkData);
    PutBE32(out.data() + kResumeHeaderSize + 4, dataSize);
    return out;
}

std::optional<std::uint32_t> ReadResumeData(const void* data, std::size_t size) {
    if (data == nullptr || size < kResumeHeaderSize) KX_FAIL_PARAM();
    const auto* p = static_cast<const std::uint8_t*>(data);
    if (GetBE32(p) != kResumeFormat) KX_FAIL(kErrClassGeneral, kErrBadFormat);
    if (GetBE16(p + 4) != kResumeVersion) KX_FAIL(kErrClassGeneral, kErrBadVersion);
    const std::size_t fit = (size - kResumeHeaderSize) / kResumeEntrySize;
    const std::size_t count = std::min<std::size_t>(GetBE16(p + 40), fit);
    std::optional<std::uint32_t> result;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* e = p + kResumeHeaderSize + i * kResumeEntrySize;
        if (GetBE32(e) == kFlatForkData) result = GetBE32(e + 4);
    }
    return result;
}

}  // namespace UFlatFile

namespace UFileSys {

void StartFlatten(TFSRefObj& ref) { ref.SetFlatten(PrepareFlatten(ref, 0)); }

void ResumeFlatten(TFSRefObj& ref, const void* resumeData, std::size_t size) {
    const auto offset = UFlatFile::ReadResumeData(resumeData, size);
    ref.SetFlatten(PrepareFlatten(ref, offset.value_or(0)));
}

std::uint32_t GetFlattenSize(const TFSRefObj& ref) { return FlattenOf(ref).GetTotalSize(); }

std::size_t ProcessFlatten(TFSRefObj& ref, void* buffer, std::size_t size) {
    KX_REQUIRE(buffer != nullptr || size == 0);
    return FlattenOf(ref).Process(static_cast<std::uint8_t*>(buffer), size);
}

std::size_t SkipFlattenData(TFSRefObj& ref, std::size_t size, int* outFd, std::uint64_t* outOffset) {
    KX_REQUIRE(outFd != nullptr && outOffset != nullptr);
    SFileFlatten& f = FlattenOf(ref);
    if (f.stage != SFileFlatten::kData) return 0;
    const std::size_t n = std::min<std::size_t>(f.dataSize - f.pos, size);
    *outFd = f.file.Get();
    *outOffset = std::uint64_t(f.dataResumeSize) + f.pos;
    f.pos += static_cast<std::uint32_t>(n);
    if (f.pos == f.dataSize) {
        f.stage = SFileFlatten::kFinished;
        f.pos = 0;
    }
    return n;
}

void StopFlatten(TFSRefObj& ref) { ref.SetFlatten(nullptr); }

void StartUnflatten(TFSRefObj& ref) { ref.SetUnflatten(PrepareUnflatten(ref)); }

std::vector<std::uint8_t> ResumeUnflatten(TFSRefObj& ref) {
    auto u = PrepareUnflatten(ref);
    struct stat st {};
    if (::fstat(u->file.Get(), &st) != 0) KX_FAIL_ERRNO(errno);
    if (static_cast<std::uint64_t>(st.st_size) >= kMax32) KX_FAIL(kErrClassGeneral, kErrSizeLimit);
    u->dataResumeSize = static_cast<std::uint32_t>(st.st_size);
    auto record = UFlatFile::MakeResumeData(u->dataResumeSize);
    ref.SetUnflatten(std::move(u));
    return record;
}

void ProcessUnflatten(TFSRefObj& ref, const void* data, std::size_t size) {
    SFileUnflatten& u = UnflattenOf(ref);
    if (size == 0) return;  // the finishing call: nothing of the INFO fork is stored here
    KX_REQUIRE(data != nullptr);
    u.Process(static_cast<const std::uint8_t*>(data), size);
}

void StopUnflatten(TFSRefObj& ref) {
    if (SFileUnflatten* u = ref.GetUnflatten()) {
        const int rc = ::fdatasync(u->file.Get());
        const int err = errno;
        ref.SetUnflatten(nullptr);
        if (rc != 0 && err != EINVAL) KX_FAIL_ERRNO(err);
    }
}

}  // namespace UFileSys

}  // namespace kx
