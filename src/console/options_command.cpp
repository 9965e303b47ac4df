// `--set` and `--options` of the server program (see options_command.h).
#include "console/options_command.h"

#include "admin/tracker.h"
#include "console/option_settings.h"
#include "framework/error.h"
#include "server/pref_file.h"

namespace kx::UOptionsCommand {

int Run(const std::string& programDir, const std::vector<std::string>& assignments, bool show) {
    const std::string path = UMyPrefs::GetPrefsSpec(programDir);
    SMyPrefs prefs;
    UMyPrefs::ReadPrefs(path, prefs);
    for (const std::string& a : assignments) {
        std::string name, value, error;
        if (!UOptionSettings::SplitAssignment(a, name, value)) {
            std::fprintf(stderr, "kestrix-server: --set needs NAME=VALUE, not '%s'\n", a.c_str());
            return 2;
        }
        if (!UOptionSettings::Set(prefs, name, value, error)) {
            std::fprintf(stderr, "kestrix-server: %s. Nothing changed.\n", error.c_str());
            return 2;
        }
    }
    if (!assignments.empty()) {
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
    }
    return 0;
}

void PrintNames(std::FILE* out) {
    for (const auto& [name, what] : UOptionSettings::Describe()) std::fprintf(out, "  %s: %s\n", name.c_str(), what.c_str());
}

}  // namespace kx::UOptionsCommand
