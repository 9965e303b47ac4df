// `--set` and `--options` of the server program (see options_command.h).
#include "console/options_command.h"

#include "admin/tracker.h"
#include "console/option_settings.h"
#include "framework/error.h"
#include "server/extended_options.h"
#include "server/pref_file.h"

namespace kx::UOptionsCommand {

int Run(const std::string& programDir, const std::vector<std::string>& assignments, bool show) {
    const std::string path = UMyPrefs::GetPrefsSpec(programDir);
    SMyPrefs prefs;
    UMyPrefs::ReadPrefs(path, prefs);
    const std::string extPath = programDir + "/" + kExtOptionsFileName;
    CMyExtendedOptions ext;
    for (const std::string& note : ext.Read(extPath)) std::fprintf(stderr, "kestrix-server: %s\n", note.c_str());
    bool prefsChanged = false, extChanged = false;
    for (const std::string& a : assignments) {
        std::string name, value, error;
        if (!UOptionSettings::SplitAssignment(a, name, value)) {
            std::fprintf(stderr, "kestrix-server: --set needs NAME=VALUE, not '%s'\n", a.c_str());
            return 2;
        }
        const bool extended = CMyExtendedOptions::Find(name) != nullptr;
        (extended ? extChanged : prefsChanged) = true;
        if (extended ? !ext.Set(name, value, error) : !UOptionSettings::Set(prefs, name, value, error)) {
            std::fprintf(stderr, "kestrix-server: %s. Nothing changed.\n", error.c_str());
            return 2;
        }
    }
    if (extChanged) {
        try {
            ext.Write(extPath);
        } catch (const SError& err) {
            std::fprintf(stderr, "kestrix-server: cannot write '%s': %s\n", extPath.c_str(), UError::GetMessage(err).c_str());
            return 1;
        }
    }
    if (prefsChanged) {
        if ((prefs.mOptions.nOpts & kMyOptTracker) &&
            (!UTracker::HasAnyTracker(prefs.mTrackInfo) || prefs.mServerName.IsEmpty())) {
            prefs.mOptions.nOpts &= ~kMyOptTracker;
            std::fprintf(stderr, "kestrix-server: tracker registration stays off: it needs a server name and a tracker\n");
        }
        try {
            UMyPrefs::WritePrefs(path, prefs);
        } catch (const SError& err) {
            std::fprintf(stderr, "kestrix-server: cannot write '%s': %s\n", path.c_str(), UError::GetMessage(err).c_str());
            return 1;
        }
    }
    if (show) {
        for (const auto& [name, value] : UOptionSettings::List(prefs)) std::printf("%s = %s\n", name.c_str(), value.c_str());
        for (const auto& [name, value] : ext.List()) std::printf("%s = %s\n", name.c_str(), value.c_str());
    }
    return 0;
}

}  // namespace kx::UOptionsCommand
