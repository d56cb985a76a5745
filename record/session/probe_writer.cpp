#include "record/session/probe_writer.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <chrono>
#include <span>
#include <vector>

#include "pelionp/decoders/np2_row_decoder.h"
#include "pelionp/demux/electrode_packet.h"

namespace pelionp::record {

namespace {

// Packets taken per pass before they are written: a few milliseconds of
// data, few enough that the queue's mutex (taken once per batch) is never
// held for long.
constexpr size_t NP1_BATCH = 32;    // 12 AP samples each
constexpr size_t NP2_BATCH = 384;   // 1 AP sample each
// The longest an empty queue is waited on before the writer looks at its
// finish request again; data wakes it at once.
constexpr auto IDLE_WAIT = std::chrono::milliseconds(20);
// How long a writer holding its first packets waits for the other writers'
// first packets once the run has started every stream. NB: its queue fills
// meanwhile; a second is far less than a packet queue holds (over four
// seconds of one probe) and far more than a started stream takes to deliver.
constexpr auto START_AGREEMENT_TIMEOUT = std::chrono::seconds(1);

uint64_t first_timestamp(const electrodePacket& packet) { return packet.timestamps[0]; }
uint64_t first_timestamp(const NP2::APData& packet) { return packet.timestamp; }

}  // namespace

ProbeWriter::ProbeWriter(const ProbeHandle& probe, std::unique_ptr<spikeglx::ProbeRecording> recording,
                         uint64_t ap_sample_limit, RunStart* start)
    : probe_(probe), recording_(std::move(recording)), limit_(ap_sample_limit), run_start_(start) {}

ProbeWriter::~ProbeWriter() {
  if (thread_.joinable()) {
    finish();
    (void)join();
  }
}

void ProbeWriter::start() { thread_ = std::thread([this] { run(); }); }

std::expected<void, std::string> ProbeWriter::join() {
  if (thread_.joinable()) thread_.join();
  return outcome_;
}

void ProbeWriter::count_gap(uint64_t timestamp, uint64_t samples_per_packet) {
  if (next_timestamp_ && timestamp > *next_timestamp_)
    dropped_.fetch_add(timestamp - *next_timestamp_, std::memory_order_relaxed);
  next_timestamp_ = timestamp + samples_per_packet;
}

template <class Packet>
std::span<const Packet> ProbeWriter::skip_before_start(std::span<const Packet> packets, uint64_t samples_per_packet) {
  if (begun_ || packets.empty()) return packets;
  if (!start_timestamp_) {
    const uint64_t first = first_timestamp(packets.front());
    start_timestamp_ = run_start_ ? run_start_->agree(first, START_AGREEMENT_TIMEOUT)
                                  : first;
  }
  const uint64_t start = *start_timestamp_;
  size_t k = 0;
  while (k < packets.size() && first_timestamp(packets[k]) < start) ++k;
  skipped_.fetch_add(k, std::memory_order_relaxed);
  if (k == packets.size()) return {};
  begun_ = true;
  const uint64_t late = first_timestamp(packets[k]) - start;
  if (late >= samples_per_packet) {
    const uint64_t missing = late - late % samples_per_packet;
    dropped_.fetch_add(missing, std::memory_order_relaxed);
    spdlog::warn("{} probe on {}: its stream began at timestamp {}, {} samples after the run's start at {}",
                 display_name(probe_.kind), probe_.place(), first_timestamp(packets[k]), missing, start);
  }
  return packets.subspan(k);
}

template <class Packet, class Queue, class Write>
std::expected<void, std::string> ProbeWriter::drain(Queue& queue, uint64_t samples_per_packet, Write write) {
  const size_t batch = samples_per_packet == 1 ? NP2_BATCH : NP1_BATCH;
  std::vector<Packet> packets(batch);
  // Set once finishing: how many packets were queued at that moment.
  std::optional<uint64_t> last_ones;
  while (true) {
    if (!last_ones && finishing_.load(std::memory_order_acquire)) last_ones = queue.size_approx();
    size_t want = batch;
    if (last_ones) want = static_cast<size_t>(std::min<uint64_t>(want, *last_ones));
    if (limit_ != 0) {
      const uint64_t left = (limit_ - recording_->ap_samples() + samples_per_packet - 1) / samples_per_packet;
      want = static_cast<size_t>(std::min<uint64_t>(want, left));
    }
    // NB: once finishing, only what is queued already is taken, without waiting.
    const size_t n = last_ones ? queue.try_dequeue_bulk(packets.data(), want)
                               : queue.wait_dequeue_bulk_timed(packets.data(), want, IDLE_WAIT);
    if (n > 0) {
      const auto kept = skip_before_start(std::span<const Packet>(packets.data(), n), samples_per_packet);
      if (!kept.empty())
        if (auto r = write(kept); !r) return r;
      packets_.fetch_add(n, std::memory_order_relaxed);
      if (last_ones) *last_ones -= std::min<uint64_t>(*last_ones, n);
    }
    if (limit_ != 0 && recording_->ap_samples() >= limit_) return {};
    if (last_ones && (*last_ones == 0 || n < want)) return {};
  }
}

void ProbeWriter::run() {
  std::expected<void, std::string> drained = std::visit(
      [&](auto* p) -> std::expected<void, std::string> {
        auto& queue = p->stream().packets();
        using Q = std::remove_reference_t<decltype(queue)>;
        if constexpr (std::is_same_v<Q, demux::ResettableQueue<electrodePacket>>) {
          return drain<electrodePacket>(queue, electrodePacket::SUPERFRAME_SIZE,
                                        [&](std::span<const electrodePacket> batch) -> std::expected<void, std::string> {
                                          for (const auto& packet : batch) {
                                            count_gap(packet.timestamps[0], electrodePacket::SUPERFRAME_SIZE);
                                            if (auto r = recording_->append_ap(
                                                    std::span(&packet.ap[0][0], std::size(packet.ap) * CHANNEL_COUNT),
                                                    std::span(packet.timestamps));
                                                !r)
                                              return r;
                                            if (auto r = recording_->append_lf(std::span<const int16_t, CHANNEL_COUNT>(packet.lfp));
                                                !r)
                                              return r;
                                          }
                                          return {};
                                        });
        } else {
          std::vector<int16_t> samples;
          std::vector<uint64_t> timestamps;
          return drain<NP2::APData>(queue, 1, [&](std::span<const NP2::APData> batch) {
            samples.resize(batch.size() * CHANNEL_COUNT);
            timestamps.resize(batch.size());
            for (size_t k = 0; k < batch.size(); ++k) {
              count_gap(batch[k].timestamp, 1);
              timestamps[k] = batch[k].timestamp;
              std::copy_n(batch[k].samples, CHANNEL_COUNT, samples.begin() + static_cast<std::ptrdiff_t>(k * CHANNEL_COUNT));
            }
            return recording_->append_ap(samples, timestamps);
          });
        }
      },
      probe_.probe);
  auto closed = recording_->close();
  if (!drained) {
    outcome_ = std::unexpected(fmt::format("{} probe on {}: {}", display_name(probe_.kind), probe_.place(), drained.error()));
  } else if (!closed) {
    outcome_ = std::unexpected(fmt::format("{} probe on {}: {}", display_name(probe_.kind), probe_.place(), closed.error()));
  }
  done_.store(true, std::memory_order_release);
}

}  // namespace pelionp::record
