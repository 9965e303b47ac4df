// Date texts and line layouts of the log window and the log files. Pure functions of their
// inputs (and of the local time zone), so the exact bytes can be checked without a file.
#include <cstdio>
#include <time.h>

#include "server/log.h"

namespace kx {

namespace {

std::tm LocalTime(std::time_t when) {
    std::tm parts{};
    if (localtime_r(&when, &parts) == nullptr) {
        // Out of the calendar's range: show the epoch rather than garbage.
        std::time_t zero = 0;
        localtime_r(&zero, &parts);
    }
    return parts;
}

// Left-aligned in exactly `width` bytes: padded with spaces or cut.
void AppendColumn(std::string& out, std::string_view text, std::size_t width) {
    if (text.size() >= width) {
        out.append(text.substr(0, width));
    } else {
        out.append(text);
        out.append(width - text.size(), ' ');
    }
}

}  // namespace

const char* AccountActionText(EMyAccountAction action) {
    switch (action) {
        case EMyAccountAction::Create: return "Create";
        case EMyAccountAction::Delete: return "Delete";
        case EMyAccountAction::Modify: return "Modify";
        case EMyAccountAction::Rename: return "Rename";
    }
    KX_FAIL_PARAM();
}

std::string_view ClientWho(std::string_view userName, std::string_view peerAddress) {
    return userName.empty() ? peerAddress : userName;
}

SMyLogSwitches SMyLogSwitches::FromOptionBits(std::uint32_t optionBits) {
    SMyLogSwitches s;
    s.download = (optionBits & 0x02) != 0;
    s.upload = (optionBits & 0x04) != 0;
    s.connect = (optionBits & 0x08) != 0;
    s.account = (optionBits & 0x40) != 0;
    return s;
}

namespace UMyLogFormat {

std::string LogDate(std::time_t when) {
    std::tm t = LocalTime(when);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%02d/%02d/%04d %02d:%02d:%02d", t.tm_mon + 1, t.tm_mday,
                  t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
    return buf;
}

std::string ErrorLogDate(std::time_t when) {
    std::tm t = LocalTime(when);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%02d/%02d/%02d %02d:%02d:%02d", t.tm_mon + 1, t.tm_mday,
                  (t.tm_year + 1900) % 100, t.tm_hour, t.tm_min, t.tm_sec);
    return buf;
}

std::string WindowLine(std::string_view date, std::string_view who, std::string_view text) {
    std::string line;
    line.reserve(kWindowLineMax);
    AppendColumn(line, date, 22);
    line.push_back(' ');
    AppendColumn(line, who, 20);
    line.push_back(' ');
    line.append(text.substr(0, kWindowLineMax - line.size()));
    for (char& c : line) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F) c = ' ';
    }
    return line;
}

std::string FileLine(std::initializer_list<std::string_view> fields) {
    std::string line;
    bool first = true;
    for (std::string_view field : fields) {
        if (!first) line.push_back('\t');
        first = false;
        for (char c : field) line.push_back(c == '\t' || c == '\r' || c == '\n' ? ' ' : c);
    }
    // Cut before the line end so that a long line still ends where it should.
    if (line.size() > kFileLineMax - 1) line.resize(kFileLineMax - 1);
    line.push_back('\r');
    return line;
}

std::string ErrorLine(std::string_view date, std::string_view message, std::string_view detail) {
    std::string line;
    AppendColumn(line, date, 22);
    line.push_back(' ');
    line.append(message.substr(0, kErrorMessageMax));
    line.append(" (");
    line.append(detail.substr(0, kErrorDetailMax));
    line.append(")\r");
    for (std::size_t i = 0; i + 1 < line.size(); ++i) {
        if (line[i] == '\r' || line[i] == '\n') line[i] = ' ';
    }
    return line;
}

}  // namespace UMyLogFormat

}  // namespace kx
