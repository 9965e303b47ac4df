// A scratch folder for file-format tests, removed on destruction, raw byte reads and writes of
// the files in it, and a builder of file images.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "framework/byte_codec.h"
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

// Builds file images field by field, independently of the code under test.
struct Image {
    std::vector<std::uint8_t> b;
    Image& U8(std::uint8_t v) { b.push_back(v); return *this; }
    Image& U16(std::uint16_t v) { AppendBE16(b, v); return *this; }
    Image& U32(std::uint32_t v) { AppendBE32(b, v); return *this; }
    Image& Zeros(std::size_t n) { b.insert(b.end(), n, 0); return *this; }
    Image& Addr(std::uint8_t a, std::uint8_t b1, std::uint8_t c, std::uint8_t d) { return U8(a).U8(b1).U8(c).U8(d); }
    // A length byte and the text; with a width, zeros after the text up to that many bytes.
    Image& Str(std::string_view s, std::size_t width = 0) {
        U8(std::uint8_t(s.size()));
        b.insert(b.end(), s.begin(), s.end());
        if (width > s.size()) Zeros(width - s.size());
        return *this;
    }
};

}  // namespace kx::test
