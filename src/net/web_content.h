// The files the web listener serves at "/": a map from path ("index.html", "app.js") to the
// bytes, their Content-Type and an entity tag (a digest of the bytes, so a browser revalidating
// after an upgrade gets the new file and otherwise a 304). Filled once by the server layer, from
// the files built into the program and then a "Web" folder that overrides them, and never changed
// afterwards; a reload builds a new one, so connections share it read-only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kx {

struct SWebFile {
    std::string type;  // Content-Type
    std::string etag;  // with its quotes
    std::string body;
};

class CWebContent {
public:
    // Limits on what a folder may add: a larger file or one past the count or total is left out.
    // A file stays well below a connection's 16 MiB cap of unsent bytes, also with the next
    // answer queued behind it.
    static constexpr std::uint64_t kMaxFileSize = 4u << 20;
    static constexpr std::size_t kMaxFiles = 1000;
    static constexpr std::uint64_t kMaxTotalSize = 64u << 20;

    // Adds or replaces one file.
    void Add(const std::string& path, std::string_view body);
    // The file at `path` (no leading "/"), or null.
    const SWebFile* Find(const std::string& path) const;
    std::size_t Count() const { return mFiles.size(); }

    // Adds every regular file below `folder` under its relative path, replacing a built-in file
    // of the same path. Symbolic links and hidden names are left out (nothing outside the folder
    // is ever served). Returns one note per file left out or unreadable.
    std::vector<std::string> AddFolder(const std::string& folder);

    // The Content-Type for a file name's extension (UTF-8 for texts); octet-stream for others.
    static std::string TypeOf(std::string_view path);

private:
    std::unordered_map<std::string, SWebFile> mFiles;
    std::uint64_t mTotalSize = 0;
};

}  // namespace kx
