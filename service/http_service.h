#pragma once
// The service's HTTP face: the versioned JSON control API, the live data
// and the event stream (server-sent events) over one Acquisition, served
// by cpp-httplib's server on a pool of request threads.
//
//   GET  /api/v1/status                     the state, the board, every probe
//   GET  /api/v1/probes/{i}/geometry        the sites of a probe's channels
//   POST /api/v1/probes/{i}/configure       IMRO table, reference, gains, calibration
//   POST /api/v1/streaming/start | stop
//   POST /api/v1/recording/start | stop
//   GET  /api/v1/probes/{i}/data            live samples (raw int16, headers describe them)
//   GET  /api/v1/events                     text/event-stream
//   POST /api/v1/shutdown                   stops the service
//
// Every refusal is a 4xx with a JSON body {"error": "..."}. Requests are
// checked before they reach the acquisition: the path's length, the token
// (when the policy needs one), the origin (no other origin's page may use
// the API), the body's size and JSON.
//
// Threading: start and stop from one thread (the owner's); handlers run on
// the server's threads.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <expected>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "service/acquisition.h"
#include "service/auth.h"

namespace httplib {
class Server;
}

namespace pelionp::service {

struct HttpOptions {
  std::string host = "127.0.0.1";
  int port = 8765;  // 0: any free port
  AccessPolicy access;
  std::size_t max_body_bytes = 1 << 20;
  int max_event_clients = 16;
  int threads = 24;
};

class HttpService {
 public:
  HttpService(Acquisition& acquisition, HttpOptions options);
  HttpService(const HttpService&) = delete;
  HttpService& operator=(const HttpService&) = delete;
  ~HttpService();  // stops

  // Binds and starts serving; returns the port bound.
  std::expected<int, std::string> start();
  // Stops serving and joins the server's threads.
  void stop();

  // A client asked the service to stop (POST /api/v1/shutdown).
  bool shutdown_requested() const noexcept { return shutdown_requested_.load(std::memory_order_acquire); }
  // Waits until a client asks the service to stop, or `timeout`.
  bool wait_for_shutdown_request(std::chrono::milliseconds timeout);

 private:
  void routes();

  Acquisition& acquisition_;
  HttpOptions options_;
  std::unique_ptr<httplib::Server> server_;
  std::thread listener_;
  std::atomic<int> event_clients_{0};
  std::atomic<bool> shutdown_requested_{false};
  std::mutex shutdown_mutex_;
  std::condition_variable shutdown_asked_;
};

}  // namespace pelionp::service
