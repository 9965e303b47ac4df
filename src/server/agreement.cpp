// The agreement shown at login ("Agreement.txt" beside the program) and the server banner (a
// remote URL, or a local picture file with an optional link), loaded at start-up and on the
// operator's reload.
#include <algorithm>
#include <cctype>
#include <cerrno>

#include "framework/file_util.h"
#include "framework/text_format.h"
#include "fs/file_types.h"
#include "fs/mac_roman.h"
#include "server/application.h"

namespace kx {

namespace {
constexpr std::size_t kTextFileMax = 65535;
constexpr std::size_t kOtherFileMax = 262140;
constexpr std::uint32_t kTypeText = MakeCode("TEXT");
constexpr std::uint32_t kBannerUrl = MakeCode("URL ");

// Line ends as this server writes them: CR-LF pairs and lone LFs (a file written on another
// system) both become a single CR.
void ToCarriageReturns(std::vector<std::uint8_t>& text) {
    std::size_t out = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint8_t c = text[i];
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        else if (c == '\n') c = '\r';
        text[out++] = c;
    }
    text.resize(out);
}

bool EndsWith(const std::string& lowerName, const char* suffix) {
    const std::string s(suffix);
    return lowerName.size() >= s.size() && lowerName.compare(lowerName.size() - s.size(), s.size(), s) == 0;
}

// The banner's kind: by the name's ending first, else the file's own type code.
std::uint32_t BannerKind(const std::string& name, std::uint32_t typeCode) {
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (EndsWith(lower, ".jpg") || typeCode == MakeCode("JPEG") || typeCode == MakeCode("JFIF")) return MakeCode("JPEG");
    if (EndsWith(lower, ".gif") || typeCode == MakeCode("GIFf")) return MakeCode("GIFf");
    if (EndsWith(lower, ".pct") || typeCode == MakeCode("PICT")) return MakeCode("PICT");
    if (EndsWith(lower, ".bmp") || EndsWith(lower, ".dib") || typeCode == MakeCode("BMP ")) return MakeCode("BMP ");
    return typeCode;
}

// "Loaded file" and the like name the file without its folders.
std::string BaseName(const std::string& name) {
    const std::size_t slash = name.find_last_of('/');
    return slash == std::string::npos ? name : name.substr(slash + 1);
}
}  // namespace

void CMyApplication::LoadAgreement(bool reload) {
    std::vector<std::uint8_t> data;
    mAgreement.mServerAgreement.reset();
    if (LoadAgreementFile(kMyAgreementTextFileName, true, reload, data))
        mAgreement.mServerAgreement.emplace(data.begin(), data.end());
    mAgreement.mServerBannerType = 0;

    if (!(mOptions.nOpts & kMyOptLocalBanner)) {
        mAgreement.mServerBanner.reset();
        mAgreement.mServerBannerUrl.reset();
        if (!mPrefs.mAgreementUrl.IsEmpty()) {
            mAgreement.mServerBannerUrl = mPrefs.mAgreementUrl.Str();
            mAgreement.mServerBannerType = kBannerUrl;
        }
        return;
    }

    mAgreement.mServerBannerUrl.reset();
    mAgreement.mServerBanner.reset();
    const std::string name = mPrefs.mAgreementBanner.Str();
    std::uint32_t typeCode = 0, creator = 0;
    UFileTypes::GetCodes(BaseName(name), typeCode, creator);
    if (LoadAgreementFile(name, typeCode == kTypeText, reload, data)) {
        mAgreement.mServerBanner = std::move(data);
        mAgreement.mServerBannerType = BannerKind(name, typeCode);
        if (!mPrefs.mAgreementBannerUrl.IsEmpty()) mAgreement.mServerBannerUrl = mPrefs.mAgreementBannerUrl.Str();
    }
}

bool CMyApplication::LoadAgreementFile(const std::string& fileName, bool isText, bool reload,
                                       std::vector<std::uint8_t>& out) {
    out.clear();
    if (fileName.empty()) return false;
    // A plain name is looked for in the program folder; an absolute path is taken as it is.
    const std::string path = fileName.front() == '/' ? fileName : ProgramPath(fileName);
    if (!UFileUtil::Exists(path) || UFileUtil::IsDirectory(path)) {
        Log("Could not find file " + UMacRoman::Quoted(fileName));
        return false;
    }
    const std::size_t limit = isText ? kTextFileMax : kOtherFileMax;
    bool tooLarge = false;
    errno = 0;
    auto data = UFileUtil::ReadWholeFile(path, limit, &tooLarge);
    const int readErrno = errno;
    if (tooLarge) {
        // The console's "Attention" notice; without a console it goes to the log.
        mLogger.LogText("Attention", UText::FormatString("<%s> is larger that %lu bytes and cannot be used as agreement.",
                                                         fileName, static_cast<std::uint64_t>(limit)));
        return false;
    }
    if (!data) {
        Log("Could not load file " + UMacRoman::Quoted(fileName));
        SError err(kErrClassFileSys, kErrFileNotFound, __FILE__, __LINE__);
        if (readErrno != 0) UError::MapErrno(readErrno, err.type, err.id);
        Error(err);
        return false;
    }
    out = std::move(*data);
    if (isText) ToCarriageReturns(out);
    Log((reload ? "Reloaded file " : "Loaded file ") + UMacRoman::Quoted(fileName));
    return true;
}

}  // namespace kx
