#include "pelionp/decoders/np1_packet_assembly.h"

#include <cstring>

#include <spdlog/spdlog.h>

#include "pelionp/decoders/gain.h"

namespace pelionp::NP1 {

namespace {

void correct(const uint16_t* codes, std::span<const float, CHANNEL_COUNT> gain, int16_t* out) {
    correct_codes<CHANNEL_COUNT, 512, -1>(codes, gain.data(), out);
}

PacketFate store_set(electrodePacket& packet, const APData& data, std::span<const float, CHANNEL_COUNT> gain,
                     ElectrodePacketQueue& queue, std::size_t max_elements, demux::Wake wake) {
    // The decoder never reports an index past 11; a corrupt one must not
    // write outside the packet.
    if (data.index >= SUPERFRAME_SIZE) {
        return PacketFate::assembling;
    }
    correct(data.samples, gain, packet.ap[data.index]);
    packet.timestamps[data.index] = data.timestamp;
    if (data.index != SUPERFRAME_SIZE - 1) {
        return PacketFate::assembling;
    }
    if (!data.complete) {
        spdlog::warn("Dropping incomplete electrode packet at timestamp {:016X}", data.timestamp);
        return PacketFate::incomplete;
    }
    if (queue.size_approx() >= max_elements) {
        spdlog::warn("Queue is full, dropping packet at timestamp {:016X}", data.timestamp);
        return PacketFate::queue_full;
    }
    if (!queue.enqueue(packet, wake)) {
        spdlog::error("Failed to enqueue electrode packet, memory might be full at timestamp {:016X}", data.timestamp);
        return PacketFate::out_of_memory;
    }
    return PacketFate::queued;
}

}  // namespace

bool store_ap_data(electrodePacket& packet, const APData& data, std::span<const float, CHANNEL_COUNT> gain,
                   ElectrodePacketQueue& queue, std::size_t max_elements, demux::Wake wake) {
    return store_set(packet, data, gain, queue, max_elements, wake) == PacketFate::queued;
}

PacketFate store_ap_set(PacketAssembly& assembly, const APData& data, std::span<const float, CHANNEL_COUNT> gain,
                        ElectrodePacketQueue& queue, std::size_t max_elements, demux::Wake wake) {
    if (data.index == 0) assembly.dropping = queue.size_approx() >= max_elements;
    if (!assembly.dropping) return store_set(assembly.packet, data, gain, queue, max_elements, wake);
    if (data.index == SUPERFRAME_SIZE - 1) {
        spdlog::warn("Queue is full, dropping packet at timestamp {:016X}", data.timestamp);
        return PacketFate::queue_full;
    }
    return PacketFate::assembling;
}

bool store_ap_data(PacketAssembly& assembly, const APData& data, std::span<const float, CHANNEL_COUNT> gain,
                   ElectrodePacketQueue& queue, std::size_t max_elements, demux::Wake wake) {
    return store_ap_set(assembly, data, gain, queue, max_elements, wake) == PacketFate::queued;
}

std::size_t reset_electrode_output(PacketAssembly& assembly, ElectrodePacketQueue& queue) {
    assembly.dropping = false;
    return reset_electrode_output(assembly.packet, queue);
}

void store_lfp_data(electrodePacket& packet, const LPData& data, std::span<const float, CHANNEL_COUNT> gain) {
    correct(data.samples, gain, packet.lfp);
}

std::size_t reset_electrode_output(electrodePacket& packet, ElectrodePacketQueue& queue) {
    std::memset(&packet, 0, sizeof packet);
    return queue.clear();
}

}  // namespace pelionp::NP1
