#pragma once
// Shift-register chains of a Neuropixels probe chip, as the chip sees them:
// a length announced in two registers (high byte, then low byte), then data
// bytes written to a chain's port, each shifted in most significant bit
// first. Writing a length starts a new pass. When a pass has taken exactly
// the announced length the chain holds it as its image; the chip sets
// SR_OUT_OK when that image equals what the chain shifted out, that is the
// image before it, which is how a host checks an upload: it sends the same
// image twice and reads the status once.
//
// Shared by the NP1 and NP2 chip models. Not thread-safe: the owning chip
// serialises access.
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <vector>

namespace pelionp::sim {

class ShiftRegisterChains {
public:
    struct Layout {
        std::vector<uint8_t> chain_registers;
        uint8_t length_high;
        uint8_t length_low;
    };

    explicit ShiftRegisterChains(Layout layout);

    bool is_chain(uint8_t reg) const;
    bool is_length(uint8_t reg) const { return reg == layout_.length_high || reg == layout_.length_low; }

    /// A write to a length register: its bytes land in consecutive length
    /// registers (auto-increment), as on the chip's register file.
    void write_length(uint8_t reg, std::span<const uint8_t> bytes);
    /// Data bytes for a chain, in wire order.
    void write_chain(uint8_t reg, std::span<const uint8_t> bytes);
    uint8_t length_register(uint8_t reg) const { return reg == layout_.length_high ? length_high_ : length_low_; }

    /// SR_OUT_OK as the last chain written leaves it.
    bool out_ok() const { return out_ok_; }
    /// The last complete image of a chain, in wire order (bits as received).
    std::optional<std::vector<uint8_t>> image(uint8_t chain) const;
    /// Complete passes a chain has taken since construction.
    int passes(uint8_t chain) const;

private:
    struct Chain {
        std::vector<uint8_t> shifting;
        std::optional<std::vector<uint8_t>> held;
        bool overrun = false;
        int passes = 0;
    };
    std::size_t announced() const { return static_cast<std::size_t>(length_high_) << 8 | length_low_; }

    Layout layout_;
    uint8_t length_high_ = 0;
    uint8_t length_low_ = 0;
    std::map<uint8_t, Chain> chains_;
    bool out_ok_ = false;
};

}  // namespace pelionp::sim
