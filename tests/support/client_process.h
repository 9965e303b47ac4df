// Runs the real kestrix client binary for end-to-end tests: one command to completion (standard
// input from a text, output and errors collected, a time limit), or an interactive chat whose
// standard input is a pipe the test writes to and whose output the test waits for.
#pragma once

#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kx::test {

struct SClientResult {
    int exitCode = -1;  // -1 when killed or not run
    std::string out;
    std::string err;
};

// Runs `kestrix args...` with `input` on standard input and the given environment additions
// (KESTRIX_PASSWORD is removed from the inherited environment unless given). Killed after
// timeoutMs.
SClientResult RunClientBinary(const std::vector<std::string>& args, const std::string& input = "",
                              const std::map<std::string, std::string>& env = {}, int timeoutMs = 60000);

class ClientProcess {
public:
    ClientProcess(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {});
    ~ClientProcess();
    ClientProcess(const ClientProcess&) = delete;
    ClientProcess& operator=(const ClientProcess&) = delete;

    bool Write(const std::string& text);
    void CloseInput();
    // Waits up to `ms` until the output collected so far holds `text`.
    bool WaitForOutput(const std::string& text, int ms = 30000);
    const std::string& Output() const { return mOut; }
    // Waits for the exit (killing after `ms`); the exit code or -1.
    int Wait(int ms = 30000);
    // Ends the process at once (SIGKILL), as a crash or a pulled plug would.
    void Kill();

private:
    void Drain(int ms);

    pid_t mPid = -1;
    int mIn = -1;
    int mOutFd = -1;
    std::string mOut;
    int mExit = -1;
};

}  // namespace kx::test
