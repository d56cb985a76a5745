#pragma once
// The Neuropixels 1.0 probe's data callbacks, as free functions over plain
// gain arrays so that a probe only binds them to its own members: AP and LFP
// sets are gain-corrected into one electrodePacket per superframe, which is
// queued when its twelfth AP set arrives.
//
// Threading contract: all three run on the decoder worker's thread. The gain
// arrays are read sample by sample; a host may overwrite single factors
// meanwhile (each is one 32-bit float).
#include <cstddef>
#include <span>

#include "pelionp/decoders/np1_frame_decoder.h"
#include "pelionp/demux/electrode_packet.h"
#include "pelionp/demux/resettable_queue.h"
#include "pelionp/export.h"

namespace pelionp::NP1 {

using ElectrodePacketQueue = demux::ResettableQueue<electrodePacket>;

/// Queue depth at or above which a finished packet is dropped.
inline constexpr std::size_t PACKET_QUEUE_MAX_ELEMENTS = 131072;

/// What became of a set handed to the assembly: part of the packet under
/// assembly, or the packet's end, queued or dropped and why.
enum class PacketFate { assembling, queued, queue_full, incomplete, out_of_memory };

/// The AP callback body: stores (512 - code) x gain[c] at the set's index and
/// its timestamp; at index 11 queues the packet unless the superframe was
/// incomplete or the queue holds `max_elements` or more (each with a
/// warning). Returns whether a packet was queued. With `Wake::deferred` the
/// host is woken by the caller's `signal_deferred` at the end of its batch.
PELIONP_API bool store_ap_data(electrodePacket& packet, const APData& data, std::span<const float, CHANNEL_COUNT> gain,
                               ElectrodePacketQueue& queue, std::size_t max_elements = PACKET_QUEUE_MAX_ELEMENTS,
                               demux::Wake wake = demux::Wake::now);

/// A packet under assembly and whether the superframe it belongs to is being
/// dropped (decided at its first set).
struct PacketAssembly {
    electrodePacket packet{};
    bool dropping = false;
};

/// `store_ap_data` that looks at the queue first: a superframe whose first set
/// (index 0) meets a queue holding `max_elements` or more is not converted at
/// all, and is dropped at its twelfth set with the full-queue warning.
PELIONP_API PacketFate store_ap_set(PacketAssembly& assembly, const APData& data,
                                    std::span<const float, CHANNEL_COUNT> gain, ElectrodePacketQueue& queue,
                                    std::size_t max_elements = PACKET_QUEUE_MAX_ELEMENTS,
                                    demux::Wake wake = demux::Wake::now);
/// `store_ap_set`, true when a packet was queued.
PELIONP_API bool store_ap_data(PacketAssembly& assembly, const APData& data,
                               std::span<const float, CHANNEL_COUNT> gain, ElectrodePacketQueue& queue,
                               std::size_t max_elements = PACKET_QUEUE_MAX_ELEMENTS,
                               demux::Wake wake = demux::Wake::now);

/// The LFP callback body: stores (512 - code) x gain[c]; the LFP timestamp is
/// not kept.
PELIONP_API void store_lfp_data(electrodePacket& packet, const LPData& data,
                                std::span<const float, CHANNEL_COUNT> gain);

/// The output-reset body: zeroes the packet, then clears the queue; how many
/// packets it cleared.
PELIONP_API std::size_t reset_electrode_output(electrodePacket& packet, ElectrodePacketQueue& queue);
/// The same for an assembly, which no longer drops.
PELIONP_API std::size_t reset_electrode_output(PacketAssembly& assembly, ElectrodePacketQueue& queue);

}  // namespace pelionp::NP1
