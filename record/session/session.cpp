#include "record/session/session.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "pelionp/probes/np2/init.h"

namespace pelionp::record {

namespace {

template <class... F>
struct overloaded : F... {
  using F::operator()...;
};

}  // namespace

const ProbeInfo& ProbeHandle::info() const {
  return std::visit([](auto* p) -> const ProbeInfo& { return p->info; }, probe);
}

demux::NeuropixelsWorker& ProbeHandle::worker() const {
  return std::visit([](auto* p) -> demux::NeuropixelsWorker& { return p->stream().worker(); }, probe);
}

std::size_t ProbeHandle::queue_depth_approx() const {
  return std::visit([](auto* p) { return p->stream().packets().size_approx(); }, probe);
}

spikeglx::ProbeIdentity ProbeHandle::identity() const {
  const ProbeInfo& i = info();
  return {.kind = kind,
          .probe_pn = i.probe_pn,
          .serial = i.serial,
          .flex_pn = i.flex_pn,
          .headstage_pn = headstage_pn,
          .port = port,
          .dock = dock,
          .slot = 0};
}

std::string ProbeHandle::place() const {
  return kind == ProbeKind::np1 ? fmt::format("port {}", port) : fmt::format("port {} dock {}", port, dock);
}

std::string_view display_name(HeadstageKind kind) noexcept { return kind == HeadstageKind::np1 ? "NP1" : "NP2"; }

std::expected<std::unique_ptr<Session>, std::string> Session::open(std::shared_ptr<pelio::BasicDevice> device) {
  // NB: the controller sets the process-wide log level to info when it is
  // created; the program's own choice (--log-level) wins.
  const auto level = spdlog::get_level();
  auto controller = NPController::create(device);
  spdlog::set_level(level);
  if (!controller) return std::unexpected(fmt::format("Failed to create the controller: {}", controller.error()));
  return std::unique_ptr<Session>(new Session(std::move(device), std::move(*controller)));
}

Session::Session(std::shared_ptr<pelio::BasicDevice> device, std::shared_ptr<NPController> controller)
    : device_(std::move(device)), controller_(std::move(controller)) {}

Session::~Session() {
  probes_.clear();
  // Ports last-to-first: each takes its headstage and probes (and their
  // decoder threads) with it and releases its streams.
  for (auto it = ports_.rbegin(); it != ports_.rend(); ++it) it->reset();
  controller_.reset();
}

std::optional<HeadstageRef> Session::headstage(int port) {
  auto& p = ports_.at(static_cast<size_t>(port));
  if (!p || !p->headstage) return std::nullopt;
  return std::visit([](auto& h) -> HeadstageRef { return std::ref(h); }, *p->headstage);
}

std::expected<void, std::string> Session::detect() {
  reports_.clear();
  probes_.clear();
  for (int p = 0; p < PORT_COUNT; ++p) {
    auto np_port = controller_->get_np_port(p);
    if (!np_port) return std::unexpected(fmt::format("Port {}: {}", p, np_port.error()));
    ports_[static_cast<size_t>(p)] = *np_port;
    PortReport report;
    report.port = p;

    auto detected = controller_->detect_headstage(**np_port);
    if (!detected) {
      spdlog::debug("Port {}: {}", p, detected.error());
      report.headstage_error = detected.error();
      reports_.push_back(std::move(report));
      continue;
    }
    std::visit(overloaded{
                   [&](NP1::Headstage& hs) {
                     report.headstage = HeadstageKind::np1;
                     report.headstage_pn = hs.part_number;
                     auto probe = NP1::Probe::init(hs.serializer);
                     if (!probe) {
                       report.dock_errors[0] = fmt::format("NP1 probe init failed: {}", probe.error());
                       return;
                     }
                     hs.probe = std::move(*probe);
                     probes_.push_back({.port = p, .dock = 0, .kind = ProbeKind::np1,
                                        .headstage_pn = hs.part_number, .probe = hs.probe.get()});
                   },
                   [&](NP2::Headstage& hs) {
                     report.headstage = HeadstageKind::np2;
                     report.headstage_pn = hs.part_number;
                     for (int d = 0; d < 2; ++d) {
                       auto probe = NP2::init(hs.serializer, d == 0 ? NP2::Dock::DOCK0 : NP2::Dock::DOCK1);
                       if (!probe) {
                         report.dock_errors[static_cast<size_t>(d)] = probe.error();
                         continue;
                       }
                       auto& slot = hs.probes[static_cast<size_t>(d)];
                       slot = std::move(*probe);
                       ProbeHandle handle{.port = p, .dock = d, .kind = ProbeKind::np2_single_shank,
                                          .headstage_pn = hs.part_number, .probe = {}};
                       std::visit(overloaded{[&](NP2::NP2003NP2004& single) { handle.probe = &single; },
                                             [&](NP2::NP2013NP2014& four) {
                                               handle.kind = ProbeKind::np2_four_shank;
                                               handle.probe = &four;
                                             }},
                                  *slot);
                       probes_.push_back(std::move(handle));
                     }
                   }},
               *detected);
    reports_.push_back(std::move(report));
  }
  return {};
}

}  // namespace pelionp::record
