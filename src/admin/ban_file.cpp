// Reading and writing of the permanent ban file "Banned" and its backup "Banned.bak".
#include "admin/ban_file.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "framework/error.h"
#include "framework/file_util.h"

namespace kx {

namespace {

constexpr std::size_t kHeaderSize = 6;
constexpr std::size_t kDateFieldSize = 33;
// Nothing past the largest file of kMaxPermBans records is ever looked at.
constexpr std::size_t kMaxFileRead = kHeaderSize + kMaxPermBans * kBanRecordMaxSize;

class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> d) : mData(d) {}
    std::size_t Left() const { return mData.size() - mPos; }
    bool Bytes(std::size_t n, std::span<const std::uint8_t>& out) {
        if (n > Left()) return false;
        out = mData.subspan(mPos, n);
        mPos += n;
        return true;
    }
    bool U8(std::uint8_t& v) {
        std::span<const std::uint8_t> s;
        if (!Bytes(1, s)) return false;
        v = s[0];
        return true;
    }
    bool U16(std::uint16_t& v) {
        std::span<const std::uint8_t> s;
        if (!Bytes(2, s)) return false;
        v = static_cast<std::uint16_t>((s[0] << 8) | s[1]);
        return true;
    }
    bool U32(std::uint32_t& v) {
        std::span<const std::uint8_t> s;
        if (!Bytes(4, s)) return false;
        v = (std::uint32_t(s[0]) << 24) | (std::uint32_t(s[1]) << 16) | (std::uint32_t(s[2]) << 8) | s[3];
        return true;
    }
    bool Address(SIPAddress& a) {
        std::span<const std::uint8_t> s;
        if (!Bytes(4, s)) return false;
        for (int i = 0; i < 4; ++i) a.b[i] = s[i];
        return true;
    }

private:
    std::span<const std::uint8_t> mData;
    std::size_t mPos = 0;
};

// One record in the given layout; false at the end of the data or at a reason longer than 63.
bool ReadRecord(Reader& r, std::uint16_t version, BanRecord& rec) {
    if (!r.U8(rec.nActive)) return false;
    if (version == 1) {
        if (!r.Address(rec.nAddrFirst)) return false;
        rec.nAddrLast = rec.nAddrFirst;
    } else if (!r.Address(rec.nAddrFirst) || !r.Address(rec.nAddrLast)) {
        return false;
    }
    std::span<const std::uint8_t> date;
    if (!r.Bytes(kDateFieldSize, date)) return false;
    rec.psDateTime.Set(date.data() + 1, date[0]);  // a length above 32 is cut to the field
    if (version == 1) {
        std::span<const std::uint8_t> unused;
        if (!r.Bytes(2, unused)) return false;
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

void Put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}
void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    Put16(out, static_cast<std::uint16_t>(v >> 16));
    Put16(out, static_cast<std::uint16_t>(v));
}

}  // namespace

namespace UBanFile {

EBanFileRead Parse(std::span<const std::uint8_t> data, BanList& list) {
    Reader r(data);
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
    Put16(out, kBanFileVersion);
    Put32(out, static_cast<std::uint32_t>(list.size() - skip));
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
