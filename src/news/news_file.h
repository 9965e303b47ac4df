// The one door through which the news database touches a category file: a POSIX descriptor
// with positioned reads and writes. Reads never go past the end of the file: a read that would
// is refused with the caller's error before any buffer is sized from untrusted numbers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kx {

class CNZFile {
public:
    // Opens an existing file; raises the mapped file-system error when it cannot.
    CNZFile(const std::string& path, bool writable);
    ~CNZFile();
    CNZFile(const CNZFile&) = delete;
    CNZFile& operator=(const CNZFile&) = delete;

    std::uint64_t Size() const { return mSize; }

    // True when [offset, offset + length) lies inside the file.
    bool Holds(std::uint64_t offset, std::uint64_t length) const {
        return offset <= mSize && length <= mSize - offset;
    }

    // Fills `length` bytes at `buf` from `offset`; raises (1, errID) when the file is too short.
    void ReadExact(std::uint64_t offset, void* buf, std::size_t length, std::int16_t errID) const;
    // Same, into a new buffer; the length is checked against the file before allocating.
    std::vector<std::uint8_t> ReadBytes(std::uint64_t offset, std::uint64_t length,
                                        std::int16_t errID) const;
    // Reads what is there, up to `length` bytes; returns the count read.
    std::size_t ReadSome(std::uint64_t offset, void* buf, std::size_t length) const;

    // Writes all bytes (the file grows as needed); raises the mapped error on failure.
    void WriteAt(std::uint64_t offset, const void* buf, std::size_t length);
    void Write32(std::uint64_t offset, std::uint32_t value);

    // Stands in for a crash in tests: after `writes` more writes (across every file), each
    // further write fails with an I/O error and leaves the file as the earlier writes made it.
    // A negative count lifts the limit.
    static void SetWriteLimitForTest(long writes);

private:
    int mFD = -1;
    std::uint64_t mSize = 0;
};

}  // namespace kx
