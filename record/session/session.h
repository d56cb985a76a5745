#pragma once
// A session with one board: the device, its controller, the four ports and,
// after `detect`, every headstage and probe found on them. Commands build a
// session, work with its probes and drop it; teardown runs in reverse
// (probes with their headstages and ports, then the controller, which ends
// the device stream, then the device).
//
// Threading: configure and query from one thread. The probes' decoder
// threads run on their own and feed each probe's packet queue.

#include <array>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "pelio/basic_device.h"
#include "pelionp/controller/np_controller.h"
#include "pelionp/controller/np_port.h"
#include "pelionp/probes/np1/probe.h"
#include "pelionp/probes/np2/probe_variants.h"
#include "record/probe_kind.h"
#include "record/spikeglx/meta.h"

#include "record/export.h"

namespace pelionp::record {

using ProbePointer = std::variant<NP1::Probe*, NP2::NP2003NP2004*, NP2::NP2013NP2014*>;

// One probe found and initialised; the probe itself belongs to its
// headstage, which belongs to its port in the session.
struct PELIONP_RECORD_API ProbeHandle {
  int port = 0;
  int dock = 0;
  ProbeKind kind = ProbeKind::np1;
  std::string headstage_pn;
  ProbePointer probe;

  const ProbeInfo& info() const;
  demux::NeuropixelsWorker& worker() const;
  // Queued packets (NP1 superframes, NP2 sets); a counter, not the data.
  std::size_t queue_depth_approx() const;
  spikeglx::ProbeIdentity identity() const;
  // "port 1 dock 0"
  std::string place() const;
};

enum class HeadstageKind : uint8_t { np1, np2 };
PELIONP_RECORD_API std::string_view display_name(HeadstageKind kind) noexcept;

// What detection found on one port. For every place without a probe the
// reason says why (no headstage, an empty dock, a failure).
struct PELIONP_RECORD_API PortReport {
  int port = 0;
  std::optional<HeadstageKind> headstage;
  std::string headstage_pn;
  std::string headstage_error;                      // when `headstage` is empty
  std::array<std::optional<std::string>, 2> dock_errors;  // per dock without a probe
};

class PELIONP_RECORD_API Session {
 public:
  static constexpr int PORT_COUNT = 4;

  // Creates the controller on the device (keeping spdlog's level as the
  // program set it).
  static std::expected<std::unique_ptr<Session>, std::string> open(std::shared_ptr<pelio::BasicDevice> device);

  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session();

  // Detects a headstage on every port and initialises every probe it
  // carries (NP1: its probe; NP2: both docks). Places without a probe are
  // reported, not failed; only a board that cannot be talked to fails.
  std::expected<void, std::string> detect();

  const std::vector<PortReport>& ports() const noexcept { return reports_; }
  // In (port, dock) order.
  std::vector<ProbeHandle>& probes() noexcept { return probes_; }
  NPController& controller() noexcept { return *controller_; }
  // The headstage of a port, when one was detected.
  std::optional<HeadstageRef> headstage(int port);

 private:
  Session(std::shared_ptr<pelio::BasicDevice> device, std::shared_ptr<NPController> controller);

  std::shared_ptr<pelio::BasicDevice> device_;
  std::shared_ptr<NPController> controller_;
  std::array<std::shared_ptr<NPPort>, PORT_COUNT> ports_{};
  std::vector<PortReport> reports_;
  std::vector<ProbeHandle> probes_;
};

}  // namespace pelionp::record
