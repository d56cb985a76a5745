// A capture as `replay` reads it, without the files: the sidecar or the
// census of the words, each described probe's gain corrections, the cut into
// buffers that begin on a word with the preamble, and the library's data
// path (coordinator, NP1 and NP2 probe streams with their conversions) kept
// across inputs. Input: as the replay target's (one flags byte, bit 0: a
// sidecar follows; bits 1..6: the buffer size, see below; with a sidecar a
// 16-bit little-endian length and its text; then the capture bytes).
//
// NB: the replay target runs the whole replay per input (recordings
// created, files written, a dozen threads started and joined) and so runs
// a few dozen inputs a second; this one keeps what an input cannot change.
#include <array>
#include <memory>
#include <optional>
#include <vector>

#include "pelionp/decoders/np1_probe_stream.h"
#include "pelionp/decoders/np2_probe_stream.h"
#include "pelionp/demux/data_stream_coordinator.h"
#include "pelionp/logging.h"
#include "record/capture/census.h"
#include "record/capture/sidecar.h"
#include "record/logging.h"
#include "record/spikeglx/meta.h"
#include "tests/fuzz/buffer_flight.h"
#include "tests/fuzz/fuzz_target.h"

using namespace pelionp;
using namespace pelionp::record;

namespace {

std::array<float, CHANNEL_COUNT> gains_or_unit(const std::optional<capture::GainCorrection>& correction) {
    if (correction) return *correction;
    std::array<float, CHANNEL_COUNT> unit;
    unit.fill(1.0f);
    return unit;
}

// The libraries log through the target's silenced logger (see the
// coordinator target: their registries must outlive the decoder threads).
struct LibraryLogs {
    LibraryLogs() {
        pelionp::use_logger(spdlog::default_logger());
        record::use_logger(spdlog::default_logger());
    }
};

// Every probe SID a capture can name, subscribed once: NP1 on 0..3, NP2 on 8..15.
struct DataPath : LibraryLogs {
    static constexpr std::array<uint8_t, 4> NP1_SIDS{0, 1, 2, 3};
    static constexpr std::array<uint8_t, 8> NP2_SIDS{8, 9, 10, 11, 12, 13, 14, 15};
    demux::DataStreamCoordinator coordinator;
    std::vector<std::unique_ptr<NP1::ProbeStream>> np1;
    std::vector<std::unique_ptr<NP2::ProbeStream>> np2;
    std::vector<electrodePacket> np1_out = std::vector<electrodePacket>(64);
    std::vector<NP2::APData> np2_out = std::vector<NP2::APData>(512);

    DataPath() {
        const auto unit = gains_or_unit(std::nullopt);
        const auto np2_unit = spikeglx::np2_file_gains(unit);
        for (uint8_t sid : NP1_SIDS) np1.push_back(std::make_unique<NP1::ProbeStream>(demux::SID{sid}, unit, unit));
        for (uint8_t sid : NP2_SIDS) np2.push_back(std::make_unique<NP2::ProbeStream>(demux::SID{sid}, np2_unit));
        np1_set.fill({unit, unit});
        np2_set.fill(unit);
        for (auto* worker : workers()) {
            auto subscribed = coordinator.push_subscription({worker->sid, worker->queue()});
            if (!subscribed) fuzz::fail("subscription refused: " + subscribed.error());
        }
    }

    std::vector<demux::NeuropixelsWorker*> workers() {
        std::vector<demux::NeuropixelsWorker*> all;
        for (auto& s : np1) all.push_back(&s->worker());
        for (auto& s : np2) all.push_back(&s->worker());
        return all;
    }

    // As a replay sets up its streams: the described probes with their
    // corrections (NP2 on the file's scale), every other one at unit gain.
    // NB: a stream's gains are set only when they change (each setting is a
    // new snapshot for its decoder).
    void describe(const capture::Sidecar& sidecar) {
        using Gains = std::array<float, CHANNEL_COUNT>;
        const Gains unit = gains_or_unit(std::nullopt);
        std::array<Gains, 4> np1_ap, np1_lf;
        std::array<Gains, 8> np2_ap;
        np1_ap.fill(unit);
        np1_lf.fill(unit);
        np2_ap.fill(unit);
        for (const auto& d : sidecar.streams) {
            if (d.sid < 4) {
                np1_ap[d.sid] = gains_or_unit(d.ap_gain_correction);
                np1_lf[d.sid] = gains_or_unit(d.lf_gain_correction);
            } else if (d.sid >= 8 && d.sid < 16) {
                np2_ap[d.sid - 8u] = gains_or_unit(d.ap_gain_correction);
            } else {
                fuzz::fail("a stream described on SID " + std::to_string(d.sid) + ", which no probe has");
            }
        }
        for (std::size_t i = 0; i < np1.size(); ++i) {
            if (np1_ap[i] == np1_set[i].first && np1_lf[i] == np1_set[i].second) continue;
            np1[i]->set_gains(np1_ap[i], np1_lf[i]);
            np1_set[i] = {np1_ap[i], np1_lf[i]};
        }
        for (std::size_t i = 0; i < np2.size(); ++i) {
            if (np2_ap[i] == np2_set[i]) continue;
            np2[i]->set_gains(spikeglx::np2_file_gains(np2_ap[i]));
            np2_set[i] = np2_ap[i];
        }
    }
    // The corrections each stream was last given (before the file's scale).
    std::array<std::pair<std::array<float, CHANNEL_COUNT>, std::array<float, CHANNEL_COUNT>>, 4> np1_set;
    std::array<std::array<float, CHANNEL_COUNT>, 8> np2_set;

    // NB: only the decoders that the last input reached are resynced (a
    // round trip with each thread); the others are as their last resync left them.
    void start_clean(const capture::Census& census) {
        if (auto reset = coordinator.reset(); !reset) fuzz::fail("coordinator reset refused: " + reset.error());
        for (auto* worker : workers()) {
            const auto sid = static_cast<std::size_t>(to_underlying(worker->sid));
            if (reached[sid]) worker->wait_for_resync();
            reached[sid] = census.words[sid] != 0;
        }
    }
    std::array<bool, 16> reached{};

    // What the decoders queued, taken as a writer takes it.
    void drain() {
        for (auto& s : np1)
            while (s->packets().try_dequeue_bulk(np1_out.data(), np1_out.size()) != 0) {}
        for (auto& s : np2)
            while (s->packets().try_dequeue_bulk(np2_out.data(), np2_out.size()) != 0) {}
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::QuietLogs quiet;
    static DataPath path;
    if (size == 0) return 0;
    auto input = fuzz::as_text(data, size);
    const uint8_t flags = data[0];
    input.remove_prefix(1);
    std::optional<std::string_view> sidecar_text;
    if (flags & 1) {
        if (input.size() < 2) return 0;
        const std::size_t length =
            static_cast<uint8_t>(input[0]) | static_cast<std::size_t>(static_cast<uint8_t>(input[1])) << 8;
        input.remove_prefix(2);
        if (length > input.size()) return 0;
        sidecar_text = input.substr(0, length);
        input.remove_prefix(length);
    }
    const auto capture = std::span(reinterpret_cast<const uint8_t*>(input.data()), input.size());

    capture::Census census;
    count_words(capture.first(capture.size() / capture::WORD_BYTES * capture::WORD_BYTES), census);
    capture::Sidecar sidecar;
    if (sidecar_text) {
        auto parsed = capture::parse(*sidecar_text);
        if (!parsed) {
            fuzz::check_message(parsed.error());
            return 0;
        }
        sidecar = std::move(*parsed);
    } else {
        sidecar = capture::describe_from_census(census);
        for (const auto& d : sidecar.streams)
            if (census.words[d.sid] == 0) fuzz::fail("a probe described without any word of its SID");
    }
    if (sidecar.streams.empty()) return 0;  // replay refuses such a capture
    path.describe(sidecar);
    path.start_clean(census);

    // Cut as replay cuts: chunks of the buffer size, each handed over from
    // its first word with the preamble, the tail from its last carried on.
    // NB: bits 1..6 name the buffer size as in the replay target for 0..15
    // (1 to 16 words, where the cuts' edges are) and in steps of 16 words
    // above (32 to 784): tiny buffers all the time held the target below
    // 1000 inputs a second, a thread hand-over per handful of words.
    const std::size_t size_code = (flags >> 1) & 63;
    const std::size_t buffer_bytes = capture::WORD_BYTES * (size_code < 16 ? size_code + 1 : 16 * (size_code - 14));
    std::size_t at = 0;
    for (;;) {
        const auto chunk = capture.subspan(at, std::min(buffer_bytes, capture.size() - at));
        const bool last = chunk.size() < buffer_bytes;  // the read reached the end
        const auto cut = capture::cut_buffer(chunk, last);
        if (cut.start > cut.end || cut.end > chunk.size() || cut.start % capture::WORD_BYTES != 0 ||
            cut.end % capture::WORD_BYTES != 0)
            fuzz::fail("a cut outside its chunk's whole words");
        if (cut.end > cut.start) {
            if (!capture::has_preamble(&chunk[cut.start])) fuzz::fail("a buffer handed over without the preamble");
            path.coordinator.push_buffer(fuzz::make_buffer(chunk.subspan(cut.start, cut.end - cut.start)));
        }
        if (last) break;
        // The next chunk begins at the cut: replay carries those words on.
        const std::size_t next = at + (cut.end > cut.start ? cut.end : chunk.size());
        if (next <= at) fuzz::fail("a cut that does not move on");
        at = next;
    }

    fuzz::wait_until_released();
    path.drain();
    return 0;
}
