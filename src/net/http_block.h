// The tunnel's block codec: every byte inside the GET response body and the POST request body
// travels in blocks of an 8-byte header (code, payload size; big-endian) and a payload, padded
// so that data moves in whole packages. Also the fixed HTTP responses the server writes, and
// CHttpBlockInput, the incremental reader of an incoming block stream.
#pragma once

#include <cstdint>
#include <vector>

#include "net/transport.h"

namespace kx {

inline constexpr std::uint32_t kHttpBlockDisconnect = 0;
inline constexpr std::uint32_t kHttpBlockData = 1;
inline constexpr std::uint32_t kHttpBlockPadding = 2;
inline constexpr std::uint32_t kHttpBlockHeaderSize = 8;

// Padding completes what was written to whole packages of this size; a raw connection's request
// is read at most half a package at a time.
inline constexpr std::uint32_t _gPackageSize = 14336;
inline constexpr std::uint32_t kHttpRequestReadSize = _gPackageSize / 2;

// Largest payload accepted in an incoming data block. No unit read through the tunnel comes near
// it (a transaction is at most 2 MiB); payloads are streamed, so this only rejects nonsense.
inline constexpr std::uint32_t kHttpMaxDataBlock = 16u * 1024 * 1024;
// Largest payload accepted in an incoming padding block: clients pad to whole packages.
inline constexpr std::uint32_t kHttpMaxPaddingBlock = _gPackageSize;

// "HTTP/1.0 200 OK" response header to a GET (108 bytes) and the "302 Found" answer to a POST
// when the tunnel closes (its body, a disconnect block, is appended by PostCloseBytes).
extern const char kHttpGetResponse[];
extern const char kHttpPostResponse[];

namespace UHttpBlock {

void AppendHeader(std::vector<std::uint8_t>& out, std::uint32_t code, std::uint32_t size);

// One padding block of `total` bytes (header included; total >= 9).
void AppendPadding(std::vector<std::uint8_t>& out, std::uint32_t total);

// Size of the padding block that completes a package of which `written` bytes have gone out:
// 0 when none is due (written >= package, or the block would be shorter than 9 bytes).
std::uint32_t PaddingFor(std::uint32_t written);

// A data block carrying `size` bytes, followed by the padding that completes its package.
std::vector<std::uint8_t> DataPackage(const void* data, std::uint32_t size);

// The GET response header, the padding completing its package, and two more padding packages.
std::vector<std::uint8_t> GetResponseBytes();

// The 302 response header followed by a disconnect block.
std::vector<std::uint8_t> PostCloseBytes();

}  // namespace UHttpBlock

// Reads a block stream from a raw endpoint, incrementally and never waiting. Bytes that were read
// ahead of the stream (what followed a request header in the same read) are served first.
class CHttpBlockInput {
public:
    enum class EStep { kWait, kBlock, kBad };

    // Bytes that belong to the stream before anything still in the endpoint.
    void SetPending(std::vector<std::uint8_t> bytes);
    std::uint32_t PendingSize() const { return static_cast<std::uint32_t>(mPending.size() - mPendingOffset); }

    // Completes the current block's header. kBlock: a header is current (Code/Remaining);
    // kWait: fewer than 8 bytes are there and a threshold is armed on the endpoint for the rest;
    // kBad: the announced size exceeds the cap for its code.
    EStep ReadHeader(TTransportObj& ep);
    bool HasBlock() const { return mHaveBlock; }
    std::uint32_t Code() const { return mCode; }
    std::uint32_t Remaining() const { return mRemaining; }
    // Leaves the current block (its payload must be used up).
    void EndBlock() { mHaveBlock = false; }

    // Reads at most `size` bytes (the caller bounds it by Remaining) and counts them off the block.
    std::uint32_t ReadPayload(TTransportObj& ep, void* dest, std::uint32_t size);
    // Discards payload that has arrived; true when the block's payload is used up.
    bool SkipPayload(TTransportObj& ep);
    // Payload bytes of the current block that can be read now.
    std::uint32_t PayloadAvailable(TTransportObj& ep);
    // True when `count` payload bytes can be read now; otherwise arms the endpoint so that it
    // reports once they are there.
    bool IsReady(TTransportObj& ep, std::uint32_t count);

    // For a channel that has dropped: walks the rest of its stream (pending bytes, then what
    // the endpoint still holds), appending data payloads to `out` and skipping padding. True when
    // the stream ends at a block boundary or inside padding, so that a new channel can resume
    // it; false when it ends inside a data block or a block header, at a disconnect or unknown
    // block, or when the data would take `out` past `cap` bytes.
    bool TakeOver(TTransportObj& ep, std::vector<std::uint8_t>& out, std::uint32_t cap);

private:
    std::uint32_t ReadRaw(TTransportObj& ep, void* dest, std::uint32_t size);

    std::vector<std::uint8_t> mPending;
    std::size_t mPendingOffset = 0;
    std::uint8_t mHeader[kHttpBlockHeaderSize] = {};
    std::uint8_t mHeaderFill = 0;   // bytes of the header read so far
    bool mHaveBlock = false;
    std::uint32_t mCode = 0;
    std::uint32_t mRemaining = 0;   // payload bytes not yet read
};

}  // namespace kx
