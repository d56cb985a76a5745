#include "record/replay/replay.h"

#include <fmt/format.h>
#include <fmt/ranges.h>
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
#include "record/session/probe_writer.h"

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

// One probe stream: the library's probe stream object, fed by the
// coordinator, and the writer that drains it into the probe's files as a
// live recording's writer does (gaps filled in place, .meta checkpoints).
class RecordedStream {
 public:
  RecordedStream(StreamDescription description, std::unique_ptr<spikeglx::ProbeRecording> recording,
                 uint64_t ap_sample_limit)
      : description_(std::move(description)) {
    StreamPointer pointer;
    if (is_np2(description_.probe.kind)) {
      auto& np2 = stream_.emplace<std::unique_ptr<NP2::ProbeStream>>(std::make_unique<NP2::ProbeStream>(
          demux::SID{description_.sid}, spikeglx::np2_file_gains(gains_or_unit(description_.ap_gain_correction))));
      pointer = np2.get();
    } else {
      auto& np1 = stream_.emplace<std::unique_ptr<NP1::ProbeStream>>(std::make_unique<NP1::ProbeStream>(
          demux::SID{description_.sid}, gains_or_unit(description_.ap_gain_correction),
          gains_or_unit(description_.lf_gain_correction)));
      pointer = np1.get();
    }
    writer_ = std::make_unique<ProbeWriter>(
        WriterSource{.stream = pointer,
                     .kind = description_.probe.kind,
                     .name = fmt::format("SID {} ({} port {} dock {})", description_.sid, display_name(description_.probe.kind),
                                         description_.probe.port, description_.probe.dock)},
        std::move(recording), ap_sample_limit);
  }
  RecordedStream(const RecordedStream&) = delete;
  RecordedStream& operator=(const RecordedStream&) = delete;

  demux::NeuropixelsWorker& worker() {
    return std::visit([](auto& s) -> demux::NeuropixelsWorker& { return s->worker(); }, stream_);
  }
  std::size_t queued() {
    return std::visit([](auto& s) -> std::size_t { return s->packets().size_approx(); }, stream_);
  }
  ProbeWriter& writer() noexcept { return *writer_; }
  const StreamDescription& description() const noexcept { return description_; }

 private:
  StreamDescription description_;
  std::variant<std::unique_ptr<NP1::ProbeStream>, std::unique_ptr<NP2::ProbeStream>> stream_;
  // After the stream: the writer's thread is joined before the stream goes.
  std::unique_ptr<ProbeWriter> writer_;
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
      streams_.push_back(std::make_unique<RecordedStream>(streams[i], std::move(*recording), options_.ap_sample_limit));
      subscribed_[streams[i].sid] = true;
    }
    std::vector<probeinterface::RecordedProbe> described;
    for (const auto& d : streams) described.push_back({d.probe, d.configuration});
    if (auto r = probeinterface::write(options_.layout.run_description(), described); !r)
      return std::unexpected(r.error());
    for (auto& s : streams_) {
      s->writer().start();
      s->worker().wait_for_resync();
      auto subscribed = coordinator_.push_subscription({s->worker().sid, s->worker().queue()});
      if (!subscribed) return std::unexpected(subscribed.error());
    }

    // NB: after a failure the streams go without waiting: their workers stop
    // before the coordinator, which frees the buffers still queued.
    auto fed = feed();
    if (fed) fed = settle();
    if (!fed) return std::unexpected(fed.error());

    // Every packet is queued: each writer writes what is queued and closes its files.
    for (auto& s : streams_) s->writer().finish();
    std::vector<std::string> failures;
    for (auto& s : streams_)
      if (auto r = s->writer().join(); !r) failures.push_back(r.error().message);
    if (!failures.empty()) return std::unexpected(fmt::format("{}", fmt::join(failures, "; ")));
    for (auto& s : streams_) {
      if (auto r = coordinator_.unsubscribe(s->worker().sid); !r) return std::unexpected(r.error());
    }
    report_census();
    for (auto& s : streams_) {
      const auto& d = s->description();
      const auto& recording = s->writer().recording();
      summary_.streams.push_back({d.sid, d.probe, recording.ap_path(), census_.words[d.sid], recording.ap_samples(),
                                  recording.lf_samples()});
    }
    return summary_;
  }

 private:
  // Waits until at most `limit` buffers are in flight (a decoder lets go
  // of a buffer once its packets are queued) and the writers are no more
  // than a backlog behind: the queues refuse packets when full.
  Result<void> wait_for_flight(std::size_t limit) {
    for (;;) {
      for (auto& s : streams_) {
        if (!s->writer().done()) continue;
        if (options_.ap_sample_limit != 0 && s->writer().recording().ap_samples() >= options_.ap_sample_limit) {
          at_limit_ = true;  // reading ends; what is in flight is still decoded
          break;
        }
        return std::unexpected(std::string("a writer ended early"));
      }
      if (at_limit_) {
        std::unique_lock lock(flight_->mutex);
        if (flight_->in_flight <= limit) return {};
        flight_->released.wait_for(lock, FLIGHT_WAIT);
        continue;
      }
      const bool behind = std::ranges::any_of(streams_, [](auto& s) { return s->queued() > WRITER_BACKLOG; });
      std::unique_lock lock(flight_->mutex);
      if (flight_->in_flight <= limit && !behind) return {};
      const uint64_t seen = flight_->releases;
      // NB: a writer's progress wakes nothing here; a backlog is looked at again within a millisecond.
      flight_->released.wait_for(lock, behind ? BACKLOG_WAIT : FLIGHT_WAIT, [&] { return flight_->releases != seen; });
    }
  }
  // The longest the wait above goes without a release before it looks again.
  static constexpr auto FLIGHT_WAIT = std::chrono::milliseconds(100);
  static constexpr auto BACKLOG_WAIT = std::chrono::milliseconds(1);
  // Packets a writer may have queued before reading waits (far below a queue's limit).
  static constexpr std::size_t WRITER_BACKLOG = 16384;

  // Waits until every buffer handed over has been decoded.
  Result<void> settle() { return wait_for_flight(0); }

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

      const auto [start, cut] = capture::cut_buffer(std::span<const uint8_t>(chunk).first(held), end);
      summary_.skipped_words += start / WORD_BYTES;
      if (cut > start) {
        const auto words = std::span<const uint8_t>(chunk).subspan(start, cut - start);
        capture::count_words(words, census_);
        if (auto r = wait_for_flight(limit - 1); !r) return r;
        if (at_limit_) return {};
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
  bool at_limit_ = false;  // a file reached Options::ap_sample_limit
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
