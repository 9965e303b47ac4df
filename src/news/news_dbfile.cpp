// An opened category file: header checks, block geometry, header and directory I/O.
#include "framework/error.h"
#include "news/news_internal.h"

namespace kx {

CNZDatabaseFile::CNZDatabaseFile(const std::string& path, bool writable) : file(path, writable) {
    std::uint8_t raw[kNZHeaderSize];
    file.ReadExact(0, raw, sizeof raw, kErrDamaged);
    header = _NZ_DecodeHeader(std::span<const std::uint8_t, kNZHeaderSize>(raw, kNZHeaderSize));
    // A wrong magic is 8 and a wrong version 7: the numbers replies and logs have always shown
    // for a category file, although the catalogue's texts fit them the other way round.
    if (header.type != kNZFileType) KX_FAIL(kErrClassGeneral, kErrBadVersion);
    if (header.vers != kNZVersion) KX_FAIL(kErrClassGeneral, kErrBadFormat);
}

void CNZDatabaseFile::CheckLayout() {
    const std::uint32_t bs = header.blockSize;
    if (bs < kNZMinBlockSize || bs > kNZMaxBlockSize || bs % 8 != 0) KX_FAIL(kErrClassGeneral, kErrDamaged);
    const auto& t = header.allocTable;
    if (t.offset == 0 || t.size == 0) KX_FAIL(kErrClassGeneral, kErrDamaged);
    // The bitmap is always written whole, so all of it must be in the file.
    std::uint64_t start = kNZHeaderArea + std::uint64_t{t.offset - 1} * bs;
    if (!file.Holds(start, std::uint64_t{t.size} * bs)) KX_FAIL(kErrClassGeneral, kErrDamaged);
}

std::uint64_t CNZDatabaseFile::BlockOffset(std::uint32_t block) const {
    if (block == 0) KX_FAIL(kErrClassGeneral, kErrDamaged);
    return kNZHeaderArea + std::uint64_t{block - 1} * header.blockSize;
}

std::uint32_t CNZDatabaseFile::BlocksInFile() const {
    if (file.Size() <= kNZHeaderArea) return 0;
    std::uint64_t n = (file.Size() - kNZHeaderArea + header.blockSize - 1) / header.blockSize;
    return n > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(n);
}

void CNZDatabaseFile::WriteHeader() {
    std::uint8_t raw[kNZHeaderSize];
    _NZ_EncodeHeader(header, std::span<std::uint8_t, kNZHeaderSize>(raw, kNZHeaderSize));
    file.WriteAt(0, raw, sizeof raw);
}

void CNZDatabaseFile::WriteAllocTable() {
    std::uint8_t raw[12];
    _NZ_EncodeAllocTable(header.allocTable, std::span<std::uint8_t, 12>(raw, 12));
    file.WriteAt(kNZOffAllocTable, raw, sizeof raw);
}

void CNZDatabaseFile::ReadDirectory() {
    if (header.offSetIDHashOffset == 0 || header.offSetIDHashMask > kNZMaxHashMask)
        KX_FAIL(kErrClassGeneral, kErrOutOfRange);
    std::uint64_t count = std::uint64_t{header.offSetIDHashMask} + 1;
    auto raw = file.ReadBytes(BlockOffset(header.offSetIDHashOffset), count * kNZHashInfoSize, kErrOutOfRange);
    directory.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        directory[i].offset = GetBE32(&raw[i * 8]);
        directory[i].size = GetBE32(&raw[i * 8 + 4]);
    }
}

void CNZDatabaseFile::WriteDirectory() {
    std::vector<std::uint8_t> raw(directory.size() * kNZHashInfoSize);
    for (std::size_t i = 0; i < directory.size(); ++i) {
        PutBE32(&raw[i * 8], directory[i].offset);
        PutBE32(&raw[i * 8 + 4], directory[i].size);
    }
    file.WriteAt(BlockOffset(header.offSetIDHashOffset), raw.data(), raw.size());
}

void CNZDatabaseFile::WriteDirEntry(std::uint32_t bucket) {
    std::uint8_t raw[8];
    PutBE32(raw, directory.at(bucket).offset);
    PutBE32(raw + 4, directory.at(bucket).size);
    file.WriteAt(BlockOffset(header.offSetIDHashOffset) + std::uint64_t{bucket} * kNZHashInfoSize,
                 raw, sizeof raw);
}

void CNZWalkGuard::Visit(std::uint32_t block) {
    if (mSeen.size() >= mLimit || !mSeen.insert(block).second) KX_FAIL(kErrClassGeneral, kErrDamaged);
}

}  // namespace kx
