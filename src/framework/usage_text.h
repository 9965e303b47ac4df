// A program's documentation held once and printed two ways: as the `--help` text and as its
// manual page (troff, man(7) macros). The server and the client each build one SUsageDoc, so
// the installed manual page can never say something `--help` does not.
#pragma once

#include <string>
#include <vector>

namespace kx {

// A term and its explanation: an option, a command, an exit code.
struct SUsageItem {
    std::string term;
    std::string text;
};

// A titled part: paragraphs first, then items.
struct SUsageSection {
    std::string title;
    std::vector<std::string> paragraphs;
    std::vector<SUsageItem> items;
};

struct SUsageDoc {
    std::string program;                   // "kestrix-server"
    std::string summary;                   // one line for the manual's NAME section
    std::vector<std::string> synopsis;     // argument forms, each after the program name
    std::vector<std::string> description;  // paragraphs
    std::vector<SUsageSection> sections;
};

namespace UUsageText {

// "Usage: PROGRAM FORM" (further forms aligned below), the description and every section,
// wrapped at 79 columns; a term longer than its column gets its text on the next line.
std::string FormatHelp(const SUsageDoc& doc);

// The same document as a section 1 manual page. `source` names the package in the footer.
std::string FormatManPage(const SUsageDoc& doc, const std::string& source);

}  // namespace UUsageText

}  // namespace kx
