// Runs the real server binary for wire tests: starts it on a fresh temporary data folder with
// --port 0, learns the port from its start-up line, and stops it with SIGTERM (SIGKILL after a
// timeout) so that no test can leave a server behind or wait forever.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace kx::test {

class CServerProcess {
public:
    CServerProcess() = default;
    ~CServerProcess();
    CServerProcess(const CServerProcess&) = delete;
    CServerProcess& operator=(const CServerProcess&) = delete;

    // Starts KX_SERVER_BINARY with --dir (a new temporary folder unless given), --port 0 and
    // `extraArgs`; waits up to timeoutMs for "listening on port N". False on failure (see Error()).
    bool Start(const std::vector<std::string>& extraArgs = {}, std::string dir = "", int timeoutMs = 10000);
    // SIGTERM, then waits; the exit status (as from waitpid) or -1 when it had to be killed.
    int Stop(int timeoutMs = 10000);

    unsigned short Port() const { return mPort; }
    const std::string& Dir() const { return mDir; }
    // Everything the server wrote to standard error so far.
    const std::string& Output();
    const std::string& Error() const { return mError; }

private:
    void ReadOutput(int timeoutMs);

    pid_t mPid = -1;
    int mErrFd = -1;
    unsigned short mPort = 0;
    std::string mDir;
    bool mOwnDir = false;
    std::string mOutput;
    std::string mError;
};

}  // namespace kx::test
