// A scratch folder for file-system tests: made fresh under the system's temporary folder and
// removed with everything in it when the test ends. Helpers write files and links into it (and
// ErrorOf, from support/error_checks.h, catches the error an operation raises).
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/error_checks.h"

namespace kx::test {

class CScratchDir {
public:
    CScratchDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "kxfs-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
        mPath = tmpl;
    }
    ~CScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(mPath, ec);
    }
    const std::string& Path() const { return mPath; }
    std::string operator/(const std::string& rel) const { return mPath + "/" + rel; }

    void MakeDir(const std::string& rel) const { std::filesystem::create_directories(*this / rel); }
    void WriteFile(const std::string& rel, const std::string& content) const {
        std::ofstream(*this / rel, std::ios::binary) << content;
    }
    void Link(const std::string& target, const std::string& rel) const {
        ASSERT_EQ(::symlink(target.c_str(), (*this / rel).c_str()), 0);
    }
    bool Exists(const std::string& rel) const {
        struct stat st {};
        return ::lstat((*this / rel).c_str(), &st) == 0;
    }
    std::string Read(const std::string& rel) const {
        std::ifstream in(*this / rel, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    std::string mPath;
};

inline std::vector<std::uint8_t> Bytes(std::initializer_list<int> list) {
    std::vector<std::uint8_t> out;
    for (int b : list) out.push_back(static_cast<std::uint8_t>(b));
    return out;
}

inline std::vector<std::uint8_t> Bytes(const std::string& s) { return std::vector<std::uint8_t>(s.begin(), s.end()); }

}  // namespace kx::test
