#pragma once
// The Neuropixels 2.0 probe's data callbacks, as free functions over a plain
// gain array so that a probe only binds them to its own members.
//
// Threading contract: `queue_ap_data` and `reset_ap_output` run on the
// decoder worker's thread. `gain` is read sample by sample; a host may
// overwrite single factors meanwhile (each is one 32-bit float).
#include <cstddef>
#include <cstdint>
#include <span>

#include "pelionp/decoders/np2_row_decoder.h"
#include "pelionp/demux/resettable_queue.h"
#include "pelionp/export.h"

namespace pelionp::NP2 {

using APDataQueue = demux::ResettableQueue<APData>;

/// Queue depth at or above which a finished set is dropped.
inline constexpr std::size_t AP_QUEUE_MAX_ELEMENTS = 131072;

/// (code - 2048) x gain[c], single precision, truncated toward zero to 16
/// bits (saturating).
PELIONP_API void convert_raw_ap(const RawAPData& raw, std::span<const float, CHANNEL_COUNT> gain, APData& out);

/// The raw-AP callback body: counts the set in `packet_count`, converts it and
/// queues it, or drops it with a warning when `queue` holds `max_elements` or
/// more. Returns whether it was queued. With `Wake::deferred` the host is
/// woken by the caller's `signal_deferred` at the end of its batch.
/// What became of a set handed to `queue_ap_set`.
enum class SetFate { queued, queue_full, out_of_memory };
/// `queue_ap_data`, telling why a set was not queued.
PELIONP_API SetFate queue_ap_set(const RawAPData& raw, std::span<const float, CHANNEL_COUNT> gain, APDataQueue& queue,
                                 uint64_t& packet_count, std::size_t max_elements = AP_QUEUE_MAX_ELEMENTS,
                                 demux::Wake wake = demux::Wake::now);
PELIONP_API bool queue_ap_data(const RawAPData& raw, std::span<const float, CHANNEL_COUNT> gain, APDataQueue& queue,
                               uint64_t& packet_count, std::size_t max_elements = AP_QUEUE_MAX_ELEMENTS,
                               demux::Wake wake = demux::Wake::now);

/// The output-reset body: `packet_count` = 0 and the queue emptied.
/// Returns how many sets it cleared from the queue.
PELIONP_API std::size_t reset_ap_output(APDataQueue& queue, uint64_t& packet_count);

}  // namespace pelionp::NP2
