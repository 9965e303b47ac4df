// The flattened file object ("FILP": a 24-byte header, then forks of a 16-byte header and data;
// this server writes an "INFO" fork and a "DATA" fork) and the resume record ("RFLT"), produced
// and consumed as streams in slices of any size. File downloads send a flattened file, file
// uploads receive one; docs/formats/flattened-file.md gives the layout byte by byte.
//
// A flatten or unflatten run lives on its file reference (TFSRefObj) from Start/Resume until
// Stop, a retarget (SetPath) or the reference's destruction; the file stays open that long.
// Nothing of the file is held in memory beyond the slice being produced or consumed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "fs/file_types.h"
#include "fs/fs_ref.h"

namespace kx {

inline constexpr std::uint32_t kFlatFormat = MakeCode("FILP");
inline constexpr std::uint32_t kFlatForkInfo = MakeCode("INFO");
inline constexpr std::uint32_t kFlatForkData = MakeCode("DATA");
inline constexpr std::uint32_t kFlatPlatform = MakeCode("MWIN");
inline constexpr std::uint32_t kResumeFormat = MakeCode("RFLT");
inline constexpr std::uint16_t kFlatVersion = 1;
inline constexpr std::uint16_t kResumeVersion = 1;

inline constexpr std::size_t kFlatHeaderSize = 24;       // SFlatFileHeader
inline constexpr std::size_t kFlatForkHeaderSize = 16;   // SFlatFileForkHeader
inline constexpr std::size_t kFlatInfoFixedSize = 72;    // SFlatFileInfoFork before the name
inline constexpr std::size_t kFlatInfoNameMax = 63;      // longest name written into INFO
inline constexpr std::size_t kFlatInfoKeepMax = 592;     // INFO bytes an unflatten keeps
inline constexpr std::size_t kResumeHeaderSize = 42;     // SFlatFileResumeData before the entries
inline constexpr std::size_t kResumeEntrySize = 16;      // SFlatFileResumeEntry
inline constexpr std::size_t kResumeRecordSize = kResumeHeaderSize + kResumeEntrySize;  // as written: 58

// An open file descriptor, closed on destruction.
class CFileDescriptor {
public:
    CFileDescriptor() = default;
    explicit CFileDescriptor(int fd) : mFd(fd) {}
    ~CFileDescriptor();
    CFileDescriptor(const CFileDescriptor&) = delete;
    CFileDescriptor& operator=(const CFileDescriptor&) = delete;
    int Get() const { return mFd; }
    // Takes ownership of `fd`, closing the one held before.
    void Reset(int fd);

private:
    int mFd = -1;
};

// Producing a flattened file.
struct SFileFlatten {
    enum EStage : int { kHeader = 0, kInfoHeader = 1, kInfoData = 2, kDataHeader = 3, kData = 4, kFinished = 5 };

    int stage = kHeader;
    std::uint32_t pos = 0;             // bytes of the current part already produced
    std::uint32_t dataResumeSize = 0;  // file offset the DATA fork starts at
    std::uint32_t dataSize = 0;        // bytes of the DATA fork
    std::uint8_t hdr[kFlatHeaderSize] = {};
    std::uint8_t infoHdr[kFlatForkHeaderSize] = {};
    std::uint8_t info[kFlatInfoFixedSize + kFlatInfoNameMax + 2] = {};
    std::uint32_t infoSize = 0;        // bytes of `info` in use (74 + name length)
    std::uint8_t dataHdr[kFlatForkHeaderSize] = {};
    CFileDescriptor file;

    std::uint32_t GetTotalSize() const;
    // Fills up to `size` bytes; returns how many were produced (0 once finished).
    std::size_t Process(std::uint8_t* buffer, std::size_t size);
};

// Consuming a flattened file.
struct SFileUnflatten {
    enum EStage : int {
        kHeader = 0, kHeaderCheck = 1, kForkHeader = 2, kForkHeaderCheck = 3, kForkData = 4, kBetweenForks = 5,
        kFailed = 6,
    };

    int stage = kHeader;
    std::uint32_t pos = 0;             // bytes of the current part consumed
    std::uint32_t dataResumeSize = 0;  // file offset the DATA fork is written at
    std::uint32_t infoSize = 0;        // INFO bytes kept
    std::uint8_t hdr[kFlatHeaderSize] = {};
    std::uint8_t forkHdr[kFlatForkHeaderSize] = {};
    std::uint32_t forkType = 0;        // of the current fork, host order
    std::uint32_t forkSize = 0;
    std::uint8_t info[kFlatInfoKeepMax] = {};
    bool gotInfoData = false;
    CFileDescriptor file;

    // Consumes bytes (any split of the stream). Raises 1/7 for a stream that is not "FILP" or
    // has a compressed fork, 1/8 for another version, the mapped error when writing fails, and
    // 1/10 when the file would reach 4 GiB. After an error every further call raises 1/7.
    void Process(const std::uint8_t* data, std::size_t size);
    // True at a point where one fork has ended and no other has begun.
    bool IsBetweenForks() const { return stage == kBetweenForks; }
};

namespace UFlatFile {

// The resume record this server writes: "RFLT", version 1, one "DATA" entry of `dataSize`.
std::vector<std::uint8_t> MakeResumeData(std::uint32_t dataSize);
// The "DATA" size a resume record announces (the last "DATA" entry), nullopt when it has none.
// Fewer than 42 bytes: 1/2; not "RFLT": 1/7; not version 1: 1/8. Entries beyond the record's
// size are not read.
std::optional<std::uint32_t> ReadResumeData(const void* data, std::size_t size);

}  // namespace UFlatFile

namespace UFileSys {

// Opens the file for sequential reading and prepares the stream. A file whose stream would not
// fit in 32 bits (4 GiB or more) is a size-limit error (1/10); not a file: 4/107.
void StartFlatten(TFSRefObj& ref);
// The same, the DATA fork starting at the offset the resume record gives (empty when the offset
// is at or past the file's end).
void ResumeFlatten(TFSRefObj& ref, const void* resumeData, std::size_t size);
// Total bytes of the stream: 24 + 16 + (74 + n) + 16 + DATA fork bytes.
std::uint32_t GetFlattenSize(const TFSRefObj& ref);
// Fills up to `size` bytes of the stream; returns how many (0 once finished). A file that got
// shorter than announced raises 4/106.
std::size_t ProcessFlatten(TFSRefObj& ref, void* buffer, std::size_t size);
// For senders that pass file contents to the network without reading them (sendfile): inside
// the DATA fork, advances the stream by up to `size` bytes and gives the open file and the
// offset those bytes start at; anywhere else returns 0 and changes nothing (ProcessFlatten
// produces the headers). The descriptor stays owned by the flatten.
std::size_t SkipFlattenData(TFSRefObj& ref, std::size_t size, int* outFd, std::uint64_t* outOffset);
void StopFlatten(TFSRefObj& ref);

// Opens an existing file for writing the DATA fork from offset 0. A file already being written
// by another unflatten is in use (4/116).
void StartUnflatten(TFSRefObj& ref);
// The same, appending at the file's current end; returns the resume record telling the sender
// how many bytes the file holds (58 bytes).
std::vector<std::uint8_t> ResumeUnflatten(TFSRefObj& ref);
// Consumes received bytes; a call with no data finishes (this file system keeps no codes,
// dates or comments, so the INFO fork changes nothing).
void ProcessUnflatten(TFSRefObj& ref, const void* data, std::size_t size);
// Flushes the file to disk and closes it.
void StopUnflatten(TFSRefObj& ref);

}  // namespace UFileSys

}  // namespace kx
