#include "sim/probes/np1_probe.h"

#include <algorithm>

namespace pelionp::sim {
namespace {

constexpr std::size_t EEPROM_SIZE = 256;

void put_text(std::vector<uint8_t>& image, std::size_t at, std::size_t width, const std::string& text) {
    std::copy_n(text.begin(), std::min(width, text.size()), image.begin() + static_cast<std::ptrdiff_t>(at));
}

}  // namespace

std::vector<uint8_t> np1_probe_eeprom(const NP1ProbeIdentity& id) {
    std::vector<uint8_t> image(EEPROM_SIZE, 0);
    for (int i = 0; i < 8; ++i) image[static_cast<std::size_t>(i)] = static_cast<uint8_t>(id.serial >> (8 * i));
    image[10] = id.version_major;
    image[11] = id.version_minor;
    put_text(image, 20, 20, id.flex_pn);
    put_text(image, 40, 20, id.probe_pn);
    return image;
}

NP1ProbeChip::NP1ProbeChip()
    : chains_({.chain_registers = {CHAIN_ODD_CHANNELS, CHAIN_EVEN_CHANNELS, CHAIN_SHANK},
               .length_high = LENGTH_HIGH,
               .length_low = LENGTH_LOW}) {
    rebuild_channel_map();
}

std::optional<Bytes> NP1ProbeChip::read(uint8_t reg, std::size_t count) {
    std::lock_guard lock(mutex_);
    std::vector<uint8_t> out;
    for (std::size_t i = 0; i < count; ++i) {
        const auto r = static_cast<uint8_t>(reg + i);
        if (stuck_read_) {
            out.push_back(*stuck_read_);
        } else if (r == STATUS) {
            const bool ok = chains_.out_ok() && !never_sr_out_ok_;
            out.push_back(static_cast<uint8_t>((regs_[STATUS] & ~SR_OUT_OK) | (ok ? SR_OUT_OK : 0)));
        } else if (r < REGISTER_FILE_SIZE) {
            out.push_back(regs_[r]);
        } else if (chains_.is_length(r)) {
            out.push_back(chains_.length_register(r));
        } else {
            return std::nullopt;  // chain ports and unknown registers cannot be read
        }
    }
    return out;
}

bool NP1ProbeChip::write(uint8_t reg, std::span<const uint8_t> bytes) {
    std::lock_guard lock(mutex_);
    if (chains_.is_chain(reg)) {
        const int before = chains_.passes(reg);
        chains_.write_chain(reg, bytes);
        if (chains_.passes(reg) != before) rebuild_channel_map();
    } else if (chains_.is_length(reg)) {
        if (reg + bytes.size() > LENGTH_LOW + 1U) return false;
        chains_.write_length(reg, bytes);
    } else {
        if (reg + bytes.size() > REGISTER_FILE_SIZE) return false;
        if (reg <= STATUS && reg + bytes.size() > STATUS) return false;  // status is read-only
        std::copy(bytes.begin(), bytes.end(), regs_.begin() + reg);
    }
    writes_.push_back({reg, {bytes.begin(), bytes.end()}});
    return true;
}

void NP1ProbeChip::rebuild_channel_map() {
    auto map = std::make_shared<NP1ChannelMap>();
    map->electrode.fill(-1);
    const auto shank_wire = chains_.image(CHAIN_SHANK);
    const auto shank = shank_wire ? np1_decode_shank(np1_unreverse(*shank_wire)) : std::nullopt;
    if (shank) {
        for (int c = 0; c < np1::CHANNELS; ++c) {
            const auto electrodes = shank->electrodes_of(c);
            if (!electrodes.empty()) map->electrode[static_cast<std::size_t>(c)] = electrodes.front();
        }
    }
    const auto even = chains_.image(CHAIN_EVEN_CHANNELS);
    const auto odd = chains_.image(CHAIN_ODD_CHANNELS);
    if (even && odd) {
        if (const auto base = np1_decode_base(np1_unreverse(*even), np1_unreverse(*odd))) {
            for (int c = 0; c < np1::CHANNELS; ++c)
                map->standby[static_cast<std::size_t>(c)] = base->channels[static_cast<std::size_t>(c)].standby;
        }
    }
    map_ = std::move(map);
}

uint8_t NP1ProbeChip::peek(uint8_t reg) const {
    std::lock_guard lock(mutex_);
    return reg < REGISTER_FILE_SIZE ? regs_[reg] : chains_.length_register(reg);
}

void NP1ProbeChip::poke(uint8_t reg, uint8_t value) {
    std::lock_guard lock(mutex_);
    regs_.at(reg) = value;
}

std::vector<NP1ProbeChip::Write> NP1ProbeChip::writes() const {
    std::lock_guard lock(mutex_);
    return writes_;
}

void NP1ProbeChip::clear_writes() {
    std::lock_guard lock(mutex_);
    writes_.clear();
}

std::optional<std::vector<uint8_t>> NP1ProbeChip::chain_wire_image(uint8_t chain) const {
    std::lock_guard lock(mutex_);
    return chains_.image(chain);
}

int NP1ProbeChip::chain_passes(uint8_t chain) const {
    std::lock_guard lock(mutex_);
    return chains_.passes(chain);
}

std::optional<NP1ShankState> NP1ProbeChip::shank() const {
    const auto wire = chain_wire_image(CHAIN_SHANK);
    if (!wire) return std::nullopt;
    return np1_decode_shank(np1_unreverse(*wire));
}

std::optional<NP1BaseState> NP1ProbeChip::base() const {
    const auto even = chain_wire_image(CHAIN_EVEN_CHANNELS);
    const auto odd = chain_wire_image(CHAIN_ODD_CHANNELS);
    if (!even || !odd) return std::nullopt;
    return np1_decode_base(np1_unreverse(*even), np1_unreverse(*odd));
}

std::shared_ptr<const NP1ChannelMap> NP1ProbeChip::channel_map() const {
    std::lock_guard lock(mutex_);
    return map_;
}

void NP1ProbeChip::set_never_sr_out_ok(bool on) {
    std::lock_guard lock(mutex_);
    never_sr_out_ok_ = on;
}

void NP1ProbeChip::set_stuck_read(std::optional<uint8_t> value) {
    std::lock_guard lock(mutex_);
    stuck_read_ = value;
}

NP1ProbeSim attach_np1_probe(Headstage& headstage, NP1ProbeIdentity identity) {
    NP1ProbeSim probe{
        .eeprom = std::make_shared<EepromChip>(1, EEPROM_SIZE),
        .chip = std::make_shared<NP1ProbeChip>(),
        .source = nullptr,
        .identity = std::move(identity),
    };
    probe.source = std::make_shared<NP1ProbeSource>(probe.chip, probe.identity.serial);
    probe.eeprom->load(0, np1_probe_eeprom(probe.identity));
    headstage.bus().attach(0xA0, probe.eeprom);
    headstage.bus().attach(NP1ProbeChip::ADDRESS, probe.chip);
    headstage.set_stream_source(0, probe.source);
    return probe;
}

}  // namespace pelionp::sim
