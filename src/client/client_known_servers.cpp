// The client's known-servers file: one "HOST:PORT SHA256:..." line per server whose self-signed
// certificate the user accepted, read before every encrypted connection and extended on first
// contact, ssh's way.
#include <cstdlib>
#include <sys/stat.h>

#include "client/client_connection.h"
#include "client/client_tls.h"
#include "framework/file_util.h"

namespace kx::UKnownServers {

namespace {

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// Each missing folder of `path`, outermost first.
void MakeFolders(const std::string& path) {
    std::size_t at = 0;
    do {
        at = path.find('/', at + 1);
        const std::string part = path.substr(0, at);
        if (!part.empty() && !UFileUtil::IsDirectory(part)) mkdir(part.c_str(), 0700);
    } while (at != std::string::npos);
}

std::string KnownServersText(const std::string& path) {
    const auto data = UFileUtil::ReadWholeFile(path, 1u << 20);
    return data ? std::string(data->begin(), data->end()) : std::string();
}

template <typename Fn>
void ForEachLine(const std::string& text, Fn fn) {
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        fn(text.substr(at, end - at));
        at = end + 1;
    }
}

}  // namespace

std::string DefaultPath() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && *xdg == '/') return std::string(xdg) + "/kestrix/known_servers";
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : ".") + "/.config/kestrix/known_servers";
}

std::string Find(const std::string& path, const std::string& key) {
    std::string found;
    ForEachLine(KnownServersText(path), [&](const std::string& line) {
        if (line.size() > key.size() && line.compare(0, key.size() + 1, key + " ") == 0) found = line.substr(key.size() + 1);
    });
    return found;
}

void Remember(const std::string& path, const std::string& key, const std::string& fingerprint) {
    std::string kept;
    ForEachLine(KnownServersText(path), [&](const std::string& line) {
        if (!line.empty() && line.compare(0, key.size() + 1, key + " ") != 0) kept += line + "\n";
    });
    kept += key + " " + fingerprint + "\n";
    try {
        MakeFolders(FolderOf(path));
        UFileUtil::WriteFileAtomic(path, kept.data(), kept.size(), 0600);
    } catch (const std::exception& e) {
        throw SClientFailure(kExitCertificate, "Cannot remember the server in " + path + ": " + e.what());
    }
}

}  // namespace kx::UKnownServers
