// The text checksum the flood rules compare to notice a client repeating itself: CRC-32 with
// polynomial 0x04C11DB7, most significant bit first without reflection, initial value
// 0xFFFFFFFF and no final inversion (the CRC-32/MPEG-2 parameters).
#pragma once

#include <cstddef>
#include <cstdint>

namespace kx::UCrc32Mpeg2 {

inline constexpr std::uint32_t kInitial = 0xFFFFFFFFu;

// Continues `crc` over `size` bytes; start with kInitial.
std::uint32_t Update(std::uint32_t crc, const void* data, std::size_t size);

inline std::uint32_t Compute(const void* data, std::size_t size) { return Update(kInitial, data, size); }

}  // namespace kx::UCrc32Mpeg2
