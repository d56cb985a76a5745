#pragma once
// The monitor page (web/: index.html, monitor.js, monitor.css), compiled
// into the service and served at / beside the API. The page uses nothing
// but the public API, as any client would.

#include <span>
#include <string_view>

namespace httplib {
class Server;
}

namespace pelionp::service {

struct WebFile {
  std::string_view path;  // "/index.html"
  std::string_view content_type;
  std::string_view content;
};

// The page's files (generated from web/ at build time).
std::span<const WebFile> monitor_files();

// GET / (index.html) and GET /<file> for each of the page's files.
void add_monitor_routes(httplib::Server& server);

}  // namespace pelionp::service
