// The command line's view of the options file: `--set NAME=VALUE` and `--options` on the "pref"
// file of a stopped server, and the option names the usage text lists. The server program's
// entry (src/server/main.cpp) needs nothing else of the console.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace kx::UOptionsCommand {

// Applies every "NAME=VALUE" of `assignments` to the options file of `programDir` and writes it
// (registration with the trackers stays off without a server name and a tracker), then prints
// the options when `show` is set. Complaints go to standard error. Returns the exit status: 0,
// 2 for a bad assignment (nothing is written then), 1 when the file cannot be written.
int Run(const std::string& programDir, const std::vector<std::string>& assignments, bool show);

// One line "  name: what" per option.
void PrintNames(std::FILE* out);

}  // namespace kx::UOptionsCommand
