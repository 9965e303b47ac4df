// Positioned, bounds-checked access to a category file (see news_file.h).
#include "news/news_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "framework/error.h"
#include "news/news_format.h"

namespace kx {

CNZFile::CNZFile(const std::string& path, bool writable) {
    if (path.empty()) KX_FAIL_PARAM();
    mFD = ::open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (mFD < 0) KX_FAIL_ERRNO(errno);
    struct stat st {};
    if (::fstat(mFD, &st) != 0) {
        int err = errno;
        ::close(mFD);
        KX_FAIL_ERRNO(err);
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(mFD);
        KX_FAIL(kErrClassFileSys, kErrFileNotFound);
    }
    mSize = static_cast<std::uint64_t>(st.st_size);
}

CNZFile::~CNZFile() {
    if (mFD >= 0) ::close(mFD);
}

std::size_t CNZFile::ReadSome(std::uint64_t offset, void* buf, std::size_t length) const {
    if (offset >= mSize) return 0;
    if (length > mSize - offset) length = static_cast<std::size_t>(mSize - offset);
    auto* p = static_cast<std::uint8_t*>(buf);
    std::size_t done = 0;
    while (done < length) {
        ssize_t n = ::pread(mFD, p + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            KX_FAIL_ERRNO(errno);
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

void CNZFile::ReadExact(std::uint64_t offset, void* buf, std::size_t length,
                        std::int16_t errID) const {
    if (!Holds(offset, length)) KX_FAIL(kErrClassGeneral, errID);
    if (ReadSome(offset, buf, length) != length) KX_FAIL(kErrClassGeneral, errID);
}

std::vector<std::uint8_t> CNZFile::ReadBytes(std::uint64_t offset, std::uint64_t length,
                                             std::int16_t errID) const {
    if (!Holds(offset, length)) KX_FAIL(kErrClassGeneral, errID);
    std::vector<std::uint8_t> out;
    try {
        out.resize(static_cast<std::size_t>(length));
    } catch (const std::bad_alloc&) {
        KX_FAIL(kErrClassMemory, kErrNoMemory);
    }
    ReadExact(offset, out.data(), out.size(), errID);
    return out;
}

namespace {
long gWriteLimit = -1;  // writes left before the simulated crash, or -1
}  // namespace

void CNZFile::SetWriteLimitForTest(long writes) { gWriteLimit = writes < 0 ? -1 : writes; }

void CNZFile::WriteAt(std::uint64_t offset, const void* buf, std::size_t length) {
    if (offset > kNZMaxFileSize || length > kNZMaxFileSize - offset)
        KX_FAIL(kErrClassGeneral, kErrSizeLimit);
    if (gWriteLimit == 0) KX_FAIL_ERRNO(EIO);
    if (gWriteLimit > 0) --gWriteLimit;
    const auto* p = static_cast<const std::uint8_t*>(buf);
    std::size_t done = 0;
    while (done < length) {
        ssize_t n = ::pwrite(mFD, p + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            KX_FAIL_ERRNO(errno);
        }
        done += static_cast<std::size_t>(n);
    }
    if (offset + length > mSize) mSize = offset + length;
}

void CNZFile::Write32(std::uint64_t offset, std::uint32_t value) {
    std::uint8_t b[4];
    PutBE32(b, value);
    WriteAt(offset, b, 4);
}

}  // namespace kx
