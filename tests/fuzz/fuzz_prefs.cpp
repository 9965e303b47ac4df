// Fuzz target: the options file "pref". Any bytes are accepted or give the defaults; whatever was
// read is written back in the current version, and that image must read back to itself.
#include <span>
#include <vector>

#include "fuzz/targets.h"
#include "server/pref_file.h"

namespace kx::fuzz {

int FuzzPrefs(const std::uint8_t* data, std::size_t size) {
    SMyPrefs prefs;
    const bool accepted = UMyPrefs::Parse(std::span<const std::uint8_t>(data, size), prefs);
    KX_FUZZ_CHECK(accepted || size >= kMyPrefsMinSize || UMyPrefs::Build(prefs) == UMyPrefs::Build(SMyPrefs::Defaults()));
    const std::vector<std::uint8_t> image = UMyPrefs::Build(prefs);
    SMyPrefs again;
    KX_FUZZ_CHECK(UMyPrefs::Parse(image, again));
    KX_FUZZ_CHECK(UMyPrefs::Build(again) == image);
    UMyPrefs::ApplyFixUps(prefs);
    SMyPrefs fixed;
    KX_FUZZ_CHECK(UMyPrefs::Parse(UMyPrefs::Build(prefs), fixed));
    return 0;
}

}  // namespace kx::fuzz
