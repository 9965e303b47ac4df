// Integers in byte buffers: the one place that spells out their byte order. The wire and file
// formats of the system store integers most significant byte first (big-endian); encoders put
// them into place (PutBE*) or append them (AppendBE*), decoders read them from a position the
// caller has checked (GetBE*) or through CByteReader, whose reads refuse to run past the end of
// the bytes they were given. The two fields that travel least significant byte first (transfer
// reference numbers, the tracker's pass ID) use GetLE32 / PutLE32.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kx {

// The readers take any one-byte type, so a four-character code written as text reads the same way.
template <class Byte>
constexpr std::uint16_t GetBE16(const Byte* p) {
    static_assert(sizeof(Byte) == 1);
    return static_cast<std::uint16_t>((std::uint16_t(std::uint8_t(p[0])) << 8) | std::uint8_t(p[1]));
}
template <class Byte>
constexpr std::uint32_t GetBE32(const Byte* p) {
    return (std::uint32_t(GetBE16(p)) << 16) | GetBE16(p + 2);
}
template <class Byte>
constexpr std::uint64_t GetBE64(const Byte* p) {
    return (std::uint64_t(GetBE32(p)) << 32) | GetBE32(p + 4);
}

constexpr void PutBE16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}
constexpr void PutBE32(std::uint8_t* p, std::uint32_t v) {
    PutBE16(p, static_cast<std::uint16_t>(v >> 16));
    PutBE16(p + 2, static_cast<std::uint16_t>(v));
}
constexpr void PutBE64(std::uint8_t* p, std::uint64_t v) {
    PutBE32(p, static_cast<std::uint32_t>(v >> 32));
    PutBE32(p + 4, static_cast<std::uint32_t>(v));
}

constexpr std::uint32_t GetLE32(const std::uint8_t* p) {
    return p[0] | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) | (std::uint32_t(p[3]) << 24);
}
constexpr void PutLE32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Appends to any byte container with push_back (std::vector<std::uint8_t>, std::string).
template <class Buffer>
void AppendBE16(Buffer& out, std::uint16_t v) {
    using T = typename Buffer::value_type;
    out.push_back(static_cast<T>(v >> 8));
    out.push_back(static_cast<T>(v & 0xFF));
}
template <class Buffer>
void AppendBE32(Buffer& out, std::uint32_t v) {
    AppendBE16(out, static_cast<std::uint16_t>(v >> 16));
    AppendBE16(out, static_cast<std::uint16_t>(v));
}

// Reads a byte sequence front to back. A read takes its bytes only when all of them are left;
// otherwise it returns false, takes nothing and leaves `out` unchanged, so a parser stops at the
// first field that does not fit instead of reading past the end. The bytes must outlive the
// reader.
class CByteReader {
public:
    explicit CByteReader(std::span<const std::uint8_t> bytes) : mBytes(bytes) {}

    std::size_t Left() const { return mBytes.size() - mPos; }
    std::size_t Offset() const { return mPos; }

    bool Bytes(std::size_t n, std::span<const std::uint8_t>& out) {
        if (n > Left()) return false;
        out = mBytes.subspan(mPos, n);
        mPos += n;
        return true;
    }
    bool Skip(std::size_t n) {
        std::span<const std::uint8_t> unused;
        return Bytes(n, unused);
    }
    bool U8(std::uint8_t& v) {
        if (Left() < 1) return false;
        v = mBytes[mPos++];
        return true;
    }
    bool U16(std::uint16_t& v) {
        std::span<const std::uint8_t> s;
        if (!Bytes(2, s)) return false;
        v = GetBE16(s.data());
        return true;
    }
    bool U32(std::uint32_t& v) {
        std::span<const std::uint8_t> s;
        if (!Bytes(4, s)) return false;
        v = GetBE32(s.data());
        return true;
    }
    // A length byte and that many bytes after it; both or nothing are taken.
    bool LenText(std::span<const std::uint8_t>& out) {
        if (Left() < 1 || mBytes[mPos] > Left() - 1) return false;
        out = mBytes.subspan(mPos + 1, mBytes[mPos]);
        mPos += 1 + out.size();
        return true;
    }

private:
    std::span<const std::uint8_t> mBytes;
    std::size_t mPos = 0;
};

}  // namespace kx
