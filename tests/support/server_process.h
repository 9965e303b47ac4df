// Starts the real kestrix-server binary on a temporary program folder for wire tests: writes a
// "pref" with free ports, waits until the server logs that every listener is open, and on
// destruction sends SIGTERM, waits for the exit and removes the folder. Standard output and error
// go to files in the folder so tests can read the log lines and check for sanitizer reports.
#pragma once

#include <string>
#include <sys/types.h>

namespace kx::test {

// A fresh temporary folder, removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return mPath; }
    std::string operator/(const std::string& name) const { return mPath + "/" + name; }

private:
    std::string mPath;
};

// Eight consecutive ports that were free a moment ago and stay reserved for this process (below
// the ephemeral range, locked against other test processes): the plain ports base to base + 3,
// the TLS ports base + 4 and base + 5, the metrics port base + 6 and the web port base + 7.
unsigned short FindFreeBasePort();

// A blocking TCP connection to 127.0.0.1:port: its descriptor, or -1 when refused.
int ConnectLoopback(unsigned short port);
// True when a TCP connection to 127.0.0.1:port is accepted.
bool CanConnect(unsigned short port);

// Reads a whole file into a string ("" when missing).
std::string ReadFileText(const std::string& path);
void WriteFileText(const std::string& path, const std::string& text);

class ServerProcess {
public:
    // Uses `dir` as the program folder. Writes a default "pref" with a free base port unless
    // writePref is false (the test wrote its own; then pass its port).
    explicit ServerProcess(const std::string& dir, bool writePref = true, unsigned short port = 0);
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // Starts the binary and waits (up to timeoutMs) until it logs its start line, which comes
    // once every listener is open. Returns false when the server exited or logged that it cannot listen.
    bool Start(int timeoutMs = 60000);
    // SIGTERM, then waits up to 30 s for the exit (SIGKILL after that). Returns the exit status
    // as waitpid reports it, or -1.
    int Stop();
    bool IsRunning();

    // Gives the server a pipe as standard input instead of /dev/null (call before Start), so a
    // test can type console commands.
    void UseStdinPipe() { mUseStdinPipe = true; }
    bool WriteStdin(const std::string& text);
    void CloseStdin();
    bool Signal(int sig);
    // Waits up to `ms` for the server to exit on its own; true when it did (status set).
    bool WaitExit(int ms, int* status = nullptr);
    // Waits up to `ms` until standard output holds `text`.
    bool WaitForOutput(const std::string& text, int ms = 30000) const;

    unsigned short Port() const { return mPort; }
    // The child's process id while it runs (-1 otherwise), e.g. to read /proc/<pid>/status.
    pid_t Pid() const { return mPid; }
    std::string StdOut() const { return ReadFileText(mDir + "/server.out"); }
    std::string StdErr() const { return ReadFileText(mDir + "/server.err"); }

private:
    std::string mDir;
    unsigned short mPort;
    pid_t mPid = -1;
    bool mUseStdinPipe = false;
    int mStdinFd = -1;  // write end of the pipe
};

}  // namespace kx::test
