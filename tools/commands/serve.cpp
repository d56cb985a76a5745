// `pelionp serve`: keep the board and offer the acquisition service's HTTP
// API (control, live data, events) until Ctrl-C or a client's shutdown.

#include <CLI/CLI.hpp>
#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>

#include "record/session/session.h"
#include "service/acquisition.h"
#include "service/auth.h"
#include "service/http_service.h"
#include "tools/commands/commands.h"
#include "tools/commands/device.h"
#include "tools/commands/path_option.h"
#include "tools/platform/console.h"

namespace pelionp::tool {

namespace {

using namespace std::chrono_literals;
constexpr auto INTERRUPT_POLL = 100ms;

struct Listen {
  std::string host;
  int port = 0;
};

std::expected<Listen, std::string> parse_listen(const std::string& text) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return std::unexpected(fmt::format("--listen {}: expected HOST:PORT", text));
  Listen out{text.substr(0, colon), 0};
  if (out.host.size() > 2 && out.host.front() == '[' && out.host.back() == ']') out.host = out.host.substr(1, out.host.size() - 2);
  const std::string port = text.substr(colon + 1);
  char extra = 0;
  if (std::sscanf(port.c_str(), "%d%c", &out.port, &extra) != 1 || out.port < 0 || out.port > 65535)
    return std::unexpected(fmt::format("--listen {}: '{}' is not a port 0..65535", text, port));
  return out;
}

std::filesystem::path default_token_file() {
#ifdef _WIN32
  const char* base = std::getenv("APPDATA");
#else
  const char* base = std::getenv("XDG_CONFIG_HOME");
  if (!base || !*base) {
    const char* home = std::getenv("HOME");
    if (home && *home) return std::filesystem::path(home) / ".config" / "pelionp" / "service-token";
  }
#endif
  if (base && *base) return std::filesystem::path(base) / "pelionp" / "service-token";
  return std::filesystem::path("pelionp-service-token");
}

class Serve final : public Command {
 public:
  std::string_view name() const override { return "serve"; }
  std::string_view description() const override {
    return "Keep the board and serve the acquisition API (control, live data, events) over HTTP";
  }
  void add_options(CLI::App& command) override {
    command.add_option("--listen", listen_, "Address and port to serve on; any other than loopback needs a token (port 0: any free port)")
        ->capture_default_str()
        ->type_name("HOST:PORT");
    commands::add_path_option(command, "--out", out_, "Directory recordings go into unless a request names one")->type_name("DIR");
    command.add_option("--token", token_, "The token clients send as 'Authorization: Bearer TOKEN' (default: from --token-file)")
        ->type_name("TOKEN");
    commands::add_path_option(command, "--token-file", token_file_,
                              fmt::format("Token file, created readable by its owner only at first start [default: {}]",
                                          default_token_file().string()))
        ->type_name("FILE");
    command.add_flag("--require-token", require_token_, "Require the token on a loopback address too");
    command.add_option("--ring-seconds", ring_seconds_, "Seconds of recent samples kept per probe for live reads")
        ->capture_default_str()
        ->check(CLI::Range(0.1, 60.0))
        ->type_name("N");
    commands::add_device_options(command, device_);
  }

  int run() override {
    if (auto r = serve(); !r) {
      spdlog::error("{}", r.error());
      return EXIT_FAILED;
    }
    return EXIT_OK;
  }

 private:
  std::expected<void, std::string> serve();

  commands::DeviceChoice device_;
  std::string listen_ = "127.0.0.1:8765";
  std::filesystem::path out_;
  std::string token_;
  std::filesystem::path token_file_;
  bool require_token_ = false;
  double ring_seconds_ = 4.0;
};

std::expected<void, std::string> Serve::serve() {
  auto listen = parse_listen(listen_);
  if (!listen) return std::unexpected(listen.error());
  service::AccessPolicy access;
  const bool loopback = service::is_loopback_host(listen->host);
  if (!token_.empty() && token_.size() < 16) return std::unexpected(std::string("--token: at least 16 characters"));
  if (!loopback || require_token_ || !token_.empty()) {
    if (!token_.empty()) {
      access.token = token_;
    } else {
      const auto file = token_file_.empty() ? default_token_file() : token_file_;
      auto token = service::load_or_create_token(file);
      if (!token) return std::unexpected(token.error());
      access.token = *token;
      fmt::print("Token: in {}\n", file.string());
    }
  }
  if (!out_.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(out_, ec);
    if (ec) return std::unexpected(fmt::format("--out {}: {}", out_.string(), ec.message()));
  }

  auto opened = commands::open_device(device_, /*paced=*/true);
  if (!opened) return std::unexpected(opened.error());
  spdlog::info("Board: {}", opened->description);
  auto session = record::Session::open(opened->device);
  if (!session) return std::unexpected(session.error());
  if (auto r = (*session)->detect(); !r) return std::unexpected(fmt::format("Detection failed: {}", r.error()));
  for (const auto& port : (*session)->ports()) {
    if (!port.headstage) spdlog::info("Port {}: no headstage ({})", port.port, port.headstage_error);
    for (size_t d = 0; d < port.dock_errors.size(); ++d)
      if (port.dock_errors[d]) spdlog::info("Port {} dock {}: no probe ({})", port.port, d, *port.dock_errors[d]);
  }
  spdlog::info("{} probe(s) found", (*session)->probes().size());

  service::Acquisition acquisition(std::move(*session),
                                   {.out = out_, .ring_seconds = ring_seconds_, .board_description = opened->description,
                                    .device = opened->device});
  service::HttpService http(acquisition, {.host = listen->host, .port = listen->port, .access = access});
  auto port = http.start();
  if (!port) return std::unexpected(port.error());
  const bool v6 = listen->host.find(':') != std::string::npos;
  fmt::print("Listening on http://{}{}{}:{}/api/v1/\n", v6 ? "[" : "", listen->host, v6 ? "]" : "", *port);
  std::fflush(stdout);

  platform::InterruptScope interrupt;
  while (!platform::InterruptScope::interrupted() && !http.wait_for_shutdown_request(INTERRUPT_POLL)) {
  }
  spdlog::info("{}: stopping, closing every file", http.shutdown_requested() ? "Shutdown requested" : "Interrupted");
  acquisition.shutdown();
  http.stop();
  return {};
}

}  // namespace

std::unique_ptr<Command> make_serve_command() { return std::make_unique<Serve>(); }

}  // namespace pelionp::tool
