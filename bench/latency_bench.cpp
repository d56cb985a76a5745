// Buffer-to-host latency at full-board pace: a rig of eight NP2 probes on
// the simulated board streams at real-time pace through the device stream,
// the controller, the coordinator and the eight probe streams into eight
// host threads (one per probe, as a recorder's writers), each blocking on
// its probe's packet queue. For every device buffer the benchmark measures
// the time from the device stream handing it to the controller until the
// hosts have dequeued the last set decoded from it, and reports p50, p99 and
// the maximum in milliseconds (counters p50_ms, p99_ms, max_ms), with the
// buffers measured and the sets the probe streams dropped.
//
// Which set a buffer completes last is read off the buffer itself as it
// passes (a set is published with the timestamp of the last SID-4 word before
// the subrow-3 word that ends its sixteenth row), before it is handed on: so
// the time taken for that look is not part of what is measured.
//
// Run: build/release/bench/latency_bench   (Arg: ticks per device buffer; 30
// ticks are 1 ms of data, about 185 kB; 170 ticks about 1 MiB)
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
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
using Clock = std::chrono::steady_clock;

constexpr std::size_t PROBES = 8;
constexpr uint64_t NONE = ~uint64_t{0};

template <class T>
T expect(std::expected<T, std::string> r, const char* what) {
    if (!r) throw std::runtime_error(std::string(what) + ": " + r.error());
    if constexpr (!std::is_void_v<T>) return std::move(*r);
}

// Per buffer: when it was handed over, and per probe (SID 8 + i) the
// timestamp of the last set it completes (NONE if it completes none).
struct BufferRecord {
    Clock::time_point handed_over;
    std::array<uint64_t, PROBES> last_set{};
};

// Follows the NP2 streams' rows the way the decoder publishes sets.
class SetTracker {
public:
    BufferRecord scan(const uint8_t* bytes, std::size_t size) {
        BufferRecord record;
        record.last_set.fill(NONE);
        for (const uint8_t* w = bytes; w < bytes + size; w += 16) {
            const unsigned sid = w[0] & 0x0F;
            if (sid == 4) {
                std::memcpy(&timestamp_, w + 2, sizeof timestamp_);
                continue;
            }
            if (sid < 8) continue;
            const uint8_t head = w[2];
            auto& row = rows_[sid - 8];
            if ((head >> 4) == 1 && (head & 1) != 0) row = 0;
            if ((head >> 4) == 3 && ++row == 16) {
                row = 0;
                record.last_set[sid - 8] = timestamp_;
            }
        }
        return record;
    }

private:
    uint64_t timestamp_ = 0;
    std::array<int, PROBES> rows_{};
};

// Latencies of buffers whose sets every host has taken.
class LatencyBook {
public:
    void handed_over(BufferRecord record) {
        std::lock_guard lock(mutex_);
        pending_.push_back(record);
    }

    // A host took sets of probe `i` up to timestamp `upto`.
    void dequeued(std::size_t i, uint64_t upto) {
        const auto now = Clock::now();
        std::lock_guard lock(mutex_);
        taken_[i] = upto;
        while (!pending_.empty() && done(pending_.front())) {
            if (measuring_) latencies_.push_back(std::chrono::duration<double, std::milli>(now - pending_.front().handed_over).count());
            pending_.pop_front();
        }
    }

    void start_measuring() {
        std::lock_guard lock(mutex_);
        measuring_ = true;
    }
    std::vector<double> take() {
        std::lock_guard lock(mutex_);
        measuring_ = false;
        return std::move(latencies_);
    }

private:
    bool done(const BufferRecord& r) const {
        for (std::size_t i = 0; i < PROBES; ++i)
            if (r.last_set[i] != NONE && (taken_[i] == NONE || taken_[i] < r.last_set[i])) return false;
        return true;
    }

    std::mutex mutex_;
    std::deque<BufferRecord> pending_;
    std::array<uint64_t, PROBES> taken_ = [] {
        std::array<uint64_t, PROBES> none;
        none.fill(NONE);
        return none;
    }();
    bool measuring_ = false;
    std::vector<double> latencies_;
};

// The simulated board as the controller sees it, with a look at every buffer
// as the device stream hands it over.
class TimedDevice final : public pelio::BasicDevice {
public:
    TimedDevice(std::shared_ptr<pelio::BasicDevice> inner, LatencyBook& book) : inner_(std::move(inner)), book_(book) {}

    pelio::BasicDeviceStatus set_register_sync(uint32_t a, uint32_t v, uint32_t m) override {
        return inner_->set_register_sync(a, v, m);
    }
    pelio::BasicDeviceStatus set_register(uint32_t a, uint32_t v, uint32_t m) override {
        return inner_->set_register(a, v, m);
    }
    pelio::BasicDeviceStatus send_registers() override { return inner_->send_registers(); }
    std::optional<uint32_t> get_register_sync(uint32_t a) override { return inner_->get_register_sync(a); }
    uint32_t get_register(uint32_t a) override { return inner_->get_register(a); }
    pelio::BasicDeviceStatus fetch_registers() override { return inner_->fetch_registers(); }
    pelio::BasicDeviceStatus trigger(uint32_t a, int bit) override { return inner_->trigger(a, bit); }
    std::size_t write(uint32_t pipe, std::size_t n, const uint8_t* d) override { return inner_->write(pipe, n, d); }
    std::size_t read(uint32_t pipe, std::size_t n, uint8_t* b) override { return inner_->read(pipe, n, b); }
    std::expected<std::string, std::string> get_status() override { return inner_->get_status(); }
    std::string get_info() override { return inner_->get_info(); }

    std::unique_ptr<DataStream> start_read_stream(uint32_t address, StreamCallback callback, int word) override {
        return inner_->start_read_stream(
            address,
            [this, callback = std::move(callback), tracker = SetTracker{}](pelio::DataStream::Events&& e) mutable {
                if (auto* data = std::get_if<pelio::DataStream::OwnedData>(&e)) {
                    BufferRecord record = tracker.scan(data->data(), data->size());
                    record.handed_over = Clock::now();
                    book_.handed_over(record);
                }
                callback(std::move(e));
            },
            word);
    }

private:
    std::shared_ptr<pelio::BasicDevice> inner_;
    LatencyBook& book_;
};

// Eight NP2 probes (a single-shank and a four-shank probe on each port),
// detected and configured once.
struct PacedRig {
    sim::Rig rig;
    LatencyBook book;
    std::shared_ptr<TimedDevice> device;
    std::shared_ptr<NPController> controller;
    std::vector<std::shared_ptr<NPPort>> ports;
    std::vector<NP2::NP2ProbeBase*> probes;

    explicit PacedRig(uint32_t ticks_per_buffer) {
        sim::RigContents contents;
        for (auto& port : contents.ports)
            port = sim::NP2PortContents{.docks = {sim::NP2DockContents{.probe_pn = "NP2003", .serial = std::nullopt},
                                                  sim::NP2DockContents{.probe_pn = "NP2013", .serial = std::nullopt}}};
        rig = sim::make_rig(contents, {.paced = true, .views = false, .ticks_per_buffer = ticks_per_buffer});
        device = std::make_shared<TimedDevice>(rig.board, book);
        controller = expect(NPController::create(device), "controller");
        spdlog::set_level(spdlog::level::warn);
        for (int p = 0; p < 4; ++p) {
            ports.push_back(expect(controller->get_np_port(p), "port"));
            auto headstage = expect(controller->detect_headstage(*ports.back()), "detect");
            auto& hs = std::get<std::reference_wrapper<NP2::Headstage>>(headstage).get();
            for (auto dock : {NP2::Dock::DOCK0, NP2::Dock::DOCK1}) {
                auto& slot = hs.probes[static_cast<std::size_t>(dock)];
                slot = expect(NP2::init(hs.serializer, dock), "NP2 init");
                std::visit([](auto& v) { v.apply_shift_register_config(false); }, *slot);
                probes.push_back(&std::visit([](auto& v) -> NP2::NP2ProbeBase& { return v; }, *slot));
            }
        }
        // The book indexes probes by SID - 8.
        std::ranges::sort(probes, {}, [](const NP2::NP2ProbeBase* p) { return demux::to_underlying(p->stream_id()); });
    }
};

double percentile(std::vector<double>& sorted, double q) {
    if (sorted.empty()) return 0.0;
    const auto at = static_cast<std::size_t>(q * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(at, sorted.size() - 1)];
}

void BM_FullBoardBufferToHostLatency(benchmark::State& state) {
    PacedRig rig(static_cast<uint32_t>(state.range(0)));
    constexpr auto WARM_UP = std::chrono::milliseconds(500);
    constexpr auto MEASURED = std::chrono::seconds(5);
    std::vector<double> latencies;
    uint64_t drops = 0;
    for (auto _ : state) {
        std::atomic<bool> hosts_run{true};
        std::vector<std::jthread> hosts;
        for (std::size_t i = 0; i < PROBES; ++i) {
            hosts.emplace_back([&, i] {
                auto& queue = rig.probes[i]->stream().packets();
                std::vector<NP2::APData> batch(256);
                while (hosts_run.load(std::memory_order_acquire)) {
                    const std::size_t n =
                        queue.wait_dequeue_bulk_timed(batch.data(), batch.size(), std::chrono::milliseconds(100));
                    if (n != 0) rig.book.dequeued(i, batch[n - 1].timestamp);
                }
            });
        }
        for (auto* probe : rig.probes) expect<void>(rig.controller->start_stream(probe->stream().worker()), "start");
        std::this_thread::sleep_for(WARM_UP);  // NB: the benchmark's own clock, not a poll
        rig.book.start_measuring();
        std::this_thread::sleep_for(MEASURED);
        latencies = rig.book.take();
        for (auto* probe : rig.probes) drops += probe->stream().counters().drops;
        for (auto* probe : rig.probes) expect<void>(rig.controller->stop_stream(probe->stream().worker()), "stop");
        hosts_run.store(false, std::memory_order_release);
        for (auto* probe : rig.probes) probe->stream().packets().wake();
    }
    std::ranges::sort(latencies);
    state.counters["p50_ms"] = percentile(latencies, 0.50);
    state.counters["p99_ms"] = percentile(latencies, 0.99);
    state.counters["max_ms"] = latencies.empty() ? 0.0 : latencies.back();
    state.counters["buffers"] = static_cast<double>(latencies.size());
    state.counters["dropped_sets"] = static_cast<double>(drops);
}
BENCHMARK(BM_FullBoardBufferToHostLatency)->Arg(30)->Arg(170)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
