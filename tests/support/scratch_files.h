// A scratch folder for file-format tests, removed on destruction, and raw byte reads and writes
// of the files in it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "framework/file_util.h"

namespace kx::test {

struct ScratchDir {
    std::filesystem::path path;
    ScratchDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "kx-test-XXXXXX").string();
        path = mkdtemp(tmpl.data());
    }
    ~ScratchDir() { std::filesystem::remove_all(path); }
    std::string File(const char* name) const { return (path / name).string(); }
};

inline void WriteRaw(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<std::uint8_t> ReadRaw(const std::string& path) {
    auto d = UFileUtil::ReadWholeFile(path);
    EXPECT_TRUE(d) << path;
    return d ? *d : std::vector<std::uint8_t>{};
}

}  // namespace kx::test
