// Child-process plumbing for the client's end-to-end tests.
#include "support/client_process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kx::test {

namespace {

using Clock = std::chrono::steady_clock;

pid_t Spawn(const std::vector<std::string>& args, const std::map<std::string, std::string>& env, int in, int out,
            int err) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::unsetenv("KESTRIX_PASSWORD");
    // A proxy of the machine's environment would carry every --tunnel run; tests name their own.
    for (const char* name : {"http_proxy", "HTTP_PROXY", "no_proxy", "NO_PROXY"}) ::unsetenv(name);
    for (const auto& [k, v] : env) ::setenv(k.c_str(), v.c_str(), 1);
    std::vector<char*> argv;
    static std::string binary = KX_CLIENT_BINARY;
    argv.push_back(binary.data());
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(binary.c_str(), argv.data());
    ::_exit(127);
}

// Waits for `pid` up to `ms`, then kills it; the exit code or -1.
int Reap(pid_t pid, int ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    int status = 0;
    for (;;) {
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (r < 0) return -1;
        if (Clock::now() >= end) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        ::usleep(5000);
    }
}

std::string ReadAll(int fd) {
    std::string text;
    ::lseek(fd, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
    return text;
}

int TempFile() {
    char name[] = "/tmp/kx-client-XXXXXX";
    const int fd = ::mkstemp(name);
    if (fd >= 0) ::unlink(name);
    return fd;
}

}  // namespace

SClientResult RunClientBinary(const std::vector<std::string>& args, const std::string& input,
                              const std::map<std::string, std::string>& env, int timeoutMs) {
    SClientResult result;
    const int in = TempFile(), out = TempFile(), err = TempFile();
    if (in < 0 || out < 0 || err < 0) return result;
    if (::write(in, input.data(), input.size()) != static_cast<ssize_t>(input.size())) return result;
    ::lseek(in, 0, SEEK_SET);
    const pid_t pid = Spawn(args, env, in, out, err);
    if (pid > 0) result.exitCode = Reap(pid, timeoutMs);
    result.out = ReadAll(out);
    result.err = ReadAll(err);
    ::close(in);
    ::close(out);
    ::close(err);
    return result;
}

ClientProcess::ClientProcess(const std::vector<std::string>& args, const std::map<std::string, std::string>& env) {
    int inPipe[2], outPipe[2];
    if (::pipe2(inPipe, O_CLOEXEC) != 0) return;
    if (::pipe2(outPipe, O_CLOEXEC) != 0) return;
    mPid = Spawn(args, env, inPipe[0], outPipe[1], outPipe[1]);
    ::close(inPipe[0]);
    ::close(outPipe[1]);
    mIn = inPipe[1];
    mOutFd = outPipe[0];
}

ClientProcess::~ClientProcess() {
    CloseInput();
    if (mPid > 0) Wait(5000);
    if (mOutFd >= 0) ::close(mOutFd);
}

bool ClientProcess::Write(const std::string& text) {
    return mIn >= 0 && ::write(mIn, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void ClientProcess::CloseInput() {
    if (mIn >= 0) ::close(mIn);
    mIn = -1;
}

void ClientProcess::Drain(int ms) {
    if (mOutFd < 0) return;
    pollfd p{mOutFd, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return;
    char buf[4096];
    const ssize_t n = ::read(mOutFd, buf, sizeof buf);
    if (n > 0) mOut.append(buf, static_cast<std::size_t>(n));
    else {
        ::close(mOutFd);
        mOutFd = -1;
    }
}

bool ClientProcess::WaitForOutput(const std::string& text, int ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (mOut.find(text) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0 || mOutFd < 0) return mOut.find(text) != std::string::npos;
        Drain(static_cast<int>(left));
    }
    return true;
}

int ClientProcess::Wait(int ms) {
    if (mPid <= 0) return mExit;
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (mOutFd >= 0 && Clock::now() < end) Drain(50);
    mExit = Reap(mPid, 1000);
    mPid = -1;
    return mExit;
}

void ClientProcess::Kill() {
    if (mPid <= 0) return;
    ::kill(mPid, SIGKILL);
    Reap(mPid, 5000);
    mPid = -1;
    mExit = -1;
}

}  // namespace kx::test
