#include "sim/status.h"

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <nlohmann/json.hpp>

namespace pelionp::sim {
namespace {

std::string quoted(const std::string& text) { return nlohmann::json(text).dump(); }

}  // namespace

std::string status_document(const StatusFields& fields) {
    std::vector<std::string> sources;
    for (const auto& source : fields.timestamp_sources) sources.push_back(quoted(source));
    const std::string api = fields.api ? fmt::format(R"("API": {},)", quoted(*fields.api)) : "";
    return fmt::format(
        R"({{"Version": {},"Build": {},"Date": {},"Mode": {},{}"Expander": {},"Capabilities": {{"Device Timestamp": [{}] }}}})",
        quoted(fields.version), quoted(fields.build), quoted(fields.date), quoted(fields.mode), api,
        fields.expander ? "true" : "false", fmt::join(sources, ", "));
}

}  // namespace pelionp::sim
