// Collects the framework's diagnostics (UError::DebugBreak) while alive, instead of letting them
// reach standard error, so that a test can check the text.
#pragma once

#include <string>

#include "framework/error.h"

namespace kx::test {

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
