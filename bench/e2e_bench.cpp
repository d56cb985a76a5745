// End to end on the simulated board: a full rig of eight NP2 probes (four
// NP2 headstages, a single-shank probe in dock 0 and a four-shank probe in
// dock 1 of each), detected, initialised and configured through the
// controller, then streamed unpaced through the device stream, the
// coordinator, the eight decoder workers and the probes' gain conversion
// into their packet queues, which the host drains. Reports the multiple of
// real time (a full board streams 30000 ticks/s x (1 + 8 x 48) words x 16 B
// = 184.8 MB/s) and the sets lost on the way.
//
// NB: the simulated board's producer (encoding every probe's signal) runs on
// its own thread and competes for the same cores, so this is a lower bound of
// what the library does with a real board; bench/demux_bench.cpp measures the
// library alone over pre-encoded buffers.
//
// Run: build/release/bench/e2e_bench
#include <array>
#include <atomic>
#include <thread>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include <benchmark/benchmark.h>
#include <spdlog/spdlog.h>

#include "pelionp/controller/np_controller.h"
#include "pelionp/controller/np_port.h"
#include "pelionp/headstages/np2_headstage.h"
#include "pelionp/probes/np2/init.h"
#include "pelionp/probes/np2/probe_variants.h"
#include "sim/rig.h"

namespace {

using namespace pelionp;

constexpr double TICKS_PER_SECOND = 30000.0;
constexpr double BOARD_BYTES_PER_TICK = (1 + 8 * 48) * 16.0;

template <class T>
T expect(std::expected<T, std::string> r, const char* what) {
    if (!r) throw std::runtime_error(std::string(what) + ": " + r.error());
    if constexpr (!std::is_void_v<T>) return std::move(*r);
}

// Built once: detecting and configuring eight probes over I2C takes a while
// and is not what is measured.
struct FullNp2Rig {
    sim::Rig rig;
    std::shared_ptr<NPController> controller;
    std::vector<std::shared_ptr<NPPort>> ports;
    std::vector<NP2::NP2ProbeBase*> probes;

    FullNp2Rig() {
        sim::RigContents contents;
        for (auto& port : contents.ports)
            port = sim::NP2PortContents{.docks = {sim::NP2DockContents{.probe_pn = "NP2003", .serial = std::nullopt},
                                                  sim::NP2DockContents{.probe_pn = "NP2013", .serial = std::nullopt}}};
        // 170 ticks make about 1 MiB, the size of the board's DMA reads.
        rig = sim::make_rig(contents, {.paced = false, .views = false, .ticks_per_buffer = 170});
        controller = expect(NPController::create(rig.board), "controller");
        spdlog::set_level(spdlog::level::warn);
        for (int p = 0; p < 4; ++p) {
            ports.push_back(expect(controller->get_np_port(p), "port"));
            auto headstage = expect(controller->detect_headstage(*ports.back()), "detect");
            auto& hs = std::get<std::reference_wrapper<NP2::Headstage>>(headstage).get();
            for (auto dock : {NP2::Dock::DOCK0, NP2::Dock::DOCK1}) {
                auto& slot = hs.probes[static_cast<std::size_t>(dock)];
                slot = expect(NP2::init(hs.serializer, dock), "NP2 init");
                configure(*slot);
                probes.push_back(&std::visit([](auto& v) -> NP2::NP2ProbeBase& { return v; }, *slot));
            }
        }
    }

    // Bank 0 (of shank 0) on every channel, as the tool records by default.
    static void configure(NP2::ProbeVariant& probe) {
        std::visit(
            [](auto& v) {
                for (uint16_t c = 0; c < 384; ++c) {
                    if constexpr (std::is_same_v<std::decay_t<decltype(v)>, NP2::NP2013NP2014>)
                        v.selectElectrode(c, 0, 0, true);
                    else
                        v.selectElectrode(c, 0, true);
                }
                v.apply_shift_register_config(false);
            },
            probe);
    }
};

FullNp2Rig& shared_rig() {
    static FullNp2Rig rig;
    return rig;
}

// Streams every probe until each has delivered `sets` gain-corrected sets.
void BM_EightNp2ProbesUnpaced(benchmark::State& state) {
    static FullNp2Rig& rig = shared_rig();
    const auto sets = static_cast<uint64_t>(state.range(0));
    uint64_t gaps = 0;
    for (auto _ : state) {
        std::vector<uint64_t> received(rig.probes.size(), 0);
        std::vector<uint64_t> last(rig.probes.size(), 0);
        for (auto* probe : rig.probes) expect<void>(rig.controller->start_stream(probe->stream().worker()), "start");
        for (bool done = false; !done;) {
            done = true;
            for (std::size_t i = 0; i < rig.probes.size(); ++i) {
                NP2::APData set;
                while (received[i] < sets && rig.probes[i]->stream().packets().try_dequeue(set)) {
                    if (received[i] > 0 && set.timestamp != last[i] + 1) ++gaps;
                    last[i] = set.timestamp;
                    ++received[i];
                }
                done = done && received[i] >= sets;
            }
        }
        for (auto* probe : rig.probes) expect<void>(rig.controller->stop_stream(probe->stream().worker()), "stop");
    }
    const double ticks = static_cast<double>(state.iterations()) * static_cast<double>(sets);
    state.SetBytesProcessed(static_cast<int64_t>(ticks * BOARD_BYTES_PER_TICK));
    state.counters["x_realtime"] = benchmark::Counter(ticks / TICKS_PER_SECOND, benchmark::Counter::kIsRate);
    state.counters["gaps"] = static_cast<double>(gaps);
}
BENCHMARK(BM_EightNp2ProbesUnpaced)->Arg(30000)->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);

// The simulated board's producer alone (same rig, same options): the share
// of the end-to-end figure the simulation itself costs. Buffers are dropped
// in the stream callback.
void BM_SimulatedBoardProducerOnly(benchmark::State& state) {
    static FullNp2Rig& rig = shared_rig();
    const auto ticks = static_cast<uint64_t>(state.range(0));
    const auto target = static_cast<uint64_t>(static_cast<double>(ticks) * BOARD_BYTES_PER_TICK);
    // Producer bits 0..3 and the NP2 demultiplexer bits 16..19 of every port.
    constexpr uint32_t STREAM_CONTROL = 0x1404;
    const uint32_t before = rig.rig.board->peek(STREAM_CONTROL);
    rig.rig.board->poke(STREAM_CONTROL, before | 0x000F000F);
    for (auto _ : state) {
        std::atomic<uint64_t> bytes{0};
        auto stream = rig.rig.board->start_read_stream(
            0,
            [&bytes](pelio::DataStream::Events&& event) {
                if (auto* data = std::get_if<pelio::DataStream::OwnedData>(&event)) bytes.fetch_add(data->size());
            },
            0);
        while (bytes.load() < target) std::this_thread::yield();
        stream.reset();
    }
    rig.rig.board->poke(STREAM_CONTROL, before);
    const double done = static_cast<double>(state.iterations()) * static_cast<double>(ticks);
    state.SetBytesProcessed(static_cast<int64_t>(done * BOARD_BYTES_PER_TICK));
    state.counters["x_realtime"] = benchmark::Counter(done / TICKS_PER_SECOND, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SimulatedBoardProducerOnly)->Arg(30000)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
