// CRC-32/MPEG-2, one table look-up per byte.
#include "server/crc32_mpeg2.h"

#include <array>

namespace kx::UCrc32Mpeg2 {

namespace {
constexpr std::uint32_t kPolynomial = 0x04C11DB7u;

constexpr std::array<std::uint32_t, 256> MakeTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i << 24;
        for (int bit = 0; bit < 8; ++bit) c = (c & 0x80000000u) ? (c << 1) ^ kPolynomial : (c << 1);
        table[i] = c;
    }
    return table;
}

constexpr std::array<std::uint32_t, 256> kTable = MakeTable();
}  // namespace

std::uint32_t Update(std::uint32_t crc, const void* data, std::size_t size) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    for (std::size_t i = 0; i < size; ++i) crc = (crc << 8) ^ kTable[((crc >> 24) ^ p[i]) & 0xFF];
    return crc;
}

}  // namespace kx::UCrc32Mpeg2
