// Small helpers shared by the transfer requests and passes (not used outside src/files/transfer*).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "framework/byte_codec.h"
#include "framework/error.h"
#include "fs/fs_ref.h"
#include "net/transport.h"
#include "protocol/field_data.h"
#include "protocol/transaction_types.h"
#include "protocol/transfer_wire.h"

namespace kx {

class CMyLog;
struct SMyClient;

namespace UMyTransfer {

// A reference number travels as 4 bytes, least significant first; clients echo them unchanged.
inline void AddRefNum(TFieldDataObj fields, std::uint32_t refNum) {
    std::uint8_t b[4];
    PutLE32(b, refNum);
    UFieldData::AddField(fields, kFieldRefNum, b, 4);
}

inline constexpr std::int32_t kTransferOptionResume = 1;
// Room an upload must leave on the volume beyond its announced size.
inline constexpr std::uint64_t kFreeSpaceMargin = 512000;

inline std::string Cut(std::string_view s, std::size_t max) { return std::string(s.substr(0, max)); }

// ASCII lower case; other bytes (Mac OS Roman letters included) stay as they are.
inline std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

inline bool EndsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

inline bool EndsWithNoCase(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && Lower(s.substr(s.size() - suffix.size())) == suffix;
}

// A shortcut's name (".lnk", a ".kpf" after it ignored, any case). Shortcuts are links on this
// server's disk: a client must never be able to place one.
inline bool IsShortcutName(std::string_view name) {
    if (name.size() > 3 && EndsWithNoCase(name, kPartialSuffix)) name.remove_suffix(kPartialSuffix.size());
    return name.size() > 3 && EndsWithNoCase(name, ".lnk");
}

// An upload refused for a file-system failure: "Cannot accept upload of «name»:" with the error's
// message and detail on their own lines.
inline std::string CannotAcceptText(const std::string& quotedName, const SError& err) {
    return "Cannot accept upload of " + quotedName + ":\r" + UError::GetMessage(err).substr(0, 255) + "\r" +
           UError::GetDetail(err).substr(0, 31);
}

// Ends the unflatten of a completed upload and gives its partial file the final name (the
// ".kpf" dropped). Throws when the stream was damaged or the final name has been taken
// meanwhile; the partial file stays then.
void FinishPartialFile(TFSRefObj& file);

// Queues the next `chunk` bytes of the file's flattened stream: on a plain TCP connection the
// DATA fork as file ranges (no copy), elsewhere read into a buffer. A stream that ends early is a
// read error (4/106).
void SendFlattenBytes(TTransportObj& tpt, TFSRefObj& file, std::uint32_t chunk);

// Free bytes on the item's volume, from the source tests may set (SetFreeSpaceSource).
std::optional<std::uint64_t> FreeSpaceFor(const TFSRefObj& ref);

// The client's line in "Download Log.txt" / "Upload Log.txt".
void LogDownloadFile(CMyLog& log, const SMyClient* client, std::string_view name);
void LogUploadFile(CMyLog& log, const SMyClient* client, std::string_view name);

}  // namespace UMyTransfer

}  // namespace kx
