#include "service/http_service.h"

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <httplib.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <limits>

#include "service/monitor_page.h"

namespace pelionp::service {

namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;

static_assert(std::endian::native == std::endian::little, "live data goes out as the machine's little-endian int16");

constexpr std::size_t MAX_PATH_LENGTH = 512;
constexpr std::size_t MAX_VALUES_PER_FETCH = 12'000'000;  // a little over a second of 384 AP channels
constexpr int MAX_WAIT_MS = 2000;
constexpr auto EVENT_WAIT = 1s;
constexpr int KEEP_ALIVE_EVERY = 15;  // event waits without an event

// NB: this cpp-httplib listens with a backlog of 5: connections that come
// faster than its accept loop takes them wait a TCP retransmission (a
// second). Listening again on the bound socket widens the backlog.
class Server final : public httplib::Server {
 public:
  void widen_backlog() { (void)::listen(svr_sock_, SOMAXCONN); }
};

int status_of(Refusal kind) {
  switch (kind) {
    case Refusal::bad_request: return 400;
    case Refusal::not_found: return 404;
    case Refusal::conflict: return 409;
    case Refusal::gone: return 410;
    case Refusal::not_yet: return 416;
    case Refusal::insufficient_storage: return 507;
    case Refusal::failed: return 500;
  }
  return 500;
}

void reply(httplib::Response& res, int status, const json& body) {
  res.status = status;
  res.set_content(body.dump(), "application/json");
}

void refuse(httplib::Response& res, const Failure& failure) {
  json body = failure.detail.is_object() ? failure.detail : json::object();
  body["error"] = failure.message;
  reply(res, status_of(failure.kind), body);
}

void refuse(httplib::Response& res, int status, std::string message) { reply(res, status, {{"error", std::move(message)}}); }

template <class T>
void answer(httplib::Response& res, const Result<T>& result) {
  if (result) reply(res, 200, *result);
  else refuse(res, result.error());
}

Result<json> body_object(const httplib::Request& req) {
  if (req.body.empty()) return json::object();
  auto parsed = json::parse(req.body, nullptr, false);
  if (parsed.is_discarded()) return std::unexpected(Failure{Refusal::bad_request, "The body is not JSON", {}});
  if (!parsed.is_object()) return std::unexpected(Failure{Refusal::bad_request, "The body must be a JSON object", {}});
  return parsed;
}

// Rejects fields the call does not take: a misspelt field is a mistake the
// client wants to hear of, not a default silently used.
Result<void> only_fields(const json& body, std::initializer_list<std::string_view> known) {
  for (const auto& [key, value] : body.items())
    if (std::ranges::find(known, key) == known.end())
      return std::unexpected(Failure{Refusal::bad_request,
                                     fmt::format("Unknown field '{}' (known: {})", key.substr(0, 40), fmt::join(known, ", ")), {}});
  return {};
}

template <class T>
Result<std::optional<T>> field(const json& body, const char* name) {
  auto it = body.find(name);
  if (it == body.end() || it->is_null()) return std::optional<T>{};
  if constexpr (std::is_same_v<T, std::string>) {
    if (!it->is_string()) return std::unexpected(Failure{Refusal::bad_request, fmt::format("'{}' must be a string", name), {}});
    return std::optional<T>{it->template get<std::string>()};
  } else if constexpr (std::is_same_v<T, double>) {
    if (!it->is_number()) return std::unexpected(Failure{Refusal::bad_request, fmt::format("'{}' must be a number", name), {}});
    return std::optional<T>{it->template get<double>()};
  } else if constexpr (std::is_same_v<T, int>) {
    if (!it->is_number_integer() || it->template get<int64_t>() < std::numeric_limits<int>::min() ||
        it->template get<int64_t>() > std::numeric_limits<int>::max())
      return std::unexpected(Failure{Refusal::bad_request, fmt::format("'{}' must be an integer", name), {}});
    return std::optional<T>{it->template get<int>()};
  } else {
    static_assert(std::is_same_v<T, std::vector<int>>);
    if (!it->is_array()) return std::unexpected(Failure{Refusal::bad_request, fmt::format("'{}' must be a list of integers", name), {}});
    std::vector<int> out;
    for (const auto& v : *it) {
      if (!v.is_number_integer() || v.get<int64_t>() < 0 || v.get<int64_t>() > 1000)
        return std::unexpected(Failure{Refusal::bad_request, fmt::format("'{}' must be a list of probe indexes", name), {}});
      out.push_back(v.get<int>());
    }
    return std::optional<T>{out};
  }
}

std::optional<uint64_t> parse_unsigned(std::string_view text) {
  uint64_t value = 0;
  const auto* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || text.empty()) return std::nullopt;
  return value;
}

// "0,1,2" or ranges "0-63,100": channel numbers below `limit`, at most
// `limit` of them.
std::expected<std::vector<int>, std::string> parse_channels(std::string_view text, std::size_t limit) {
  std::vector<int> out;
  while (!text.empty()) {
    const auto comma = text.find(',');
    const auto item = text.substr(0, comma);
    text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
    const auto dash = item.find('-');
    const auto first = parse_unsigned(item.substr(0, dash));
    const auto last = dash == std::string_view::npos ? first : parse_unsigned(item.substr(dash + 1));
    if (!first || !last || *first > *last || *last >= limit)
      return std::unexpected(fmt::format("channels: '{}' is not a channel or range of channels 0..{}", item.substr(0, 20), limit - 1));
    if (out.size() + (*last - *first + 1) > limit) return std::unexpected(fmt::format("channels: more than {} channels", limit));
    for (uint64_t c = *first; c <= *last; ++c) out.push_back(static_cast<int>(c));
  }
  if (out.empty()) return std::unexpected(std::string("channels: the list is empty"));
  return out;
}

std::optional<int> probe_of(const httplib::Request& req) {
  const auto value = parse_unsigned(req.matches[1].str());
  if (!value || *value > 1000) return std::nullopt;
  return static_cast<int>(*value);
}

std::string join_channels(const std::vector<int>& channels) { return fmt::format("{}", fmt::join(channels, ",")); }

}  // namespace

HttpService::HttpService(Acquisition& acquisition, HttpOptions options)
    : acquisition_(acquisition), options_(std::move(options)), server_(std::make_unique<Server>()) {
  routes();
}

HttpService::~HttpService() { stop(); }

bool HttpService::wait_for_shutdown_request(std::chrono::milliseconds timeout) {
  std::unique_lock lock(shutdown_mutex_);
  return shutdown_asked_.wait_for(lock, timeout, [&] { return shutdown_requested(); });
}

std::expected<int, std::string> HttpService::start() {
  int port = options_.port;
  if (port == 0) {
    port = server_->bind_to_any_port(options_.host);
    if (port < 0) return std::unexpected(fmt::format("Failed to listen on {} (any port)", options_.host));
  } else if (!server_->bind_to_port(options_.host, port)) {
    return std::unexpected(fmt::format("Failed to listen on {}:{} (in use, or not an address of this machine?)", options_.host, port));
  }
  static_cast<Server&>(*server_).widen_backlog();
  listener_ = std::thread([this] { server_->listen_after_bind(); });
  return port;
}

void HttpService::stop() {
  if (!listener_.joinable()) return;
  server_->stop();
  listener_.join();
}

void HttpService::routes() {
  auto& s = *server_;
  const int threads = options_.threads;
  s.new_task_queue = [threads] { return new httplib::ThreadPool(static_cast<std::size_t>(threads)); };
  s.set_payload_max_length(options_.max_body_bytes);
  s.set_read_timeout(5s);
  s.set_write_timeout(5s);
  // NB: short: stopping the server waits for idle kept-alive connections.
  s.set_keep_alive_timeout(2);
  s.set_tcp_nodelay(true);

  // NB: checked in the handlers, after the server has read the body: a
  // refusal before it would leave the body in the connection, read as the
  // next request's start.
  auto admitted = [this](const httplib::Request& req, httplib::Response& res) -> bool {
    if (req.path.size() > MAX_PATH_LENGTH) {
      refuse(res, 414, fmt::format("The path is longer than {} characters", MAX_PATH_LENGTH));
      return false;
    }
    if (options_.access.needs_token()) {
      std::optional<std::string> authorization;
      if (req.has_header("Authorization")) authorization = req.get_header_value("Authorization");
      if (!options_.access.admits(authorization)) {
        res.set_header("WWW-Authenticate", "Bearer");
        refuse(res, 401, authorization ? "The token is wrong" : "A token is needed: send 'Authorization: Bearer <token>'");
        return false;
      }
    }
    // NB: no CORS: a page of another origin gets no answer, and what it
    // sends (a form's POST needs no preflight) is refused before it acts.
    if (req.has_header("Origin")) {
      const auto origin = req.get_header_value("Origin");
      const auto host = req.get_header_value("Host");
      if (origin != "http://" + host) {
        refuse(res, 403, fmt::format("Requests from another origin ({}) are refused", origin.substr(0, 100)));
        return false;
      }
    }
    return true;
  };
  auto guarded = [admitted](httplib::Server::Handler handler) {
    return [admitted, handler = std::move(handler)](const httplib::Request& req, httplib::Response& res) {
      if (admitted(req, res)) handler(req, res);
    };
  };
  s.set_error_handler(httplib::Server::HandlerWithResponse([admitted](const httplib::Request& req, httplib::Response& res) {
    using R = httplib::Server::HandlerResponse;
    if (!res.body.empty()) return R::Unhandled;
    if (res.status == 404 && !admitted(req, res)) return R::Handled;
    std::string message = fmt::format("{} {}: refused (HTTP {})", req.method.substr(0, 10), req.path.substr(0, 100), res.status);
    if (res.status == 404) message = fmt::format("No such call: {} {}", req.method.substr(0, 10), req.path.substr(0, 100));
    if (res.status == 413) message = "The request body is too large";
    reply(res, res.status, {{"error", message}});
    return R::Handled;
  }));
  s.set_exception_handler([](const httplib::Request& req, httplib::Response& res, std::exception_ptr ep) {
    std::string what = "unknown exception";
    try {
      std::rethrow_exception(ep);
    } catch (const std::exception& e) {
      what = e.what();
    } catch (...) {
    }
    spdlog::error("{} {}: {}", req.method, req.path.substr(0, 100), what);
    refuse(res, 500, fmt::format("Internal error: {}", what));
  });

  add_monitor_routes(s);  // the monitor page at /
  s.Get("/api/v1/status", guarded([this](const httplib::Request&, httplib::Response& res) { reply(res, 200, acquisition_.status()); }));

  s.Get(R"(/api/v1/probes/(\d{1,4})/geometry)", guarded([this](const httplib::Request& req, httplib::Response& res) {
    const auto probe = probe_of(req);
    if (!probe) return refuse(res, 404, "No such probe");
    answer(res, acquisition_.geometry(*probe));
  }));

  s.Post(R"(/api/v1/probes/(\d{1,4})/configure)", guarded([this](const httplib::Request& req, httplib::Response& res) {
    const auto probe = probe_of(req);
    if (!probe) return refuse(res, 404, "No such probe");
    auto body = body_object(req);
    if (!body) return refuse(res, body.error());
    if (auto r = only_fields(*body, {"imro", "reference", "ap_gain", "lf_gain", "calibration"}); !r) return refuse(res, r.error());
    ConfigureRequest request{.probe = *probe, .imro = {}, .reference = {}, .ap_gain = {}, .lf_gain = {}, .calibration = {}};
    auto imro = field<std::string>(*body, "imro");
    auto reference = field<std::string>(*body, "reference");
    auto ap_gain = field<int>(*body, "ap_gain");
    auto lf_gain = field<int>(*body, "lf_gain");
    auto calibration = field<std::string>(*body, "calibration");
    for (const Failure* f : {imro ? nullptr : &imro.error(), reference ? nullptr : &reference.error(),
                             ap_gain ? nullptr : &ap_gain.error(), lf_gain ? nullptr : &lf_gain.error(),
                             calibration ? nullptr : &calibration.error()})
      if (f) return refuse(res, *f);
    request.imro = *imro;
    request.reference = *reference;
    request.ap_gain = *ap_gain;
    request.lf_gain = *lf_gain;
    if (*calibration) request.calibration = std::filesystem::path(std::u8string(calibration->value().begin(), calibration->value().end()));
    answer(res, acquisition_.configure(request));
  }));

  s.Post("/api/v1/streaming/start", guarded([this](const httplib::Request&, httplib::Response& res) { answer(res, acquisition_.start_streaming()); }));
  s.Post("/api/v1/streaming/stop", guarded([this](const httplib::Request&, httplib::Response& res) { answer(res, acquisition_.stop_streaming()); }));

  s.Post("/api/v1/recording/start", guarded([this](const httplib::Request& req, httplib::Response& res) {
    auto body = body_object(req);
    if (!body) return refuse(res, body.error());
    if (auto r = only_fields(*body, {"run", "folder", "seconds", "probes", "notes", "gate"}); !r) return refuse(res, r.error());
    auto run = field<std::string>(*body, "run");
    auto folder = field<std::string>(*body, "folder");
    auto seconds = field<double>(*body, "seconds");
    auto probes = field<std::vector<int>>(*body, "probes");
    auto notes = field<std::string>(*body, "notes");
    auto gate = field<int>(*body, "gate");
    for (const Failure* f : {run ? nullptr : &run.error(), folder ? nullptr : &folder.error(), seconds ? nullptr : &seconds.error(),
                             probes ? nullptr : &probes.error(), notes ? nullptr : &notes.error(), gate ? nullptr : &gate.error()})
      if (f) return refuse(res, *f);
    if (!*run) return refuse(res, 400, "'run' (the run's name) is required");
    if (*notes && (*notes)->size() > 64 * 1024) return refuse(res, 400, "'notes' is longer than 64 KiB");
    RecordingRequest request{.run = **run, .folder = {}, .seconds = *seconds, .probes = probes->value_or(std::vector<int>{}),
                             .notes = notes->value_or(""), .gate = *gate};
    if (*folder) request.folder = std::filesystem::path(std::u8string((*folder)->begin(), (*folder)->end()));
    answer(res, acquisition_.start_recording(request));
  }));
  s.Post("/api/v1/recording/stop", guarded([this](const httplib::Request&, httplib::Response& res) { answer(res, acquisition_.stop_recording()); }));

  s.Post("/api/v1/shutdown", guarded([this](const httplib::Request&, httplib::Response& res) {
    {
      std::lock_guard lock(shutdown_mutex_);
      shutdown_requested_.store(true, std::memory_order_release);
    }
    shutdown_asked_.notify_all();
    reply(res, 202, {{"state", "stopping"}});
  }));

  s.Get(R"(/api/v1/probes/(\d{1,4})/data)", guarded([this](const httplib::Request& req, httplib::Response& res) {
    const auto probe = probe_of(req);
    if (!probe) return refuse(res, 404, "No such probe");
    for (const auto& [key, value] : req.params)
      if (key != "band" && key != "start" && key != "count" && key != "channels" && key != "decimate" && key != "reduce" &&
          key != "fallback" && key != "wait_ms")
        return refuse(res, 400,
                      fmt::format("Unknown parameter '{}' (known: band, start, count, channels, decimate, reduce, fallback, wait_ms)",
                                  key.substr(0, 40)));
    const std::string band = req.has_param("band") ? req.get_param_value("band") : "ap";
    auto live = acquisition_.live(*probe, band);
    if (!live) return refuse(res, live.error());
    const LiveRing& ring = *live->ring;
    RingRequest request;
    request.count = 30000;
    if (req.has_param("start")) {
      const auto start = parse_unsigned(req.get_param_value("start"));
      if (!start) return refuse(res, 400, "start must be a sample index (a non-negative integer)");
      request.start = *start;
    }
    if (req.has_param("count")) {
      const auto count = parse_unsigned(req.get_param_value("count"));
      if (!count || *count == 0 || *count > ring.capacity())
        return refuse(res, 400, fmt::format("count must be 1..{} (the ring's length)", ring.capacity()));
      request.count = static_cast<std::size_t>(*count);
    }
    if (req.has_param("decimate")) {
      const auto d = parse_unsigned(req.get_param_value("decimate"));
      if (!d || *d == 0 || *d > ring.capacity()) return refuse(res, 400, fmt::format("decimate must be 1..{}", ring.capacity()));
      request.decimation = static_cast<std::size_t>(*d);
    }
    if (req.has_param("reduce")) {
      const auto reduce = req.get_param_value("reduce");
      if (reduce == "minmax") request.reduction = Reduction::minmax;
      else if (reduce != "pick") return refuse(res, 400, fmt::format("reduce must be 'pick' or 'minmax', not '{}'", reduce.substr(0, 20)));
    }
    // fallback=latest: a start that left the ring or is not there yet (the
    // stream began anew) gets the latest samples instead of a refusal, for
    // a display that goes on from its last block and only wants to know
    // where the new one begins.
    bool latest_instead = false;
    if (req.has_param("fallback")) {
      const auto fallback = req.get_param_value("fallback");
      if (fallback == "latest") latest_instead = true;
      else if (fallback != "refuse") return refuse(res, 400, fmt::format("fallback must be 'refuse' or 'latest', not '{}'", fallback.substr(0, 20)));
    }
    if (req.has_param("channels")) {
      auto channels = parse_channels(req.get_param_value("channels"), ring.channels());
      if (!channels) return refuse(res, 400, channels.error());
      request.channels = std::move(*channels);
    }
    const std::size_t width = request.channels.empty() ? ring.channels() : request.channels.size();
    if (request.count * width > MAX_VALUES_PER_FETCH)
      return refuse(res, 400, fmt::format("count x channels is more than {} values: ask in pieces", MAX_VALUES_PER_FETCH));
    int wait_ms = 0;
    if (req.has_param("wait_ms")) {
      const auto w = parse_unsigned(req.get_param_value("wait_ms"));
      if (!w || *w > MAX_WAIT_MS) return refuse(res, 400, fmt::format("wait_ms must be 0..{}", MAX_WAIT_MS));
      wait_ms = static_cast<int>(*w);
    }
    RingRead read = wait_ms > 0 ? ring.wait_and_read(request, std::chrono::milliseconds(wait_ms)) : ring.read(request);
    if (latest_instead && !std::holds_alternative<RingBlock>(read)) {
      request.start.reset();
      read = ring.read(request);
    }
    if (const auto* gone = std::get_if<RingGone>(&read)) {
      return reply(res, 410, {{"error", fmt::format("Samples from {} have already left the ring: the oldest kept is {}", *request.start,
                                                    gone->extent.oldest)},
                              {"oldest", gone->extent.oldest}, {"next", gone->extent.next}});
    }
    if (const auto* future = std::get_if<RingFuture>(&read)) {
      return reply(res, 416, {{"error", fmt::format("Sample {} is not there yet: the next sample will be {}", *request.start,
                                                    future->extent.next)},
                              {"oldest", future->extent.oldest}, {"next", future->extent.next}});
    }
    const auto& block = std::get<RingBlock>(read);
    const auto extent = ring.extent();
    std::vector<double> scale;
    for (int c : block.channels) scale.push_back(live->microvolts_per_bit.at(static_cast<std::size_t>(c)));
    res.set_header("X-First-Index", std::to_string(block.first_index));
    res.set_header("X-Count", std::to_string(block.rows));
    res.set_header("X-Channels", join_channels(block.channels));
    res.set_header("X-Decimation", std::to_string(block.decimation));
    // minmax: the body holds per bin a row of minima, then one of maxima.
    res.set_header("X-Reduce", block.reduction == Reduction::minmax ? "minmax" : "pick");
    res.set_header("X-Next-Index", std::to_string(block.first_index + block.rows * block.decimation));
    res.set_header("X-Oldest-Index", std::to_string(extent.oldest));
    res.set_header("X-First-Timestamp", std::to_string(block.first_timestamp));
    res.set_header("X-Sample-Rate", fmt::format("{}", live->sample_rate / static_cast<double>(block.decimation)));
    const bool uniform = std::ranges::all_of(scale, [&](double v) { return v == scale.front(); });
    res.set_header("X-Scale-Uv", uniform && !scale.empty() ? fmt::format("{:.9g}", scale.front()) : fmt::format("{:.9g}", fmt::join(scale, ",")));
    res.status = 200;
    res.set_content(std::string(reinterpret_cast<const char*>(block.samples.data()), block.samples.size() * sizeof(int16_t)),
                    "application/octet-stream");
  }));

  s.Get("/api/v1/events", guarded([this](const httplib::Request& req, httplib::Response& res) {
    if (event_clients_.fetch_add(1) >= options_.max_event_clients) {
      event_clients_.fetch_sub(1);
      return refuse(res, 503, fmt::format("More than {} event streams are open", options_.max_event_clients));
    }
    uint64_t last = acquisition_.events().last_id();
    if (req.has_header("Last-Event-ID"))
      if (auto id = parse_unsigned(req.get_header_value("Last-Event-ID"))) last = std::min(*id, last);
    struct Stream {
      uint64_t last;
      int quiet = 0;
      bool greeted = false;
    };
    auto stream = std::make_shared<Stream>(Stream{.last = last});
    res.set_header("Cache-Control", "no-cache");
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, stream](std::size_t, httplib::DataSink& sink) {
          auto send = [&](uint64_t id, std::string_view type, const json& data) {
            const std::string text = fmt::format("id: {}\nevent: {}\ndata: {}\n\n", id, type, data.dump());
            return sink.write(text.data(), text.size());
          };
          if (!stream->greeted) {
            stream->greeted = true;
            // The state now, so a client needs no status call to begin.
            return send(stream->last, "hello", {{"state", acquisition_.state_name()}});
          }
          auto& hub = acquisition_.events();
          if (hub.closed()) return false;
          const auto events = hub.after(stream->last, EVENT_WAIT);
          if (hub.closed()) return false;
          if (events.empty()) {
            if (++stream->quiet < KEEP_ALIVE_EVERY) return sink.is_writable();
            stream->quiet = 0;
            return sink.write(": keep-alive\n\n", 14);
          }
          stream->quiet = 0;
          for (const auto& e : events) {
            json data = e.data;
            data["type"] = e.type;
            if (!send(e.id, e.type, data)) return false;
            stream->last = e.id;
          }
          return true;
        },
        [this](bool) { event_clients_.fetch_sub(1); });
  }));
}

}  // namespace pelionp::service
