// POSIX implementation of whole-file reads and crash-safe rewrites.
#include "framework/file_util.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "framework/error.h"

namespace kx::UFileUtil {

namespace {
struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0) close(fd);
    }
};

void WriteAll(int fd, const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            KX_FAIL_ERRNO(errno);
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
}

std::string DirOf(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}
}  // namespace

std::optional<std::vector<std::uint8_t>> ReadWholeFile(const std::string& path, std::uint64_t maxSize,
                                                       bool* tooLarge) {
    if (tooLarge) *tooLarge = false;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    FdCloser closer{fd};
    struct stat st{};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    if (static_cast<std::uint64_t>(st.st_size) > maxSize) {
        if (tooLarge) *tooLarge = true;
        return std::nullopt;
    }
    std::vector<std::uint8_t> data;
    data.reserve(static_cast<std::size_t>(st.st_size));
    std::uint8_t buf[65536];
    for (;;) {
        ssize_t r = read(fd, buf, sizeof buf);
        if (r < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (r == 0) break;
        if (data.size() + static_cast<std::size_t>(r) > maxSize) {
            if (tooLarge) *tooLarge = true;
            return std::nullopt;
        }
        data.insert(data.end(), buf, buf + r);
    }
    return data;
}

void WriteFileAtomic(const std::string& path, const void* data, std::size_t size, unsigned mode) {
    const std::string tmp = path + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) KX_FAIL_ERRNO(errno);
    // A temporary file left over from a crash keeps its old mode unless told otherwise.
    if (mode != 0644 && fchmod(fd, mode) != 0) {
        const int err = errno;
        close(fd);
        KX_FAIL_ERRNO(err);
    }
    {
        FdCloser closer{fd};
        try {
            WriteAll(fd, static_cast<const std::uint8_t*>(data), size);
            if (fsync(fd) != 0) KX_FAIL_ERRNO(errno);
        } catch (...) {
            unlink(tmp.c_str());
            throw;
        }
    }
    if (rename(tmp.c_str(), path.c_str()) != 0) {
        int err = errno;
        unlink(tmp.c_str());
        KX_FAIL_ERRNO(err);
    }
    // Make the rename itself durable.
    int dfd = open(DirOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
}

bool Exists(const std::string& path) {
    struct stat st{};
    return stat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path) {
    struct stat st{};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void EnsureDirectory(const std::string& path) {
    if (mkdir(path.c_str(), 0755) == 0) return;
    if (errno == EEXIST && IsDirectory(path)) return;
    KX_FAIL_ERRNO(errno);
}

void AppendToFile(const std::string& path, const void* data, std::size_t size) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) KX_FAIL_ERRNO(errno);
    FdCloser closer{fd};
    WriteAll(fd, static_cast<const std::uint8_t*>(data), size);
}

}  // namespace kx::UFileUtil
