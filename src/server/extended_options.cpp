// The extended options file "kestrix.conf": reading with notes for the lines it ignores, checked
// changes, the rewrite that keeps comments and unknown lines, and the typed reads.
#include "server/extended_options.h"

#include "framework/file_util.h"

namespace kx {

namespace {

constexpr std::uint64_t kMaxFileSize = 1u << 20;

std::string_view TrimmedView(std::string_view v) {
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t' || v.front() == '\r')) v.remove_prefix(1);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t' || v.back() == '\r')) v.remove_suffix(1);
    return v;
}

}  // namespace

const SExtOptionDef* CMyExtendedOptions::Find(std::string_view name) {
    for (const SExtOptionDef& row : Table()) {
        if (name == row.name) return &row;
    }
    return nullptr;
}

std::vector<std::string> CMyExtendedOptions::Read(const std::string& path) {
    bool tooLarge = false;
    const auto data = UFileUtil::ReadWholeFile(path, kMaxFileSize, &tooLarge);
    mLines.clear();
    if (tooLarge) return {std::string(kExtOptionsFileName) + ": larger than 1 MiB; not read, defaults apply"};
    if (!data) return {};
    return Parse(std::string_view(reinterpret_cast<const char*>(data->data()), data->size()));
}

std::vector<std::string> CMyExtendedOptions::Parse(std::string_view text, std::string_view fileName) {
    std::vector<std::string> notes;
    mLines.clear();
    std::size_t lineNumber = 0;
    while (!text.empty()) {
        const std::size_t nl = text.find('\n');
        std::string_view raw = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        ++lineNumber;
        if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
        SLine line;
        line.text = std::string(raw);
        const std::string_view body = TrimmedView(raw);
        const std::string where = std::string(fileName) + " line " + std::to_string(lineNumber) + ": ";
        if (body.empty() || body.front() == '#') {
            mLines.push_back(std::move(line));
            continue;
        }
        const std::size_t eq = body.find('=');
        if (eq == std::string_view::npos || TrimmedView(body.substr(0, eq)).empty()) {
            notes.push_back(where + "not NAME = VALUE; ignored");
            mLines.push_back(std::move(line));
            continue;
        }
        const std::string_view name = TrimmedView(body.substr(0, eq));
        const SExtOptionDef* row = Find(name);
        if (row == nullptr) {
            notes.push_back(where + "unknown option \"" + std::string(name) + "\"; ignored");
            mLines.push_back(std::move(line));
            continue;
        }
        std::string value(TrimmedView(body.substr(eq + 1)));
        std::string why;
        if (!row->check(value, why)) {
            notes.push_back(where + "bad value for " + row->name + " (" + why + "); ignored");
            mLines.push_back(std::move(line));
            continue;
        }
        for (SLine& earlier : mLines) {
            if (earlier.name == row->name) {
                notes.push_back(where + row->name + " is set again; this line counts");
                earlier.name.clear();  // kept as it was, no longer read
            }
        }
        line.name = row->name;
        line.value = std::move(value);
        mLines.push_back(std::move(line));
    }
    return notes;
}

std::string CMyExtendedOptions::Text() const {
    std::string out;
    if (mLines.empty()) return out;
    for (const SLine& line : mLines) {
        out += line.name.empty() ? line.text : line.name + " = " + line.value;
        out += '\n';
    }
    return out;
}

void CMyExtendedOptions::Write(const std::string& path) const {
    std::string text = Text();
    if (text.empty()) text = "# Kestrix extended options: one NAME = VALUE per line (see \"kestrix-server --options\").\n";
    UFileUtil::WriteFileAtomic(path, text.data(), text.size());
}

bool CMyExtendedOptions::Set(std::string_view rawName, std::string_view rawValue, std::string& error) {
    const std::string_view name = TrimmedView(rawName);
    const SExtOptionDef* row = Find(name);
    if (row == nullptr) {
        error = "unknown option \"" + std::string(name) + "\" (\"options\" lists them)";
        return false;
    }
    std::string value(TrimmedView(rawValue));
    const bool reset = value.empty() || value == "default";
    std::string why;
    if (!reset && !row->check(value, why)) {
        error = "bad value for " + std::string(row->name) + ": " + why;
        return false;
    }
    for (auto it = mLines.begin(); it != mLines.end(); ++it) {
        if (it->name != row->name) continue;
        if (reset) mLines.erase(it);
        else it->value = value;
        return true;
    }
    if (!reset) mLines.push_back(SLine{std::string(), row->name, value});
    return true;
}

std::optional<std::string> CMyExtendedOptions::Get(std::string_view name) const {
    for (const SLine& line : mLines) {
        if (!line.name.empty() && line.name == name) return line.value;
    }
    return std::nullopt;
}

std::vector<std::pair<std::string, std::string>> CMyExtendedOptions::List() const {
    std::vector<std::pair<std::string, std::string>> out;
    for (const SExtOptionDef& row : Table()) {
        const std::optional<std::string> value = Get(row.name);
        out.emplace_back(row.name, value ? *value : std::string("(default: ") + row.defaultText + ")");
    }
    return out;
}

std::vector<std::pair<std::string, std::string>> CMyExtendedOptions::Describe() {
    std::vector<std::pair<std::string, std::string>> out;
    for (const SExtOptionDef& row : Table()) out.emplace_back(row.name, row.description);
    return out;
}

bool CMyExtendedOptions::Switch(std::string_view name, bool fallback) const {
    const std::optional<std::string> value = Get(name);
    return value ? *value == "on" : fallback;
}

std::uint16_t CMyExtendedOptions::Port(std::string_view name, std::uint16_t fallback) const {
    const std::optional<std::string> value = Get(name);
    return value ? static_cast<std::uint16_t>(std::stoul(*value)) : fallback;
}

std::string CMyExtendedOptions::Path(std::string_view name, std::string_view fallback,
                                     const std::string& programDir) const {
    const std::optional<std::string> value = Get(name);
    std::string path = value ? *value : std::string(fallback);
    if (!path.empty() && path.front() != '/') path = programDir + "/" + path;
    return path;
}

}  // namespace kx
