#include "service/monitor_page.h"

#include <httplib.h>

#include <string>

namespace pelionp::service {

void add_monitor_routes(httplib::Server& server) {
  for (const WebFile& file : monitor_files()) {
    const auto handler = [&file](const httplib::Request&, httplib::Response& res) {
      // NB: no caching: a page from an older service must not outlive it.
      res.set_header("Cache-Control", "no-cache");
      res.set_content(std::string(file.content), std::string(file.content_type));
    };
    server.Get(std::string(file.path), handler);
    if (file.path == "/index.html") server.Get("/", handler);
  }
}

}  // namespace pelionp::service
