// The text an administrator reads about another user (kTranGetClientInfoText): who the user is,
// and five sections listing the user's transfers. Each section is bounded; the application adds
// the entries of its transfer lists through AddTransfer / AddWaiting.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace kx {

inline constexpr std::size_t kClientInfoSectionMax = 512;
inline constexpr std::size_t kClientInfoEntryRoom = 40;   // an entry needs this much room left
inline constexpr std::size_t kClientInfoTextMax = 1024;
inline constexpr std::size_t kClientInfoAddressMax = 63;
inline constexpr std::size_t kSizeTextMax = 31;

// One section of the text: entries are added only while at least 40 of its 512 bytes are left,
// and an entry that does not fit whole is cut at the section's end.
class CMyClientInfoSection {
public:
    void AddEntry(std::string_view entry);
    // The section as it appears in the text: its entries, or "None.\r" when there are none.
    std::string Text() const;
    bool IsEmpty() const { return mText.empty(); }

private:
    std::string mText;
};

// The five sections, in the order of the text.
struct SMyClientInfoSections {
    enum EKind { kFileDownloads, kFolderDownloads, kFileUploads, kFolderUploads, kWaitingDownloads };
    std::array<CMyClientInfoSection, 5> sections;

    // "%-21.21s %-4.4s %s\r": name, percentage text, size text.
    void AddTransfer(EKind kind, std::string_view name, std::string_view percent, std::uint64_t size);
    // "%-21.21s (File)\r" or "%-21.21s (Folder)\r".
    void AddWaiting(std::string_view name, bool isFolder);
};

namespace UMyClientInfo {

// Sizes below one megabyte as whole kilobytes ("12K", rounded up, "0K" for nothing), larger
// ones as megabytes with one decimal ("1.5M"); at most 31 characters.
std::string SizeText(std::uint64_t size);

// "N%": the part done in percent, capped at 100; 0 without a connection or when a hundredth of
// the size is 0. A download counts the bytes handed to its connection less those still unsent;
// an upload the bytes received.
std::string DownloadPercentText(bool connected, std::uint64_t handed, std::uint64_t unsent, std::uint64_t size);
std::string UploadPercentText(bool connected, std::uint64_t received, std::uint64_t size);

// The whole text, cut to 1024 bytes.
std::string BuildText(std::string_view userName, std::string_view accountName, std::string_view accountLogin,
                      std::string_view address, const SMyClientInfoSections& sections);

}  // namespace UMyClientInfo

}  // namespace kx
