// Data-path benchmarks: demultiplexing, the NP1 and NP2 decoders, and the
// whole coordinator + eight NP2 workers path, against a plain read pass over
// the same buffers. Each reports bytes/s and "x_realtime", the multiple of
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
#include "pelionp/decoders/np2_demux_worker.h"
#include "pelionp/decoders/np2_gain_conversion.h"
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

// A full board's stream (timestamps + 8 NP2 probes, word-interleaved) cut
// into 1 MiB buffers, as the device's stream thread hands them over.
struct BoardStream {
    std::vector<uint8_t> bytes;
    std::vector<std::pair<const uint8_t*, std::size_t>> buffers;

    BoardStream() {
        sim::TimestampEncoder timestamps;
        sim::StreamInterleaver board(timestamps);
        std::vector<std::unique_ptr<sim::NP2Encoder>> probes;
        for (uint8_t sid = 8; sid < 16; ++sid) {
            probes.push_back(std::make_unique<sim::NP2Encoder>(sid, sim::NP2Samples{code}));
            board.add(*probes.back());
        }
        board.append_ticks(bytes, BOARD_TICKS);
        for (std::size_t offset = 0; offset < bytes.size(); offset += BUFFER_BYTES) {
            buffers.emplace_back(bytes.data() + offset, std::min(BUFFER_BYTES, bytes.size() - offset));
        }
    }
    static const BoardStream& get() {
        static const BoardStream stream;
        return stream;
    }
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

// The reference bound: one plain pass touching every word's first two bytes.
void BM_ReadPass(benchmark::State& state) {
    const auto& stream = BoardStream::get();
    for (auto _ : state) {
        for (const auto& [data, size] : stream.buffers) {
            uint64_t sum = 0;
            for (std::size_t offset = 0; offset < size; offset += 16) {
                sum += data[offset] + data[offset + 1];
            }
            benchmark::DoNotOptimize(sum);
        }
    }
    report(state, stream.bytes.size(), BOARD_RATE);
}
BENCHMARK(BM_ReadPass);

// push_buffer -> runner -> eight SID queues, drained outside the timing.
// NB: the drain hands the word lists back after all twelve buffers, where
// workers return them as they go; the pool keeps enough lists for both.
void BM_Demux(benchmark::State& state) {
    const auto& stream = BoardStream::get();
    demux::DataStreamCoordinator coordinator;
    std::vector<std::shared_ptr<demux::SIDQueue>> queues;
    for (uint32_t sid = 8; sid < 16; ++sid) {
        queues.push_back(demux::make_sid_queue());
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
BENCHMARK(BM_Demux)->UseRealTime();

void BM_NP1Decoder(benchmark::State& state) {
    sim::NP1Encoder encoder(0, {[](uint64_t g, int c) { return static_cast<uint16_t>(code(g, c) & 0x3FF); },
                                [](uint64_t s, int c) { return static_cast<uint16_t>(code(s, c) >> 2); }});
    std::vector<uint8_t> words;
    encoder.append_superframes(words, 200);
    uint64_t published = 0;
    const auto list = word_list(words);
    NP1::FrameDecoder decoder([&](NP1::APData d) { published += d.samples[0]; },
                              [&](NP1::LPData d) { published += d.samples[0]; });
    decoder.reset();
    for (auto _ : state) {
        decoder.decode_words(list, words.data());
        benchmark::DoNotOptimize(published);
    }
    report(state, words.size(), NP1_RATE);
}
BENCHMARK(BM_NP1Decoder);

void BM_NP2DecoderWithConversion(benchmark::State& state) {
    sim::NP2Encoder encoder(8, {code});
    std::vector<uint8_t> words;
    encoder.append_superframes(words, 2048);
    std::array<float, 384> gain;
    gain.fill(1.25f);
    NP2::APData converted;
    NP2::RowDecoder decoder([&](NP2::RawAPData raw) {
        NP2::convert_raw_ap(raw, gain, converted);
        benchmark::DoNotOptimize(converted);
    });
    decoder.reset();
    const auto list = word_list(words);
    for (auto _ : state) {
        decoder.decode_words(list, words.data());
    }
    report(state, words.size(), NP2_RATE);
}
BENCHMARK(BM_NP2DecoderWithConversion);

// Device buffers in, gain-converted sets out of eight live NP2 workers.
void BM_CoordinatorAndEightNP2Workers(benchmark::State& state) {
    const auto& stream = BoardStream::get();
    demux::DataStreamCoordinator coordinator;
    std::atomic<uint64_t> sets{0};
    std::atomic<uint64_t> target{0};
    std::array<float, 384> gain;
    gain.fill(1.25f);
    std::vector<std::unique_ptr<NP2::DemuxWorker>> workers;
    for (uint32_t sid = 8; sid < 16; ++sid) {
        workers.push_back(std::make_unique<NP2::DemuxWorker>(
            demux::SID{sid},
            [&, converted = NP2::APData{}](NP2::RawAPData raw) mutable {
                NP2::convert_raw_ap(raw, gain, converted);
                benchmark::DoNotOptimize(converted);
                if (sets.fetch_add(1, std::memory_order_release) + 1 == target.load(std::memory_order_relaxed)) {
                    sets.notify_one();
                }
            },
            [] {}));
        workers.back()->resync();
        (void)coordinator.push_subscription({workers.back()->sid, workers.back()->queue});
    }
    uint64_t expected = 0;
    for (auto _ : state) {
        expected += 8 * BOARD_TICKS;
        // Set before the buffers go out: the queues carry it to the workers.
        target.store(expected, std::memory_order_relaxed);
        for (const auto& buffer : stream.buffers) {
            coordinator.push_buffer(borrowed(buffer));
        }
        // NB: blocks rather than spins: on two cores a spinning waiter takes
        // the time the nine threads it waits for need.
        for (uint64_t done = sets.load(std::memory_order_acquire); done < expected;
             done = sets.load(std::memory_order_acquire)) {
            sets.wait(done, std::memory_order_acquire);
        }
    }
    report(state, stream.bytes.size(), BOARD_RATE);
}
BENCHMARK(BM_CoordinatorAndEightNP2Workers)->UseRealTime();

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
