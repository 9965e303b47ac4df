// Small helpers shared by the transfer requests and passes (not used outside src/files/transfer*).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/field_data.h"
#include "protocol/transaction_types.h"
#include "server/application.h"

namespace kx::UMyTransfer {

// The name between the curly quotes of the messages (Mac OS Roman 0xD2 and 0xD3).
inline std::string Quoted(std::string_view name) {
    std::string s("\xD2");
    s += name;
    s += '\xD3';
    return s;
}

// A reference number travels as 4 bytes, least significant first; clients echo them unchanged.
inline void AddRefNum(TFieldDataObj fields, std::uint32_t refNum) {
    const std::uint8_t b[4] = {static_cast<std::uint8_t>(refNum), static_cast<std::uint8_t>(refNum >> 8),
                               static_cast<std::uint8_t>(refNum >> 16), static_cast<std::uint8_t>(refNum >> 24)};
    UFieldData::AddField(fields, kFieldRefNum, b, 4);
}

inline std::string Cut(std::string_view s, std::size_t max) { return std::string(s.substr(0, max)); }

// ASCII lower case; other bytes (Mac OS Roman letters included) stay as they are.
inline std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

// Queues the next `chunk` bytes of the file's flattened stream: on a plain TCP connection the
// DATA fork as file ranges (no copy), elsewhere read into a buffer. A stream that ends early is a
// read error (4/106).
void SendFlattenBytes(TTransportObj& tpt, TFSRefObj& file, std::uint32_t chunk);

// Free bytes on the item's volume, from the source tests may set (SetFreeSpaceSource).
std::optional<std::uint64_t> FreeSpaceFor(const TFSRefObj& ref);

inline void LogDownloadFile(CMyLog& log, const SMyClient* client, std::string_view name) {
    const std::string address = IPAddressText(client->ipAddress);
    log.LogDownload(SMyLogPeer{address, client->accountLogin, client->userName}, name);
}

inline void LogUploadFile(CMyLog& log, const SMyClient* client, std::string_view name) {
    const std::string address = IPAddressText(client->ipAddress);
    log.LogUpload(SMyLogPeer{address, client->accountLogin, client->userName}, name);
}

}  // namespace kx::UMyTransfer
