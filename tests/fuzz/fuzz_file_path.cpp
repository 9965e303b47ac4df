// Fuzz target: path data as a client sends it in a path field, and the name rules applied to it.
// Checks that validated names can never climb out of a folder ("." and ".." cannot survive),
// keep no forbidden byte, and that parsing, building and validating agree with each other.
#include <string>
#include <vector>

#include "framework/byte_codec.h"
#include "framework/error.h"
#include "fs/file_path.h"
#include "fuzz/targets.h"

namespace kx::fuzz {

namespace {

bool IsForbidden(unsigned char b) {
    if (b < 0x20) return true;
    const std::string_view bad = "\"*/:<>?\\|\x81\x8D\x8E\x8F\x90\x9D\x9E";
    return bad.find(static_cast<char>(b)) != std::string_view::npos;
}

void CheckCleanName(const std::string& name) {
    KX_FUZZ_CHECK(!name.empty() && name.size() <= kMaxNameLength);
    KX_FUZZ_CHECK(name != "." && name != "..");
    KX_FUZZ_CHECK(name.front() != '.');
    KX_FUZZ_CHECK(name.back() != ' ' && name.back() != '.');
    for (unsigned char b : name) KX_FUZZ_CHECK(!IsForbidden(b));
}

}  // namespace

int FuzzFilePath(const std::uint8_t* data, std::size_t size) {
    const std::vector<SPathComponent> parts = UFilePath::Parse(data, size);
    std::vector<std::string> names;
    for (const SPathComponent& c : parts) {
        KX_FUZZ_CHECK(!c.name.empty() && c.name.size() <= kMaxNameLength);
        KX_FUZZ_CHECK(c.name.data() >= reinterpret_cast<const char*>(data) &&
                      c.name.data() + c.name.size() <= reinterpret_cast<const char*>(data) + size);
        names.emplace_back(c.name);
    }

    // The target name is the last component when every announced component is whole.
    std::uint16_t rsvd = 0;
    const std::string target = UFileSys::GetPathTargetName(data, size, &rsvd, 31);
    if (!target.empty()) {
        KX_FUZZ_CHECK(!parts.empty());
        KX_FUZZ_CHECK(target == std::string(parts.back().name.substr(0, 31)));
        KX_FUZZ_CHECK(rsvd == parts.back().rsvd);
    }

    // Built path data parses back to the same names.
    if (!names.empty()) {
        const std::vector<std::uint8_t> built = UFilePath::Build(names);
        if (built.size() <= kMaxPathData) {
            const std::vector<SPathComponent> again = UFilePath::Parse(built.data(), built.size());
            KX_FUZZ_CHECK(again.size() == names.size());
            for (std::size_t i = 0; i < again.size(); ++i) KX_FUZZ_CHECK(again[i].name == names[i]);
        }
    }

    // Validation in place keeps the structure and cleans every name it reaches.
    std::vector<std::uint8_t> copy(data, data + size);
    try {
        KX_FUZZ_CHECK(UFileSys::ValidateFilePath(copy.data(), copy.size()) == size);
    } catch (const SError&) {
        KX_FUZZ_CHECK(size > kMaxPathData);
        return 0;
    }
    const std::vector<SPathComponent> cleaned = UFilePath::Parse(copy.data(), copy.size());
    KX_FUZZ_CHECK(cleaned.size() == parts.size());
    const bool rewritten = size >= 2 && size >= 2 + 4 * std::size_t{GetBE16(data)};
    for (std::size_t i = 0; i < cleaned.size(); ++i) {
        KX_FUZZ_CHECK(cleaned[i].rsvd == parts[i].rsvd);
        if (!rewritten) continue;
        const std::string name(cleaned[i].name);
        KX_FUZZ_CHECK(name == UFileSys::ValidateFileName(names[i]));
        CheckCleanName(name);
        KX_FUZZ_CHECK(UFileSys::ValidateFileName(name) == name);
    }
    // The name rule alone, on the raw bytes as one name.
    const std::string whole(reinterpret_cast<const char*>(data), std::min(size, std::size_t{300}));
    const std::string clean = UFileSys::ValidateFileName(whole);
    if (!clean.empty()) CheckCleanName(clean);
    return 0;
}

}  // namespace kx::fuzz
