// The web listener's files: content types, entity tags, and the "Web" folder walked into the map.
#include "net/web_content.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "framework/file_util.h"

namespace kx {

namespace {

// FNV-1a: an entity tag only has to change when the bytes do.
std::string EntityTag(std::string_view body) {
    std::uint64_t h = 0xCBF29CE484222325ull;
    for (unsigned char c : body) h = (h ^ c) * 0x100000001B3ull;
    char text[24];
    std::snprintf(text, sizeof text, "\"%016llx\"", static_cast<unsigned long long>(h));
    return text;
}

}  // namespace

std::string CWebContent::TypeOf(std::string_view path) {
    static constexpr std::pair<std::string_view, std::string_view> kTypes[] = {
        {".html", "text/html; charset=utf-8"},  {".css", "text/css; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"}, {".mjs", "text/javascript; charset=utf-8"},
        {".json", "application/json"},          {".txt", "text/plain; charset=utf-8"},
        {".png", "image/png"},                  {".svg", "image/svg+xml"},
        {".ico", "image/x-icon"},               {".jpg", "image/jpeg"},
        {".gif", "image/gif"},                  {".webp", "image/webp"},
        {".woff2", "font/woff2"},               {".wasm", "application/wasm"},
    };
    for (const auto& [ext, type] : kTypes) {
        if (path.size() > ext.size() && path.substr(path.size() - ext.size()) == ext) return std::string(type);
    }
    return "application/octet-stream";
}

void CWebContent::Add(const std::string& path, std::string_view body) {
    SWebFile& file = mFiles[path];
    mTotalSize -= file.body.size();
    file.type = TypeOf(path);
    file.etag = EntityTag(body);
    file.body.assign(body);
    mTotalSize += body.size();
}

const SWebFile* CWebContent::Find(const std::string& path) const {
    const auto it = mFiles.find(path);
    return it == mFiles.end() ? nullptr : &it->second;
}

std::vector<std::string> CWebContent::AddFolder(const std::string& folder) {
    namespace fs = std::filesystem;
    std::vector<std::string> notes;
    std::error_code ec;
    fs::recursive_directory_iterator it(folder, fs::directory_options::none, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const fs::path& p = it->path();
        const std::string name = p.filename().string();
        const std::string rel = p.lexically_relative(folder).generic_string();
        std::error_code statError;
        const fs::file_status st = fs::symlink_status(p, statError);
        if (!name.empty() && name.front() == '.') {
            if (fs::is_directory(st)) it.disable_recursion_pending();
            continue;
        }
        if (fs::is_directory(st)) continue;
        if (!fs::is_regular_file(st)) {
            notes.push_back(rel + ": not a regular file; not served");
            continue;
        }
        bool tooLarge = false;
        const auto bytes = UFileUtil::ReadWholeFile(p.string(), kMaxFileSize, &tooLarge);
        if (!bytes) {
            notes.push_back(rel + (tooLarge ? ": larger than 4 MiB; not served" : ": cannot be read; not served"));
            continue;
        }
        const SWebFile* old = Find(rel);
        if ((!old && mFiles.size() >= kMaxFiles) ||
            mTotalSize - (old ? old->body.size() : 0) + bytes->size() > kMaxTotalSize) {
            notes.push_back(rel + ": past the limits of the Web folder; not served");
            continue;
        }
        Add(rel, std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
    }
    if (ec) notes.push_back(folder + ": " + ec.message());
    return notes;
}

}  // namespace kx
