// The program folder check behind `kestrix-server --check`: each reader of start-up run on its
// file, read-only, with what it would have silently fixed or skipped reported instead.
#include "server/folder_check.h"

#include <algorithm>
#include <filesystem>
#include <strings.h>
#include <unistd.h>

#include "accounts/account_store.h"
#include "admin/ban_file.h"
#include "framework/error.h"
#include "framework/file_util.h"
#include "net/tls_context.h"
#include "news/news_database.h"
#include "server/application.h"
#include "server/extended_options.h"
#include "server/pref_file.h"

namespace kx::UFolderCheck {

namespace {

namespace fs = std::filesystem;

constexpr std::uintmax_t kCheckReadMax = 1 << 20;
constexpr std::size_t kMaxCategoriesChecked = 100000;

// The account store's read errors in the operator's terms.
std::string AccountReadProblem(const SError& err) {
    // The record's own numbering (protocol/user_data.h): 8 for a wrong size, 7 for a wrong version.
    if (err.type == kErrClassGeneral && err.id == kErrBadVersion) return "not an account record (not 734 bytes long)";
    if (err.type == kErrClassGeneral && err.id == kErrBadFormat) return "an account record of an unknown version";
    if (err.type == kErrClassFileSys && err.id == kErrFileNotFound) return "missing: the account cannot log in";
    if (err.type == kErrClassFileSys && err.id == kErrItemNotFound) return "the folder's name cannot be a login";
    return UError::GetMessage(err);
}

class CFolderChecker {
public:
    explicit CFolderChecker(std::string dir) : mDir(std::move(dir)) {}

    std::vector<SProblem> Run() {
        if (!UFileUtil::IsDirectory(mDir)) {
            Add(mDir, "no such folder");
            return std::move(mProblems);
        }
        if (access(mDir.c_str(), R_OK | W_OK | X_OK) != 0)
            Add(mDir, "the folder cannot be read and written by this user");
        SMyPrefs prefs = CheckPrefs();
        const CMyExtendedOptions ext = CheckExtendedOptions();
        CheckBans();
        for (const char* folder : {"Users", "Files", "News", "Trash"}) {
            const fs::path p = Path(folder);
            std::error_code ec;
            if (fs::exists(p, ec) && !fs::is_directory(p, ec)) Add(folder, "not a folder");
        }
        CheckAccounts();
        CheckNewsTree("News");
        CheckReadable(kMsgBoardFileName);
        CheckReadable(kMyAgreementTextFileName);
        if ((prefs.mOptions.nOpts & kMyOptLocalBanner) && !prefs.mAgreementBanner.IsEmpty()) {
            const std::string banner = prefs.mAgreementBanner.Str();
            if (!UFileUtil::Exists(Path(banner))) Add(banner, "the local banner is switched on but the file is missing");
            else CheckReadable(banner);
        }
        CheckCertificate(ext);
        return std::move(mProblems);
    }

private:
    std::string Path(const std::string& name) const { return mDir + "/" + name; }
    void Add(std::string file, std::string what) { mProblems.push_back({std::move(file), std::move(what)}); }

    // Every line start-up would ignore is a problem here.
    CMyExtendedOptions CheckExtendedOptions() {
        CMyExtendedOptions ext;
        const std::string prefix = std::string(kExtOptionsFileName) + " ";
        for (std::string note : ext.Read(Path(kExtOptionsFileName))) {
            if (note.starts_with(prefix)) note.erase(0, prefix.size());
            else if (note.starts_with(kExtOptionsFileName + std::string(": "))) note.erase(0, prefix.size() + 1);
            Add(kExtOptionsFileName, note);
        }
        return ext;
    }

    // With TLS on, the certificate and key must load, unless neither is configured nor present:
    // start-up then makes them.
    void CheckCertificate(const CMyExtendedOptions& ext) {
        if (!ext.Switch("tls", true)) return;
        const std::string cert = ext.Path("tls_certificate", kTlsDefaultCertificate, mDir);
        const std::string key = ext.Path("tls_key", kTlsDefaultKey, mDir);
        if (!ext.Get("tls_certificate") && !ext.Get("tls_key") && !UFileUtil::Exists(cert) && !UFileUtil::Exists(key))
            return;
        CTlsServerContext context;
        std::string error;
        if (!context.Load(cert, key, error))
            Add(ext.Get("tls_certificate").value_or(kTlsDefaultCertificate), error + "; TLS would stay off");
    }

    SMyPrefs CheckPrefs() {
        SMyPrefs prefs = SMyPrefs::Defaults();
        const std::string path = UMyPrefs::GetPrefsSpec(mDir);
        if (!UFileUtil::Exists(path)) return prefs;  // a fresh folder: the defaults, as at start-up
        if (access(path.c_str(), R_OK) != 0) {
            Add(kMyPrefsFileName, "cannot be read");
            return prefs;
        }
        if (!UMyPrefs::ReadPrefs(path, prefs))
            Add(kMyPrefsFileName, "not a readable options file (too short, unknown version or damaged texts); "
                                  "the server would start with the default options and overwrite it on quit");
        return prefs;
    }

    void CheckBans() {
        bool tooLarge = false;
        const auto data = UFileUtil::ReadWholeFile(Path(kBanFileName), kCheckReadMax, &tooLarge);
        if (!data) {
            if (tooLarge) Add(kBanFileName, "larger than any ban file");
            else if (UFileUtil::Exists(Path(kBanFileName))) Add(kBanFileName, "cannot be read");
            return;
        }
        BanList list;
        switch (UBanFile::Parse(*data, list)) {
        case EBanFileRead::kRead:
        case EBanFileRead::kMissing:
            break;
        case EBanFileRead::kCountZero:
            Add(kBanFileName, "states no bans; the server would delete it");
            break;
        case EBanFileRead::kUnknownVersion:
            Add(kBanFileName, "unknown version; no ban would apply");
            break;
        case EBanFileRead::kTooShort:
            Add(kBanFileName, "too short for a ban file; no ban would apply");
            break;
        case EBanFileRead::kDamaged:
            Add(kBanFileName, "damaged after " + std::to_string(list.size()) + " ban(s); the bans after that would not apply");
            break;
        }
    }

    void CheckAccounts() {
        CMyAccountStore store(Path("Users"), Path("Trash"));
        if (!UFileUtil::IsDirectory(Path("Users"))) return;
        const auto names = store.GetUserFolderList();
        if (!names) {
            Add("Users", "cannot be listed");
            return;
        }
        for (const std::string& name : *names) {
            const std::string file = "Users/" + name + "/" + kUserDataFileName;
            try {
                const SMyUserDataFile rec = store.GetUser(name);
                if (!rec.IsWellFormed()) Add(file, "a text size is larger than its field");
                else if (strcasecmp(rec.GetLogin().c_str(), name.c_str()) != 0)
                    Add(file, "holds the login \"" + rec.GetLogin() + "\", not its folder's name");
            } catch (const SError& err) {
                Add(file, AccountReadProblem(err));
            }
            if (UFileUtil::IsDirectory(Path("Users/" + name + "/News"))) CheckNewsTree("Users/" + name + "/News");
        }
    }

    // Every ".knz" file below `root` (relative), folders being bundles. Links are not followed:
    // the server resolves them inside a client's tree, and a link out of the folder is no
    // category of this server.
    void CheckNewsTree(const std::string& root) {
        std::error_code ec;
        fs::recursive_directory_iterator it(Path(root), fs::directory_options::skip_permission_denied, ec);
        if (ec) {
            if (fs::exists(Path(root))) Add(root, "cannot be listed");
            return;
        }
        std::vector<std::string> categories;
        for (; it != fs::recursive_directory_iterator() && categories.size() < kMaxCategoriesChecked; it.increment(ec)) {
            if (ec) {
                Add(root, "cannot be listed completely: " + ec.message());
                break;
            }
            const fs::path& p = it->path();
            if (p.extension() == ".knz" && it->is_regular_file(ec)) categories.push_back(p.string());
        }
        std::sort(categories.begin(), categories.end());
        for (const std::string& path : categories) {
            const std::string file = path.substr(mDir.size() + 1);
            for (const std::string& what : UMyNewsDatabase::CheckCategory(path)) Add(file, what);
        }
    }

    void CheckReadable(const std::string& name) {
        const std::string path = Path(name);
        if (UFileUtil::Exists(path) && access(path.c_str(), R_OK) != 0) Add(name, "cannot be read");
    }

    std::string mDir;
    std::vector<SProblem> mProblems;
};

}  // namespace

std::vector<SProblem> CheckFolder(const std::string& dir) {
    std::string root = dir;
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    return CFolderChecker(root).Run();
}

std::string ProblemLine(const SProblem& problem) { return problem.file + ": " + problem.what; }

}  // namespace kx::UFolderCheck
