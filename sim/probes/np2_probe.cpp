#include "sim/probes/np2_probe.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>

#include <fmt/format.h>

#include "sim/probes/np2_source.h"
#include "sim/probes/neural_signal.h"
#include "sim/probes/tick_cache.h"

namespace pelionp::sim {

namespace {

constexpr uint8_t REG_STATUS = 0x09;
constexpr uint8_t REG_LAST_CONTROL = 0x0A;
constexpr uint8_t REG_FIRST_CHAIN = 0x16;
constexpr uint8_t REG_LAST_CHAIN = 0x1B;
constexpr uint8_t REG_LENGTH_HIGH = 0x1C;
constexpr uint8_t REG_LENGTH_LOW = 0x1D;
constexpr uint8_t SR_OUT_OK = 0x80;

// Probe geometry. Single shank: within each block of 32 channels a bank
// permutes the block's electrodes (bank 0 is the identity).
constexpr uint8_t SINGLE_A[4][4] = {{0, 1, 2, 3}, {0, 9, 14, 23}, {0, 17, 26, 11}, {0, 25, 22, 15}};
constexpr uint8_t SINGLE_B[4] = {4, 28, 20, 12};
// Four shanks: the electrode block (of 48) that channel group g reaches on shank s in bank 0.
constexpr uint8_t FOUR_M[4][8] = {
    {0, 6, 1, 7, 2, 4, 3, 5}, {6, 0, 7, 1, 4, 2, 5, 3}, {2, 4, 3, 5, 0, 6, 1, 7}, {4, 2, 5, 3, 6, 0, 7, 1}};

uint32_t single_shank_site(std::size_t channel, std::size_t bank) {
    const std::size_t row = (channel % 32) / 4;
    return static_cast<uint32_t>(384 * bank + 32 * (channel / 32) +
                                 (SINGLE_A[bank][channel % 4] + row * SINGLE_B[bank]) % 32);
}

uint32_t four_shank_site(std::size_t channel, std::size_t shank, std::size_t bank) {
    return static_cast<uint32_t>(48 * (FOUR_M[shank][channel / 48] + 8 * bank) + channel % 48);
}

bool bit_at(const std::vector<uint8_t>& image, std::size_t position) {
    return (image[position / 8] >> (7 - position % 8)) & 1u;
}

void put_text(std::vector<uint8_t>& image, std::size_t offset, const std::string& text) {
    std::copy_n(text.begin(), std::min<std::size_t>(text.size(), 32), image.begin() + static_cast<long>(offset));
}

}  // namespace

bool np2_part_is_four_shank(const std::string& probe_pn) {
    return probe_pn == "NP2010" || probe_pn == "NP2013" || probe_pn == "NP2014" || probe_pn == "PRB2_4_2_0640_0";
}

std::vector<uint8_t> np2_probe_eeprom_image(const NP2ProbeIdentity& id) {
    std::vector<uint8_t> image(96, 0);
    for (std::size_t i = 0; i < 8; ++i) image[i] = static_cast<uint8_t>(id.serial >> (8 * i));
    image[16] = id.version_major;
    image[17] = id.version_minor;
    put_text(image, 32, id.flex_pn);
    put_text(image, 64, id.probe_pn);
    return image;
}

// ---------------------------------------------------------------- chip

NP2ProbeChip::NP2ProbeChip(std::size_t shank_count) : shank_count_(shank_count) {
    if (shank_count != 1 && shank_count != 4) throw std::invalid_argument("NP2 probe has 1 or 4 shanks");
    chains_[0].length = BASE_CHAIN_BYTES;  // 0x16 odd channels
    chains_[1].length = BASE_CHAIN_BYTES;  // 0x17 even channels
    for (std::size_t i = 2; i < chains_.size(); ++i) chains_[i].length = SHANK_CHAIN_BYTES;
}

NP2ProbeChip::Chain* NP2ProbeChip::chain(uint8_t reg) {
    return const_cast<Chain*>(std::as_const(*this).chain(reg));
}

const NP2ProbeChip::Chain* NP2ProbeChip::chain(uint8_t reg) const {
    if (reg < REG_FIRST_CHAIN || reg > REG_LAST_CHAIN) return nullptr;
    // Shank s sits on 0x1B - s; a single-shank probe has only 0x1B.
    if (reg < REG_LAST_CHAIN - (shank_count_ - 1) && reg > 0x17) return nullptr;
    return &chains_[reg - REG_FIRST_CHAIN];
}

std::optional<Bytes> NP2ProbeChip::read(uint8_t reg, std::size_t count) {
    std::lock_guard lock(mutex_);
    std::vector<uint8_t> out;
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const auto r = static_cast<std::size_t>(reg) + i;
        if (r <= REG_LAST_CONTROL) {
            out.push_back(r == REG_STATUS ? (status_ok_ ? SR_OUT_OK : 0) : regs_[r]);
        } else if (r == REG_LENGTH_HIGH) {
            out.push_back(length_high_);
        } else if (r == REG_LENGTH_LOW) {
            out.push_back(length_low_);
        } else {
            return std::nullopt;
        }
    }
    return out;
}

bool NP2ProbeChip::write(uint8_t reg, std::span<const uint8_t> data) {
    std::lock_guard lock(mutex_);
    if (write_fault_ && write_fault_(reg, data)) return false;
    if (Chain* c = chain(reg)) {
        writes_.push_back({reg, {data.begin(), data.end()}});
        for (uint8_t b : data) {
            c->shifted.push_back(b);
            if (c->shifted.size() > 2 * c->length) c->shifted.pop_front();
        }
        // The chain shifts its old contents out while the new ones go in;
        // the chip flags the load good when both agree bit for bit over a
        // chain length set to the chain's true size.
        const std::size_t length = static_cast<std::size_t>(length_high_) << 8 | length_low_;
        status_ok_ = !sr_out_stuck_ && length == c->length && c->shifted.size() == 2 * c->length &&
                     std::equal(c->shifted.begin(), c->shifted.begin() + static_cast<long>(c->length),
                                c->shifted.begin() + static_cast<long>(c->length));
        last_chain_ = reg;
        update_sources_locked();
        sources_generation_.fetch_add(1, std::memory_order_release);
        return true;
    }
    // Control registers auto-increment over a multi-byte write; validate first.
    for (std::size_t i = 0; i < data.size(); ++i) {
        const auto r = static_cast<std::size_t>(reg) + i;
        const bool writable = (r <= REG_LAST_CONTROL && r != REG_STATUS) || r == REG_LENGTH_HIGH || r == REG_LENGTH_LOW;
        if (!writable) return false;
    }
    writes_.push_back({reg, {data.begin(), data.end()}});
    for (std::size_t i = 0; i < data.size(); ++i) {
        const auto r = static_cast<std::size_t>(reg) + i;
        if (r == REG_LENGTH_HIGH) length_high_ = data[i];
        else if (r == REG_LENGTH_LOW) length_low_ = data[i];
        else regs_[r] = data[i];
    }
    return true;
}

uint8_t NP2ProbeChip::register_value(uint8_t reg) const {
    std::lock_guard lock(mutex_);
    if (reg == REG_STATUS) return status_ok_ ? SR_OUT_OK : 0;
    if (reg <= REG_LAST_CONTROL) return regs_[reg];
    if (reg == REG_LENGTH_HIGH) return length_high_;
    if (reg == REG_LENGTH_LOW) return length_low_;
    throw std::out_of_range(fmt::format("NP2 probe has no register 0x{:02X}", reg));
}

std::vector<uint8_t> NP2ProbeChip::image_locked(const Chain& c) const {
    // Until a whole image went in, the missing head reads as zeros.
    std::vector<uint8_t> image(c.length, 0);
    const std::size_t have = std::min(c.shifted.size(), c.length);
    std::copy(c.shifted.end() - static_cast<long>(have), c.shifted.end(),
              image.begin() + static_cast<long>(c.length - have));
    return image;
}

std::vector<uint8_t> NP2ProbeChip::chain_image(uint8_t reg) const {
    std::lock_guard lock(mutex_);
    const Chain* c = chain(reg);
    if (!c) throw std::out_of_range(fmt::format("NP2 probe has no chain 0x{:02X}", reg));
    return image_locked(*c);
}

std::array<NP2ChannelState, NP2ProbeChip::CHANNELS> NP2ProbeChip::channels_locked() const {
    std::array<NP2ChannelState, CHANNELS> out{};
    // Chain 0x17 carries channels 0, 2, 4, ...; 0x16 carries 1, 3, 5, ...
    const std::vector<uint8_t> blocks[2] = {image_locked(chains_[1]), image_locked(chains_[0])};
    for (std::size_t parity = 0; parity < 2; ++parity) {
        for (std::size_t byte = 0; byte < BASE_CHAIN_BYTES; ++byte) {
            for (std::size_t half = 0; half < 2; ++half) {
                const std::size_t channel = 4 * (BASE_CHAIN_BYTES - 1 - byte) + 2 * half + parity;
                const uint8_t nibble = (blocks[parity][byte] >> (4 * half)) & 0xF;
                NP2ChannelState& state = out[channel];
                state.standby = nibble & 0x8;
                switch (nibble & 0x7) {
                    case 0x4: state.reference = 0; break;
                    case 0x2: state.reference = 1; break;
                    case 0x1: state.reference = 2; break;
                    default: state.reference.reset(); break;
                }
            }
        }
    }
    return out;
}

std::array<NP2ChannelState, NP2ProbeChip::CHANNELS> NP2ProbeChip::channels() const {
    std::lock_guard lock(mutex_);
    return channels_locked();
}

NP2ShankState NP2ProbeChip::shank_locked(std::size_t s) const {
    const std::vector<uint8_t> image = image_locked(chains_[REG_LAST_CHAIN - s - REG_FIRST_CHAIN]);
    NP2ShankState out;
    for (std::size_t h = 0; h < ELECTRODES / 2; ++h) {
        if (bit_at(image, 645 + h)) out.electrodes.set(2 * h);
        if (bit_at(image, 642 - h)) out.electrodes.set(2 * h + 1);
    }
    const bool ext_a = bit_at(image, 2), ext_b = bit_at(image, 1285);
    const bool tip_a = bit_at(image, 643), tip_b = bit_at(image, 644);
    const bool reserved = bit_at(image, 0) || bit_at(image, 1) || bit_at(image, 1286) || bit_at(image, 1287);
    if (reserved || ext_a != ext_b || tip_a != tip_b || (ext_a && tip_a)) out.switch_selector.reset();
    else out.switch_selector = ext_a ? 2 : tip_a ? 1 : 0;
    return out;
}

NP2ShankState NP2ProbeChip::shank(std::size_t s) const {
    if (s >= shank_count_) throw std::out_of_range(fmt::format("NP2 probe has no shank {}", s));
    std::lock_guard lock(mutex_);
    return shank_locked(s);
}

void NP2ProbeChip::update_sources_locked() {
    const auto channel_states = channels_locked();
    std::array<NP2ShankState, 4> shanks;
    for (std::size_t s = 0; s < shank_count_; ++s) shanks[s] = shank_locked(s);
    for (std::size_t c = 0; c < CHANNELS; ++c) {
        sources_[c].reset();
        if (channel_states[c].standby) continue;
        // NB: a channel connected to several electrodes would short them on
        // the probe; the model takes the first (lowest shank, then bank).
        for (std::size_t s = 0; s < shank_count_ && !sources_[c]; ++s) {
            for (std::size_t b = 0; b < 4; ++b) {
                const uint32_t e = shank_count_ == 1 ? single_shank_site(c, b) : four_shank_site(c, s, b);
                if (e < ELECTRODES && shanks[s].electrodes.test(e)) {
                    sources_[c] = Source{static_cast<uint8_t>(s), static_cast<uint16_t>(e)};
                    break;
                }
            }
        }
    }
}

std::array<std::optional<NP2ProbeChip::Source>, NP2ProbeChip::CHANNELS> NP2ProbeChip::sources() const {
    std::lock_guard lock(mutex_);
    return sources_;
}

std::vector<NP2ProbeChip::Write> NP2ProbeChip::writes() const {
    std::lock_guard lock(mutex_);
    return writes_;
}

void NP2ProbeChip::clear_writes() {
    std::lock_guard lock(mutex_);
    writes_.clear();
}

void NP2ProbeChip::set_write_fault(WriteFault fault) {
    std::lock_guard lock(mutex_);
    write_fault_ = std::move(fault);
}

void NP2ProbeChip::set_sr_out_stuck(bool stuck) {
    std::lock_guard lock(mutex_);
    sr_out_stuck_ = stuck;
}

// ---------------------------------------------------------------- signal

namespace {

uint16_t np2_code(float uv) {
    const long code = 2048 + round_half_away(uv / NP2_UV_PER_CODE);
    return static_cast<uint16_t>(std::clamp(code, 0L, 4095L));
}

uint16_t np2_code(const NeuralSignal& model, uint8_t shank, uint16_t electrode, uint64_t frame) {
    return np2_code(model.wideband_uv(shank, electrode, frame));
}

}  // namespace

uint16_t np2_electrode_signal(uint64_t serial, uint8_t shank, uint16_t electrode, uint64_t frame) {
    return np2_code(NeuralSignal::of(SignalLayout::np2, serial), shank, electrode, frame);
}

std::array<uint16_t, NP2ProbeChip::CHANNELS> np2_superframe(
    uint64_t serial, const std::array<std::optional<NP2ProbeChip::Source>, NP2ProbeChip::CHANNELS>& sources,
    uint64_t frame) {
    const NeuralSignal& model = NeuralSignal::of(SignalLayout::np2, serial);
    std::array<int32_t, NP2ProbeChip::CHANNELS> sites;
    for (std::size_t c = 0; c < NP2ProbeChip::CHANNELS; ++c)
        sites[c] = sources[c] ? model.site_index(sources[c]->shank, sources[c]->electrode) : -1;
    std::array<float, NP2ProbeChip::CHANNELS> uv;
    model.wideband_uv(sites, frame, uv);
    std::array<uint16_t, NP2ProbeChip::CHANNELS> codes;
    // A channel without a source has 0 µV: code 2048.
    for (std::size_t c = 0; c < NP2ProbeChip::CHANNELS; ++c) codes[c] = np2_code(uv[c]);
    return codes;
}

// ---------------------------------------------------------------- probe

NP2Probe::NP2Probe(NP2ProbeIdentity identity)
    : identity_(std::move(identity)),
      eeprom_(std::make_shared<EepromChip>(1, 256)),
      chip_(std::make_shared<NP2ProbeChip>(np2_part_is_four_shank(identity_.probe_pn) ? 4 : 1)) {
    eeprom_->load(0, np2_probe_eeprom_image(identity_));
}

void NP2Probe::dock_into(I2CBus& dock) {
    dock.attach(EEPROM_ADDRESS, eeprom_);
    dock.attach(NP2ProbeChip::ADDRESS, chip_);
}

std::array<uint16_t, NP2ProbeChip::CHANNELS> NP2Probe::superframe(uint64_t frame) const {
    return np2_superframe(identity_.serial, chip_->sources(), frame);
}

NP2ProbeSim attach_np2_probe(Headstage& headstage, int dock, NP2ProbeIdentity identity) {
    if (!headstage.dock_routing()) throw std::invalid_argument("NP2 probe needs a headstage with docks");
    if (dock != 0 && dock != 1) throw std::invalid_argument("NP2 headstage has no dock " + std::to_string(dock));
    NP2ProbeSim sim{.probe = std::make_shared<NP2Probe>(std::move(identity)), .source = nullptr};
    sim.source = std::make_shared<NP2ProbeSource>(sim.probe);
    sim.probe->dock_into(headstage.dock(dock));
    headstage.set_stream_source(dock, sim.source);
    return sim;
}

}  // namespace pelionp::sim
