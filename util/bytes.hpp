// Big-endian (network order) 32-bit numbers in byte buffers, as every wire
// format here lays them out. No alignment is assumed.
#pragma once

#include <cstdint>

[[nodiscard]] constexpr uint32_t load_be32(const uint8_t *where)
{
    return uint32_t{where[0]} << 24 | uint32_t{where[1]} << 16 | uint32_t{where[2]} << 8 | uint32_t{where[3]};
}

constexpr void store_be32(uint8_t *where, uint32_t value)
{
    where[0] = static_cast<uint8_t>(value >> 24);
    where[1] = static_cast<uint8_t>(value >> 16);
    where[2] = static_cast<uint8_t>(value >> 8);
    where[3] = static_cast<uint8_t>(value);
}
