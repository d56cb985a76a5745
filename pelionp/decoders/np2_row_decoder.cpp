#include "pelionp/decoders/np2_row_decoder.h"

#include <bit>
#include <cstring>
#include <stdexcept>

#include <spdlog/spdlog.h>

namespace pelionp::NP2 {

namespace {

uint64_t load_be64(const uint8_t* p) noexcept {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::little) {
        v = std::byteswap(v);
    }
    return v;
}

// Nine 12-bit values packed MSB first into bytes 0..13 (the top nibble of
// byte 0 is the subrow ID): values 0..4 are the low 60 bits of bytes 0..7,
// values 5..8 the low 48 bits of bytes 6..13, each read big-endian.
inline void unpack(const uint8_t* p, uint16_t* out) noexcept {
    const uint64_t a = load_be64(p);
    const uint64_t b = load_be64(p + 6);
    out[0] = static_cast<uint16_t>((a >> 48) & 0xFFF);
    out[1] = static_cast<uint16_t>((a >> 36) & 0xFFF);
    out[2] = static_cast<uint16_t>((a >> 24) & 0xFFF);
    out[3] = static_cast<uint16_t>((a >> 12) & 0xFFF);
    out[4] = static_cast<uint16_t>(a & 0xFFF);
    out[5] = static_cast<uint16_t>((b >> 36) & 0xFFF);
    out[6] = static_cast<uint16_t>((b >> 24) & 0xFFF);
    out[7] = static_cast<uint16_t>((b >> 12) & 0xFFF);
    out[8] = static_cast<uint16_t>(b & 0xFFF);
}

}  // namespace

RowDecoder::RowDecoder(Callback on_raw_ap) : on_raw_ap_(std::move(on_raw_ap)) {
    if (!on_raw_ap_) {
        throw std::invalid_argument("NP2 decoder callback must not be empty");
    }
}

void RowDecoder::reset() {
    set_ = {};
    row_ = 0;
    std::ranges::fill(subrow_values_, uint16_t{0});
    expected_row_group_ = 0;
    lost_sync_counter_ = 0;
    synced_ = false;
    row_group_mismatches_ = 0;
    lost_sync_changes_ = 0;
}

void RowDecoder::decode(uint64_t timestamp, const uint8_t* payload) { decode_one(timestamp, payload); }

void RowDecoder::decode_words(std::span<const demux::SIDWord> words, const uint8_t* buffer) {
    for (const auto& [timestamp, offset] : words) {
        decode_one(timestamp, buffer + offset + demux::STREAM_PAYLOAD_OFFSET);
    }
}

inline void RowDecoder::decode_one(uint64_t timestamp, const uint8_t* p) {
    switch (p[0] >> 4) {
        case 1: {
            header(p);
            uint16_t values[9];
            unpack(p, values);
            std::memcpy(subrow_values_, values + 3, 6 * sizeof(uint16_t));
            return;
        }
        case 2:
            unpack(p, subrow_values_ + 6);
            return;
        case 3:
            unpack(p, subrow_values_ + 15);
            break;
        default:
            spdlog::error("Invalid subrow ID: {}", p[0] >> 4);
            return;
    }
    // Samples 2j and 2j + 1 of row r go to channels 32j + 2r and 32j + 2r + 1:
    // twelve neighbouring pairs.
    uint16_t* row = set_.samples.data() + 2 * row_;
    for (int j = 0; j < SAMPLES_PER_ROW / 2; ++j) {
        std::memcpy(row + 32 * j, subrow_values_ + 2 * j, 2 * sizeof(uint16_t));
    }
    if (++row_ == ROWS_PER_SUPERFRAME) {
        set_.timestamp = timestamp;
        on_raw_ap_(set_);
        row_ = 0;
    }
}

void RowDecoder::header(const uint8_t* p) {
    const bool was_synced = synced_;
    if (p[0] & 0x01) {
        if (row_ != 0) {
            if (was_synced) {
                spdlog::warn("Resyncing super frame counter");
            }
            row_ = 0;
        }
        if (!was_synced) {
            spdlog::info("NP2 decoder synced, adopting row counter 0x{:X}", p[3]);
        }
        synced_ = true;
    }
    if (p[1] != PREAMBLE_0 || p[2] != PREAMBLE_1) {
        spdlog::error("Invalid preamble");
    }

    const uint8_t counter = p[3];
    if (counter == static_cast<uint8_t>(expected_row_group_)) {
        if (row_group_mismatches_ > 0) {
            spdlog::info("Row group counter recovered after {} consecutive mismatches", row_group_mismatches_);
            row_group_mismatches_ = 0;
        }
        ++expected_row_group_;
    } else {
        if (was_synced) {
            if (row_group_mismatches_ == 0) {
                spdlog::warn("Got counter 0x{:X}, expected 0x{:X}", counter, expected_row_group_);
            }
            if (++row_group_mismatches_ >= FORCED_RESYNC_MISMATCHES) {
                spdlog::warn("{} consecutive row group counter mismatches, forcing resync", row_group_mismatches_);
                synced_ = false;
                row_group_mismatches_ = 0;
                lost_sync_changes_ = 0;
            }
        }
        expected_row_group_ = uint64_t{counter} + 1;
    }

    const uint8_t lost = p[4];
    if (lost == lost_sync_counter_) {
        if (lost_sync_changes_ > 0) {
            spdlog::info("Lost-sync counter stabilized after {} consecutive changes", lost_sync_changes_);
            lost_sync_changes_ = 0;
        }
    } else {
        if (was_synced) {
            if (lost_sync_changes_ == 0) {
                spdlog::warn("Lost sync at {} -> {}", lost_sync_counter_, lost);
            }
            if (++lost_sync_changes_ >= FORCED_RESYNC_MISMATCHES) {
                spdlog::warn("{} consecutive lost-sync counter changes, forcing resync", lost_sync_changes_);
                synced_ = false;
                row_group_mismatches_ = 0;
                lost_sync_changes_ = 0;
            }
        }
        lost_sync_counter_ = lost;
    }
}

}  // namespace pelionp::NP2
