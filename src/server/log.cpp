// CMyLog: writes log window lines to standard output (or a sink) and appends lines to the log files in
// the program folder, each file opened and closed per line.
#include "server/log.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <sys/stat.h>

#include "framework/clock.h"
#include "framework/file_util.h"
#include "fs/mac_roman.h"

namespace kx {

namespace {
constexpr std::string_view kTransferHeader = "Date/time\tAddress\tAccount\tName\tFile Name\r";
constexpr std::string_view kConnectHeader = "Date/time\tAddress\tAccount\tName\r";
constexpr std::string_view kAccountHeader =
    "Date/time\tAddress\tAccount\tName\tAction\tAffected Account\r";

std::string_view Address(const SMyLogPeer& peer) {
    return peer.address.substr(0, UMyLogFormat::kAddressMax);
}
}  // namespace

CMyLog::CMyLog(std::string programFolder, SMyLogSwitches switches)
    : mFolder(std::move(programFolder)), mSwitches(switches) {}

std::string CMyLog::FilePath(const char* fileName) const {
    if (mFolder.empty()) return fileName;
    if (mFolder.back() == '/') return mFolder + fileName;
    return mFolder + "/" + fileName;
}

void CMyLog::LogText(std::string_view who, std::string_view text) {
    std::string line =
        UMyLogFormat::WindowLine(UMyLogFormat::LogDate(UClock::WallTime()), who, text);
    line.push_back('\n');
    // Log texts are Mac OS Roman, like the names and messages they quote (the log files keep
    // those bytes); the window is a UTF-8 terminal here, where they would show as garbage.
    line = UMacRoman::ToUtf8(line);
    if (mWindowSink) {
        mWindowSink(line);
        return;
    }
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

void CMyLog::Log(std::string_view who, const char* format, ...) {
    char buf[UMyLogFormat::kLogTextMax + 1];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    if (n < 0) n = 0;  // an encoding error leaves an empty text rather than none
    const auto len = std::min<std::size_t>(static_cast<std::size_t>(n), UMyLogFormat::kLogTextMax);
    LogText(who, std::string_view(buf, len));
}

void CMyLog::AppendLine(const char* fileName, std::string_view header, const std::string& line) {
    const std::string path = FilePath(fileName);
    std::string bytes;
    if (!header.empty()) {
        struct stat st{};
        if (stat(path.c_str(), &st) != 0) {
            if (errno != ENOENT) KX_FAIL_ERRNO(errno);
            bytes.append(header);
        } else if (st.st_size == 0) {
            bytes.append(header);
        }
    }
    bytes.append(line);
    UFileUtil::AppendToFile(path, bytes.data(), bytes.size());
}

void CMyLog::LogDownload(const SMyLogPeer& client, std::string_view name) {
    if (!mSwitches.download) return;
    AppendLine(kMyDownloadLogFileName, kTransferHeader,
               UMyLogFormat::FileLine({UMyLogFormat::LogDate(UClock::WallTime()), Address(client),
                                       client.accountLogin, client.userName, name}));
}

void CMyLog::LogUpload(const SMyLogPeer& client, std::string_view name) {
    if (!mSwitches.upload) return;
    AppendLine(kMyUploadLogFileName, kTransferHeader,
               UMyLogFormat::FileLine({UMyLogFormat::LogDate(UClock::WallTime()), Address(client),
                                       client.accountLogin, client.userName, name}));
}

void CMyLog::LogConnect(const SMyLogPeer& client) {
    if (!mSwitches.connect) return;
    AppendLine(kMyConnectLogFileName, kConnectHeader,
               UMyLogFormat::FileLine({UMyLogFormat::LogDate(UClock::WallTime()), Address(client),
                                       client.accountLogin, client.userName}));
}

void CMyLog::LogAccountChange(const SMyLogPeer& client, EMyAccountAction action,
                              std::string_view affectedLogin) {
    if (!mSwitches.account) return;
    AppendLine(kMyAccountLogFileName, kAccountHeader,
               UMyLogFormat::FileLine({UMyLogFormat::LogDate(UClock::WallTime()), Address(client),
                                       client.accountLogin, client.userName,
                                       AccountActionText(action), affectedLogin}));
}

void CMyLog::LogError(std::string_view message, std::string_view detail) {
    AppendLine(kMyErrorLogFileName, {},
               UMyLogFormat::ErrorLine(UMyLogFormat::ErrorLogDate(UClock::WallTime()), message,
                                       detail));
}

}  // namespace kx
