// The console's input: lines read from a descriptor (the server's standard input) without ever
// blocking the event loop. A pipe or terminal is watched for readability and read non-blocking;
// a regular file (input redirected from a script) is read once, whole, up to a limit; anything
// that cannot be watched (/dev/null, a closed descriptor) is simply not read. At end of input
// the descriptor is unwatched and the server goes on serving.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace kx {

inline constexpr std::size_t kConsoleLineMax = 4096;
inline constexpr std::size_t kConsoleScriptMax = 1 << 20;

// Splits bytes into lines ending in "\n" (a "\r" before it is dropped). A line longer than
// kConsoleLineMax is discarded whole and reported as an over-long line instead.
class CMyLineSplitter {
public:
    using TLineProc = std::function<void(const std::string& line, bool tooLong)>;

    void Feed(std::string_view bytes, const TLineProc& onLine);
    // End of input: a last line without "\n" is delivered.
    void Finish(const TLineProc& onLine);

private:
    std::string mLine;
    bool mOverflow = false;
};

class CMyConsoleInput {
public:
    // Starts reading `fd`; each line goes to onLine, on the loop thread. onEnd runs once when
    // the input ends (or at once when it cannot be read).
    CMyConsoleInput(int fd, CMyLineSplitter::TLineProc onLine, std::function<void()> onEnd);
    ~CMyConsoleInput();
    CMyConsoleInput(const CMyConsoleInput&) = delete;
    CMyConsoleInput& operator=(const CMyConsoleInput&) = delete;

    bool IsWatching() const { return mWatching; }

private:
    void OnReadable();
    void End();
    void ReadScriptFile();

    int mFd;
    int mSavedFlags = -1;
    bool mWatching = false;
    bool mEnded = false;
    CMyLineSplitter mSplitter;
    CMyLineSplitter::TLineProc mOnLine;
    std::function<void()> mOnEnd;
};

}  // namespace kx
