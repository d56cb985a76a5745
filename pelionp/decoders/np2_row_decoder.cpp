#include "pelionp/decoders/np2_row_decoder.h"

#include <stdexcept>

#include <spdlog/spdlog.h>

namespace pelionp::NP2 {

namespace {

// Nine 12-bit values packed MSB first into bytes 0..13 (the top nibble of
// byte 0 is the subrow ID, so value 0 starts at bit 3 of byte 0).
inline void unpack(const uint8_t* p, uint16_t* out) {
    for (int m = 0; m < 5; ++m) {
        const uint8_t* b = p + 3 * m;
        out[2 * m] = static_cast<uint16_t>(((b[0] & 0x0F) << 8) | b[1]);
        if (m < 4) {
            out[2 * m + 1] = static_cast<uint16_t>((b[2] << 4) | (b[3] >> 4));
        }
    }
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

void RowDecoder::decode(uint64_t timestamp, const uint8_t* p) {
    uint16_t values[9];
    switch (p[0] >> 4) {
        case 1:
            header(p);
            unpack(p, values);
            std::copy(values + 3, values + 9, subrow_values_);
            return;
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
    for (int i = 0; i < SAMPLES_PER_ROW; ++i) {
        set_.samples[32 * (i / 2) + 2 * row_ + (i % 2)] = subrow_values_[i];
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
