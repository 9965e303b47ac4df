// `kestrix-server --check`: reads every file the server reads at start-up, the way it reads
// them, without serving and without changing anything, and names each problem it finds, so an
// operator can check a program folder before restarting the service (like `nginx -t`).
#pragma once

#include <string>
#include <vector>

namespace kx::UFolderCheck {

// One problem: the file concerned (relative to the program folder; the folder itself is named
// as given) and what is wrong with it.
struct SProblem {
    std::string file;
    std::string what;
};

// Checks the program folder `dir`: the folder itself, "pref", "Banned", every account's
// "UserData", every news category under "News" and under each account's own "News", the
// message board, the agreement and a local banner. Never writes.
std::vector<SProblem> CheckFolder(const std::string& dir);

// "FILE: WHAT", the line --check prints.
std::string ProblemLine(const SProblem& problem);

}  // namespace kx::UFolderCheck
