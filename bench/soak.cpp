// Fault soak: a full simulated board streamed through the recording path
// (session, probe configuration, one writer per probe into SpikeGLX-style
// files) for minutes, with faults scheduled while it runs. Reports the RSS
// after warm-up and at the end, each fault with the loss the library and the
// writers reported for it, and fails when memory grows by more than 5 %
// (outside the storage the queues and word lists keep by design, which is
// bounded and reported), a recording stops, or samples go missing from a
// file while nothing (no counter, no warning or error line) says so.
//
//   soak [--minutes M | --seconds S] [--phase full|mixed|both] [--out DIR]
//
// Under a sanitizer (CI runs a short soak under each) the memory figures are
// printed and not judged: the sanitizers' own shadow memory, quarantine and
// histories move the RSS far more than 5 %.
//
// Phase "full": four NP2 headstages with two probes each. Phase "mixed": NP1
// headstages on ports 0 and 2, NP2 headstages with two probes on 1 and 3.
// "both" (default) gives each phase half of M.
//
// Threading: the main thread configures, schedules the faults and watches;
// the board's stream thread, the library's demultiplexer and decoder threads
// and one writer thread per probe run on their own, all joined at the end of
// each phase.
//
// NB: the files go to a RAM disk and are truncated while they grow, left
// sparse behind the writers: a full board writes 185 MB/s, which no disk of
// a CI machine keeps for minutes, while the writers and their counters run
// exactly as in a recording.
#include <fmt/format.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <expected>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "pelionp/demux/free_memory.h"
#include "sim/board.h"
#include "sim/faults.h"
#include "sim/line_faults.h"
#include "sim/probes/np1_source.h"
#include "record/session/probe_setup.h"
#include "record/session/probe_writer.h"
#include "record/session/session.h"
#include "tools/commands/sim_rig.h"
#include "record/imro/configuration.h"
#include "tools/rig/rig.h"

namespace {

using namespace std::chrono_literals;
using namespace pelionp;
using namespace pelionp::tool;
using clock_type = std::chrono::steady_clock;

// --- Observation -------------------------------------------------------------

uint64_t rss_kib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stoull(line.substr(6));
    }
    return 0;
}

/// Where the resident memory is: anonymous, file and shared pages, and the
/// C library's heap in use and held free (what a growth is made of).
std::string memory_breakdown() {
    std::ifstream rollup("/proc/self/smaps_rollup");
    std::string line, out;
    while (std::getline(rollup, line)) {
        for (const char* key : {"Anonymous:", "Pss_File:", "Pss_Shmem:"})
            if (line.rfind(key, 0) == 0) out += fmt::format("{} {} KiB, ", key, std::stoull(line.substr(std::strlen(key))));
    }
#if defined(__GLIBC__)
    const struct mallinfo2 heap = mallinfo2();
    out += fmt::format("heap in use {} KiB, heap free {} KiB, mapped blocks {} KiB", heap.uordblks / 1024,
                       heap.fordblks / 1024, heap.hblkhd / 1024);
#endif
    return out;
}

/// Counts the library's warning and error lines, by message with its
/// numbers blanked, so a report can say "412 x Queue is full, dropping ...".
class CountingSink final : public spdlog::sinks::base_sink<std::mutex> {
public:
    std::map<std::string, uint64_t> snapshot() {
        std::lock_guard lock(mutex_);
        return counts_;
    }
    uint64_t total() {
        std::lock_guard lock(mutex_);
        return total_;
    }

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        if (msg.level < spdlog::level::warn) return;
        std::string key(msg.payload.data(), msg.payload.size());
        std::string shape;
        bool in_number = false;
        for (char c : key) {
            const bool digit = (c >= '0' && c <= '9') || (in_number && ((c >= 'A' && c <= 'F') || c == 'x'));
            if (digit) {
                if (!in_number) shape += '#';
                in_number = true;
            } else {
                in_number = false;
                shape += c;
            }
        }
        ++counts_[fmt::format("{}: {}", spdlog::level::to_string_view(msg.level), shape)];
        ++total_;
    }
    void flush_() override {}

private:
    std::map<std::string, uint64_t> counts_;
    uint64_t total_ = 0;
};

std::map<std::string, uint64_t> difference(const std::map<std::string, uint64_t>& after,
                                           const std::map<std::string, uint64_t>& before) {
    std::map<std::string, uint64_t> d;
    for (const auto& [k, v] : after) {
        const auto it = before.find(k);
        const uint64_t b = it == before.end() ? 0 : it->second;
        if (v > b) d[k] = v - b;
    }
    return d;
}

// --- One phase -----------------------------------------------------------------

struct FaultReport {
    std::string name;
    double at_s = 0;
    std::string outcome;  // what the operation under the fault returned, if any
    std::vector<uint64_t> gap_samples;   // per probe: samples missing in its file
    std::vector<uint64_t> packets;       // per probe: packets written in the window
    std::map<std::string, uint64_t> log_lines;
    std::vector<std::string> problems;
};

struct PhaseResult {
    std::string name;
    bool ok = true;
    std::vector<std::string> problems;
};

std::string probe_name(const record::ProbeHandle& p) {
    return fmt::format("{} ({})", p.place(), display_name(p.kind));
}

/// Calls `f` with a probe's packet queue, whichever kind the probe is.
template <class F>
decltype(auto) with_packet_queue(const record::ProbeHandle& p, F&& f) {
    return std::visit([&](auto* probe) -> decltype(auto) { return f(probe->stream().packets()); }, p.probe);
}

/// Holds a probe's packet queue as a host that stopped draining would.
std::unique_lock<std::mutex> hold_queue(const record::ProbeHandle& p) {
    return with_packet_queue(p, [](auto& queue) { return queue.hold_consumer(); });
}

/// Whether a probe's packet queue holds no backlog and no more storage than
/// it keeps for good.
bool queue_settled(const record::ProbeHandle& p) {
    return with_packet_queue(p, [](auto& queue) {
        using Queue = std::remove_reference_t<decltype(queue)>;
        return queue.size_approx() <= Queue::RELEASE_MAX_MOVED &&
               queue.storage_capacity_approx() <= Queue::KEPT_CAPACITY;
    });
}

/// The storage a probe's packet queue holds, in KiB.
uint64_t queue_storage_kib(const record::ProbeHandle& p) {
    return with_packet_queue(p, [](auto& queue) {
        using Queue = std::remove_reference_t<decltype(queue)>;
        return uint64_t{queue.storage_capacity_approx() * sizeof(typename Queue::value_type) / 1024};
    });
}

/// A reading of the process's memory, with the storage the data path keeps
/// by design.
struct MemoryReading {
    uint64_t rss_kib = 0;
    uint64_t queues_kib = 0;      // the storage of every probe's packet queue
    uint64_t idle_lists_kib = 0;  // the demultiplexer's word lists kept for reuse
    [[nodiscard]] uint64_t outside_kept_kib() const {
        const uint64_t kept = queues_kib + idle_lists_kib;
        return rss_kib > kept ? rss_kib - kept : 1;
    }
    [[nodiscard]] std::string describe() const {
        return fmt::format("RSS {} KiB ({} KiB in packet queues, {} KiB in idle word lists)", rss_kib, queues_kib,
                           idle_lists_kib);
    }
};

class Phase {
public:
    Phase(std::string name, rig::Rig rig, std::chrono::seconds length, std::filesystem::path out,
          std::shared_ptr<CountingSink> sink)
        : name_(std::move(name)), rig_(rig), length_(length), out_(std::move(out)), sink_(std::move(sink)) {}

    PhaseResult run() {
        PhaseResult result{name_, true, {}};
        auto fail = [&](std::string why) {
            result.ok = false;
            result.problems.push_back(std::move(why));
            return result;
        };
        if (auto r = set_up(); !r) return fail(r.error());

        const auto warm_up = std::min<clock_type::duration>(15s, length_ / 6);
        start_ = clock_type::now();
        // Memory is read at quiet moments (see `read_memory_when_quiet`) and
        // judged outside the storage the data path keeps by design: each
        // packet queue keeps up to 4 MiB and the demultiplexer up to 16 MiB
        // of word lists, however long the backlogs happened to be, which
        // alone moves the process's RSS by more than 5 % between runs.
        if (!watch_until(start_ + warm_up, result)) return finish(result);
        const auto start_memory = read_memory_when_quiet(result);
        if (!start_memory) return finish(result);
        fmt::print("[{}] warm-up done after {:.0f} s: {}, {} probes recording\n", name_, seconds_since_start(),
                   start_memory->describe(), writers_.size());

        auto faults = schedule();
        const auto fault_span = (start_ + length_ - 10s) - clock_type::now();
        const auto spacing = fault_span / static_cast<int>(faults.size() + 1);
        for (auto& [fault_name, inject] : faults) {
            if (!watch_until(clock_type::now() + spacing / 2, result)) return finish(result);
            if (!run_fault(fault_name, inject, result)) return finish(result);
        }
        if (!watch_until(start_ + length_, result)) return finish(result);
        // A host that stalled near the end may still be catching up, and its
        // queue hands the grown storage back only once it has: the end figure
        // is the process after recovery, not in the middle of it.
        const auto end_memory = read_memory_when_quiet(result);
        if (!end_memory) return finish(result);
        const double growth = double(end_memory->outside_kept_kib()) / double(start_memory->outside_kept_kib()) - 1.0;
        fmt::print("[{}] at the end: {}\n", name_, end_memory->describe());
        fmt::print("[{}] memory outside the kept storage: after warm-up {} KiB, at the end {} KiB ({:+.1f} %); RSS "
                   "{:+.1f} %\n",
                   name_, start_memory->outside_kept_kib(), end_memory->outside_kept_kib(), 100.0 * growth,
                   100.0 * (double(end_memory->rss_kib) / double(start_memory->rss_kib) - 1.0));
        fmt::print("[{}] memory at the end: {}\n", name_, memory_breakdown());
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        constexpr bool judge_memory = false;
#else
        constexpr bool judge_memory = true;
#endif
        if (judge_memory && growth > 0.05) {
            result.ok = false;
            result.problems.push_back(
                fmt::format("memory outside the kept storage grew {:.1f} % after warm-up", 100.0 * growth));
        }
        return finish(result);
    }

private:
    std::expected<void, std::string> set_up() {
        simulated_ = commands::build_simulated_rig(rig_, sim::StreamOptions{.paced = true});
        board_ = simulated_.board.board;
        for (int p = 0; p < sim::Board::PORT_COUNT; ++p) {
            auto& port = simulated_.board.ports[static_cast<std::size_t>(p)];
            if (!port.headstage) continue;
            headstages_[static_cast<std::size_t>(p)] = port.headstage;
            for (int slot = 0; slot < 2; ++slot) {
                auto source = port.headstage->stream_source(slot);
                if (!source) continue;
                auto wrapped = std::make_shared<sim::LineFaults>(source);
                port.headstage->set_stream_source(slot, wrapped);
                line_faults_[{p, slot}] = wrapped;
            }
            if (port.np1) np1_sources_[p] = port.np1->source;
        }
        auto session = record::Session::open(board_);
        if (!session) return std::unexpected(session.error());
        session_ = std::move(*session);
        spdlog::set_level(spdlog::level::info);
        if (auto r = session_->detect(); !r) return std::unexpected("detection: " + r.error());
        std::filesystem::remove_all(out_);
        const spikeglx::Layout layout{out_, name_};
        int index = 0;
        for (auto& probe : session_->probes()) {
            const auto configuration = imro::default_configuration(probe.kind);
            if (auto r = record::apply_configuration(probe, configuration); !r)
                return std::unexpected(probe_name(probe) + ": " + r.error());
            for (const auto& chain : record::upload_configuration(probe))
                if (!chain.result) return std::unexpected(probe_name(probe) + ": upload: " + chain.result.error());
            auto recording = spikeglx::ProbeRecording::create(layout, index++, probe.identity(), configuration);
            if (!recording) return std::unexpected(recording.error());
            writers_.push_back(std::make_unique<record::ProbeWriter>(probe, std::move(*recording), 0));
        }
        if (writers_.empty()) return std::unexpected(std::string("no probe found"));
        for (auto& w : writers_) w->start();
        if (auto r = start_all(); !r) return r;
        last_packets_.assign(writers_.size(), 0);
        last_moved_.assign(writers_.size(), clock_type::now());
        return {};
    }

    std::expected<void, std::string> start_all() {
        for (auto& w : writers_)
            if (auto r = session_->controller().start_stream(w->probe().worker()); !r)
                return std::unexpected(probe_name(w->probe()) + ": start_stream: " + r.error());
        return {};
    }
    std::expected<void, std::string> stop_all() {
        for (auto& w : writers_)
            if (auto r = session_->controller().stop_stream(w->probe().worker()); !r)
                return std::unexpected(probe_name(w->probe()) + ": stop_stream: " + r.error());
        return {};
    }

    double seconds_since_start() const { return std::chrono::duration<double>(clock_type::now() - start_).count(); }

    /// Watches the writers until `until`: each must keep writing (a probe
    /// that a fault silences on purpose is excused while it lasts), and the
    /// RAM disk is trimmed.
    bool watch_until(clock_type::time_point until, PhaseResult& result) {
        while (clock_type::now() < until) {
            std::this_thread::sleep_for(100ms);
            trim_files();
            const auto now = clock_type::now();
            for (std::size_t i = 0; i < writers_.size(); ++i) {
                const uint64_t packets = writers_[i]->packets();
                if (packets != last_packets_[i] || excused_[i]) last_moved_[i] = now;
                last_packets_[i] = packets;
                if (writers_[i]->done()) {
                    result.ok = false;
                    result.problems.push_back(probe_name(writers_[i]->probe()) + ": the writer ended");
                    return false;
                }
                if (now - last_moved_[i] > 10s) {
                    result.ok = false;
                    result.problems.push_back(
                        fmt::format("{}: the recording stopped ({:.0f} s in)", probe_name(writers_[i]->probe()),
                                    seconds_since_start()));
                    return false;
                }
            }
        }
        return true;
    }

    /// Watches until the data path is quiet (the demultiplexer has no
    /// backlog, every probe's queue is drained to a few elements and back
    /// within the storage it keeps), has the C library hand freed memory
    /// back as the queues do after a backlog, and reads the memory. Nothing
    /// (a problem) when the data path is not quiet within 30 s or a
    /// recording stops.
    std::optional<MemoryReading> read_memory_when_quiet(PhaseResult& result) {
        const auto deadline = clock_type::now() + 30s;
        auto quiet = [this] {
            return session_->controller().demux_holdings_approx().queued_items <= 2 &&
                   std::ranges::all_of(writers_, [](const auto& w) { return queue_settled(w->probe()); });
        };
        while (!quiet()) {
            if (clock_type::now() >= deadline) {
                result.ok = false;
                result.problems.push_back(
                    "the data path did not become quiet within 30 s (a backlog, or a packet queue that kept its "
                    "grown storage)");
                return std::nullopt;
            }
            if (!watch_until(clock_type::now() + 100ms, result)) return std::nullopt;
        }
        demux::return_free_memory_to_system();
        return read_memory();
    }

    void trim_files() {
        if (++trim_tick_ % 20 != 0) return;
        std::error_code ec;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(out_, ec)) {
            if (!entry.is_regular_file(ec)) continue;
            // NB: the writer goes on at its offset; the file stays sparse.
            if (entry.file_size(ec) > (64u << 20)) ::truncate(entry.path().c_str(), 0);
        }
    }

    using Inject = std::function<std::string()>;  // returns the outcome of an operation, if any

    std::vector<std::pair<std::string, Inject>> schedule() {
        std::vector<std::pair<std::string, Inject>> faults;
        auto index_of = [&](int port, int dock) -> std::optional<std::size_t> {
            for (std::size_t i = 0; i < writers_.size(); ++i)
                if (writers_[i]->probe().port == port && writers_[i]->probe().dock == dock) return i;
            return std::nullopt;
        };
        const int first_port = writers_.front()->probe().port;
        // An I2C read while the stream runs, as a host polls a register.
        auto poll_deserializer = [this](int port) -> std::string {
            auto np_port = session_->controller().get_np_port(port);
            if (!np_port) return "get_np_port: " + np_port.error();
            auto read = (*np_port)->iic.read(0x90, 0x00, 1);
            return read ? fmt::format("read 0x{:02X}", read->at(0)) : "error: " + read.error();
        };

        faults.emplace_back("NACK burst (deserializer, 5 refusals)", [this, first_port, poll_deserializer] {
            board_->nack(first_port, sim::NackRule::chip(0x90).times(5));
            std::string outcome = poll_deserializer(first_port);
            board_->clear_nacks(first_port);
            return outcome + "; then " + poll_deserializer(first_port);
        });
        faults.emplace_back("UART stall (transmitter stuck)", [this, first_port, poll_deserializer] {
            board_->set_uart_faults({.tx_stuck = true, .rx_bytes_per_reply = std::nullopt, .late_reply = std::nullopt});
            std::string outcome = poll_deserializer(first_port);
            board_->set_uart_faults({});
            return outcome + "; then " + poll_deserializer(first_port);
        });
        faults.emplace_back("corrupted stream words (20 on each source)", [this] {
            for (auto& [where, f] : line_faults_) f->corrupt_words(20);
            std::this_thread::sleep_for(1s);
            return std::string();
        });
        faults.emplace_back("dropped stream words (7 on each source)", [this] {
            for (auto& [where, f] : line_faults_) f->drop_words(7);
            std::this_thread::sleep_for(1s);
            return std::string();
        });
        if (!np1_sources_.empty()) {
            faults.emplace_back("broken NP1 sync and 3 frames dropped", [this] {
                for (auto& [port, source] : np1_sources_) {
                    source->break_sync();
                    source->drop_frames(3);
                }
                std::this_thread::sleep_for(1s);
                return std::string();
            });
        }
        faults.emplace_back("device Stop, then the host restarts the streams", [this] {
            std::fill(excused_.begin(), excused_.end(), true);
            board_->stream_faults().device_stop.store(true);
            std::this_thread::sleep_for(500ms);
            std::string outcome;
            if (auto r = stop_all(); !r) outcome = r.error();
            if (auto r = start_all(); !r) outcome += (outcome.empty() ? "" : "; ") + r.error();
            host_restarted_ = true;
            std::fill(excused_.begin(), excused_.end(), false);
            return outcome.empty() ? fmt::format("streams started so far: {}", board_->streams_started()) : outcome;
        });
        const int unplug_port = writers_.back()->probe().port;
        faults.emplace_back(fmt::format("headstage on port {} unplugged for 2 s and plugged back", unplug_port),
                            [this, unplug_port, index_of] {
                                for (int dock = 0; dock < 2; ++dock)
                                    if (auto i = index_of(unplug_port, dock)) excused_[*i] = true;
                                board_->unplug(unplug_port);
                                std::this_thread::sleep_for(2s);
                                board_->plug(unplug_port, headstages_[static_cast<std::size_t>(unplug_port)]);
                                std::this_thread::sleep_for(1s);
                                std::fill(excused_.begin(), excused_.end(), false);
                                return std::string();
                            });
        faults.emplace_back(fmt::format("host stops draining {} for 6 s", probe_name(writers_.front()->probe())),
                            [this] {
                                excused_[0] = true;
                                {
                                    const auto hold = hold_queue(writers_.front()->probe());
                                    std::this_thread::sleep_for(6s);
                                }
                                excused_[0] = false;
                                return std::string();
                            });
        return faults;
    }

    /// False when the phase cannot go on (a recording stopped).
    bool run_fault(const std::string& fault, Inject& inject, PhaseResult& result) {
        FaultReport report;
        report.name = fault;
        report.at_s = seconds_since_start();
        std::vector<uint64_t> gaps_before, packets_before;
        for (auto& w : writers_) {
            gaps_before.push_back(w->dropped_samples());
            packets_before.push_back(w->packets());
        }
        const auto logs_before = sink_->snapshot();
        host_restarted_ = false;
        report.outcome = inject();
        if (!watch_until(clock_type::now() + 3s, result)) return false;  // the library's recovery
        const auto logs = difference(sink_->snapshot(), logs_before);
        uint64_t log_total = 0;
        for (const auto& [k, v] : logs) log_total += v;
        fmt::print("[{}] {:6.1f} s  {}{}\n", name_, report.at_s, fault,
                   report.outcome.empty() ? "" : " -> " + report.outcome);
        for (std::size_t i = 0; i < writers_.size(); ++i) {
            const uint64_t gap = writers_[i]->dropped_samples() - gaps_before[i];
            const uint64_t packets = writers_[i]->packets() - packets_before[i];
            if (gap) fmt::print("           {}: {} samples missing in the file, {} packets written\n",
                                probe_name(writers_[i]->probe()), gap, packets);
            // A stream the host itself stopped and started again has a gap
            // the host knows of: the samples the board sent before each
            // probe's producer was enabled again.
            if (gap && log_total == 0 && !host_restarted_) {
                result.ok = false;
                result.problems.push_back(fmt::format("{}: {} samples missing after '{}' and nothing reported it",
                                                      probe_name(writers_[i]->probe()), gap, fault));
            }
        }
        for (const auto& [k, v] : logs) fmt::print("           {:6} x {}\n", v, k);
        if (logs.empty()) fmt::print("           no warning or error\n");
        return true;
    }

    MemoryReading read_memory() {
        MemoryReading m;
        for (const auto& w : writers_) m.queues_kib += queue_storage_kib(w->probe());
        m.idle_lists_kib = session_->controller().demux_holdings_approx().idle_list_bytes / 1024;
        m.rss_kib = rss_kib();
        return m;
    }

    PhaseResult& finish(PhaseResult& result) {
        if (session_) {
            for (auto& w : writers_) w->finish();
            for (auto& w : writers_) {
                if (auto r = w->join(); !r) {
                    result.ok = false;
                    result.problems.push_back(probe_name(w->probe()) + ": " + r.error().message);
                }
            }
            (void)stop_all();
            uint64_t samples = 0;
            for (auto& w : writers_) {
                // Over the whole phase: what the probe delivered and what is
                // counted lost make up the device time its file spans (one
                // packet of slack: a first packet may straddle the start).
                const uint64_t per_packet = w->probe().kind == ProbeKind::np1 ? 12 : 1;
                const uint64_t delivered = (w->packets() - w->skipped_packets() - w->backward_timestamps()) * per_packet;
                const uint64_t lost = w->dropped_samples();
                const uint64_t elapsed = w->device_time_spanned();
                const uint64_t accounted = delivered + lost;
                const bool balanced = accounted <= elapsed + per_packet && elapsed <= accounted + per_packet &&
                                      w->recording().ap_samples() == elapsed;
                fmt::print("[{}] {}: {} samples delivered + {} counted lost = {}, device time elapsed {} samples{}\n",
                           name_, probe_name(w->probe()), delivered, lost, accounted, elapsed,
                           balanced ? "" : " (MISMATCH)");
                if (!balanced) {
                    result.ok = false;
                    result.problems.push_back(fmt::format(
                        "{}: {} samples delivered and {} counted lost, but {} samples of device time elapsed and the "
                        "file holds {}",
                        probe_name(w->probe()), delivered, lost, elapsed, w->recording().ap_samples()));
                }
                samples += w->recording().ap_samples();
                fmt::print("[{}] {}: {} AP samples ({:.1f} s), {} missing in the file\n", name_,
                           probe_name(w->probe()), w->recording().ap_samples(),
                           double(w->recording().ap_samples()) / 30000.0, w->dropped_samples());
            }
            (void)samples;
        }
        writers_.clear();
        session_.reset();
        std::error_code ec;
        std::filesystem::remove_all(out_, ec);
        return result;
    }

    std::string name_;
    rig::Rig rig_;
    std::chrono::seconds length_;
    std::filesystem::path out_;
    std::shared_ptr<CountingSink> sink_;

    commands::SimulatedRig simulated_;
    std::shared_ptr<sim::Board> board_;
    std::array<std::shared_ptr<sim::Headstage>, sim::Board::PORT_COUNT> headstages_{};
    std::map<std::pair<int, int>, std::shared_ptr<sim::LineFaults>> line_faults_;
    std::map<int, std::shared_ptr<sim::NP1ProbeSource>> np1_sources_;
    std::unique_ptr<record::Session> session_;
    std::vector<std::unique_ptr<record::ProbeWriter>> writers_;
    std::vector<uint64_t> last_packets_;
    std::vector<clock_type::time_point> last_moved_;
    std::array<std::atomic<bool>, 8> excused_{};
    clock_type::time_point start_;
    unsigned trim_tick_ = 0;
    bool host_restarted_ = false;  // the fault under way restarted the streams
};

}  // namespace

int main(int argc, char** argv) {
    double minutes = 2;
    std::string phase = "both";
    std::filesystem::path out = std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
    out /= fmt::format("pelionp-soak-{}", ::getpid());
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--minutes" && i + 1 < argc) minutes = std::stod(argv[++i]);
        else if (a == "--seconds" && i + 1 < argc) minutes = std::stod(argv[++i]) / 60;
        else if (a == "--phase" && i + 1 < argc) phase = argv[++i];
        else if (a == "--out" && i + 1 < argc) out = argv[++i];
        else {
            std::fprintf(stderr, "usage: %s [--minutes M | --seconds S] [--phase full|mixed|both] [--out DIR]\n", argv[0]);
            return 2;
        }
    }
    auto sink = std::make_shared<CountingSink>();
    auto logger = std::make_shared<spdlog::logger>("soak", sink);
    // SOAK_LOG=FILE: every line also goes to FILE, to see what a count stands for.
    if (const char* log_file = std::getenv("SOAK_LOG"))
        logger->sinks().push_back(std::make_shared<spdlog::sinks::basic_file_sink_mt>(log_file, true));
    spdlog::set_default_logger(logger);
    spdlog::set_level(spdlog::level::info);

    std::vector<std::pair<std::string, rig::Rig>> phases;
    if (phase == "full" || phase == "both") phases.emplace_back("full", rig::full_np2_rig());
    if (phase == "mixed" || phase == "both") {
        auto mixed = rig::parse_compact("0=np1,1=np2:single+four,2=np1,3=np2:four+single");
        if (!mixed) {
            std::fprintf(stderr, "%s\n", mixed.error().c_str());
            return 2;
        }
        phases.emplace_back("mixed", *mixed);
    }
    if (phases.empty()) {
        std::fprintf(stderr, "unknown phase %s\n", phase.c_str());
        return 2;
    }
    const auto length = std::chrono::seconds(static_cast<long>(minutes * 60 / double(phases.size())));
    bool ok = true;
    for (auto& [name, rig] : phases) {
        fmt::print("== soak phase {}: {} for {} s\n", name, rig::to_compact(rig), length.count());
        std::fflush(stdout);
        Phase p(name, rig, length, out / name, sink);
        auto result = p.run();
        for (const auto& why : result.problems) fmt::print("[{}] FAILED: {}\n", name, why);
        fmt::print("== soak phase {}: {}\n", name, result.ok ? "passed" : "FAILED");
        std::fflush(stdout);
        ok = ok && result.ok;
    }
    std::error_code ec;
    std::filesystem::remove_all(out, ec);
    return ok ? 0 : 1;
}
