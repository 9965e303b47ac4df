// The table of fuzz targets shared by the libFuzzer mains and the replay test.
#include "fuzz/targets.h"

#include <cstdio>
#include <cstdlib>

namespace kx::fuzz {

namespace {
const SFuzzTarget kTargets[] = {
    {"field_data", &FuzzFieldData},
    {"transact", &FuzzTransact},
    {"http_request", &FuzzHttpRequest},
    {"http_block", &FuzzHttpBlock},
    {"file_path", &FuzzFilePath},
    {"flat_file", &FuzzFlatFile},
    {"news_database", &FuzzNewsDatabase},
    {"prefs", &FuzzPrefs},
    {"ban_file", &FuzzBanFile},
    {"ip_range", &FuzzIPRange},
    {"user_data", &FuzzUserData},
    {"folder_item", &FuzzFolderItem},
    {"websocket", &FuzzWebSocket},
    {"web_request", &FuzzWebRequest},
};
}  // namespace

const SFuzzTarget* Targets(std::size_t* count) {
    *count = sizeof kTargets / sizeof kTargets[0];
    return kTargets;
}

void Violation(const char* what, const char* file, int line) {
    std::fprintf(stderr, "fuzz invariant broken: %s (%s:%d)\n", what, file, line);
    std::abort();
}

}  // namespace kx::fuzz
