// The operator's activity log and the five log files beside the program. The application owns
// one CMyLog; everything here runs on the application thread and writes each line whole before
// returning. The log window is standard output (or the sink given to SetWindowSink), one line
// per LogText. The log files are opened,
// appended and closed for every line; a write failure is raised as an SError for the
// application's error handling. Formats are documented in docs/logging.md.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>

#include "framework/error.h"

namespace kx {

// Log files in the program folder.
inline constexpr const char* kMyErrorLogFileName = "Error Log.txt";
inline constexpr const char* kMyDownloadLogFileName = "Download Log.txt";
inline constexpr const char* kMyUploadLogFileName = "Upload Log.txt";
inline constexpr const char* kMyConnectLogFileName = "Connect Log.txt";
inline constexpr const char* kMyAccountLogFileName = "Account Log.txt";

// Which optional log files are written. The error log is always written. Switching one off
// stops further lines at once; nothing is deleted.
struct SMyLogSwitches {
    bool download = false;  // option bit 0x02
    bool upload = false;    // option bit 0x04
    bool connect = false;   // option bit 0x08
    bool account = false;   // option bit 0x40

    // Reads the four log bits of the options word.
    static SMyLogSwitches FromOptionBits(std::uint32_t optionBits);
};

// The acting client as the log files see it: its peer address (cut to 127 characters), its
// account login and its user name.
struct SMyLogPeer {
    std::string_view address;
    std::string_view accountLogin;
    std::string_view userName;
};

enum class EMyAccountAction { Create, Delete, Modify, Rename };

// The action column of the account log: "Create", "Delete", "Modify" or "Rename".
const char* AccountActionText(EMyAccountAction action);

// Who column for a client: its user name, or its peer address while the name is empty.
std::string_view ClientWho(std::string_view userName, std::string_view peerAddress);

// Date texts and line layouts, from a wall-clock time converted to local time.
namespace UMyLogFormat {

inline constexpr std::size_t kWindowLineMax = 255;  // bytes of a window line before its line feed
inline constexpr std::size_t kLogTextMax = 255;     // formatted text of Log()
inline constexpr std::size_t kFileLineMax = 1023;   // bytes of a file line, carriage return included
inline constexpr std::size_t kAddressMax = 127;
inline constexpr std::size_t kErrorMessageMax = 255;
inline constexpr std::size_t kErrorDetailMax = 127;

// "MM/DD/YYYY HH:MM:SS" (24-hour).
std::string LogDate(std::time_t when);
// "MM/DD/YY HH:MM:SS": the C locale's short date (%x) and time (%X).
std::string ErrorLogDate(std::time_t when);

// Date padded or cut to 22, a space, who padded or cut to 20, a space, the text; the whole cut
// to 255 bytes. Control characters become spaces so that a name or text cannot break the line
// or send escape sequences to the operator's terminal. No line end.
std::string WindowLine(std::string_view date, std::string_view who, std::string_view text);

// Tab-separated line ended by a carriage return, at most 1023 bytes; tabs, carriage returns and
// line feeds inside a field become spaces so that a field cannot split the line.
std::string FileLine(std::initializer_list<std::string_view> fields);

// Error-log date padded or cut to 22, a space, the message (cut to 255), " (", the detail (cut
// to 127), ")" and a carriage return.
std::string ErrorLine(std::string_view date, std::string_view message, std::string_view detail);

}  // namespace UMyLogFormat

class CMyLog {
public:
    // `programFolder` holds the log files; it must exist.
    explicit CMyLog(std::string programFolder, SMyLogSwitches switches = {});

    CMyLog(const CMyLog&) = delete;
    CMyLog& operator=(const CMyLog&) = delete;

    // Takes effect for the next line.
    void SetSwitches(const SMyLogSwitches& switches) { mSwitches = switches; }
    const SMyLogSwitches& GetSwitches() const { return mSwitches; }

    // Where the log window's lines go instead of standard output (each line whole, UTF-8, with
    // its line feed); null restores standard output. Tests read the window through it.
    using WindowSink = std::function<void(std::string_view line)>;
    void SetWindowSink(WindowSink sink) { mWindowSink = std::move(sink); }

    // Log window: one line on standard output (or the sink), flushed at once.
    void LogText(std::string_view who, std::string_view text);
    // printf-style text (cut to 255 characters), then LogText. The application passes the who
    // column: empty, ClientWho(...) for a client, or a peer address.
    void Log(std::string_view who, const char* format, ...) __attribute__((format(printf, 3, 4)));

    // Log files. Each appends one line when its switch is on and does nothing otherwise.
    // Raise the mapped SError when the file cannot be written.
    void LogDownload(const SMyLogPeer& client, std::string_view name);
    void LogUpload(const SMyLogPeer& client, std::string_view name);
    void LogConnect(const SMyLogPeer& client);
    void LogAccountChange(const SMyLogPeer& client, EMyAccountAction action,
                          std::string_view affectedLogin);

    // Error log, always written: the error's message and detail texts. Raises when the file
    // cannot be written; the caller must not feed that failure back into this call.
    void LogError(std::string_view message, std::string_view detail);
    void LogError(const SError& err) { LogError(UError::GetMessage(err), UError::GetDetail(err)); }

    std::string FilePath(const char* fileName) const;

private:
    // Appends `line` to the file, writing `header` first when the file is missing or empty.
    void AppendLine(const char* fileName, std::string_view header, const std::string& line);

    std::string mFolder;
    SMyLogSwitches mSwitches;
    WindowSink mWindowSink;
};

}  // namespace kx
