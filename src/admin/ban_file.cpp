// Reading and writing of the permanent ban file "Banned" and its backup "Banned.bak".
#include "admin/ban_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "framework/byte_codec.h"
#include "framework/error.h"
#include "framework/file_util.h"

namespace kx {

namespace {

constexpr std::size_t kHeaderSize = 6;
constexpr std::size_t kDateFieldSize = 33;
// Nothing past the largest file of kMaxPermBans records is ever looked at.
constexpr std::size_t kMaxFileRead = kHeaderSize + kMaxPermBans * kBanRecordMaxSize;

bool ReadAddress(CByteReader& r, SIPAddress& a) {
    std::span<const std::uint8_t> s;
    if (!r.Bytes(4, s)) return false;
    std::copy(s.begin(), s.end(), a.b);
    return true;
}

// One record in the given layout; false at the end of the data or at a reason longer than 63.
bool ReadRecord(CByteReader& r, std::uint16_t version, BanRecord& rec) {
    if (!r.U8(rec.nActive)) return false;
    if (version == 1) {
        if (!ReadAddress(r, rec.nAddrFirst)) return false;
        rec.nAddrLast = rec.nAddrFirst;
    } else if (!ReadAddress(r, rec.nAddrFirst) || !ReadAddress(r, rec.nAddrLast)) {
        return false;
    }
    std::span<const std::uint8_t> date;
    if (!r.Bytes(kDateFieldSize, date)) return false;
    rec.psDateTime.Set(date.data() + 1, date[0]);  // a length above 32 is cut to the field
    if (version == 1) {
        if (!r.Skip(2)) return false;
    }
    std::uint8_t len = 0;
    std::span<const std::uint8_t> reason;
    if (!r.U8(len) || len > decltype(rec.description)::kMax || !r.Bytes(len, reason)) return false;
    rec.description.Set(reason.data(), reason.size());
    rec.timeout = kBanNoTimeout;
    return true;
}

std::vector<std::uint8_t> ReadHead(const std::string& path, std::size_t cap, bool& exists) {
    std::vector<std::uint8_t> data;
    exists = false;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return data;
    exists = true;
    struct stat st{};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        data.resize(cap);
        std::size_t got = 0;
        while (got < cap) {
            const ssize_t n = read(fd, data.data() + got, cap - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;  // an unreadable tail counts as the end of the file
            got += static_cast<std::size_t>(n);
        }
        data.resize(got);
    }
    close(fd);
    return data;
}

void RemoveIfPresent(const std::string& path) {
    if (unlink(path.c_str()) != 0 && errno != ENOENT) KX_FAIL_ERRNO(errno);
}

}  // namespace

namespace UBanFile {

EBanFileRead Parse(std::span<const std::uint8_t> data, BanList& list) {
    CByteReader r(data);
    std::uint16_t version = 0;
    std::uint32_t count = 0;
    if (!r.U16(version)) return EBanFileRead::kTooShort;
    if (version > kBanFileVersion) return EBanFileRead::kUnknownVersion;
    if (!r.U32(count)) return EBanFileRead::kTooShort;
    if (count == 0) return EBanFileRead::kCountZero;
    const std::size_t wanted = std::min<std::size_t>(count, kMaxPermBans);
    for (std::size_t i = 0; i < wanted; ++i) {
        BanRecord rec;
        if (!ReadRecord(r, version, rec)) return EBanFileRead::kDamaged;
        list.push_back(rec);
    }
    return EBanFileRead::kRead;
}

std::vector<std::uint8_t> Build(const BanList& list) {
    const std::size_t skip = list.size() > kMaxPermBans ? list.size() - kMaxPermBans : 0;
    std::vector<std::uint8_t> out;
    out.reserve(kHeaderSize + (list.size() - skip) * kBanRecordMaxSize);
    AppendBE16(out, kBanFileVersion);
    AppendBE32(out, static_cast<std::uint32_t>(list.size() - skip));
    for (std::size_t i = skip; i < list.size(); ++i) {
        const BanRecord& rec = list[i];
        out.push_back(rec.nActive);
        out.insert(out.end(), rec.nAddrFirst.b, rec.nAddrFirst.b + 4);
        out.insert(out.end(), rec.nAddrLast.b, rec.nAddrLast.b + 4);
        out.insert(out.end(), rec.psDateTime.bytes, rec.psDateTime.bytes + kDateFieldSize);
        out.insert(out.end(), rec.description.bytes, rec.description.bytes + 1 + rec.description.Length());
    }
    return out;
}

EBanFileRead ReadPermBanInfo(const std::string& path, BanList& list) {
    list.clear();
    bool exists = false;
    const std::vector<std::uint8_t> data = ReadHead(path, kMaxFileRead, exists);
    if (!exists) return EBanFileRead::kMissing;
    const EBanFileRead result = Parse(data, list);
    if (result == EBanFileRead::kCountZero) RemoveIfPresent(path);
    return result;
}

void MakePermBanBackup(const std::string& path) {
    const std::string backup = path + ".bak";
    if (!UFileUtil::Exists(path)) {
        RemoveIfPresent(backup);
        return;
    }
    // A copy rather than a rename, so that "Banned" stays in place until its replacement
    // has been written whole.
    if (auto bytes = UFileUtil::ReadWholeFile(path)) {
        UFileUtil::WriteFileAtomic(backup, *bytes);
        return;
    }
    if (std::rename(path.c_str(), backup.c_str()) != 0) KX_FAIL_ERRNO(errno);
}

void WritePermBanFile(const std::string& path, const BanList& list) {
    MakePermBanBackup(path);
    if (list.empty()) {
        RemoveIfPresent(path);
        return;
    }
    UFileUtil::WriteFileAtomic(path, Build(list));
}

}  // namespace UBanFile

}  // namespace kx
