#pragma once
// Bit access into shift-register images: bit n of an image is bit (n mod 8)
// of byte n / 8, least significant bit first.
#include <cstddef>
#include <cstdint>
#include <span>

namespace pelionp::NP1::image_bits {

constexpr bool get(std::span<const uint8_t> image, std::size_t bit) noexcept {
    return (image[bit / 8] >> (bit % 8)) & 1U;
}

constexpr void put(std::span<uint8_t> image, std::size_t bit, bool on) noexcept {
    const auto mask = static_cast<uint8_t>(1U << (bit % 8));
    image[bit / 8] = on ? static_cast<uint8_t>(image[bit / 8] | mask) : static_cast<uint8_t>(image[bit / 8] & ~mask);
}

/// Writes `width` bits of `value`, least significant first, from `bit` on.
constexpr void put_field(std::span<uint8_t> image, std::size_t bit, unsigned width, uint32_t value) noexcept {
    for (unsigned i = 0; i < width; ++i) put(image, bit + i, (value >> i) & 1U);
}

/// The chains shift each byte in most significant bit first: image bit 0
/// travels as bit 7 of the byte on the wire.
constexpr uint8_t reverse(uint8_t b) noexcept {
    b = static_cast<uint8_t>((b & 0xF0) >> 4 | (b & 0x0F) << 4);
    b = static_cast<uint8_t>((b & 0xCC) >> 2 | (b & 0x33) << 2);
    b = static_cast<uint8_t>((b & 0xAA) >> 1 | (b & 0x55) << 1);
    return b;
}

}  // namespace pelionp::NP1::image_bits
