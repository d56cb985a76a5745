#pragma once
// The board's identity block: 32 words in the register space at 0x1800.
//
// Layout (word i at byte address 0x1800 + 4 * i):
//   word 0       magic 0x4B424944 ("KBID", first letter in the top byte);
//                erased flash (all ones) or an absent block fails it
//   word 1       bits 7..0 FPGA vendor code, bits 15..8 flash memory code,
//                bits 31..16 layout version, 1
//   word 2       bits 7..0 RHD port count, bits 15..8 RHS, bits 23..16 NP
//   word 3       serial number
//   words 4..11  model name, 32 ASCII bytes, NUL-padded; the first character
//                in bits 7..0 of word 4 (little-endian, as the bytes lie in
//                the flash)
//   words 12..30 reserved
//   word 31      checksum: the 32 words add up to 0 modulo 2^32
// A block failing the magic, the version, the checksum or holding no
// printable model name is invalid.
//
// Vendor codes: 1 "Xilinx", 2 "Altera", 3 "Lattice", 4 "Microchip".
// Flash codes: 1 "128 Mbit", 2 "256 Mbit", 3 "512 Mbit", 4 "1 Gbit", 5 "2 Gbit".
// Other codes read "Unknown (N)".
//
// The 64-bit board ID lies outside the block: 0x1C00 (high word), 0x1C04 (low).
#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace pelio::xdma {

inline constexpr uint32_t IDENTITY_BLOCK_ADDRESS = 0x1800;
inline constexpr std::size_t IDENTITY_BLOCK_WORDS = 32;
inline constexpr uint32_t IDENTITY_MAGIC = 0x4B424944;
inline constexpr uint32_t IDENTITY_LAYOUT_VERSION = 1;
inline constexpr uint32_t BOARD_ID_HIGH_ADDRESS = 0x1C00;
inline constexpr uint32_t BOARD_ID_LOW_ADDRESS = 0x1C04;

struct Identity {
    std::string fpga_vendor;
    std::string flash_memory;
    std::string model;
    uint32_t serial_number = 0;
    unsigned rhd = 0;
    unsigned rhs = 0;
    unsigned np = 0;
};

/// The decoded block, or empty when the block is invalid.
[[nodiscard]] std::optional<Identity> decode_identity(const std::array<uint32_t, IDENTITY_BLOCK_WORDS>& block);

}  // namespace pelio::xdma
