// The extended options: settings the "pref" file has no room for, kept in "kestrix.conf" in the
// program folder, one "name = value" per line ('#' comments and blank lines allowed). Read at
// start-up; rewritten (temporary file + rename) by the command line's --set and the console's
// set, keeping comments, blank lines and lines it does not understand where they were.
//
// Every known option is one row of a table (name, default, check, description), so a later
// feature adds a row in extended_options_table.cpp and nothing else here. An unknown name or a
// malformed line is reported with its line number and ignored, never fatal.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kx {

inline constexpr const char* kExtOptionsFileName = "kestrix.conf";
// The certificate and key made on the first start when none is configured (program folder).
inline constexpr const char* kTlsDefaultCertificate = "TLS/cert.pem";
inline constexpr const char* kTlsDefaultKey = "TLS/key.pem";

// One known option. `check` accepts a trimmed value, possibly rewriting it into its canonical
// form (e.g. "yes" to "on"), or returns false with `why` saying what a value must be.
struct SExtOptionDef {
    const char* name;
    const char* defaultText;  // what "options" shows while the option is not set
    bool (*check)(std::string& value, std::string& why);
    const char* description;
};

class CMyExtendedOptions {
public:
    // The known options, in display order.
    static std::span<const SExtOptionDef> Table();
    static const SExtOptionDef* Find(std::string_view name);

    // Reads the file (a missing file sets nothing) and returns a note for every line ignored,
    // "kestrix.conf line N: ...". Ignored lines are kept for the next rewrite.
    std::vector<std::string> Read(const std::string& path);
    // Parses file contents; `fileName` only names the file in the notes.
    std::vector<std::string> Parse(std::string_view text, std::string_view fileName = kExtOptionsFileName);
    // The file's text as it would be written.
    std::string Text() const;
    // Rewrites the file atomically. Raises the mapped error when it cannot.
    void Write(const std::string& path) const;

    // Checks and sets an option; an empty value or "default" removes the setting, so the
    // default applies again. On a bad name or value: false, `error` set, nothing changed.
    bool Set(std::string_view name, std::string_view value, std::string& error);
    // The value set, or nullopt when the default applies.
    std::optional<std::string> Get(std::string_view name) const;

    // Every known option as "name", "value shown" (the default's text while unset).
    std::vector<std::pair<std::string, std::string>> List() const;
    // Every known option with its description, for help texts.
    static std::vector<std::pair<std::string, std::string>> Describe();

    // Typed reads: the value set, else the fallback (the caller's default).
    bool Switch(std::string_view name, bool fallback) const;
    std::uint16_t Port(std::string_view name, std::uint16_t fallback) const;
    // A path as set, else `fallback`; a relative path is taken from `programDir`.
    std::string Path(std::string_view name, std::string_view fallback, const std::string& programDir) const;

private:
    // One line of the file. A known option's line has `name` set (its value canonical);
    // everything else (comments, blank, unknown or malformed lines) is kept as `text`.
    struct SLine {
        std::string text;
        std::string name;
        std::string value;
    };
    std::vector<SLine> mLines;
};

}  // namespace kx
