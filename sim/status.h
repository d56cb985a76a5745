#pragma once
// The board's status document, one line of JSON with the keys in this
// order, each followed by ": ", and no blank after the separating commas:
// {"Version": ...,"Build": ...,"Date": ...,"Mode": ...,"API": ...,
//  "Expander": false,"Capabilities": {"Device Timestamp": ["Internal"] }}
#include <optional>
#include <string>
#include <vector>

namespace pelionp::sim {

struct StatusFields {
    std::string version = "1.0.0";
    std::string build = "sim";
    std::string date = "2025-07-03 13:02:47";
    std::string mode = "np";  // bootloader, rhd, rhs or np
    std::optional<std::string> api = "1";  // empty: the member is left out
    bool expander = false;
    std::vector<std::string> timestamp_sources{"Internal"};
};

std::string status_document(const StatusFields& fields = {});

}  // namespace pelionp::sim
