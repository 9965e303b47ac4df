// Checking the framework's errors in tests: the (class, code) an operation raises, and the
// diagnostics (UError::DebugBreak) written meanwhile, collected instead of reaching standard error.
#pragma once

#include <string>
#include <utility>

#include "framework/error.h"

namespace kx::test {

// Runs `fn` and returns the (class, code) of the SError it raised, or (0, 0).
template <class F>
std::pair<int, int> ErrorOf(F&& fn) {
    try {
        fn();
    } catch (const SError& e) {
        return {e.type, e.id};
    }
    return {0, 0};
}

// Collects the diagnostics while alive, so that a test can check the text.
class CDebugCapture {
public:
    CDebugCapture() {
        Text().clear();
        UError::SetDebugSink([](const std::string& text) { Text() += text + "\n"; });
    }
    ~CDebugCapture() { UError::SetDebugSink(nullptr); }
    CDebugCapture(const CDebugCapture&) = delete;
    CDebugCapture& operator=(const CDebugCapture&) = delete;

    // Every diagnostic since construction, one per line.
    static std::string& Text() {
        static std::string text;
        return text;
    }
};

}  // namespace kx::test
