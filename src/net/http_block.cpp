// Block framing of the tunnel's two bodies, the fixed HTTP responses, and the incremental
// reader of an incoming block stream (used by raw POST connections and by paired tunnels).
#include "net/http_block.h"

#include <algorithm>
#include <cstring>

#include "framework/byte_codec.h"

namespace kx {

const char kHttpGetResponse[] =
    "HTTP/1.0 200 OK\r\n"
    "Proxy-Connection: Keep-Alive\r\n"
    "Content-Length: 999999999\r\n"
    "Content-Type: kestrix/protocol\r\n"
    "\r\n";
const char kHttpPostResponse[] =
    "HTTP/1.0 302 Found\r\n"
    "Connection: close\r\n"
    "Content-Length: 8\r\n"
    "Content-Type: kestrix/protocol\r\n"
    "\r\n";
static_assert(sizeof(kHttpGetResponse) - 1 == 108);

namespace {

// Scratch for discarded bytes (padding, stray input): consumed a piece at a time, never grown.
constexpr std::uint32_t kSkipChunk = 4096;

}  // namespace

namespace UHttpBlock {

void AppendHeader(std::vector<std::uint8_t>& out, std::uint32_t code, std::uint32_t size) {
    AppendBE32(out, code);
    AppendBE32(out, size);
}

void AppendPadding(std::vector<std::uint8_t>& out, std::uint32_t total) {
    AppendHeader(out, kHttpBlockPadding, total - kHttpBlockHeaderSize);
    out.insert(out.end(), total - kHttpBlockHeaderSize, 0);
}

std::uint32_t PaddingFor(std::uint32_t written) {
    if (written >= _gPackageSize) return 0;
    const std::uint32_t total = _gPackageSize - written;
    return total > kHttpBlockHeaderSize ? total : 0;
}

std::vector<std::uint8_t> DataPackage(const void* data, std::uint32_t size) {
    const std::uint32_t written = size > _gPackageSize ? _gPackageSize : size + kHttpBlockHeaderSize;
    const std::uint32_t padding = PaddingFor(written);
    std::vector<std::uint8_t> out;
    out.reserve(std::size_t(kHttpBlockHeaderSize) + size + padding);
    AppendHeader(out, kHttpBlockData, size);
    const auto* p = static_cast<const std::uint8_t*>(data);
    out.insert(out.end(), p, p + size);
    if (padding != 0) AppendPadding(out, padding);
    return out;
}

std::vector<std::uint8_t> GetResponseBytes() {
    const std::uint32_t headerSize = sizeof(kHttpGetResponse) - 1;
    std::vector<std::uint8_t> out(kHttpGetResponse, kHttpGetResponse + headerSize);
    out.reserve(3 * std::size_t(_gPackageSize));
    AppendPadding(out, PaddingFor(headerSize));
    AppendPadding(out, _gPackageSize);
    AppendPadding(out, _gPackageSize);
    return out;
}

std::vector<std::uint8_t> PostCloseBytes() {
    std::vector<std::uint8_t> out(kHttpPostResponse, kHttpPostResponse + sizeof(kHttpPostResponse) - 1);
    AppendHeader(out, kHttpBlockDisconnect, 0);
    return out;
}

}  // namespace UHttpBlock

void CHttpBlockInput::SetPending(std::vector<std::uint8_t> bytes) {
    mPending = std::move(bytes);
    mPendingOffset = 0;
}

std::uint32_t CHttpBlockInput::ReadRaw(TTransportObj& ep, void* dest, std::uint32_t size) {
    auto* out = static_cast<std::uint8_t*>(dest);
    std::uint32_t got = 0;
    const std::uint32_t fromPending = std::min(size, PendingSize());
    if (fromPending != 0) {
        std::memcpy(out, mPending.data() + mPendingOffset, fromPending);
        mPendingOffset += fromPending;
        got = fromPending;
        if (mPendingOffset == mPending.size()) {
            mPending.clear();
            mPending.shrink_to_fit();
            mPendingOffset = 0;
        }
    }
    if (got < size) got += ep.Receive(out + got, size - got);
    return got;
}

CHttpBlockInput::EStep CHttpBlockInput::ReadHeader(TTransportObj& ep) {
    if (mHaveBlock) return EStep::kBlock;
    for (;;) {
        const std::uint32_t want = kHttpBlockHeaderSize - mHeaderFill;
        mHeaderFill += static_cast<std::uint8_t>(ReadRaw(ep, mHeader + mHeaderFill, want));
        if (mHeaderFill == kHttpBlockHeaderSize) break;
        // Ask to hear once the rest of the header is there; if it arrived meanwhile, read on.
        if (!ep.IsReadyToReceive(kHttpBlockHeaderSize - mHeaderFill)) return EStep::kWait;
    }
    mHeaderFill = 0;
    mCode = GetBE32(mHeader);
    mRemaining = GetBE32(mHeader + 4);
    mHaveBlock = true;
    if (mCode == kHttpBlockData && mRemaining > kHttpMaxDataBlock) return EStep::kBad;
    if (mCode == kHttpBlockPadding && mRemaining > kHttpMaxPaddingBlock) return EStep::kBad;
    return EStep::kBlock;
}

std::uint32_t CHttpBlockInput::ReadPayload(TTransportObj& ep, void* dest, std::uint32_t size) {
    const std::uint32_t got = ReadRaw(ep, dest, std::min(size, mRemaining));
    mRemaining -= got;
    return got;
}

bool CHttpBlockInput::SkipPayload(TTransportObj& ep) {
    std::uint8_t scratch[kSkipChunk];
    while (mRemaining != 0) {
        const std::uint32_t got = ReadPayload(ep, scratch, std::min<std::uint32_t>(mRemaining, kSkipChunk));
        if (got == 0) return false;
    }
    return true;
}

std::uint32_t CHttpBlockInput::PayloadAvailable(TTransportObj& ep) {
    if (!mHaveBlock) return 0;
    const std::uint64_t there = std::uint64_t(PendingSize()) + ep.GetReceiveSize();
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(there, mRemaining));
}

bool CHttpBlockInput::IsReady(TTransportObj& ep, std::uint32_t count) {
    if (count == 0) return true;
    if (!mHaveBlock || mRemaining < count) return false;
    const std::uint32_t pending = PendingSize();
    if (pending >= count) return true;
    return ep.IsReadyToReceive(count - pending);
}

bool CHttpBlockInput::TakeOver(TTransportObj& ep, std::vector<std::uint8_t>& out, std::uint32_t cap) {
    for (;;) {
        if (mHaveBlock) {
            if (mCode == kHttpBlockData) {
                const std::uint32_t n = PayloadAvailable(ep);
                if (n == 0) {
                    if (mRemaining != 0) return false;  // cut off inside a data block
                    EndBlock();
                    continue;
                }
                if (out.size() + n > cap) return false;
                const std::size_t at = out.size();
                out.resize(at + n);
                const std::uint32_t got = ReadPayload(ep, out.data() + at, n);
                out.resize(at + got);
                if (got == 0) return false;
                continue;
            }
            if (!SkipPayload(ep)) return true;  // cut off inside padding: nothing lost
            EndBlock();
            continue;
        }
        const EStep step = ReadHeader(ep);
        if (step == EStep::kWait) return mHeaderFill == 0;
        if (step == EStep::kBad) return false;
        if (mCode != kHttpBlockData && mCode != kHttpBlockPadding) return false;
    }
}

}  // namespace kx
