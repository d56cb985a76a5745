// Data-path benchmarks: demultiplexing, the NP1 and NP2 decoders with the
// probe streams' live assembly and conversion, and the whole coordinator +
// eight NP2 probe streams path, against a plain read pass over the same
// buffers. Each reports bytes/s and "x_realtime", the multiple of
// the rate a real source streams at:
//   one NP1 probe: 30000 groups/s x 13 frames x 5 words x 16 B = 31.2 MB/s
//   one NP2 probe: 30000 sets/s x 48 words x 16 B              = 23.04 MB/s
//   a full board of 8 NP2 probes (+ timestamps)                ~ 185 MB/s
//
// Run: build/release/bench/demux_bench --benchmark_min_time=0.5
#include <atomic>
#include <cstring>
#include <thread>

#include <benchmark/benchmark.h>
#include <spdlog/spdlog.h>

#include "pelionp/decoders/np1_frame_decoder.h"
#include "pelionp/decoders/np1_probe_stream.h"
#include "pelionp/decoders/np2_probe_stream.h"
#include "pelionp/decoders/np2_row_decoder.h"
#include "pelionp/demux/data_stream_coordinator.h"
#include "pelionp/demux/word_list_pool.h"
#include "sim/stream_encoders.h"

namespace {

using namespace pelionp;

constexpr double NP1_RATE = 30000.0 * 13 * 5 * 16;
constexpr double NP2_RATE = 30000.0 * 48 * 16;
constexpr double BOARD_RATE = 30000.0 * (1 + 8 * 48) * 16;
constexpr std::size_t BUFFER_BYTES = 1 << 20;
// A multiple of 256 ticks, so every per-SID row counter, NP2 row group
// counter and the timestamp stream continue seamlessly when the stream
// repeats.
constexpr std::size_t BOARD_TICKS = 2048;

uint16_t code(uint64_t set, int channel) { return static_cast<uint16_t>((set * 131 + channel * 17) & 0xFFF); }

// How a tick's words of the eight streams follow each other. The real
// board's order is not known here: word by word, or each stream's words of
// the tick back to back (as the simulated board sends them).
enum class Layout : int { interleaved = 0, runs = 1 };

// A full board's stream (timestamps + 8 NP2 probes) cut into 1 MiB buffers,
// as the device's stream thread hands them over.
struct BoardStream {
    std::vector<uint8_t> bytes;
    std::vector<std::pair<const uint8_t*, std::size_t>> buffers;

    explicit BoardStream(Layout layout) {
        sim::TimestampEncoder timestamps;
        sim::StreamInterleaver board(timestamps);
        std::vector<std::unique_ptr<sim::NP2Encoder>> probes;
        for (uint8_t sid = 8; sid < 16; ++sid) {
            probes.push_back(std::make_unique<sim::NP2Encoder>(sid, sim::NP2Samples{code}));
            board.add(*probes.back());
        }
        if (layout == Layout::interleaved) {
            board.append_ticks(bytes, BOARD_TICKS);
        } else {
            for (std::size_t t = 0; t < BOARD_TICKS; ++t) {
                timestamps.append(bytes);
                for (auto& probe : probes) probe->append_superframes(bytes, 1);
            }
        }
        for (std::size_t offset = 0; offset < bytes.size(); offset += BUFFER_BYTES) {
            buffers.emplace_back(bytes.data() + offset, std::min(BUFFER_BYTES, bytes.size() - offset));
        }
    }
    static const BoardStream& get(Layout layout = Layout::interleaved) {
        static const BoardStream interleaved(Layout::interleaved);
        static const BoardStream runs(Layout::runs);
        return layout == Layout::interleaved ? interleaved : runs;
    }
    static const BoardStream& get(const benchmark::State& state) { return get(static_cast<Layout>(state.range(0))); }
};

// The device owns the bench's buffers; the coordinator must not free them.
void keep(uint8_t*) {}

demux::DataBuffer borrowed(const std::pair<const uint8_t*, std::size_t>& buffer) {
    return {buffer.second, std::unique_ptr<uint8_t[], void (*)(uint8_t*)>(const_cast<uint8_t*>(buffer.first), keep)};
}

// Every word of a one-SID stream, as the worker receives them from the
// coordinator: {timestamp, byte offset}.
std::vector<demux::SIDWord> word_list(const std::vector<uint8_t>& words) {
    std::vector<demux::SIDWord> list;
    for (std::size_t offset = 0; offset < words.size(); offset += 16) {
        list.emplace_back(offset, static_cast<int>(offset));
    }
    return list;
}

void report(benchmark::State& state, std::size_t bytes_per_iteration, double realtime_rate) {
    const auto bytes = static_cast<double>(bytes_per_iteration) * static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["x_realtime"] = benchmark::Counter(bytes / realtime_rate, benchmark::Counter::kIsRate);
}

uint64_t read_pass(const uint8_t* data, std::size_t size) {
    uint64_t sum = 0;
    for (std::size_t offset = 0; offset < size; offset += 16) {
        sum += data[offset] + data[offset + 1];
    }
    return sum;
}

// The reference bound: one plain pass touching every word's first two bytes.
void BM_ReadPass(benchmark::State& state) {
    const auto& stream = BoardStream::get(state);
    for (auto _ : state) {
        for (const auto& [data, size] : stream.buffers) {
            benchmark::DoNotOptimize(read_pass(data, size));
        }
    }
    report(state, stream.bytes.size(), BOARD_RATE);
}
BENCHMARK(BM_ReadPass)->ArgName("runs")->Arg(0)->Arg(1);

// The same pass over 256 KiB that stay in L2 (1 MiB a core here): what the
// loop costs when memory is not the limit. Reported per byte read.
constexpr std::size_t L2_BYTES = 256 << 10;
void BM_ReadPassL2(benchmark::State& state) {
    const auto& stream = BoardStream::get(state);
    const uint8_t* data = stream.bytes.data();
    for (auto _ : state) {
        benchmark::DoNotOptimize(read_pass(data, L2_BYTES));
    }
    report(state, L2_BYTES, BOARD_RATE);
}
BENCHMARK(BM_ReadPassL2)->ArgName("runs")->Arg(0)->Arg(1);

// push_buffer -> runner -> eight SID queues, drained outside the timing.
// `compact:1` gives the queues the library's workers take (whole ticks
// named at once), `compact:0` the per-word lists of outside subscribers.
// NB: the drain hands the word lists back after all twelve buffers, where
// workers return them as they go; the pool keeps enough lists for both.
void BM_Demux(benchmark::State& state) {
    const auto& stream = BoardStream::get(state);
    const auto form = state.range(1) != 0 ? demux::WordForm::compact : demux::WordForm::per_word;
    demux::DataStreamCoordinator coordinator;
    std::vector<std::shared_ptr<demux::SIDQueue>> queues;
    for (uint32_t sid = 8; sid < 16; ++sid) {
        queues.push_back(demux::make_sid_queue(form));
        (void)coordinator.push_subscription({demux::SID{sid}, queues.back()});
    }
    demux::SIDQueueEntry entry;
    for (auto _ : state) {
        for (const auto& buffer : stream.buffers) {
            coordinator.push_buffer(borrowed(buffer));
        }
        (void)coordinator.unsubscribe(demux::SID{6});  // returns once every buffer is demultiplexed
        state.PauseTiming();
        for (auto& q : queues) {
            while (q->try_dequeue(entry)) {
                demux::release_entry(entry);  // as a worker does: the list goes back to the runner
            }
        }
        state.ResumeTiming();
    }
    report(state, stream.bytes.size(), BOARD_RATE);
}
BENCHMARK(BM_Demux)->ArgNames({"runs", "compact"})->ArgsProduct({{0, 1}, {1, 0}})->UseRealTime();

std::array<float, 384> gains_of(float value) {
    std::array<float, 384> gains;
    gains.fill(value);
    return gains;
}

// The decoder feeding the probe stream's own assembly (gain correction,
// packet queue), drained as the host does; all on this one thread.
void BM_NP1Decoder(benchmark::State& state) {
    sim::NP1Encoder encoder(0, {[](uint64_t g, int c) { return static_cast<uint16_t>(code(g, c) & 0x3FF); },
                                [](uint64_t s, int c) { return static_cast<uint16_t>(code(s, c) >> 2); }});
    std::vector<uint8_t> words;
    encoder.append_superframes(words, 200);
    NP1::ProbeStream probe(demux::SID::NP1_PORT0, gains_of(1.25f), gains_of(0.5f));
    const auto list = word_list(words);
    NP1::FrameDecoder decoder([&](const NP1::APData& d) { probe.on_ap(d); }, [&](const NP1::LPData& d) { probe.on_lfp(d); });
    decoder.reset();
    std::vector<electrodePacket> drained(64);
    for (auto _ : state) {
        decoder.decode_words(list, words.data());
        while (probe.packets().try_dequeue_bulk(drained.data(), drained.size()) != 0) {
        }
    }
    report(state, words.size(), NP1_RATE);
}
BENCHMARK(BM_NP1Decoder);

void BM_NP2DecoderWithConversion(benchmark::State& state) {
    sim::NP2Encoder encoder(8, {code});
    std::vector<uint8_t> words;
    encoder.append_superframes(words, 2048);
    NP2::ProbeStream probe(demux::SID::NP2_PORT0_DOCK0, gains_of(1.25f));
    NP2::RowDecoder decoder([&](const NP2::RawAPData& raw) { probe.on_raw_ap(raw); });
    decoder.reset();
    const auto list = word_list(words);
    std::vector<NP2::APData> drained(256);
    for (auto _ : state) {
        decoder.decode_words(list, words.data());
        while (probe.packets().try_dequeue_bulk(drained.data(), drained.size()) != 0) {
        }
    }
    report(state, words.size(), NP2_RATE);
}
BENCHMARK(BM_NP2DecoderWithConversion);

// Device buffers in, gain-converted sets out of eight live NP2 probe streams
// and into the host, which drains them with bulk dequeues.
void BM_CoordinatorAndEightNP2Workers(benchmark::State& state) {
    const auto& stream = BoardStream::get(state);
    demux::DataStreamCoordinator coordinator;
    std::vector<std::unique_ptr<NP2::ProbeStream>> probes;
    for (uint32_t sid = 8; sid < 16; ++sid) {
        probes.push_back(std::make_unique<NP2::ProbeStream>(demux::SID{sid}, gains_of(1.25f)));
        probes.back()->worker().wait_for_resync();
        (void)coordinator.push_subscription({probes.back()->sid(), probes.back()->worker().queue()});
    }
    std::vector<NP2::APData> drained(256);
    for (auto _ : state) {
        for (const auto& buffer : stream.buffers) {
            coordinator.push_buffer(borrowed(buffer));
        }
        // NB: takes what is there from every stream, and blocks (never
        // spins: on two cores a spinner takes the time the nine threads it
        // waits for need) only on a stream that has nothing.
        std::vector<uint64_t> left(probes.size(), BOARD_TICKS);
        for (bool done = false; !done;) {
            done = true;
            bool progress = false;
            for (std::size_t i = 0; i < probes.size(); ++i) {
                if (left[i] == 0) continue;
                const auto n = probes[i]->packets().try_dequeue_bulk(drained.data(), std::min<uint64_t>(left[i], 256));
                left[i] -= n;
                progress = progress || n != 0;
                done = done && left[i] == 0;
            }
            if (done || progress) continue;
            for (std::size_t i = 0; i < probes.size(); ++i) {
                if (left[i] == 0) continue;
                left[i] -= probes[i]->packets().wait_dequeue_bulk_timed(
                    drained.data(), std::min<uint64_t>(left[i], 256), std::chrono::seconds(1));
                break;
            }
        }
    }
    report(state, stream.bytes.size(), BOARD_RATE);
}
BENCHMARK(BM_CoordinatorAndEightNP2Workers)->ArgName("runs")->Arg(0)->Arg(1)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    spdlog::set_level(spdlog::level::off);  // the repeated streams would only log counter adoptions
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
