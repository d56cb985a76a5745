#include "sim/chips/register_file.h"

namespace pelionp::sim {

std::optional<Bytes> RegisterFile::read(uint8_t reg, std::size_t count) {
    Bytes out;
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const auto r = static_cast<uint8_t>(reg + i);
        ++reads_[r];
        out.push_back(read_register(r));
    }
    return out;
}

bool RegisterFile::write(uint8_t reg, std::span<const uint8_t> data) {
    for (std::size_t i = 0; i < data.size(); ++i) {
        const auto r = static_cast<uint8_t>(reg + i);
        ++writes_[r];
        if (ignored_[r] != 0) {
            if (ignored_[r] != FOREVER) --ignored_[r];
            continue;
        }
        write_register(r, data[i]);
    }
    return true;
}

void RegisterFile::ignore_writes(uint8_t reg, std::optional<std::size_t> count) { ignored_[reg] = count.value_or(FOREVER); }

void RegisterFile::clear_counts() {
    reads_.fill(0);
    writes_.fill(0);
}

}  // namespace pelionp::sim
