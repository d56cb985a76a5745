#include "service/acquisition.h"

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <set>
#include <system_error>

#include "pelionp/demux/electrode_packet.h"
#include "record/imro/imro.h"
#include "record/imro/sites.h"
#include "record/run_name.h"
#include "record/session/probe_setup.h"
#include "record/spikeglx/recording.h"

namespace pelionp::service {

namespace {

using json = nlohmann::json;
using record::ProbeKind;
using record::spikeglx::Band;
using namespace std::chrono_literals;

constexpr auto MONITOR_PERIOD = 200ms;
// The longest a live reader waits on an empty queue before it looks at its
// stop request again; data wakes it at once.
constexpr auto IDLE_WAIT = 20ms;
constexpr std::size_t NP1_BATCH = 32;
constexpr std::size_t NP2_BATCH = 384;

Failure refuse(Refusal kind, std::string message) { return Failure{kind, std::move(message), json::object()}; }

Refusal refusal_of(record::RunErrorKind kind) {
  switch (kind) {
    case record::RunErrorKind::invalid_options:
    case record::RunErrorKind::configuration_refused: return Refusal::bad_request;
    case record::RunErrorKind::file_exists: return Refusal::conflict;
    case record::RunErrorKind::disk_full: return Refusal::insufficient_storage;
    case record::RunErrorKind::device_lost:
    case record::RunErrorKind::write_failed: return Refusal::failed;
  }
  return Refusal::failed;
}

// µV per bit of a channel, as the .meta's imAiRange, imMaxInt and gains say.
double microvolts_per_bit(ProbeKind kind, const record::imro::ChannelSetting& channel, Band band) {
  if (kind == ProbeKind::np1) {
    const int gain = record::imro::NP1_GAINS[band == Band::ap ? channel.ap_gain_code : channel.lf_gain_code];
    return 0.6 / 512.0 / gain * 1e6;
  }
  return 0.5 / 8192.0 / record::imro::NP2_GAIN * 1e6;
}

std::string_view reference_name(record::imro::Reference r) {
  switch (r) {
    case record::imro::Reference::external: return "external";
    case record::imro::Reference::tip: return "tip";
    case record::imro::Reference::internal: return "internal";
    case record::imro::Reference::on_shank: return "on_shank";
  }
  return "external";
}

// Bytes a probe writes a second (both bands, the sync channel included).
double bytes_per_second(ProbeKind kind) {
  const double row = record::spikeglx::SAVED_CHANNELS * sizeof(int16_t);
  return row * (record::spikeglx::AP_SAMPLE_RATE + (kind == ProbeKind::np1 ? record::spikeglx::LF_SAMPLE_RATE : 0.0));
}

}  // namespace

struct Acquisition::ProbeState {
  std::size_t index = 0;
  record::ProbeHandle* handle = nullptr;
  record::imro::ProbeConfiguration configuration;
  std::string source = "defaults";  // or "imro"
  std::optional<std::filesystem::path> calibration;
  std::unique_ptr<LiveRing> ap;
  std::unique_ptr<LiveRing> lf;  // NP1 only
  uint64_t reported_lost = 0;    // monitor thread only
};

// Drains one probe's packet queue into its live rings while the service
// streams without recording (a recording's writer does it otherwise).
class Acquisition::LiveReader {
 public:
  LiveReader(Acquisition& owner, std::size_t index) : owner_(owner), index_(index) {
    thread_ = std::thread([this] { run(); });
  }
  LiveReader(const LiveReader&) = delete;
  LiveReader& operator=(const LiveReader&) = delete;
  ~LiveReader() {
    stop_.store(true, std::memory_order_release);
    thread_.join();
  }

 private:
  void run() {
    const record::ProbeHandle& probe = *owner_.probes_[index_]->handle;
    std::visit(
        [&](auto* p) {
          auto& queue = p->stream().packets();
          using Packet = typename std::remove_reference_t<decltype(queue)>::value_type;
          if constexpr (std::is_same_v<Packet, electrodePacket>) {
            std::vector<electrodePacket> batch(NP1_BATCH);
            while (!stop_.load(std::memory_order_acquire)) {
              const std::size_t n = queue.wait_dequeue_bulk_timed(batch.data(), batch.size(), IDLE_WAIT);
              for (std::size_t k = 0; k < n; ++k) {
                const auto& packet = batch[k];
                const uint64_t ts = packet.timestamps[0];
                if (!first_) first_ = ts;
                if (ts < *first_) continue;
                const uint64_t index = ts - *first_;
                owner_.on_block(index_, Band::ap, index, electrodePacket::SUPERFRAME_SIZE,
                                std::span(&packet.ap[0][0], std::size(packet.ap) * record::CHANNEL_COUNT), ts);
                owner_.on_block(index_, Band::lf, index / electrodePacket::SUPERFRAME_SIZE, 1, std::span(packet.lfp), ts);
              }
            }
          } else {
            std::vector<Packet> batch(NP2_BATCH);
            std::vector<int16_t> rows;
            while (!stop_.load(std::memory_order_acquire)) {
              const std::size_t n = queue.wait_dequeue_bulk_timed(batch.data(), batch.size(), IDLE_WAIT);
              std::size_t k = 0;
              while (k < n) {
                // One block per run of consecutive timestamps.
                const uint64_t ts = batch[k].timestamp;
                if (!first_) first_ = ts;
                std::size_t end = k + 1;
                while (end < n && batch[end].timestamp == batch[end - 1].timestamp + 1) ++end;
                if (ts >= *first_) {
                  rows.resize((end - k) * record::CHANNEL_COUNT);
                  // NB: onto the files' scale (x NP2_FILE_SCALE, saturating), so that a ring holds
                  // the same units whether the probe streams or records.
                  for (std::size_t r = k; r < end; ++r)
                    std::transform(batch[r].samples, batch[r].samples + record::CHANNEL_COUNT,
                                   rows.begin() + static_cast<std::ptrdiff_t>((r - k) * record::CHANNEL_COUNT), [](int16_t v) {
                                     return static_cast<int16_t>(
                                         std::clamp(int{v} * record::spikeglx::NP2_FILE_SCALE, -32768, 32767));
                                   });
                  owner_.on_block(index_, Band::ap, ts - *first_, end - k, rows, ts);
                }
                k = end;
              }
            }
          }
        },
        probe.probe);
    (void)probe;
  }

  Acquisition& owner_;
  const std::size_t index_;
  std::optional<uint64_t> first_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

Acquisition::Acquisition(std::unique_ptr<record::Session> session, AcquisitionOptions options)
    : options_(std::move(options)), session_(std::move(session)) {
  auto& handles = session_->probes();
  const auto ap_rows = static_cast<std::size_t>(std::max(0.1, options_.ring_seconds) * record::spikeglx::AP_SAMPLE_RATE);
  for (std::size_t i = 0; i < handles.size(); ++i) {
    auto state = std::make_unique<ProbeState>();
    state->index = i;
    state->handle = &handles[i];
    state->configuration = record::imro::default_configuration(handles[i].kind);
    state->ap = std::make_unique<LiveRing>(record::CHANNEL_COUNT, ap_rows, 1);
    if (handles[i].kind == ProbeKind::np1)
      state->lf = std::make_unique<LiveRing>(record::CHANNEL_COUNT, ap_rows / electrodePacket::SUPERFRAME_SIZE,
                                             electrodePacket::SUPERFRAME_SIZE);
    probes_.push_back(std::move(state));
  }
  monitor_ = std::thread([this] { monitor(); });
}

Acquisition::~Acquisition() {
  shutdown();
  monitor_.join();
}

void Acquisition::shutdown() {
  {
    std::lock_guard lock(mutex_);
    if (!stopping_) {
      stopping_ = true;
      if (std::holds_alternative<Recording>(state_)) (void)finish_recording_locked("the service is stopping");
      if (std::holds_alternative<Streaming>(state_)) (void)stop_streaming_locked();
    }
  }
  wake_monitor_.notify_all();
  for (auto& p : probes_) {
    p->ap->wake_all();
    if (p->lf) p->lf->wake_all();
  }
  events_.close();
}

std::string_view Acquisition::name_of(const State& state) {
  return std::visit(
      [](const auto& s) -> std::string_view {
        using S = std::decay_t<decltype(s)>;
        if constexpr (std::is_same_v<S, Idle>) return "idle";
        else if constexpr (std::is_same_v<S, Streaming>) return "streaming";
        else return "recording";
      },
      state);
}

std::string Acquisition::state_name() const {
  std::lock_guard lock(mutex_);
  return std::string(name_of(state_));
}

void Acquisition::publish_state() { events_.publish("state", {{"state", name_of(state_)}}); }

void Acquisition::on_block(std::size_t probe, Band band, uint64_t first_index, std::size_t rows,
                           std::span<const int16_t> samples, uint64_t first_timestamp) {
  auto& p = *probes_.at(probe);
  LiveRing* ring = band == Band::ap ? p.ap.get() : p.lf.get();
  if (ring) ring->write(first_index, rows, samples, first_timestamp);
}

void Acquisition::on_file_block(std::size_t probe, const record::SampleBlock& block) {
  auto& p = *probes_.at(probe);
  LiveRing* ring = block.band == Band::ap ? p.ap.get() : p.lf.get();
  if (!ring) return;
  // The rings keep the neural channels; the file's rows end with the sync column.
  const auto channels = static_cast<std::size_t>(block.channels);
  if (channels == ring->channels()) {
    ring->write(block.first_sample, block.rows, block.samples, block.first_timestamp);
    return;
  }
  thread_local std::vector<int16_t> rows;
  rows.resize(block.rows * ring->channels());
  for (std::size_t r = 0; r < block.rows; ++r)
    std::copy_n(block.samples.begin() + static_cast<std::ptrdiff_t>(r * channels), ring->channels(),
                rows.begin() + static_cast<std::ptrdiff_t>(r * ring->channels()));
  ring->write(block.first_sample, block.rows, rows, block.first_timestamp);
}

void Acquisition::reset_rings() {
  for (auto& p : probes_) {
    p->ap->reset();
    if (p->lf) p->lf->reset();
  }
}

Result<LiveBand> Acquisition::live(int probe, std::string_view band) const {
  if (probe < 0 || static_cast<std::size_t>(probe) >= probes_.size())
    return std::unexpected(refuse(Refusal::not_found, fmt::format("There is no probe {}: the board has {} probe(s)", probe, probes_.size())));
  const auto& p = *probes_[static_cast<std::size_t>(probe)];
  Band which;
  if (band == "ap") which = Band::ap;
  else if (band == "lf") which = Band::lf;
  else return std::unexpected(refuse(Refusal::bad_request, fmt::format("Band '{}' is neither 'ap' nor 'lf'", band)));
  const LiveRing* ring = which == Band::ap ? p.ap.get() : p.lf.get();
  if (!ring)
    return std::unexpected(refuse(Refusal::not_found, fmt::format("Probe {} ({}) has no LF band: its AP band is the whole band",
                                                                  probe, display_name(p.handle->kind))));
  LiveBand out{.ring = ring, .sample_rate = record::spikeglx::sample_rate(which), .microvolts_per_bit = {}};
  std::lock_guard lock(mutex_);
  for (const auto& channel : p.configuration.channels)
    out.microvolts_per_bit.push_back(microvolts_per_bit(p.handle->kind, channel, which));
  return out;
}

Result<void> Acquisition::prepare_probe(std::size_t index) {
  auto& p = *probes_[index];
  const std::string who = fmt::format("probe {} ({} {})", index, display_name(p.handle->kind), p.handle->place());
  if (auto r = record::apply_configuration(*p.handle, p.configuration); !r)
    return std::unexpected(refuse(Refusal::failed, fmt::format("{}: configuration: {}", who, r.error())));
  std::vector<std::string> failed;
  for (const auto& chain : record::upload_configuration(*p.handle))
    if (!chain.result) failed.push_back(fmt::format("{} ({})", chain.chain, chain.result.error()));
  if (!failed.empty())
    return std::unexpected(refuse(Refusal::failed, fmt::format("{}: upload failed on chain(s) {}", who, fmt::join(failed, ", "))));
  return {};
}

Result<json> Acquisition::start_streaming() {
  std::lock_guard lock(mutex_);
  return start_streaming_locked();
}

Result<json> Acquisition::start_streaming_locked() {
  if (stopping_) return std::unexpected(refuse(Refusal::conflict, "The service is stopping"));
  if (std::holds_alternative<Streaming>(state_)) return std::unexpected(refuse(Refusal::conflict, "Already streaming"));
  if (std::holds_alternative<Recording>(state_))
    return std::unexpected(refuse(Refusal::conflict, "Recording: the probes stream already; stop the recording first"));
  for (std::size_t i = 0; i < probes_.size(); ++i)
    if (auto r = prepare_probe(i); !r) return std::unexpected(r.error());
  reset_rings();
  Streaming streaming{.readers = {}, .since = std::chrono::steady_clock::now()};
  for (std::size_t i = 0; i < probes_.size(); ++i) streaming.readers.push_back(std::make_shared<LiveReader>(*this, i));
  for (std::size_t i = 0; i < probes_.size(); ++i) {
    if (auto r = session_->controller().start_stream(probes_[i]->handle->worker()); !r) {
      for (std::size_t k = 0; k < i; ++k) (void)session_->controller().stop_stream(probes_[k]->handle->worker());
      return std::unexpected(refuse(Refusal::failed, fmt::format("probe {} ({}): failed to start the stream: {}", i,
                                                                 probes_[i]->handle->place(), r.error())));
    }
  }
  state_ = std::move(streaming);
  publish_state();
  spdlog::info("Streaming {} probe(s)", probes_.size());
  return json{{"state", "streaming"}, {"probes", probes_.size()}};
}

Result<json> Acquisition::stop_streaming_locked() {
  auto* streaming = std::get_if<Streaming>(&state_);
  if (!streaming) return std::unexpected(refuse(Refusal::conflict, fmt::format("Not streaming (the state is {})", name_of(state_))));
  std::vector<std::string> failures;
  for (auto& p : probes_)
    if (auto r = session_->controller().stop_stream(p->handle->worker()); !r)
      failures.push_back(fmt::format("{}: failed to stop the stream: {}", p->handle->place(), r.error()));
  streaming->readers.clear();  // joins them
  // NB: what a stopped stream left queued would begin the next run; a run
  // skips packets before its start, a stream reader has no start to skip to.
  for (auto& p : probes_)
    std::visit([](auto* probe) { probe->stream().packets().clear(); }, p->handle->probe);
  state_ = Idle{};
  publish_state();
  for (const auto& f : failures) {
    spdlog::warn("{}", f);
    events_.publish("warning", {{"message", f}});
  }
  return json{{"state", "idle"}};
}

Result<json> Acquisition::stop_streaming() {
  std::lock_guard lock(mutex_);
  return stop_streaming_locked();
}

Result<json> Acquisition::start_recording(const RecordingRequest& request) {
  std::lock_guard lock(mutex_);
  if (stopping_) return std::unexpected(refuse(Refusal::conflict, "The service is stopping"));
  if (auto* r = std::get_if<Recording>(&state_))
    return std::unexpected(refuse(Refusal::conflict, fmt::format("Already recording run '{}': stop it first", r->name)));
  if (auto named = record::check_run_name(request.run); !named)
    return std::unexpected(refuse(Refusal::bad_request, named.error()));
  const std::filesystem::path folder = request.folder.value_or(options_.out);
  if (folder.empty())
    return std::unexpected(refuse(Refusal::bad_request, "No folder: name one, or start the service with --out"));
  if (request.seconds && !(std::isfinite(*request.seconds) && *request.seconds > 0 && *request.seconds <= 7 * 24 * 3600.0))
    return std::unexpected(refuse(Refusal::bad_request, "seconds must be a positive number of at most a week"));
  uint64_t limit = 0;
  if (request.seconds) {
    limit = static_cast<uint64_t>(*request.seconds * record::spikeglx::AP_SAMPLE_RATE / 12.0 + 1e-9) * 12;
    if (limit == 0) return std::unexpected(refuse(Refusal::bad_request, fmt::format("{} s is shorter than one sample set", *request.seconds)));
  }
  std::vector<int> chosen = request.probes;
  if (chosen.empty())
    for (std::size_t i = 0; i < probes_.size(); ++i) chosen.push_back(static_cast<int>(i));
  std::ranges::sort(chosen);
  if (std::ranges::adjacent_find(chosen) != chosen.end())
    return std::unexpected(refuse(Refusal::bad_request, "A probe is named twice in 'probes'"));
  for (int i : chosen)
    if (i < 0 || static_cast<std::size_t>(i) >= probes_.size())
      return std::unexpected(refuse(Refusal::not_found, fmt::format("There is no probe {}: the board has {} probe(s)", i, probes_.size())));
  if (probes_.empty()) return std::unexpected(refuse(Refusal::conflict, "No probe found on the board: nothing to record"));

  const record::spikeglx::Layout requested{folder, request.run};
  if (std::holds_alternative<Streaming>(state_)) (void)stop_streaming_locked();

  record::RunOptions options{.layout = requested, .ap_samples = limit};
  options.gate = request.gate;
  options.notes = request.notes;
  for (const auto& p : probes_) options.configurations.emplace(std::pair{p->handle->port, p->handle->dock}, p->configuration);
  for (int i : chosen)
    options.probes.emplace_back(probes_[static_cast<std::size_t>(i)]->handle->port, probes_[static_cast<std::size_t>(i)]->handle->dock);
  // The run's writers fill the live rings beside the files; imec<N> is the
  // N-th chosen probe.
  options.sample_tap = [this, chosen](const record::SampleBlock& block) {
    on_file_block(static_cast<std::size_t>(chosen.at(static_cast<std::size_t>(block.probe))), block);
  };
  reset_rings();
  auto run = record::Run::create(*session_, std::move(options));
  if (!run)
    return std::unexpected(
        refuse(refusal_of(run.error().kind), fmt::format("Failed to prepare the recording: {}", run.error().message)));
  const record::spikeglx::Layout layout = (*run)->layout();
  json files = json::array();
  for (std::size_t k = 0; k < chosen.size(); ++k) {
    const int index = static_cast<int>(k);
    json probe_files = {{"probe", chosen[k]}};
    const auto ap = layout.stream_stem(index, Band::ap);
    probe_files["ap"] = {{"bin", ap.string() + ".bin"}, {"meta", ap.string() + ".meta"}};
    probe_files["timestamps"] = record::spikeglx::timestamps_path(ap).string();
    if (probes_[static_cast<std::size_t>(chosen[k])]->handle->kind == ProbeKind::np1) {
      const auto lf = layout.stream_stem(index, Band::lf);
      probe_files["lf"] = {{"bin", lf.string() + ".bin"}, {"meta", lf.string() + ".meta"}};
    }
    files.push_back(std::move(probe_files));
  }
  if (auto r = (*run)->start(); !r) {
    auto finished = (*run)->finish();
    return std::unexpected(refuse(Refusal::failed, fmt::format("Failed to start the recording: {}{}", r.error().message,
                                                               finished ? "" : "; " + finished.error().message)));
  }
  state_ = Recording{.run = std::move(*run), .name = request.run, .folder = layout.run_directory(), .probes = chosen,
                     .seconds = request.seconds, .files = files, .since = std::chrono::steady_clock::now()};
  publish_state();
  json reply = {{"state", "recording"}, {"run", request.run}, {"gate", layout.gate}, {"folder", layout.run_directory().string()}, {"files", files}};
  if (request.seconds) reply["seconds"] = *request.seconds;
  events_.publish("recording", {{"event", "started"}, {"run", request.run}, {"folder", layout.run_directory().string()}});
  spdlog::info("Recording run '{}' into {}", request.run, layout.run_directory().string());
  return reply;
}

Result<json> Acquisition::finish_recording_locked(std::string_view why) {
  auto& recording = std::get<Recording>(state_);
  auto finished = recording.run->finish();
  json probes = json::array();
  const auto& writers = recording.run->writers();
  for (std::size_t k = 0; k < writers.size(); ++k) {
    const auto& w = *writers[k];
    json entry = {{"probe", recording.probes.at(k)},
                  {"ap_samples", w.recording().ap_samples()},
                  {"seconds", static_cast<double>(w.recording().ap_samples()) / record::spikeglx::AP_SAMPLE_RATE},
                  {"lost_samples", w.dropped_samples()},
                  {"bytes", w.recording().bytes_written()}};
    if (w.probe().kind == ProbeKind::np1) entry["lf_samples"] = w.recording().lf_samples();
    probes.push_back(std::move(entry));
  }
  json reply = {{"state", "idle"},   {"run", recording.name}, {"folder", recording.folder.string()},
                {"files", recording.files}, {"probes", probes},   {"reason", why}};
  if (!finished) reply["error"] = finished.error().message;
  events_.publish("recording", {{"event", "stopped"}, {"run", recording.name}, {"reason", why}, {"probes", probes}});
  if (!finished) {
    spdlog::error("Recording '{}': {}", recording.name, finished.error().message);
    events_.publish("error", {{"message", fmt::format("Recording '{}': {}", recording.name, finished.error().message)}});
  }
  spdlog::info("Recording '{}' stopped ({})", recording.name, why);
  state_ = Idle{};
  publish_state();
  return reply;
}

Result<json> Acquisition::stop_recording() {
  std::lock_guard lock(mutex_);
  if (!std::holds_alternative<Recording>(state_))
    return std::unexpected(refuse(Refusal::conflict, fmt::format("Not recording (the state is {})", name_of(state_))));
  return finish_recording_locked("stopped on request");
}

Result<json> Acquisition::configure(const ConfigureRequest& request) {
  std::lock_guard lock(mutex_);
  if (request.probe < 0 || static_cast<std::size_t>(request.probe) >= probes_.size())
    return std::unexpected(refuse(Refusal::not_found, fmt::format("There is no probe {}: the board has {} probe(s)", request.probe, probes_.size())));
  auto& p = *probes_[static_cast<std::size_t>(request.probe)];
  if (auto* r = std::get_if<Recording>(&state_))
    return std::unexpected(refuse(Refusal::conflict, fmt::format("Probe {} cannot be configured while run '{}' records: stop the recording first",
                                                                 request.probe, r->name)));
  if (!request.imro && !request.reference && !request.ap_gain && !request.lf_gain && !request.calibration)
    return std::unexpected(refuse(Refusal::bad_request, "Nothing to configure: give imro, reference, ap_gain, lf_gain or calibration"));
  const ProbeKind kind = p.handle->kind;
  auto configuration = p.configuration;
  std::string source = p.source;
  if (request.imro) {
    auto parsed = record::imro::parse_configuration(*request.imro, kind);
    if (!parsed) return std::unexpected(refuse(Refusal::bad_request, fmt::format("IMRO table: {}", parsed.error())));
    configuration = *parsed;
    source = "imro";
  }
  if (request.reference) {
    using record::imro::Reference;
    std::optional<Reference> reference;
    if (*request.reference == "external") reference = Reference::external;
    else if (*request.reference == "tip") reference = Reference::tip;
    else if (*request.reference == "internal" && kind == ProbeKind::np1) reference = Reference::internal;
    else if (*request.reference == "on_shank" && kind != ProbeKind::np1) reference = Reference::on_shank;
    if (!reference)
      return std::unexpected(refuse(Refusal::bad_request, fmt::format("Reference '{}' is not one of {} for an {} probe",
                                                                      request.reference->substr(0, 40),
                                                                      kind == ProbeKind::np1 ? "external, tip, internal" : "external, tip, on_shank",
                                                                      display_name(kind))));
    for (auto& c : configuration.channels) c.reference = *reference;
  }
  for (auto [gain, is_ap] : {std::pair{request.ap_gain, true}, std::pair{request.lf_gain, false}}) {
    if (!gain) continue;
    if (kind != ProbeKind::np1)
      return std::unexpected(refuse(Refusal::bad_request, fmt::format("{} probes have one fixed gain ({}): no {} gain to set",
                                                                      display_name(kind), record::imro::NP2_GAIN, is_ap ? "AP" : "LF")));
    const auto code = record::imro::np1_gain_code(*gain);
    if (!code)
      return std::unexpected(refuse(Refusal::bad_request, fmt::format("{} gain {} is not one of {}", is_ap ? "AP" : "LF", *gain,
                                                                      fmt::join(record::imro::NP1_GAINS, ", "))));
    for (auto& c : configuration.channels) (is_ap ? c.ap_gain_code : c.lf_gain_code) = *code;
  }
  const bool was_streaming = std::holds_alternative<Streaming>(state_);
  if (was_streaming) (void)stop_streaming_locked();
  std::optional<bool> calibrated;
  if (request.calibration) {
    auto loaded = record::load_calibration(*p.handle, *request.calibration);
    if (!loaded) return std::unexpected(refuse(Refusal::bad_request, fmt::format("Calibration: {}", loaded.error())));
    calibrated = *loaded;
    p.calibration = *request.calibration;
  }
  // The probe's setters check what the table could not (the library's own rules).
  if (auto r = record::apply_configuration(*p.handle, configuration); !r) {
    (void)record::apply_configuration(*p.handle, p.configuration);
    return std::unexpected(refuse(Refusal::bad_request, fmt::format("The probe refuses the configuration: {}", r.error())));
  }
  p.configuration = configuration;
  p.source = source;
  json reply = {{"probe", request.probe}, {"configuration", probe_status(p.index)["configuration"]}};
  if (calibrated) reply["calibration_loaded"] = *calibrated;
  events_.publish("configured", reply);
  if (was_streaming) {
    // NB: a configuration reaches the probe by its upload, which runs
    // before its stream starts: streaming starts again with it.
    if (auto r = start_streaming_locked(); !r) reply["streaming_error"] = r.error().message;
  }
  return reply;
}

}  // namespace pelionp::service

namespace pelionp::service {

json Acquisition::probe_status(std::size_t index) const {
  const auto& p = *probes_[index];
  const auto& h = *p.handle;
  const auto& info = h.info();
  const auto& channels = p.configuration.channels;
  std::set<int> banks;
  std::set<int> shanks;
  int standby = 0;
  for (const auto& c : channels) {
    if (auto b = record::imro::lowest_bank(c)) banks.insert(*b);
    shanks.insert(c.shank);
    standby += c.standby ? 1 : 0;
  }
  json configuration = {{"source", p.source},
                        {"imro_type", record::imro_type(h.kind)},
                        {"reference", reference_name(channels[0].reference)},
                        {"banks", banks},
                        {"shanks", shanks},
                        {"standby_channels", standby}};
  if (h.kind == ProbeKind::np1) {
    configuration["ap_gain"] = record::imro::NP1_GAINS[channels[0].ap_gain_code];
    configuration["lf_gain"] = record::imro::NP1_GAINS[channels[0].lf_gain_code];
  } else {
    configuration["ap_gain"] = record::imro::NP2_GAIN;
  }
  configuration["calibration"] = p.calibration ? json(p.calibration->string()) : json(nullptr);

  const auto counters = std::visit([](auto* probe) { return probe->stream().counters(); }, h.probe);
  const uint64_t per_packet = h.kind == ProbeKind::np1 ? electrodePacket::SUPERFRAME_SIZE : 1;
  const std::size_t queue_limit = std::visit([](auto* probe) { return std::decay_t<decltype(*probe)>::QUEUE_MAX_ELEMENTS; }, h.probe);
  const std::size_t depth = h.queue_depth_approx();
  json lost = {{"queue_full", counters.drops * per_packet}, {"gaps", 0}, {"before_start", 0}};
  bool enabled = std::holds_alternative<Streaming>(state_);
  if (const auto* recording = std::get_if<Recording>(&state_)) {
    const auto& writers = recording->run->writers();
    for (std::size_t k = 0; k < writers.size(); ++k) {
      if (recording->probes.at(k) != static_cast<int>(index)) continue;
      enabled = true;
      lost["gaps"] = writers[k]->dropped_samples();
      lost["before_start"] = writers[k]->skipped_packets() * per_packet;
    }
  }
  json bands = json::object();
  for (const auto& [name, ring] : {std::pair{"ap", p.ap.get()}, std::pair{"lf", p.lf.get()}}) {
    if (!ring) continue;
    const auto e = ring->extent();
    bands[name] = {{"oldest", e.oldest}, {"next", e.next}, {"capacity", e.capacity}, {"bytes", ring->bytes()}};
  }
  return {{"index", index},
          {"place", h.place()},
          {"port", h.port},
          {"dock", h.dock},
          {"kind", record::key(h.kind)},
          {"kind_name", display_name(h.kind)},
          {"serial", info.serial},
          {"part_number", info.probe_pn},
          {"flex_part_number", info.flex_pn},
          {"headstage_part_number", h.headstage_pn},
          {"enabled", enabled},
          {"configuration", configuration},
          {"counters", {{"delivered", (counters.packets - counters.drops) * per_packet},
                        {"lost", lost},
                        {"resyncs", counters.resyncs}}},
          {"queue", {{"depth", depth}, {"limit", queue_limit},
                     {"fill", static_cast<double>(depth) / static_cast<double>(queue_limit)}}},
          {"live", bands}};
}

json Acquisition::status() {
  std::lock_guard lock(mutex_);
  json out = {{"state", name_of(state_)}, {"api", 1}};
  json board = {{"description", options_.board_description}};
  if (options_.device) {
    auto status = options_.device->get_status();
    if (status) {
      auto parsed = json::parse(*status, nullptr, false);
      board["status"] = parsed.is_discarded() ? json(*status) : parsed;
    } else {
      board["status_error"] = status.error();
    }
  }
  out["board"] = board;
  json ports = json::array();
  for (const auto& r : session_->ports()) {
    json port = {{"port", r.port}};
    if (r.headstage) {
      port["headstage"] = display_name(*r.headstage);
      port["part_number"] = r.headstage_pn;
      port["link"] = "connected";
    } else {
      port["headstage"] = nullptr;
      port["link"] = "none";
      port["error"] = r.headstage_error;
    }
    json docks = json::array();
    for (const auto& d : r.dock_errors) docks.push_back(d ? json(*d) : json(nullptr));
    port["dock_errors"] = docks;
    ports.push_back(std::move(port));
  }
  out["ports"] = ports;
  json probes = json::array();
  double rate = 0;
  for (std::size_t i = 0; i < probes_.size(); ++i) {
    probes.push_back(probe_status(i));
    rate += bytes_per_second(probes_[i]->handle->kind);
  }
  out["probes"] = probes;
  const auto now = std::chrono::steady_clock::now();
  std::filesystem::path disk_folder = options_.out;
  if (const auto* r = std::get_if<Recording>(&state_)) {
    disk_folder = r->folder;
    out["recording"] = {{"run", r->name}, {"folder", r->folder.string()}, {"files", r->files},
                        {"elapsed_s", std::chrono::duration<double>(now - r->since).count()},
                        {"seconds", r->seconds ? json(*r->seconds) : json(nullptr)}};
  } else if (const auto* s = std::get_if<Streaming>(&state_)) {
    out["streaming"] = {{"elapsed_s", std::chrono::duration<double>(now - s->since).count()}};
  }
  json disk = {{"folder", disk_folder.string()}};
  std::error_code ec;
  if (!disk_folder.empty()) {
    const auto space = std::filesystem::space(disk_folder, ec);
    if (!ec) {
      disk["free_bytes"] = space.available;
      disk["bytes_per_second"] = rate;
      disk["minutes_left"] = rate > 0 ? json(static_cast<double>(space.available) / rate / 60.0) : json(nullptr);
    } else {
      disk["error"] = ec.message();
    }
  }
  out["disk"] = disk;
  return out;
}

Result<json> Acquisition::geometry(int probe) {
  std::lock_guard lock(mutex_);
  if (probe < 0 || static_cast<std::size_t>(probe) >= probes_.size())
    return std::unexpected(refuse(Refusal::not_found, fmt::format("There is no probe {}: the board has {} probe(s)", probe, probes_.size())));
  const auto& p = *probes_[static_cast<std::size_t>(probe)];
  const ProbeKind kind = p.handle->kind;
  json channels = json::array();
  const auto sites = record::imro::channel_sites(p.configuration);
  for (std::size_t c = 0; c < sites.size(); ++c) {
    const auto& s = sites[c];
    channels.push_back({{"channel", c}, {"shank", s.shank}, {"electrode", s.electrode}, {"x_um", s.position.x_um},
                        {"z_um", s.position.z_um}, {"probe_x_um", s.probe_x_um(kind)}, {"used", s.used}});
  }
  return json{{"probe", probe},
              {"part_number", p.handle->info().probe_pn},
              {"kind", record::key(kind)},
              {"shanks", record::shank_count(kind)},
              {"shank_pitch_um", record::imro::shank_pitch_um(kind)},
              {"shank_width_um", record::imro::SHANK_WIDTH_UM},
              {"shank_length_um", record::imro::SHANK_LENGTH_UM},
              {"tip_length_um", record::imro::TIP_LENGTH_UM},
              {"site_size_um", record::imro::SITE_SIZE_UM},
              {"geom_map", record::spikeglx::geom_map(p.handle->info().probe_pn, p.configuration)},
              {"channels", channels}};
}

void Acquisition::monitor() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    wake_monitor_.wait_for(lock, MONITOR_PERIOD, [&] { return stopping_; });
    if (stopping_) break;
    if (auto* r = std::get_if<Recording>(&state_)) {
      if (r->run->done()) (void)finish_recording_locked(r->seconds ? "its duration was reached" : "every writer stopped");
      else if (!r->seconds && r->run->any_done()) (void)finish_recording_locked("a writer stopped");
    }
    // Lost samples, as they happen.
    for (std::size_t i = 0; i < probes_.size(); ++i) {
      auto& p = *probes_[i];
      const auto s = probe_status(i);
      const auto& lost = s["counters"]["lost"];
      const uint64_t total = lost["queue_full"].get<uint64_t>() + lost["gaps"].get<uint64_t>();
      if (total > p.reported_lost) {
        events_.publish("warning", {{"probe", i}, {"message", fmt::format("probe {} ({}): {} samples lost", i, p.handle->place(),
                                                                          total - p.reported_lost)},
                                    {"lost", lost}});
        p.reported_lost = total;
      } else if (total < p.reported_lost) {
        p.reported_lost = total;  // a new run's counters
      }
    }
  }
}

}  // namespace pelionp::service
