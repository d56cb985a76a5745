#include "sim/chips/eeprom.h"

#include <stdexcept>

namespace pelionp::sim {

EepromChip::EepromChip(std::size_t address_bytes, std::size_t size) : address_bytes_(address_bytes), memory_(size, 0xFF) {
    if (address_bytes != 1 && address_bytes != 2) throw std::invalid_argument("EEPROM address width must be 1 or 2 bytes");
    if (size == 0 || size > (std::size_t{1} << (8 * address_bytes)))
        throw std::invalid_argument("EEPROM size does not fit its address width");
}

std::optional<Bytes> EepromChip::read(uint8_t reg, std::size_t count) {
    const uint8_t address[] = {reg};
    write_raw(address);
    return read_current(count);
}

bool EepromChip::write(uint8_t reg, std::span<const uint8_t> data) {
    Bytes wire;
    wire.reserve(data.size() + 1);
    wire.push_back(reg);
    wire.insert(wire.end(), data.begin(), data.end());
    return write_raw(wire);
}

std::optional<Bytes> EepromChip::read_current(std::size_t count) {
    Bytes out;
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        out.push_back(memory_[pointer_]);
        pointer_ = (pointer_ + 1) % memory_.size();
    }
    return out;
}

bool EepromChip::write_raw(std::span<const uint8_t> data) {
    if (data.size() < address_bytes_) return true;
    std::size_t address = 0;
    for (std::size_t i = 0; i < address_bytes_; ++i) address = (address << 8) | data[i];
    pointer_ = address % memory_.size();
    for (const uint8_t byte : data.subspan(address_bytes_)) {
        if (!write_protect_) memory_[pointer_] = byte;
        pointer_ = (pointer_ + 1) % memory_.size();
    }
    return true;
}

void EepromChip::load(std::size_t offset, std::span<const uint8_t> bytes) {
    if (offset + bytes.size() > memory_.size()) throw std::out_of_range("EEPROM load past the end of memory");
    std::copy(bytes.begin(), bytes.end(), memory_.begin() + static_cast<std::ptrdiff_t>(offset));
}

}  // namespace pelionp::sim
