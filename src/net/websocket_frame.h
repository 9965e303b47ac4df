// The WebSocket wire form (RFC 6455) as the web listener and the WebSocket endpoint use it: the
// handshake's accept key, the header of the frames the server sends (binary or control, never
// masked, never fragmented), and CWebSocketReader, which reads the frames a client sends as they
// arrive and hands out the unmasked message bytes as one stream, since message boundaries carry
// no meaning for the protocol inside.
//
// The reader enforces what a client frame must be: masked, no reserved bits, no reserved or text
// opcodes (only binary messages are spoken), control frames whole and at most 125 bytes, a
// continuation only inside a message and no new message inside one; and it bounds a frame's
// size, a message's size and the number of frames a message may be cut into. The first fault
// stops it for good with the close code that names it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kx {

inline constexpr std::uint8_t kWsOpContinuation = 0x0;
inline constexpr std::uint8_t kWsOpText = 0x1;
inline constexpr std::uint8_t kWsOpBinary = 0x2;
inline constexpr std::uint8_t kWsOpClose = 0x8;
inline constexpr std::uint8_t kWsOpPing = 0x9;
inline constexpr std::uint8_t kWsOpPong = 0xA;

inline constexpr std::uint16_t kWsCloseNormal = 1000;
inline constexpr std::uint16_t kWsCloseProtocolError = 1002;
inline constexpr std::uint16_t kWsCloseUnsupportedData = 1003;
inline constexpr std::uint16_t kWsCloseTooBig = 1009;

// The longest header a frame can have: 2 bytes, an 8-byte length and a 4-byte mask.
inline constexpr std::size_t kWsMaxHeaderSize = 14;
inline constexpr std::size_t kWsMaxControlPayload = 125;

namespace UWebSocket {

// The Sec-WebSocket-Accept value for a client's Sec-WebSocket-Key: base64 of the SHA-1 digest of
// the key followed by the protocol's fixed GUID.
std::string AcceptKey(std::string_view key);
// True when `key` is what a client must send: the base64 form of 16 bytes (24 characters).
bool IsValidKey(std::string_view key);
// Writes the header of an unmasked, final frame with `opcode` and a payload of `size` bytes into
// `out` (at least 10 bytes); returns the header's length (2, 4 or 10).
std::size_t EncodeHeader(std::uint8_t opcode, std::uint64_t size, std::uint8_t* out);
// A whole close frame carrying `code` (no reason text).
std::vector<std::uint8_t> CloseFrame(std::uint16_t code);

}  // namespace UWebSocket

struct SWsLimits {
    std::uint64_t maxFrame = 1u << 20;     // payload of one data frame
    std::uint64_t maxMessage = 1u << 20;   // payload of one message, all its frames together
    std::uint32_t maxFragments = 1024;     // frames one message may be cut into
};

class CWebSocketReader {
public:
    explicit CWebSocketReader(SWsLimits limits = {}) : mLimits(limits) {}

    // Reads client frames from `data`, appending the unmasked payload of binary messages to
    // `out`. Stops right after a whole control frame (HasControl is then true until
    // ClearControl) and at a fault (Failure is then not 0; nothing more is ever read). Returns
    // the bytes consumed; `out` grows by at most that many.
    std::size_t Read(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& out);

    bool HasControl() const { return mControlReady; }
    std::uint8_t ControlOpcode() const { return mOpcode; }
    const std::vector<std::uint8_t>& ControlPayload() const { return mControl; }
    void ClearControl();

    // The close code of the fault that stopped the reader (0 while none), and why, for the log.
    std::uint16_t Failure() const { return mFailure; }
    const char* FailureText() const { return mFailureText; }
    // True between the first and the last frame of a fragmented message.
    bool InMessage() const { return mInMessage; }

private:
    bool HeaderDone();
    void Fail(std::uint16_t code, const char* why);
    void FrameDone();

    SWsLimits mLimits;
    std::uint8_t mHeader[kWsMaxHeaderSize] = {};
    std::size_t mHeaderHave = 0;
    bool mInPayload = false;
    bool mFin = false;
    std::uint8_t mOpcode = 0;
    std::uint8_t mMask[4] = {};
    std::uint64_t mPayloadLeft = 0;
    std::uint64_t mPayloadDone = 0;  // payload bytes of the frame read so far (the mask's phase)
    bool mInMessage = false;
    std::uint64_t mMessageSize = 0;
    std::uint32_t mFragments = 0;
    std::vector<std::uint8_t> mControl;
    bool mControlReady = false;
    std::uint16_t mFailure = 0;
    const char* mFailureText = "";
};

}  // namespace kx
