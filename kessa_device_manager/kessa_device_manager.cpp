#include "kessa_device_manager/kessa_device_manager.h"

#include <memory>
#include <stdexcept>

#include <fmt/format.h>
#include <nlohmann/json.hpp>
#include <valijson/adapters/nlohmann_json_adapter.hpp>
#include <valijson/schema.hpp>
#include <valijson/schema_parser.hpp>
#include <valijson/validator.hpp>

#include "kessa_device_manager/kessa_device.h"

namespace pelio {
namespace {

constexpr const char* INFO = R"({
    "name":"Pelio Thunderbolt",
    "description":"The manager supports the latest Thunderbolt interfaces, ensuring low-latency and high-performance data transfer for advanced neuroscience research."
})";

// NB: exactly the three options, nothing more: hosts show and store this text.
constexpr const char* SCHEMA = R"({
    "type": "object",
    "properties": {
        "id": {
            "type": "integer",
            "default": 0
        },
        "mode": {
            "type": "string",
            "enum": [
                "bootloader",
                "rhd",
                "rhs",
                "np"
            ]
        },
        "skip_init": {
            "type": "boolean",
            "default": false,
            "description": "Skip FPGA initialization"
        }
    },
    "required": [
        "id"
    ]
})";

/// The parsed schema, built once.
const valijson::Schema& schema() {
    static const auto parsed = [] {
        auto s = std::make_unique<valijson::Schema>();
        const auto document = nlohmann::json::parse(SCHEMA);
        valijson::SchemaParser().populateSchema(valijson::adapters::NlohmannJsonAdapter(document), *s);
        return s;
    }();
    return *parsed;
}

// NB: valijson checks but does not fill defaults; the top-level properties'
// "default" members are all the schema has, so they are merged here.
void merge_defaults(nlohmann::json& configuration) {
    if (!configuration.is_object()) return;
    static const auto properties = nlohmann::json::parse(SCHEMA).at("properties");
    for (const auto& [key, property] : properties.items()) {
        if (property.contains("default") && !configuration.contains(key)) configuration[key] = property["default"];
    }
}

void validate(const nlohmann::json& configuration) {
    valijson::Validator validator;
    valijson::ValidationResults results;
    if (validator.validate(schema(), valijson::adapters::NlohmannJsonAdapter(configuration), &results)) return;
    std::string message;
    valijson::ValidationResults::Error error;
    while (results.popError(error)) {
        std::string where;
        for (const auto& part : error.context) where += part;
        if (!message.empty()) message += "; ";
        message += where + ": " + error.description;
    }
    throw std::runtime_error("Invalid configuration: " + message);
}

}  // namespace

kessa_device_manager::kessa_device_manager() : kessa_device_manager(xdma::platform::native_backend()) {}

kessa_device_manager::kessa_device_manager(std::shared_ptr<xdma::platform::Backend> backend, xdma::Timing timing)
    : backend_(std::move(backend)), timing_(timing) {}

kessa_device_manager::~kessa_device_manager() = default;

std::string kessa_device_manager::info() { return INFO; }

std::filesystem::path kessa_device_manager::location() { return xdma::platform::module_location(); }

std::string kessa_device_manager::list_devices() {
    const auto devices = backend_->list_devices();
    std::string list = "[";
    for (std::size_t id = 0; id < devices.size(); ++id) list += fmt::format("{}{{\"id\": {}}}", id ? "," : "", id);
    return list + "]";
}

std::string kessa_device_manager::device_options() { return SCHEMA; }

std::shared_ptr<BasicDevice> kessa_device_manager::create_device(const std::string& configuration_text) {
    nlohmann::json configuration;
    try {
        configuration = nlohmann::json::parse(configuration_text);
    } catch (const nlohmann::json::parse_error& e) {
        throw std::runtime_error(std::string("Failed to parse configuration: ") + e.what());
    }
    merge_defaults(configuration);
    validate(configuration);

    const auto id = configuration.at("id").get<int64_t>();
    const bool skip_init = configuration.at("skip_init").get<bool>();
    const auto devices = backend_->list_devices();
    if (id < 0 || static_cast<uint64_t>(id) >= devices.size()) throw std::out_of_range("invalid vector subscript");
    auto device = std::make_unique<KessaDevice>(backend_, devices[static_cast<std::size_t>(id)], skip_init, timing_,
                                                module_reference());

    if (configuration.contains("mode")) {
        const auto requested = configuration.at("mode").get<std::string>();
        const auto status = device->get_status();
        if (!status) throw std::runtime_error("Cannot get device status: " + status.error());
        if (nlohmann::json::parse(*status).at("Mode").get<std::string>() != requested &&
            device->reboot(requested) != 0) {
            throw std::runtime_error("Pelio Reboot Failed");
        }
    }

    const auto identifier = nlohmann::json{{"id", configuration.at("id")}}.dump();
    return manage_device(std::move(device), identifier);
}

}  // namespace pelio
