#include "record/replay/replay.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <new>
#include <span>

#include "pelionp/decoders/np1_probe_stream.h"
#include "pelionp/decoders/np2_probe_stream.h"
#include "pelionp/demux/data_stream_coordinator.h"
#include "record/capture/census.h"
#include "record/context.h"
#include "record/probeinterface/probe_interface.h"
#include "record/run_name.h"

namespace pelionp::record::replay {

namespace {

template <class T>
using Result = std::expected<T, std::string>;

using capture::StreamDescription;
using capture::WORD_BYTES;

// --- Buffers that report their own release -----------------------------------

// Buffers in the coordinator and the workers. The last decoder to drop a
// buffer frees it, so "nothing in flight" means every word read so far has
// been decoded and every packet from it queued.
struct Flight {
  std::mutex mutex;
  std::condition_variable released;
  std::size_t in_flight = 0;
  uint64_t releases = 0;  // a decoder is done with a buffer: its packets are queued
};

// NB: the device buffer's free function is a plain function pointer, so each
// buffer carries its flight in a header in front of the bytes.
struct BufferHeader {
  std::shared_ptr<Flight> flight;
};
constexpr std::size_t HEADER_BYTES = (sizeof(BufferHeader) + 15) / 16 * 16;
constexpr std::align_val_t BUFFER_ALIGNMENT{16};

void release_buffer(uint8_t* data) {
  uint8_t* base = data - HEADER_BYTES;
  auto* header = std::launder(reinterpret_cast<BufferHeader*>(base));
  const auto flight = std::move(header->flight);
  header->~BufferHeader();
  ::operator delete[](base, BUFFER_ALIGNMENT);
  {
    std::lock_guard lock(flight->mutex);
    --flight->in_flight;
    ++flight->releases;
  }
  flight->released.notify_all();
}

demux::DataBuffer make_buffer(const std::shared_ptr<Flight>& flight, std::span<const uint8_t> bytes) {
  auto* base = static_cast<uint8_t*>(::operator new[](HEADER_BYTES + bytes.size(), BUFFER_ALIGNMENT));
  new (base) BufferHeader{flight};
  uint8_t* data = base + HEADER_BYTES;
  std::memcpy(data, bytes.data(), bytes.size());
  {
    std::lock_guard lock(flight->mutex);
    ++flight->in_flight;
  }
  return {bytes.size(), std::unique_ptr<uint8_t[], void (*)(uint8_t*)>(data, &release_buffer)};
}

// --- One probe stream: the library's probe stream object and a recording ------

std::array<float, CHANNEL_COUNT> gains_or_unit(const std::optional<capture::GainCorrection>& correction) {
  if (correction) return *correction;
  std::array<float, CHANNEL_COUNT> unit;
  unit.fill(1.0f);
  return unit;
}

class RecordedStream {
 public:
  RecordedStream(StreamDescription description, std::unique_ptr<spikeglx::ProbeRecording> recording)
      : description_(std::move(description)), recording_(std::move(recording)) {}
  virtual ~RecordedStream() = default;
  RecordedStream(const RecordedStream&) = delete;
  RecordedStream& operator=(const RecordedStream&) = delete;

  virtual demux::NeuropixelsWorker& worker() = 0;
  // Moves every packet queued so far into the recording (caller's thread).
  virtual Result<void> drain() = 0;

  const StreamDescription& description() const noexcept { return description_; }
  spikeglx::ProbeRecording& recording() noexcept { return *recording_; }

 protected:
  StreamDescription description_;
  std::unique_ptr<spikeglx::ProbeRecording> recording_;
};

class Np1Stream final : public RecordedStream {
 public:
  Np1Stream(StreamDescription description, std::unique_ptr<spikeglx::ProbeRecording> recording)
      : RecordedStream(std::move(description), std::move(recording)),
        stream_(demux::SID{description_.sid}, gains_or_unit(description_.ap_gain_correction),
                gains_or_unit(description_.lf_gain_correction)) {}

  demux::NeuropixelsWorker& worker() override { return stream_.worker(); }

  Result<void> drain() override {
    for (;;) {
      const std::size_t n = stream_.packets().try_dequeue_bulk(out_.data(), out_.size());
      for (std::size_t k = 0; k < n; ++k) {
        const electrodePacket& p = out_[k];
        auto ap = recording_->append_ap(std::span(&p.ap[0][0], electrodePacket::SUPERFRAME_SIZE * CHANNEL_COUNT),
                                        p.timestamps);
        if (!ap) return std::unexpected(ap.error());
        auto lf = recording_->append_lf(std::span<const int16_t, CHANNEL_COUNT>(p.lfp));
        if (!lf) return std::unexpected(lf.error());
      }
      if (n < out_.size()) return {};
    }
  }

 private:
  std::vector<electrodePacket> out_ = std::vector<electrodePacket>(16);
  NP1::ProbeStream stream_;  // last: its worker stops before the members it uses go
};

class Np2Stream final : public RecordedStream {
 public:
  Np2Stream(StreamDescription description, std::unique_ptr<spikeglx::ProbeRecording> recording)
      : RecordedStream(std::move(description), std::move(recording)),
        stream_(demux::SID{description_.sid}, spikeglx::np2_file_gains(gains_or_unit(description_.ap_gain_correction))) {
    samples_.reserve(BATCH * CHANNEL_COUNT);
    timestamps_.reserve(BATCH);
  }

  demux::NeuropixelsWorker& worker() override { return stream_.worker(); }

  Result<void> drain() override {
    for (;;) {
      const std::size_t n = stream_.packets().try_dequeue_bulk(sets_.data(), sets_.size());
      if (n == 0) return {};
      samples_.clear();
      timestamps_.clear();
      for (std::size_t k = 0; k < n; ++k) {
        samples_.insert(samples_.end(), std::begin(sets_[k].samples), std::end(sets_[k].samples));
        timestamps_.push_back(sets_[k].timestamp);
      }
      if (auto r = recording_->append_ap(samples_, timestamps_); !r) return std::unexpected(r.error());
    }
  }

 private:
  static constexpr std::size_t BATCH = 256;

  std::vector<NP2::APData> sets_ = std::vector<NP2::APData>(BATCH);
  std::vector<int16_t> samples_;
  std::vector<uint64_t> timestamps_;
  NP2::ProbeStream stream_;  // last: its worker stops before the members it uses go
};

// --- The run -------------------------------------------------------------------

Result<capture::Sidecar> describe(const std::filesystem::path& capture, bool& from_sidecar) {
  const auto sidecar = capture::sidecar_path(capture);
  std::error_code ec;
  if (std::filesystem::exists(sidecar, ec)) {
    from_sidecar = true;
    return capture::read(sidecar);
  }
  from_sidecar = false;
  spdlog::warn("No sidecar {}: probes are taken from the stream IDs, with default metadata and unit gain correction",
               sidecar.string());
  auto census = capture::scan(capture);
  if (!census) return std::unexpected(census.error());
  auto described = capture::describe_from_census(*census);
  for (const auto& d : described.streams) {
    if (is_np2(d.probe.kind))
      spdlog::warn("SID {}: an NP2 stream; without a sidecar it is recorded as a single-shank probe", d.sid);
  }
  return described;
}

class Replay {
 public:
  explicit Replay(const Options& options) : options_(options) {}

  Result<Summary> run() {
    if (!std::ifstream(options_.capture, std::ios::binary))
      return std::unexpected(fmt::format("Cannot open {}", options_.capture.string()));
    std::vector<StreamDescription> streams;
    {
      auto described = describe(options_.capture, summary_.sidecar);
      if (!described) return std::unexpected(described.error());
      streams = std::move(described->streams);
    }
    if (streams.empty())
      return std::unexpected(fmt::format("{} holds no probe stream (NP1 on SIDs 0..3, NP2 on 8..15)",
                                         options_.capture.string()));
    std::ranges::stable_sort(streams, {}, [](const StreamDescription& d) { return std::pair(d.probe.port, d.probe.dock); });

    for (std::size_t i = 0; i < streams.size(); ++i) {
      auto recording = spikeglx::ProbeRecording::create(options_.layout, static_cast<int>(i), streams[i].probe,
                                                        streams[i].configuration);
      if (!recording) return std::unexpected(recording.error());
      if (is_np2(streams[i].probe.kind))
        streams_.push_back(std::make_unique<Np2Stream>(streams[i], std::move(*recording)));
      else
        streams_.push_back(std::make_unique<Np1Stream>(streams[i], std::move(*recording)));
      subscribed_[streams[i].sid] = true;
    }
    std::vector<probeinterface::RecordedProbe> described;
    for (const auto& d : streams) described.push_back({d.probe, d.configuration});
    if (auto r = probeinterface::write(options_.layout.run_description(), described); !r)
      return std::unexpected(r.error());
    for (auto& s : streams_) {
      s->worker().wait_for_resync();
      auto subscribed = coordinator_.push_subscription({s->worker().sid, s->worker().queue()});
      if (!subscribed) return std::unexpected(subscribed.error());
    }

    // NB: after a failure the streams go without waiting: their workers stop
    // before the coordinator, which frees the buffers still queued.
    auto fed = feed();
    if (fed) fed = settle();
    if (!fed) return std::unexpected(fed.error());

    for (auto& s : streams_) {
      if (auto r = coordinator_.unsubscribe(s->worker().sid); !r) return std::unexpected(r.error());
    }
    report_census();
    for (auto& s : streams_) {
      if (auto r = s->recording().close(); !r) return std::unexpected(r.error());
      const auto& d = s->description();
      summary_.streams.push_back({d.sid, d.probe, s->recording().ap_path(), census_.words[d.sid],
                                  s->recording().ap_samples(), s->recording().lf_samples()});
    }
    return summary_;
  }

 private:
  Result<void> drain_all() {
    for (auto& s : streams_) {
      if (auto r = s->drain(); !r) return r;
    }
    return {};
  }

  // Drains the packet queues until at most `limit` buffers are in flight,
  // waking whenever a decoder lets go of a buffer (its packets are queued by
  // then).
  Result<void> wait_for_flight(std::size_t limit) {
    for (;;) {
      if (auto r = drain_all(); !r) return r;
      std::unique_lock lock(flight_->mutex);
      if (flight_->in_flight <= limit) return {};
      const uint64_t seen = flight_->releases;
      flight_->released.wait_for(lock, FLIGHT_WAIT, [&] { return flight_->releases != seen; });
    }
  }
  // The longest the wait above goes without a release before it drains again.
  static constexpr auto FLIGHT_WAIT = std::chrono::milliseconds(100);

  // Waits until every buffer handed over has been decoded, then writes the
  // last packets.
  Result<void> settle() {
    if (auto r = wait_for_flight(0); !r) return r;
    return drain_all();
  }

  // Cuts the capture into buffers that each start on a word with the
  // preamble (the coordinator drops a buffer whose first word lacks it) and
  // hands them over, reading on only while few enough are in flight.
  Result<void> feed() {
    std::ifstream in(options_.capture, std::ios::binary);
    if (!in) return std::unexpected(fmt::format("Cannot open {}", options_.capture.string()));
    const std::size_t size = std::max(WORD_BYTES, options_.buffer_bytes / WORD_BYTES * WORD_BYTES);
    const std::size_t limit = std::max<std::size_t>(1, options_.buffers_in_flight);
    std::vector<uint8_t> chunk(size);
    std::size_t carried = 0;
    for (bool end = false; !end;) {
      in.read(reinterpret_cast<char*>(chunk.data() + carried), static_cast<std::streamsize>(size - carried));
      const auto got = static_cast<std::size_t>(in.gcount());
      if (in.bad()) return std::unexpected(fmt::format("Failed to read {}", options_.capture.string()));
      end = got < size - carried;
      const std::size_t held = carried + got;
      const std::size_t whole = held - held % WORD_BYTES;
      if (end) census_.trailing_bytes = held - whole;

      std::size_t start = 0;
      while (start < whole && !capture::has_preamble(&chunk[start])) start += WORD_BYTES;
      summary_.skipped_words += start / WORD_BYTES;
      std::size_t cut = whole;
      if (!end) {
        for (std::size_t at = whole - WORD_BYTES; at > start; at -= WORD_BYTES) {
          if (capture::has_preamble(&chunk[at])) {
            cut = at;
            break;
          }
        }
      }
      if (cut > start) {
        const auto words = std::span<const uint8_t>(chunk).subspan(start, cut - start);
        capture::count_words(words, census_);
        if (auto r = wait_for_flight(limit - 1); !r) return r;
        coordinator_.push_buffer(make_buffer(flight_, words));
        summary_.bytes += words.size();
      }
      carried = end ? 0 : held - cut;
      std::memmove(chunk.data(), chunk.data() + cut, carried);
    }
    return {};
  }

  void report_census() const {
    if (census_.trailing_bytes != 0)
      spdlog::warn("{} ends with {} bytes of a cut-off word; ignored", options_.capture.string(),
                   census_.trailing_bytes);
    if (summary_.skipped_words != 0)
      spdlog::warn("Skipped {} words without the stream preamble at buffer starts", summary_.skipped_words);
    for (uint8_t sid = 0; sid < 16; ++sid) {
      int port = 0;
      int dock = 0;
      if (!capture::probe_location(sid, port, dock)) continue;
      if (subscribed_[sid] && census_.words[sid] == 0)
        spdlog::warn("SID {}: the sidecar describes a probe on port {} dock {}, but the capture holds none of its words",
                     sid, port, dock);
      if (!subscribed_[sid] && census_.words[sid] != 0)
        spdlog::warn("SID {}: {} words that the sidecar does not describe; not decoded", sid, census_.words[sid]);
    }
  }

  const Options& options_;
  Summary summary_;
  capture::Census census_;
  std::array<bool, 16> subscribed_{};
  std::shared_ptr<Flight> flight_ = std::make_shared<Flight>();
  demux::DataStreamCoordinator coordinator_;
  // After the coordinator: the workers stop before it does.
  std::vector<std::unique_ptr<RecordedStream>> streams_;
};

}  // namespace

std::expected<Summary, std::string> run(const Options& options) {
  if (auto named = check_run_name(options.layout.run); !named) return std::unexpected(named.error());
  Replay replay(options);
  return with_context(replay.run(), fmt::format("Replay of {}", options.capture.string()));
}

}  // namespace pelionp::record::replay
