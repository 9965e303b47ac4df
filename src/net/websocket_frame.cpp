// The WebSocket wire form: the accept key (OpenSSL's SHA-1 and base64), the headers of the
// server's frames, and the incremental reader of the client's frames with its checks and limits.
#include "net/websocket_frame.h"

#include <algorithm>
#include <openssl/evp.h>

#include "framework/byte_codec.h"

namespace kx {

namespace {

constexpr std::string_view kAcceptGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

bool IsBase64Char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

}  // namespace

std::string UWebSocket::AcceptKey(std::string_view key) {
    std::string text(key);
    text += kAcceptGuid;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestSize = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &digestSize, EVP_sha1(), nullptr) != 1) return {};
    unsigned char encoded[64];
    const int n = EVP_EncodeBlock(encoded, digest, static_cast<int>(digestSize));
    return std::string(reinterpret_cast<const char*>(encoded), static_cast<std::size_t>(n));
}

bool UWebSocket::IsValidKey(std::string_view key) {
    // 16 bytes are 22 characters of base64 and two of padding.
    if (key.size() != 24 || key[22] != '=' || key[23] != '=') return false;
    return std::all_of(key.begin(), key.begin() + 22, IsBase64Char);
}

std::size_t UWebSocket::EncodeHeader(std::uint8_t opcode, std::uint64_t size, std::uint8_t* out) {
    out[0] = static_cast<std::uint8_t>(0x80 | (opcode & 0x0F));
    if (size < 126) {
        out[1] = static_cast<std::uint8_t>(size);
        return 2;
    }
    if (size <= 0xFFFF) {
        out[1] = 126;
        PutBE16(out + 2, static_cast<std::uint16_t>(size));
        return 4;
    }
    out[1] = 127;
    PutBE64(out + 2, size);
    return 10;
}

std::vector<std::uint8_t> UWebSocket::CloseFrame(std::uint16_t code) {
    std::vector<std::uint8_t> frame(4);
    EncodeHeader(kWsOpClose, 2, frame.data());
    PutBE16(frame.data() + 2, code);
    return frame;
}

void CWebSocketReader::ClearControl() {
    mControlReady = false;
    mControl.clear();
}

void CWebSocketReader::Fail(std::uint16_t code, const char* why) {
    mFailure = code;
    mFailureText = why;
}

std::size_t CWebSocketReader::Read(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& out) {
    std::size_t at = 0;
    while (at < size && mFailure == 0 && !mControlReady) {
        if (!mInPayload) {
            mHeader[mHeaderHave++] = data[at++];
            if (mHeaderHave < 2) continue;
            const std::uint8_t len7 = mHeader[1] & 0x7F;
            const std::size_t headerSize = 2 + (len7 == 126 ? 2 : len7 == 127 ? 8 : 0) + 4;
            if (mHeaderHave == 2) {
                // Everything that can be judged from the first two bytes is judged at once, so an
                // unmasked or reserved frame is refused before its length is even read.
                const std::uint8_t opcode = mHeader[0] & 0x0F;
                const bool control = (opcode & 0x08) != 0;
                if (mHeader[0] & 0x70) Fail(kWsCloseProtocolError, "reserved bits set");
                else if (!(mHeader[1] & 0x80)) Fail(kWsCloseProtocolError, "unmasked client frame");
                else if (opcode == kWsOpText) Fail(kWsCloseUnsupportedData, "text message");
                else if (opcode > kWsOpBinary && opcode != kWsOpClose && opcode != kWsOpPing && opcode != kWsOpPong)
                    Fail(kWsCloseProtocolError, "reserved opcode");
                else if (control && !(mHeader[0] & 0x80)) Fail(kWsCloseProtocolError, "fragmented control frame");
                else if (control && len7 > kWsMaxControlPayload) Fail(kWsCloseProtocolError, "control frame too long");
                else if (opcode == kWsOpContinuation && !mInMessage)
                    Fail(kWsCloseProtocolError, "continuation outside a message");
                else if (opcode == kWsOpBinary && mInMessage) Fail(kWsCloseProtocolError, "new message inside a message");
            }
            if (mFailure == 0 && mHeaderHave == headerSize && !HeaderDone()) break;
            continue;
        }
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(mPayloadLeft, size - at));
        std::vector<std::uint8_t>& dest = (mOpcode & 0x08) ? mControl : out;
        const std::size_t old = dest.size();
        dest.resize(old + n);
        for (std::size_t i = 0; i < n; ++i) dest[old + i] = data[at + i] ^ mMask[(mPayloadDone + i) & 3];
        at += n;
        mPayloadDone += n;
        mPayloadLeft -= n;
        if (mPayloadLeft == 0) FrameDone();
    }
    return at;
}

bool CWebSocketReader::HeaderDone() {
    mOpcode = mHeader[0] & 0x0F;
    mFin = (mHeader[0] & 0x80) != 0;
    const std::uint8_t len7 = mHeader[1] & 0x7F;
    std::size_t maskAt = 2;
    std::uint64_t length = len7;
    if (len7 == 126) {
        length = GetBE16(mHeader + 2);
        maskAt = 4;
    } else if (len7 == 127) {
        length = GetBE64(mHeader + 2);
        maskAt = 10;
        if (length >> 63) {
            Fail(kWsCloseProtocolError, "frame length out of range");
            return false;
        }
    }
    std::copy(mHeader + maskAt, mHeader + maskAt + 4, mMask);
    mHeaderHave = 0;
    if (mOpcode & 0x08) {
        mControl.clear();
    } else {
        if (mOpcode == kWsOpBinary) {
            mMessageSize = 0;
            mFragments = 0;
        }
        if (length > mLimits.maxFrame) {
            Fail(kWsCloseTooBig, "frame too large");
            return false;
        }
        if (mMessageSize + length > mLimits.maxMessage) {
            Fail(kWsCloseTooBig, "message too large");
            return false;
        }
        if (++mFragments > mLimits.maxFragments) {
            Fail(kWsCloseTooBig, "message cut into too many frames");
            return false;
        }
        mMessageSize += length;
        mInMessage = true;
    }
    mInPayload = true;
    mPayloadLeft = length;
    mPayloadDone = 0;
    if (length == 0) FrameDone();
    return true;
}

void CWebSocketReader::FrameDone() {
    mInPayload = false;
    if (mOpcode & 0x08) {
        mControlReady = true;
    } else if (mFin) {
        mInMessage = false;
    }
}

}  // namespace kx
