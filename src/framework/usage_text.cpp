// The help text and the manual page of a program, both from its SUsageDoc.
#include "framework/usage_text.h"

#include <algorithm>
#include <cctype>

namespace kx::UUsageText {

namespace {

constexpr std::size_t kHelpWidth = 79;
constexpr std::size_t kTermColumnMax = 24;  // longer terms get their text on the next line

// Words of `text` filled into lines of at most `width` columns, each line prefixed by
// `indent` except the first, which the caller has already started (`used` columns).
std::string Fill(const std::string& text, std::size_t used, std::size_t indent) {
    std::string out;
    std::size_t col = used;
    bool lineEmpty = true;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && text[i] == ' ') ++i;
        const std::size_t end = std::min(text.find(' ', i), text.size());
        if (end == i) break;
        const std::string_view word(text.data() + i, end - i);
        if (!lineEmpty && col + 1 + word.size() > kHelpWidth) {
            out += "\n" + std::string(indent, ' ');
            col = indent;
            lineEmpty = true;
        }
        if (!lineEmpty) {
            out += ' ';
            ++col;
        }
        out += word;
        col += word.size();
        lineEmpty = false;
        i = end;
    }
    return out + "\n";
}

// Escapes text for a troff line: backslashes, hyphens that must stay hyphens, and a leading
// dot or quote that troff would take for a request.
std::string Roff(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\') out += "\\e";
        else if (c == '-') out += "\\-";
        else out += c;
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out.insert(0, "\\&");
    return out;
}

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

std::string FormatHelp(const SUsageDoc& doc) {
    std::string out;
    const std::string lead = "Usage: ";
    for (std::size_t i = 0; i < doc.synopsis.size(); ++i)
        out += (i == 0 ? lead : std::string(lead.size(), ' ')) + doc.program + " " + doc.synopsis[i] + "\n";
    for (const std::string& p : doc.description) out += "\n" + Fill(p, 0, 0);
    for (const SUsageSection& s : doc.sections) {
        out += "\n" + s.title + ":\n";
        for (const std::string& p : s.paragraphs) out += Fill(p, 0, 0);
        std::size_t termWidth = 0;
        for (const SUsageItem& item : s.items)
            if (item.term.size() <= kTermColumnMax) termWidth = std::max(termWidth, item.term.size());
        const std::size_t textColumn = 2 + termWidth + 2;
        for (const SUsageItem& item : s.items) {
            out += "  " + item.term;
            if (item.text.empty()) {
                out += "\n";
            } else if (item.term.size() > termWidth) {
                out += "\n" + std::string(textColumn, ' ') + Fill(item.text, textColumn, textColumn);
            } else {
                out += std::string(textColumn - 2 - item.term.size(), ' ') + Fill(item.text, textColumn, textColumn);
            }
        }
    }
    return out;
}

std::string FormatManPage(const SUsageDoc& doc, const std::string& source) {
    std::string out = ".TH " + Upper(doc.program) + " 1 \"\" \"" + source + "\" \"User Commands\"\n";
    out += ".SH NAME\n" + Roff(doc.program) + " \\- " + Roff(doc.summary) + "\n";
    out += ".SH SYNOPSIS\n";
    for (std::size_t i = 0; i < doc.synopsis.size(); ++i) {
        if (i != 0) out += ".br\n";
        out += ".B " + Roff(doc.program) + "\n" + Roff(doc.synopsis[i]) + "\n";
    }
    out += ".SH DESCRIPTION\n";
    for (std::size_t i = 0; i < doc.description.size(); ++i) out += (i ? ".PP\n" : "") + Roff(doc.description[i]) + "\n";
    for (const SUsageSection& s : doc.sections) {
        out += ".SH \"" + Roff(Upper(s.title)) + "\"\n";
        for (std::size_t i = 0; i < s.paragraphs.size(); ++i) out += (i ? ".PP\n" : "") + Roff(s.paragraphs[i]) + "\n";
        for (const SUsageItem& item : s.items) {
            out += ".TP\n.B " + Roff(item.term) + "\n";
            if (!item.text.empty()) out += Roff(item.text) + "\n";
        }
    }
    return out;
}

}  // namespace kx::UUsageText
