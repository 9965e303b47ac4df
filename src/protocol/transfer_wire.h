// What both ends of a transfer connection (base port + 1, or + 3 through the tunnel) write and
// read: the 16-byte header that names the transfer ("KXXF", the reference number as the client
// received it, the data size, the transfer type), the action codes of the folder dialogue, and
// the suffix of a partial file. The server side is src/files/transfer*.cpp and folder_*.cpp; the
// client side src/client/client_transfer*.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kx {

inline constexpr std::uint8_t kTransferProtocol[4] = {'K', 'X', 'X', 'F'};
inline constexpr std::size_t kTransferHeaderSize = 16;

// Transfer types of the header.
inline constexpr std::uint16_t kTransferTypeFile = 0;
inline constexpr std::uint16_t kTransferTypeFolder = 1;
inline constexpr std::uint16_t kTransferTypeBanner = 2;

// Action codes, 2 bytes big-endian, sent by the receiving side of a folder transfer.
inline constexpr std::uint16_t kFldrActionSendFile = 1;
inline constexpr std::uint16_t kFldrActionResumeFile = 2;
inline constexpr std::uint16_t kFldrActionNextItem = 3;

// A file being received (an upload on the server, a download on the client) is written under
// its final name plus this suffix and renamed when complete, so it can be resumed.
inline constexpr std::string_view kPartialSuffix = ".kpf";

}  // namespace kx
