// Building the client information text: bounded sections, size and percentage texts.
#include "server/client_info_text.h"

#include <algorithm>

#include "framework/text_format.h"

namespace kx {

void CMyClientInfoSection::AddEntry(std::string_view entry) {
    if (kClientInfoSectionMax - mText.size() < kClientInfoEntryRoom) return;
    mText.append(entry.substr(0, kClientInfoSectionMax - mText.size()));
}

std::string CMyClientInfoSection::Text() const { return mText.empty() ? std::string("None.\r") : mText; }

void SMyClientInfoSections::AddTransfer(EKind kind, std::string_view name, std::string_view percent,
                                        std::uint64_t size) {
    sections[kind].AddEntry(
        UText::FormatString("%-21.21s %-4.4s %s\r", name, percent, UMyClientInfo::SizeText(size)));
}

void SMyClientInfoSections::AddWaiting(std::string_view name, bool isFolder) {
    sections[kWaitingDownloads].AddEntry(
        UText::FormatString(isFolder ? "%-21.21s (Folder)\r" : "%-21.21s (File)\r", name));
}

namespace UMyClientInfo {

namespace {
constexpr std::uint64_t kKilo = 1024;
constexpr std::uint64_t kMega = 1024 * 1024;

std::string PercentText(bool connected, std::uint64_t done, std::uint64_t size) {
    const std::uint64_t hundredth = size / 100;
    std::uint64_t percent = 0;
    if (connected && hundredth != 0) percent = std::min<std::uint64_t>(done / hundredth, 100);
    return std::to_string(percent) + "%";
}
}  // namespace

std::string SizeText(std::uint64_t size) {
    std::string text;
    if (size < kMega) {
        text = std::to_string((size + kKilo - 1) / kKilo) + "K";
    } else {
        const std::uint64_t tenth = (size % kMega) * 10 / kMega;
        text = std::to_string(size / kMega) + "." + std::to_string(tenth) + "M";
    }
    if (text.size() > kSizeTextMax) text.resize(kSizeTextMax);
    return text;
}

std::string DownloadPercentText(bool connected, std::uint64_t handed, std::uint64_t unsent, std::uint64_t size) {
    return PercentText(connected, handed > unsent ? handed - unsent : 0, size);
}

std::string UploadPercentText(bool connected, std::uint64_t received, std::uint64_t size) {
    return PercentText(connected, received, size);
}

std::string BuildText(std::string_view userName, std::string_view accountName, std::string_view accountLogin,
                      std::string_view address, const SMyClientInfoSections& s) {
    std::string text = UText::FormatString(
        "Nickname:   %s\rName:       %s\rAccount:    %s\rAddress:    %s\r\r"
        "-------- File Downloads ---------\r\r%s\r"
        "------- Folder Downloads --------\r\r%s\r"
        "--------- File Uploads ----------\r\r%s\r"
        "-------- Folder Uploads ---------\r\r%s\r"
        "------- Waiting Downloads -------\r\r%s",
        userName, accountName, accountLogin, address.substr(0, kClientInfoAddressMax),
        s.sections[SMyClientInfoSections::kFileDownloads].Text(),
        s.sections[SMyClientInfoSections::kFolderDownloads].Text(),
        s.sections[SMyClientInfoSections::kFileUploads].Text(),
        s.sections[SMyClientInfoSections::kFolderUploads].Text(),
        s.sections[SMyClientInfoSections::kWaitingDownloads].Text());
    if (text.size() > kClientInfoTextMax) text.resize(kClientInfoTextMax);
    return text;
}

}  // namespace UMyClientInfo

}  // namespace kx
