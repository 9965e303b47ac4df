// Runs the real server binary for wire tests; see server_process.h.
#include "support/server_process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace kx::test {

namespace {
using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : int(left);
}
}  // namespace

CServerProcess::~CServerProcess() {
    Stop(5000);
    if (mOwnDir && !mDir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(mDir, ec);
    }
}

bool CServerProcess::Start(const std::vector<std::string>& extraArgs, std::string dir, int timeoutMs) {
    if (dir.empty()) {
        char tmpl[] = "/tmp/kestrix-test-XXXXXX";
        if (!mkdtemp(tmpl)) {
            mError = std::string("mkdtemp: ") + std::strerror(errno);
            return false;
        }
        dir = tmpl;
        mOwnDir = true;
    }
    mDir = dir;
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        mError = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    std::vector<std::string> args = {KX_SERVER_BINARY, "--dir", mDir, "--port", "0"};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    mPid = fork();
    if (mPid < 0) {
        mError = std::string("fork: ") + std::strerror(errno);
        close(pipeFds[0]);
        close(pipeFds[1]);
        return false;
    }
    if (mPid == 0) {
        const int devNull = open("/dev/null", O_RDWR);
        dup2(devNull, 0);
        dup2(devNull, 1);
        dup2(pipeFds[1], 2);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    mErrFd = pipeFds[0];
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const std::string marker = "listening on port ";
    for (;;) {
        const auto pos = mOutput.find(marker);
        if (pos != std::string::npos && mOutput.find('\n', pos) != std::string::npos) {
            mPort = static_cast<unsigned short>(std::atoi(mOutput.c_str() + pos + marker.size()));
            return mPort != 0;
        }
        const int left = RemainingMs(deadline);
        if (left == 0) {
            mError = "no start-up line; output: " + mOutput;
            return false;
        }
        const std::size_t before = mOutput.size();
        ReadOutput(left);
        if (mOutput.size() == before && mErrFd < 0) {
            mError = "server exited; output: " + mOutput;
            return false;
        }
    }
}

void CServerProcess::ReadOutput(int timeoutMs) {
    if (mErrFd < 0) return;
    pollfd p{mErrFd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return;
    char buf[4096];
    const ssize_t n = read(mErrFd, buf, sizeof buf);
    if (n > 0) {
        mOutput.append(buf, std::size_t(n));
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        close(mErrFd);
        mErrFd = -1;
    }
}

const std::string& CServerProcess::Output() {
    for (;;) {
        const std::size_t before = mOutput.size();
        ReadOutput(0);
        if (mOutput.size() == before) return mOutput;
    }
}

int CServerProcess::Stop(int timeoutMs) {
    if (mPid <= 0) return -1;
    kill(mPid, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    for (;;) {
        const pid_t r = waitpid(mPid, &status, WNOHANG);
        if (r == mPid) break;
        if (RemainingMs(deadline) == 0) {
            kill(mPid, SIGKILL);
            waitpid(mPid, &status, 0);
            status = -1;
            break;
        }
        ReadOutput(10);
        if (mErrFd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    mPid = -1;
    Output();
    if (mErrFd >= 0) {
        close(mErrFd);
        mErrFd = -1;
    }
    return status;
}

}  // namespace kx::test
