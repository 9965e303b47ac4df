// Reading console lines from a descriptor without blocking the loop.
#include "console/console_io.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "framework/error.h"
#include "framework/event_loop.h"

namespace kx {

void CMyLineSplitter::Feed(std::string_view bytes, const TLineProc& onLine) {
    for (char c : bytes) {
        if (c == '\n') {
            if (!mLine.empty() && mLine.back() == '\r') mLine.pop_back();
            const bool tooLong = mOverflow;
            std::string line;
            line.swap(mLine);
            mOverflow = false;
            onLine(tooLong ? std::string() : line, tooLong);
            continue;
        }
        if (mOverflow) continue;
        if (mLine.size() >= kConsoleLineMax) {
            mOverflow = true;
            mLine.clear();
            continue;
        }
        mLine.push_back(c);
    }
}

void CMyLineSplitter::Finish(const TLineProc& onLine) {
    if (mLine.empty() && !mOverflow) return;
    Feed("\n", onLine);
}

CMyConsoleInput::CMyConsoleInput(int fd, CMyLineSplitter::TLineProc onLine, std::function<void()> onEnd)
    : mFd(fd), mOnLine(std::move(onLine)), mOnEnd(std::move(onEnd)) {
    struct stat st{};
    if (mFd < 0 || fstat(mFd, &st) != 0) {
        End();
        return;
    }
    if (S_ISREG(st.st_mode)) {
        ReadScriptFile();
        return;
    }
    mSavedFlags = fcntl(mFd, F_GETFL);
    if (mSavedFlags >= 0 && !(mSavedFlags & O_NONBLOCK)) fcntl(mFd, F_SETFL, mSavedFlags | O_NONBLOCK);
    try {
        CEventLoop::Get().WatchFd(mFd, kFdReadable, [this](std::uint32_t) { OnReadable(); });
        mWatching = true;
    } catch (const SError&) {
        // epoll refuses descriptors that are always ready (/dev/null): nothing to read there.
        End();
    }
}

CMyConsoleInput::~CMyConsoleInput() {
    if (mWatching) CEventLoop::Get().UnwatchFd(mFd);
    // The terminal or pipe is shared with whoever started the server: leave it as it was found.
    if (mSavedFlags >= 0 && !(mSavedFlags & O_NONBLOCK)) fcntl(mFd, F_SETFL, mSavedFlags);
}

void CMyConsoleInput::OnReadable() {
    char buf[4096];
    // A bounded number of reads per wake-up, so a flood on the console cannot starve clients.
    for (int round = 0; round < 16; ++round) {
        const ssize_t n = read(mFd, buf, sizeof buf);
        if (n > 0) {
            mSplitter.Feed(std::string_view(buf, static_cast<std::size_t>(n)), mOnLine);
            if (mEnded) return;  // a command ended the console (or the server) meanwhile
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n < 0 && errno == EINTR) continue;
        // End of input, or an error that will not go away.
        mSplitter.Finish(mOnLine);
        End();
        return;
    }
}

void CMyConsoleInput::ReadScriptFile() {
    std::string data;
    char buf[4096];
    while (data.size() < kConsoleScriptMax) {
        const ssize_t n = read(mFd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        data.append(buf, static_cast<std::size_t>(n));
    }
    if (data.size() > kConsoleScriptMax) data.resize(kConsoleScriptMax);
    mSplitter.Feed(data, mOnLine);
    mSplitter.Finish(mOnLine);
    End();
}

void CMyConsoleInput::End() {
    if (mEnded) return;
    mEnded = true;
    if (mWatching) {
        CEventLoop::Get().UnwatchFd(mFd);
        mWatching = false;
    }
    if (mOnEnd) mOnEnd();
}

}  // namespace kx
