#include "record/session/probe_writer.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "pelionp/decoders/np1_packet_assembly.h"
#include "pelionp/decoders/np2_gain_conversion.h"
#include "pelionp/decoders/np2_row_decoder.h"
#include "pelionp/demux/electrode_packet.h"
#include "pelionp/thread_name.h"

namespace pelionp::record {

namespace {

// Packets taken per pass before they are written: a few milliseconds of
// data, few enough that the queue's mutex (taken once per batch) is never
// held for long.
constexpr size_t NP1_BATCH = 32;    // 12 AP samples each
constexpr size_t NP2_BATCH = 384;   // 1 AP sample each
// The longest an empty queue is waited on before the writer looks at its
// stall timeout and checkpoint again; data and `finish` wake it at once.
constexpr auto IDLE_WAIT = std::chrono::milliseconds(20);

uint64_t first_timestamp(const electrodePacket& packet) { return packet.timestamps[0]; }
uint64_t first_timestamp(const NP2::APData& packet) { return packet.timestamp; }

// A jump back of more than this is the board's clock starting again, not a
// stray packet: the file goes on from the new timestamps.
constexpr uint64_t CLOCK_RESTART_TICKS = 30000;
// A decoder that lost words finds its frames again within a few packets; a
// longer gap is a stream that stopped (an unplugged headstage) and came back.
constexpr uint64_t RESYNC_LOSS_LIMIT = 3000;  // 100 ms
// Warnings about packets that went back, per writer, before they are only counted.
constexpr uint64_t BACKWARD_WARNINGS = 5;

StreamCounters counters_of(const StreamPointer& stream) {
  return std::visit([](auto* s) { return s->counters(); }, stream);
}

WriterSource source_of(const ProbeHandle& probe) {
  return {.stream = std::visit([](auto* p) -> StreamPointer { return &p->stream(); }, probe.probe),
          .kind = probe.kind,
          // NB: the place as ProbeHandle::place() words it, without the session (the fuzz tree builds the writer alone).
          .name = probe.kind == ProbeKind::np1
                      ? fmt::format("{} probe on port {}", display_name(probe.kind), probe.port)
                      : fmt::format("{} probe on port {} dock {}", display_name(probe.kind), probe.port, probe.dock)};
}

}  // namespace


ProbeWriter::ProbeWriter(const ProbeHandle& probe, std::unique_ptr<spikeglx::ProbeRecording> recording,
                         uint64_t ap_sample_limit, RunStart* start, WriterHooks hooks)
    : ProbeWriter(source_of(probe), std::move(recording), ap_sample_limit, start, std::move(hooks)) {
  probe_ = probe;
}

ProbeWriter::ProbeWriter(WriterSource source, std::unique_ptr<spikeglx::ProbeRecording> recording,
                         uint64_t ap_sample_limit, RunStart* start, WriterHooks hooks)
    : source_(std::move(source)),
      recording_(std::move(recording)),
      limit_(ap_sample_limit),
      run_start_(start),
      hooks_(std::move(hooks)),
      queue_limit_(source_.kind == ProbeKind::np1 ? NP1::PACKET_QUEUE_MAX_ELEMENTS : NP2::AP_QUEUE_MAX_ELEMENTS) {
  recording_->set_sync_source(hooks_.sync_source);
}

ProbeWriter::~ProbeWriter() {
  if (thread_.joinable()) {
    finish();
    (void)join();
  }
}

void ProbeWriter::finish() noexcept {
  finishing_.store(true, std::memory_order_release);
  std::visit([](auto* s) { s->packets().wake(); }, source_.stream);
}

void ProbeWriter::start() {
  last_checkpoint_ = std::chrono::steady_clock::now();
  auto name = std::visit([](auto* s) { return fmt::format("write-sid{}", demux::to_underlying(s->sid())); }, source_.stream);
  thread_ = std::thread([this, name = std::move(name)] {
    name_this_thread(name);
    run();
  });
}

std::expected<void, RunError> ProbeWriter::join() {
  if (thread_.joinable()) thread_.join();
  return outcome_;
}

std::vector<spikeglx::Gap> ProbeWriter::gaps() const {
  std::lock_guard lock(gaps_mutex_);
  return gaps_;
}

std::optional<uint64_t> ProbeWriter::start_timestamp() const noexcept {
  if (!start_known_.load(std::memory_order_acquire)) return std::nullopt;
  return start_timestamp_.load(std::memory_order_relaxed);
}

uint64_t ProbeWriter::room_left(uint64_t samples_per_packet) const {
  (void)samples_per_packet;
  if (limit_ == 0) return UINT64_MAX;
  const uint64_t written = recording_->ap_samples();
  return written >= limit_ ? 0 : limit_ - written;
}

void ProbeWriter::tap(spikeglx::Band band, uint64_t first_sample, std::span<const int16_t> rows,
                      uint64_t first_timestamp) const {
  if (!hooks_.tap || rows.empty()) return;
  hooks_.tap(SampleBlock{.probe = hooks_.index,
                         .band = band,
                         .first_sample = first_sample,
                         .rows = rows.size() / spikeglx::SAVED_CHANNELS,
                         .channels = spikeglx::SAVED_CHANNELS,
                         .samples = rows,
                         .first_timestamp = first_timestamp});
}

std::string ProbeWriter::cause_of_gap(uint64_t samples, uint64_t samples_per_packet) {
  const auto counters = counters_of(source_.stream);
  // NB: the counters only grow, but an output reset may start them again.
  const uint64_t refused = counters.drops >= last_drops_ ? counters.drops - last_drops_ : counters.drops;
  unaccounted_refused_ += refused * samples_per_packet;
  last_drops_ = counters.drops;
  last_resyncs_ = counters.resyncs;
  // The stream's drops count incomplete packets too: only a queue this
  // writer saw (nearly) full refused for want of room. What it refused and
  // no gap has accounted for yet is this gap's, or part of it (a full queue
  // refuses in bursts between queued packets).
  const bool queue_was_full = queue_peak_ >= queue_limit_ - queue_limit_ / 8;
  const uint64_t taken = std::min(unaccounted_refused_, samples);
  unaccounted_refused_ -= taken;
  if (taken > 0 && queue_was_full) return "queue_full";
  // NB: the decoders count no loss of their own when they find their
  // frames again after lost or corrupted words; a short gap nothing
  // explains is such a resync, a long one a stream that stopped.
  return samples > RESYNC_LOSS_LIMIT ? "no_data" : "resync";
}

std::expected<void, std::string> ProbeWriter::fill(uint64_t samples, std::string cause) {
  const uint64_t at = next_timestamp_;
  const uint64_t room = room_left(1);
  const uint64_t ap_rows = std::min(samples, room);
  const bool np1 = source_.kind == ProbeKind::np1;
  // LF: a row per superframe that would have begun in the gap, so LF
  // keeps to device time (superframes begin on the stream's phase).
  auto starts_before = [&](uint64_t t) -> uint64_t {
    return t <= superframe_phase_ ? 0 : (t - superframe_phase_ + 11) / 12;
  };
  const uint64_t lf_rows = np1 ? starts_before(at + ap_rows) - starts_before(at) : 0;
  for (uint64_t done = 0; done < ap_rows;) {
    const uint64_t first_sample = recording_->ap_samples();
    auto rows = recording_->fill_ap(static_cast<std::size_t>(ap_rows - done), at + done);
    if (!rows) return std::unexpected(rows.error());
    tap(spikeglx::Band::ap, first_sample, *rows, at + done);
    done += rows->size() / spikeglx::SAVED_CHANNELS;
  }
  for (uint64_t k = 0; k < lf_rows; ++k) {
    const uint64_t first_sample = recording_->lf_samples();
    auto row = recording_->fill_lf();
    if (!row) return std::unexpected(row.error());
    tap(spikeglx::Band::lf, first_sample, *row, at + 12 * k);
  }
  dropped_.fetch_add(ap_rows, std::memory_order_relaxed);
  const spikeglx::Gap gap{.timestamp = at, .samples = ap_rows, .cause = cause};
  recording_->note_gap(spikeglx::Band::ap, gap);
  if (np1) recording_->note_gap(spikeglx::Band::lf, {.timestamp = at, .samples = lf_rows, .cause = cause});
  {
    std::lock_guard lock(gaps_mutex_);
    gaps_.push_back(gap);
  }
  spdlog::warn("{}: {} samples missing at timestamp {} ({}), filled with zeros", source_.name, samples, at, cause);
  return {};
}

std::expected<bool, std::string> ProbeWriter::place(uint64_t timestamp, uint64_t samples_per_packet) {
  if (timestamp == next_timestamp_) return true;
  if (timestamp > next_timestamp_) {
    if (auto r = fill(timestamp - next_timestamp_, cause_of_gap(timestamp - next_timestamp_, samples_per_packet)); !r)
      return std::unexpected(r.error());
    next_timestamp_ = timestamp;
    return true;
  }
  const uint64_t back = next_timestamp_ - timestamp;
  const uint64_t count = backward_.fetch_add(1, std::memory_order_relaxed) + 1;
  recording_->set_backward_timestamps(count);
  if (back > CLOCK_RESTART_TICKS) {
    spdlog::error("{}: the timestamp went back from {} to {}: the board's clock started again; the file "
                  "goes on from the new timestamps",
                  source_.name, next_timestamp_, timestamp);
    const spikeglx::Gap mark{.timestamp = timestamp, .samples = 0, .cause = "timestamp_back"};
    recording_->note_gap(spikeglx::Band::ap, mark);
    if (source_.kind == ProbeKind::np1) recording_->note_gap(spikeglx::Band::lf, mark);
    {
      std::lock_guard lock(gaps_mutex_);
      gaps_.push_back(mark);
    }
    earlier_segments_ += next_timestamp_ - segment_start_;
    segment_start_ = timestamp;
    next_timestamp_ = timestamp;
    return true;
  }
  if (count <= BACKWARD_WARNINGS)
    spdlog::warn("{}: a packet at timestamp {} came after {} was expected; not written{}",
                 source_.name, timestamp, next_timestamp_,
                 count == BACKWARD_WARNINGS ? " (further ones are counted only)" : "");
  (void)samples_per_packet;
  return false;
}

template <class Packet>
std::span<const Packet> ProbeWriter::skip_before_start(std::span<const Packet> packets, uint64_t samples_per_packet) {
  if (begun_ || packets.empty()) return packets;
  if (!start_known_.load(std::memory_order_relaxed)) {
    const uint64_t first = first_timestamp(packets.front());
    start_timestamp_.store(run_start_ ? run_start_->agree(first, hooks_.start_patience) : first,
                           std::memory_order_relaxed);
    start_known_.store(true, std::memory_order_release);
    recording_->set_start_timestamp(start_timestamp_.load(std::memory_order_relaxed));
  }
  const uint64_t start = start_timestamp_.load(std::memory_order_relaxed);
  size_t k = 0;
  // NB: a packet that straddles the start is kept; its samples before the
  // start are left out when it is written.
  while (k < packets.size() && first_timestamp(packets[k]) + samples_per_packet <= start) ++k;
  skipped_.fetch_add(k, std::memory_order_relaxed);
  if (k == packets.size()) return {};
  begun_ = true;
  next_timestamp_ = start;
  segment_start_ = start;
  superframe_phase_ = first_timestamp(packets[k]) % 12;
  // What the stream lost or resynchronised on before the file began is no gap of it.
  const auto counters = counters_of(source_.stream);
  last_resyncs_ = counters.resyncs;
  last_drops_ = counters.drops;
  const uint64_t first = first_timestamp(packets[k]);
  if (first > start) {
    spdlog::warn("{}: its stream began at timestamp {}, {} samples after the run's start at {}",
                 source_.name, first, first - start, start);
    if (auto r = fill(first - start, "stream_late"); !r) {
      fill_error_ = r.error();
      return {};
    }
    next_timestamp_ = first;
  }
  return packets.subspan(k);
}

std::expected<void, RunError> ProbeWriter::checkpoint_if_due(bool force) {
  // NB: the room is looked at by the bytes written, not only by the clock:
  // a writer catching up on a backlog fills a disk far faster than the
  // probe's rate.
  const uint64_t written = recording_->bytes_written();
  const auto now = std::chrono::steady_clock::now();
  const bool due = force || now - last_checkpoint_ >= hooks_.checkpoint_period;
  if (hooks_.out_of_room && (due || written - last_room_look_ >= ROOM_LOOK_BYTES)) {
    last_room_look_ = written;
    if (auto why = hooks_.out_of_room()) return std::unexpected(RunError{RunErrorKind::disk_full, *why});
  }
  if (!due) return {};
  last_checkpoint_ = now;
  if (auto r = recording_->checkpoint(); !r) return std::unexpected(RunError{RunErrorKind::write_failed, r.error()});
  return {};
}

template <class Packet, class Queue, class Write>
std::expected<void, RunError> ProbeWriter::drain(Queue& queue, uint64_t samples_per_packet, Write write) {
  const size_t batch = samples_per_packet == 1 ? NP2_BATCH : NP1_BATCH;
  std::vector<Packet> packets(batch);
  // Set once finishing: how many packets were queued at that moment.
  std::optional<uint64_t> last_ones;
  auto last_packet = std::chrono::steady_clock::now();
  auto failed = [](std::string message) { return std::unexpected(RunError{RunErrorKind::write_failed, std::move(message)}); };
  while (true) {
    if (!last_ones && finishing_.load(std::memory_order_acquire)) last_ones = queue.size_approx();
    size_t want = batch;
    if (last_ones) want = static_cast<size_t>(std::min<uint64_t>(want, *last_ones));
    if (limit_ != 0) {
      const uint64_t left = (room_left(samples_per_packet) + samples_per_packet - 1) / samples_per_packet;
      want = static_cast<size_t>(std::min<uint64_t>(want, left));
    }
    // NB: once finishing, only what is queued already is taken, without waiting.
    const size_t n = last_ones ? queue.try_dequeue_bulk(packets.data(), want)
                               : queue.wait_dequeue_bulk_timed(packets.data(), want, IDLE_WAIT);
    const auto now = std::chrono::steady_clock::now();
    if (n > 0) {
      last_packet = now;
      // The deepest the queue was over about the last two queues' worth of
      // packets: a gap's packets were refused that many packets back.
      const uint64_t depth = queue.size_approx() + n;
      if (depth >= queue_peak_ || dequeued_since_peak_ > 2 * queue_limit_) {
        queue_peak_ = depth;
        dequeued_since_peak_ = 0;
      } else {
        dequeued_since_peak_ += n;
      }
      const auto kept = skip_before_start(std::span<const Packet>(packets.data(), n), samples_per_packet);
      if (!fill_error_.empty()) return failed(fill_error_);
      if (!kept.empty())
        if (auto r = write(kept); !r) return failed(r.error());
      packets_.fetch_add(n, std::memory_order_relaxed);
      if (last_ones) *last_ones -= std::min<uint64_t>(*last_ones, n);
    } else if (!last_ones && hooks_.stall_timeout.count() > 0 && now - last_packet > hooks_.stall_timeout) {
      return std::unexpected(RunError{
          RunErrorKind::device_lost,
          fmt::format("no data for {} ms: the probe's stream stopped", hooks_.stall_timeout.count())});
    }
    if (limit_ != 0 && recording_->ap_samples() >= limit_) return {};
    if (last_ones && (*last_ones == 0 || n < want)) return {};
    if (auto r = checkpoint_if_due(false); !r) return r;
  }
}

void ProbeWriter::run() {
  const bool np1 = source_.kind == ProbeKind::np1;
  std::vector<int16_t> sync;
  // The sync column of the samples from `timestamp` on.
  auto sync_of = [&](uint64_t timestamp, size_t count) -> std::span<const int16_t> {
    if (!hooks_.sync) return {};
    sync.resize(count);
    for (size_t k = 0; k < count; ++k) sync[k] = hooks_.sync(timestamp + k);
    return sync;
  };
  std::expected<void, RunError> drained = std::visit(
      [&](auto* s) -> std::expected<void, RunError> {
        auto& queue = s->packets();
        using Q = std::remove_reference_t<decltype(queue)>;
        if constexpr (std::is_same_v<Q, demux::ResettableQueue<electrodePacket>>) {
          constexpr uint64_t SPP = electrodePacket::SUPERFRAME_SIZE;
          return drain<electrodePacket>(
              queue, SPP, [&](std::span<const electrodePacket> batch) -> std::expected<void, std::string> {
                for (const auto& packet : batch) {
                  const uint64_t first = packet.timestamps[0];
                  // A packet straddling the run's start: its samples from the start on.
                  const uint64_t head = first < next_timestamp_ && next_timestamp_ - first < SPP && recording_->ap_samples() == 0
                                            ? next_timestamp_ - first
                                            : 0;
                  auto placed = place(first + head, SPP);
                  if (!placed) return std::unexpected(placed.error());
                  if (!*placed) continue;
                  const uint64_t room = room_left(SPP);
                  if (room == 0) return {};
                  const size_t count = static_cast<size_t>(std::min<uint64_t>(SPP - head, room));
                  const uint64_t ap_first = recording_->ap_samples();
                  auto rows = recording_->append_ap(
                      std::span(&packet.ap[head][0], count * CHANNEL_COUNT), std::span(packet.timestamps).subspan(head, count),
                      sync_of(first + head, count));
                  if (!rows) return std::unexpected(rows.error());
                  tap(spikeglx::Band::ap, ap_first, *rows, first + head);
                  next_timestamp_ = first + head + count;
                  if (np1) {
                    const uint64_t lf_first = recording_->lf_samples();
                    auto row = recording_->append_lf(std::span<const int16_t, CHANNEL_COUNT>(packet.lfp),
                                                     hooks_.sync ? hooks_.sync(first) : int16_t{0});
                    if (!row) return std::unexpected(row.error());
                    tap(spikeglx::Band::lf, lf_first, *row, first);
                  }
                }
                return {};
              });
        } else {
          // Passes over each sample's bytes from the probe's queue to the
          // file: (1) the dequeue copies the set out of the queue into the
          // batch; (2) the set's values go straight into their row of the
          // file's buffer, aligned for unbuffered writes; (3) the disk's DMA
          // reads the buffer (past the page cache; written buffered, the
          // kernel's copy into its cache is a CPU pass more).
          return drain<NP2::APData>(queue, 1, [&](std::span<const NP2::APData> batch) -> std::expected<void, std::string> {
            for (size_t k = 0; k < batch.size();) {
              const auto& first = batch[k];
              if (first.timestamp != next_timestamp_) {
                auto placed = place(first.timestamp, 1);
                if (!placed) return std::unexpected(placed.error());
                if (!*placed) {
                  ++k;
                  continue;
                }
              }
              // The sets that follow on one another from here: one block of rows.
              size_t count = 1;
              while (k + count < batch.size() && batch[k + count].timestamp == first.timestamp + count) ++count;
              count = static_cast<size_t>(std::min<uint64_t>(count, room_left(1)));
              if (count == 0) return {};
              const uint64_t ap_first = recording_->ap_samples();
              auto room = recording_->reserve_ap(count);
              if (!room) return std::unexpected(room.error());
              int16_t* row = room->rows.data();
              for (size_t j = 0; j < count; ++j, row += spikeglx::SAVED_CHANNELS) {
                const auto& set = batch[k + j];
                std::memcpy(row, set.samples, sizeof set.samples);
                row[CHANNEL_COUNT] = hooks_.sync ? hooks_.sync(set.timestamp) : int16_t{0};
                std::memcpy(room->timestamps + j * sizeof(uint64_t), &set.timestamp, sizeof(uint64_t));
              }
              tap(spikeglx::Band::ap, ap_first, recording_->commit_ap(count), first.timestamp);
              next_timestamp_ = first.timestamp + count;
              k += count;
            }
            return {};
          });
        }
      },
      source_.stream);
  recording_->set_backward_timestamps(backward_.load(std::memory_order_relaxed));
  auto closed = recording_->close();
  const auto& who = source_.name;
  if (!drained) {
    RunError e = drained.error();
    if (e.kind == RunErrorKind::write_failed && recording_->out_of_space()) e.kind = RunErrorKind::disk_full;
    e.message = fmt::format("{}: {}", who, e.message);
    outcome_ = std::unexpected(std::move(e));
  } else if (!closed) {
    outcome_ = std::unexpected(RunError{recording_->out_of_space() ? RunErrorKind::disk_full : RunErrorKind::write_failed,
                                        fmt::format("{}: {}", who, closed.error())});
  }
  if (!outcome_) failed_.store(true, std::memory_order_release);
  done_.store(true, std::memory_order_release);
  if (hooks_.on_end) hooks_.on_end();
}

}  // namespace pelionp::record
