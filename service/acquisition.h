#pragma once
// The acquisition a service runs: one session with its board, kept from
// start to end, in one of three states (a variant): idle; streaming (every
// probe configured and streaming into the live rings, nothing written);
// recording (a `record::Run` writing every chosen probe's files, its
// writers filling the live rings beside the files).
//
// Every operation returns what happened as JSON, or a Refusal naming what
// was wrong: a refusal never changes the state, and nothing a client asks
// can stop a recording other than asking to stop it.
//
// Threading: every public member from any thread (request threads); state
// changes are serialised by one mutex. A monitor thread ends a recording
// whose duration is reached (or whose writer failed) and reports lost
// samples as warnings. The live rings have their own locks and are never
// touched under the state mutex by the data path.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "pelio/basic_device.h"
#include "record/imro/configuration.h"
#include "record/session/run.h"
#include "record/session/session.h"
#include "record/spikeglx/meta.h"
#include "service/events.h"
#include "service/live_ring.h"

namespace pelionp::service {

// Why a request was refused; each maps onto one HTTP status.
enum class Refusal {
  bad_request,  // 400: the request does not say something the service can do
  not_found,    // 404: no such probe or band
  conflict,     // 409: not in this state (e.g. configure while recording)
  gone,         // 410: the samples have left the ring
  not_yet,      // 416: the samples are later than the newest one
  failed,       // 500: the board or the disk failed doing what was asked
};

struct Failure {
  Refusal kind = Refusal::bad_request;
  std::string message;
  nlohmann::json detail = nlohmann::json::object();
};

template <class T>
using Result = std::expected<T, Failure>;

struct AcquisitionOptions {
  std::filesystem::path out;   // where recordings go unless a request names a folder
  double ring_seconds = 4.0;   // of AP per probe (LF alike)
  std::string board_description;
  std::shared_ptr<pelio::BasicDevice> device;  // for the board's status document (may be null)
};

struct ConfigureRequest {
  int probe = 0;
  std::optional<std::string> imro;       // an IMRO table's text
  std::optional<std::string> reference;  // "external", "tip", "internal" (NP1), "on_shank" (NP2)
  std::optional<int> ap_gain;            // NP1 only
  std::optional<int> lf_gain;            // NP1 only
  std::optional<std::filesystem::path> calibration;  // DIR/<serial>/... files
};

struct RecordingRequest {
  std::string run;
  std::optional<std::filesystem::path> folder;
  std::optional<double> seconds;  // unset: until stopped
  std::vector<int> probes;        // empty: every probe
  std::string notes;
};

// One probe's band as the live data reads it.
struct LiveBand {
  const LiveRing* ring = nullptr;
  double sample_rate = 0;
  std::vector<double> microvolts_per_bit;  // per channel of the ring
};

class Acquisition {
 public:
  // `session` has detected its probes already.
  Acquisition(std::unique_ptr<record::Session> session, AcquisitionOptions options);
  Acquisition(const Acquisition&) = delete;
  Acquisition& operator=(const Acquisition&) = delete;
  ~Acquisition();  // stops streaming or recording, closing every file

  nlohmann::json status();
  Result<nlohmann::json> geometry(int probe);
  Result<nlohmann::json> configure(const ConfigureRequest& request);
  Result<nlohmann::json> start_streaming();
  Result<nlohmann::json> stop_streaming();
  Result<nlohmann::json> start_recording(const RecordingRequest& request);
  Result<nlohmann::json> stop_recording();
  // Stops whatever runs (closing every file) and ends the event streams.
  void shutdown();

  Result<LiveBand> live(int probe, std::string_view band) const;
  EventHub& events() noexcept { return events_; }
  std::size_t probe_count() const noexcept { return probes_.size(); }
  // "idle", "streaming", "recording"
  std::string state_name() const;

 private:
  struct ProbeState;
  class LiveReader;
  struct Idle {};
  struct Streaming {
    std::vector<std::shared_ptr<LiveReader>> readers;  // NB: shared_ptr: the type is complete only in the .cpp
    std::chrono::steady_clock::time_point since;
  };
  struct Recording {
    std::unique_ptr<record::Run> run;
    std::string name;
    std::filesystem::path folder;
    std::vector<int> probes;  // session indexes, in the run's order
    std::optional<double> seconds;
    nlohmann::json files;
    std::chrono::steady_clock::time_point since;
  };
  using State = std::variant<Idle, Streaming, Recording>;

  // Called by the thread that consumes a probe's packets, never under mutex_.
  void on_block(std::size_t probe, record::spikeglx::Band band, uint64_t first_index, std::size_t rows,
                std::span<const int16_t> samples, uint64_t first_timestamp);
  Result<void> prepare_probe(std::size_t index);
  Result<nlohmann::json> start_streaming_locked();
  Result<nlohmann::json> stop_streaming_locked();
  Result<nlohmann::json> finish_recording_locked(std::string_view why);
  void reset_rings();
  nlohmann::json probe_status(std::size_t index) const;
  void monitor();
  static std::string_view name_of(const State& state);
  void publish_state();

  AcquisitionOptions options_;
  std::unique_ptr<record::Session> session_;
  std::vector<std::unique_ptr<ProbeState>> probes_;
  EventHub events_;

  mutable std::mutex mutex_;
  State state_{Idle{}};
  bool stopping_ = false;
  std::condition_variable wake_monitor_;
  std::thread monitor_;
};

}  // namespace pelionp::service
