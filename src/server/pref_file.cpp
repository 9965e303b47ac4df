// Reading and writing of the options file "pref" (layout in docs/formats/pref.md).
#include "server/pref_file.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

#include "framework/byte_codec.h"
#include "framework/file_util.h"

namespace kx {

namespace {

constexpr std::size_t kOffWindowFlags = 2;
constexpr std::size_t kOffToolbarRect = 4;
constexpr std::size_t kOffLogRect = 12;
constexpr std::size_t kOffStatsRect = 20;
constexpr std::size_t kOffReserved = 28;
constexpr std::size_t kReservedSize = 26;
constexpr std::size_t kOffMaxConnectionsIP = 54;
constexpr std::size_t kOffIPAddress = 56;
constexpr std::size_t kOffOpts = 60;
constexpr std::size_t kOffBasePortNum = 64;
constexpr std::size_t kOffMaxDownloads = 66;
constexpr std::size_t kOffMaxDownloadsClient = 68;
constexpr std::size_t kOffResolveAliases = 70;
constexpr std::size_t kOffTrackerPassID = 72;
constexpr std::size_t kOffStrings = 76;

SMyWinRect GetRect(std::span<const std::uint8_t> d, std::size_t off) {
    return {static_cast<std::int16_t>(GetBE16(d.data() + off)), static_cast<std::int16_t>(GetBE16(d.data() + off + 2)),
            static_cast<std::int16_t>(GetBE16(d.data() + off + 4)), static_cast<std::int16_t>(GetBE16(d.data() + off + 6))};
}

// Walks the length-prefixed strings of the variable part. Reading stops at the end of the data,
// which is only where the file ends; a length that points past the end is damage (`Damaged`),
// and a damaged file is not used at all.
class StringWalker {
public:
    StringWalker(std::span<const std::uint8_t> data, std::size_t pos) : mData(data), mPos(pos) {}

    bool Next(std::span<const std::uint8_t>& out) {
        if (mDamaged || mPos >= mData.size()) return false;
        const std::size_t len = mData[mPos];
        if (len > mData.size() - mPos - 1) {
            mDamaged = true;
            return false;
        }
        out = mData.subspan(mPos + 1, len);
        mPos += 1 + len;
        return true;
    }
    bool Damaged() const { return mDamaged; }
    bool Skip() {
        std::span<const std::uint8_t> unused;
        return Next(unused);
    }
    template <std::size_t Max>
    bool Read(SLenText<Max>& text) {
        std::span<const std::uint8_t> s;
        if (!Next(s)) return false;
        text.Set(s.data(), s.size());  // cut to Max
        return true;
    }

private:
    std::span<const std::uint8_t> mData;
    std::size_t mPos;
    bool mDamaged = false;
};

class Builder {
public:
    void Put16(std::uint16_t v) { AppendBE16(mBytes, v); }
    void Put32(std::uint32_t v) { AppendBE32(mBytes, v); }
    void PutRect(const SMyWinRect& r) {
        Put16(static_cast<std::uint16_t>(r.left));
        Put16(static_cast<std::uint16_t>(r.top));
        Put16(static_cast<std::uint16_t>(r.right));
        Put16(static_cast<std::uint16_t>(r.bottom));
    }
    void PutByte(std::uint8_t b) { mBytes.push_back(b); }
    void PutZeros(std::size_t n) { mBytes.insert(mBytes.end(), n, 0); }
    void PutPString(const std::uint8_t* p) { mBytes.insert(mBytes.end(), p, p + 1 + p[0]); }
    std::vector<std::uint8_t>& Bytes() { return mBytes; }

private:
    std::vector<std::uint8_t> mBytes;
};

std::uint32_t RandomNonZero() {
    std::uint32_t v = 0;
    try {
        std::random_device rd;
        while (v == 0) v = rd();
    } catch (const std::exception&) {
        std::mt19937 gen(static_cast<std::uint32_t>(
            std::chrono::steady_clock::now().time_since_epoch().count()));
        while (v == 0) v = gen();
    }
    return v;
}

// The first kMyPrefsMaxRead bytes of the file; empty when it cannot be opened or read.
std::vector<std::uint8_t> ReadHead(const std::string& path) {
    std::vector<std::uint8_t> data;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return data;
    struct stat st{};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        data.resize(kMyPrefsMaxRead);
        std::size_t got = 0;
        while (got < data.size()) {
            const ssize_t r = read(fd, data.data() + got, data.size() - got);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) {
                got = 0;  // a file that cannot be read completely is not used
                break;
            }
            if (r == 0) break;
            got += static_cast<std::size_t>(r);
        }
        data.resize(got);
    }
    close(fd);
    return data;
}

}  // namespace

SMyPrefs SMyPrefs::Defaults() {
    SMyPrefs p;
    p.mOptions = SMyOptions::Defaults();
    for (auto& t : p.mTrackInfo) t.ApplyPortRule();
    return p;
}

namespace UMyPrefs {

std::string GetPrefsSpec(const std::string& appFolder) {
    if (appFolder.empty()) return kMyPrefsFileName;
    return appFolder + (appFolder.back() == '/' ? "" : "/") + kMyPrefsFileName;
}

bool Parse(std::span<const std::uint8_t> data, SMyPrefs& out) {
    out = SMyPrefs::Defaults();
    if (data.size() > kMyPrefsMaxRead) data = data.first(kMyPrefsMaxRead);
    if (data.size() < kMyPrefsMinSize) return false;
    const std::uint16_t version = GetBE16(data.data());
    if (version != 4 && version != 5) return false;

    SMyPrefs p = SMyPrefs::Defaults();
    p.windowFlags = GetBE16(data.data() + kOffWindowFlags);
    p.toolbarRect = GetRect(data, kOffToolbarRect);
    p.logRect = GetRect(data, kOffLogRect);
    p.statsRect = GetRect(data, kOffStatsRect);
    p.mOptions.nMaxConnectionsIP = GetBE16(data.data() + kOffMaxConnectionsIP);
    for (int i = 0; i < 4; ++i) p.mOptions.stIPAddress.b[i] = data[kOffIPAddress + i];
    p.mOptions.nOpts = GetBE32(data.data() + kOffOpts);
    p.mOptions.nBasePortNum = GetBE16(data.data() + kOffBasePortNum);
    p.mOptions.nMaxDownloads = GetBE16(data.data() + kOffMaxDownloads);
    p.mOptions.nMaxDownloadsClient = GetBE16(data.data() + kOffMaxDownloadsClient);
    p.resolveAliases = data[kOffResolveAliases] != 0;
    p.mTrackerPassID = GetBE32(data.data() + kOffTrackerPassID);

    // A file that ends between two strings keeps everything read so far (a minimal 96-byte file
    // has room for only some of the tracker entries; the rest stay empty, and so does an entry
    // the end cuts in two).
    StringWalker w(data, kOffStrings);
    if (w.Skip() && w.Skip() && w.Skip() && w.Read(p.mServerName) && w.Skip() && w.Read(p.mServerDesc) &&
        w.Read(p.mAdminLogin) && w.Read(p.mAgreementBanner) && w.Read(p.mAgreementBannerUrl) &&
        w.Read(p.mAgreementUrl)) {
        for (auto& track : p.mTrackInfo) {
            std::span<const std::uint8_t> name;
            SLenText<31> login, passwd;
            if (!w.Next(name)) break;
            if (version >= 5 && !w.Read(login)) break;
            if (!w.Read(passwd)) break;
            track.SetName({reinterpret_cast<const char*>(name.data()), name.size()});
            track.login = login;
            track.passwd = passwd;
        }
    }
    if (w.Damaged()) return false;  // `out` keeps the defaults, fixed values included
    for (auto& track : p.mTrackInfo) track.ApplyPortRule();

    out = p;
    return true;
}

void ApplyFixUps(SMyPrefs& p) {
    if (p.mTrackerPassID == 0) p.mTrackerPassID = RandomNonZero();
    SMyTrackInfo& first = p.mTrackInfo[0];
    if (first.Name().empty()) {
        first.SetName(kDefaultTrackerAddr);
        first.login.Clear();
        first.passwd.Clear();
    }
    if (p.mOptions.nBasePortNum == 0) p.mOptions.nBasePortNum = kDefaultBasePortNum;
    if (p.mOptions.nMaxDownloads == 0) p.mOptions.nMaxDownloads = kDefaultMaxDownloads;
    if (p.mOptions.nMaxDownloadsClient == 0) p.mOptions.nMaxDownloadsClient = kDefaultMaxDownloadsClient;
    if (p.mAdminLogin.IsEmpty()) p.mAdminLogin.Set(kDefaultAdminLogin);
}

bool ReadPrefs(const std::string& path, SMyPrefs& out) {
    const std::vector<std::uint8_t> data = ReadHead(path);
    const bool accepted = Parse(data, out);
    ApplyFixUps(out);
    return accepted;
}

std::vector<std::uint8_t> Build(const SMyPrefs& p) {
    Builder b;
    b.Put16(kMyPrefsVersion);
    b.Put16(p.windowFlags);
    b.PutRect(p.toolbarRect);
    b.PutRect(p.logRect);
    b.PutRect(p.statsRect);
    b.PutZeros(kReservedSize);
    b.Put16(p.mOptions.nMaxConnectionsIP);
    for (int i = 0; i < 4; ++i) b.PutByte(p.mOptions.stIPAddress.b[i]);
    b.Put32(p.mOptions.nOpts);
    b.Put16(p.mOptions.nBasePortNum);
    b.Put16(p.mOptions.nMaxDownloads);
    b.Put16(p.mOptions.nMaxDownloadsClient);
    b.PutByte(p.resolveAliases ? 1 : 0);
    b.PutByte(0);
    b.Put32(p.mTrackerPassID);
    b.PutZeros(3);  // three empty strings
    b.PutPString(p.mServerName.P());
    b.PutZeros(1);  // one empty string
    b.PutPString(p.mServerDesc.P());
    b.PutPString(p.mAdminLogin.P());
    b.PutPString(p.mAgreementBanner.P());
    b.PutPString(p.mAgreementBannerUrl.P());
    b.PutPString(p.mAgreementUrl.P());
    for (const auto& t : p.mTrackInfo) {
        b.PutPString(t.addr.name);
        b.PutPString(t.login.P());
        b.PutPString(t.passwd.P());
    }
    static_assert(kOffReserved + kReservedSize == kOffMaxConnectionsIP);
    return std::move(b.Bytes());
}

void WritePrefs(const std::string& path, const SMyPrefs& prefs) {
    UFileUtil::WriteFileAtomic(path, Build(prefs));
}

}  // namespace UMyPrefs

}  // namespace kx
