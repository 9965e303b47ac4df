// The command line's view of the options files: `--set NAME=VALUE` and `--options` on the "pref"
// file and the extended options of a stopped server. With the usage text (server_usage.h) this
// is all the server program's entry (src/server/main.cpp) needs of the console.
#pragma once

#include <string>
#include <vector>

namespace kx::UOptionsCommand {

// Applies every "NAME=VALUE" of `assignments` to the options files of `programDir` and writes
// the ones that changed (registration with the trackers stays off without a server name and a
// tracker), then prints every option when `show` is set. Complaints go to standard error.
// Returns the exit status: 0, 2 for a bad assignment (nothing is written then), 1 when a file
// cannot be written.
int Run(const std::string& programDir, const std::vector<std::string>& assignments, bool show);

}  // namespace kx::UOptionsCommand
