#include "kessa_device_manager/identity.h"

#include <numeric>

#include <fmt/format.h>

namespace pelio::xdma {
namespace {

constexpr std::size_t MODEL_FIRST_WORD = 4;
constexpr std::size_t MODEL_BYTES = 32;

std::string code_name(unsigned code, std::initializer_list<const char*> names) {
    if (code >= 1 && code <= names.size()) return *(names.begin() + (code - 1));
    return fmt::format("Unknown ({})", code);
}

std::optional<std::string> model_name(const std::array<uint32_t, IDENTITY_BLOCK_WORDS>& block) {
    std::string name;
    for (std::size_t i = 0; i < MODEL_BYTES; ++i) {
        const auto c = static_cast<char>((block[MODEL_FIRST_WORD + i / 4] >> (8 * (i % 4))) & 0xFF);
        if (c == '\0') break;
        if (c < 0x20 || c > 0x7E) return std::nullopt;
        name.push_back(c);
    }
    if (name.empty()) return std::nullopt;
    return name;
}

}  // namespace

std::optional<Identity> decode_identity(const std::array<uint32_t, IDENTITY_BLOCK_WORDS>& block) {
    if (block[0] != IDENTITY_MAGIC) return std::nullopt;
    if ((block[1] >> 16) != IDENTITY_LAYOUT_VERSION) return std::nullopt;
    if (std::accumulate(block.begin(), block.end(), uint32_t{0}) != 0) return std::nullopt;
    auto model = model_name(block);
    if (!model) return std::nullopt;
    return Identity{
        .fpga_vendor = code_name(block[1] & 0xFF, {"Xilinx", "Altera", "Lattice", "Microchip"}),
        .flash_memory = code_name((block[1] >> 8) & 0xFF, {"128 Mbit", "256 Mbit", "512 Mbit", "1 Gbit", "2 Gbit"}),
        .model = std::move(*model),
        .serial_number = block[3],
        .rhd = block[2] & 0xFF,
        .rhs = (block[2] >> 8) & 0xFF,
        .np = (block[2] >> 16) & 0xFF,
    };
}

}  // namespace pelio::xdma
