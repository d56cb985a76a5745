#include "kessa_device_manager/status.h"

#include <array>
#include <exception>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>
#include <spdlog/spdlog.h>

#include "kessa_device_manager/identity.h"

namespace pelio::xdma {
namespace {

constexpr uint32_t LEGACY_SIGNATURE_FIRST = 0x4E500000;  // "NP" in the top half
constexpr uint32_t LEGACY_SIGNATURE_LAST = 0x4E50FFFF;
constexpr std::size_t STATUS_CHARACTERS = 256;

std::string json_string(const std::string& text) { return nlohmann::json(text).dump(); }

StatusMap legacy_status_map(Handler& handler) {
    spdlog::warn("Legacy Neuropixels firmware detected, please update the firmware.");
    const auto timestamp = bitstream_timestamp(handler.read_register(LEGACY_TIMESTAMP_ADDRESS));
    return {{"Build", timestamp},
            {"Version", timestamp},
            {"Date", timestamp},
            {"Mode", "np"},
            {"API", "0"},
            {"internal_clock_timestamp", "false"},
            {"synclink_clock_timestamp", "false"}};
}

std::array<uint32_t, IDENTITY_BLOCK_WORDS> read_identity_block(Handler& handler) {
    std::array<uint32_t, IDENTITY_BLOCK_WORDS> block{};
    for (uint32_t i = 0; i < IDENTITY_BLOCK_WORDS; ++i) block[i] = handler.read_register(IDENTITY_BLOCK_ADDRESS + 4 * i);
    return block;
}

}  // namespace

std::optional<uint32_t> legacy_signature(Handler& handler) {
    const uint32_t signature = handler.read_register(LEGACY_SIGNATURE_ADDRESS);
    if (signature < LEGACY_SIGNATURE_FIRST || signature > LEGACY_SIGNATURE_LAST) return std::nullopt;
    return signature;
}

std::string legacy_model(uint32_t signature) { return (signature & 0xF) == 1 ? "Alder 2" : "Birch 2"; }

std::string bitstream_timestamp(uint32_t word) {
    const unsigned day = (word >> 27) & 0x1F;
    const unsigned month = (word >> 23) & 0xF;
    const unsigned year = ((word >> 17) & 0x3F) + 2000;
    const unsigned hour = (word >> 12) & 0x1F;
    const unsigned minute = (word >> 6) & 0x3F;
    const unsigned second = word & 0x3F;
    return fmt::format("{:4d}-{:02d}-{:02d} {:02d}:{:02d}:{:02d}", year, month, day, hour, minute, second);
}

std::optional<StatusMap> parse_status_text(std::string_view text) {
    StatusMap map{{"internal_clock_timestamp", "false"}, {"synclink_clock_timestamp", "false"}};
    std::size_t start = 0;
    while (start <= text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        const auto line = text.substr(start, end - start);
        start = end + 1;
        const auto separator = line.find(": ");
        if (separator == std::string_view::npos) continue;
        std::string key(line.substr(0, separator));
        std::string value(line.substr(separator + 2));
        if (key == "Git") {
            key = "Version";
            value = value.substr(0, value.find(" -"));
        } else if (key == "Target") {
            key = "Mode";
        }
        map[std::move(key)] = std::move(value);
    }

    if (auto build = map.find("Build"); build != map.end()) {
        if (std::string_view(build->second).substr(0, INTERNAL_TIMESTAMP_BUILD.size()) > INTERNAL_TIMESTAMP_BUILD) {
            map["internal_clock_timestamp"] = "true";
        }
    }
    if (map.contains("API")) {
        map["synclink_clock_timestamp"] = "true";
    } else {
        map["API"] = "0";
    }
    if (!map.contains("Date") && map.contains("Build")) map["Date"] = map["Build"];
    if (!map.contains("Mode")) {
        spdlog::error("Status does not contain Mode: {}", text);
        return std::nullopt;
    }
    return map;
}

std::optional<StatusMap> read_status_map(Handler& handler) {
    if (legacy_signature(handler)) return legacy_status_map(handler);
    std::string text;
    for (uint32_t i = 0; i < STATUS_CHARACTERS; ++i) {
        const auto c = static_cast<char>(handler.read_register(4 * i) & 0xFF);
        if (c == '\0') break;
        text.push_back(c);
    }
    return parse_status_text(text);
}

std::optional<StatusMap> try_read_status_map(Handler& handler) {
    try {
        return read_status_map(handler);
    } catch (const std::exception& e) {
        spdlog::error("Cannot Get Status: {}", e.what());
        return std::nullopt;
    }
}

namespace {

std::string format_status_document(const StatusMap& map, bool expander) {
    std::vector<std::string> sources;
    if (map.at("internal_clock_timestamp") == "true") sources.push_back(json_string("Internal"));
    if (map.at("synclink_clock_timestamp") == "true") sources.push_back(json_string("SyncLink"));
    return fmt::format(
        R"({{"Version": {},"Build": {},"Date": {},"Mode": {},"API": {},"Expander": {},)"
        R"("Capabilities": {{"Device Timestamp": [{}] }}}})",
        json_string(map.at("Version")), json_string(map.at("Build")), json_string(map.at("Date")),
        json_string(map.at("Mode")), json_string(map.at("API")), expander, fmt::join(sources, ", "));
}

}  // namespace

std::expected<std::string, std::string> status_document(Handler& handler) {
    // NB: the formatting runs inside the try as well: a status value that is
    // not valid UTF-8 makes the JSON quoting throw, and the board's text is
    // outside our control.
    if (auto unusable = handler.unusable()) return std::unexpected(std::move(*unusable));
    try {
        const auto map = read_status_map(handler);
        if (!map) return std::unexpected("Failed to read status");
        for (const char* key : {"Build", "Mode", "Version"}) {
            if (!map->contains(key)) return std::unexpected("Incomplete status information");
        }
        const bool expander =
            map->at("API") != "0" && (handler.read_register(EXPANDER_ADDRESS) & 0xFF) == 0x81;
        return format_status_document(*map, expander);
    } catch (const std::exception& e) {
        spdlog::error("Cannot Get Status: {}", e.what());
        return std::unexpected("Failed to read status");
    }
}

std::string identity_model(Handler& handler) {
    const auto identity = decode_identity(read_identity_block(handler));
    return identity ? identity->model : std::string{};
}

std::string info_document(Handler& handler) {
    nlohmann::ordered_json info;
    if (const auto signature = legacy_signature(handler)) {
        info["Pelio Model"] = legacy_model(*signature);
        info["Serial Number"] = fmt::format("{:08X}", handler.read_register(LEGACY_SERIAL_ADDRESS));
        info["RHD"] = (*signature >> 8) & 0xF;
        info["NP"] = (*signature >> 4) & 0xF;
        return info.dump();
    }
    const auto identity = decode_identity(read_identity_block(handler));
    const auto id = fmt::format("{:08X}{:08X}", handler.read_register(BOARD_ID_HIGH_ADDRESS),
                                handler.read_register(BOARD_ID_LOW_ADDRESS));
    if (!identity) {
        info["Error"] = "Invalid";
        info["ID"] = id;
        return info.dump();
    }
    info["FPGA Vender"] = identity->fpga_vendor;
    info["Flash Memory"] = identity->flash_memory;
    info["Pelio Model"] = identity->model;
    info["Serial Number"] = fmt::format("{:08X}", identity->serial_number);
    info["RHD"] = identity->rhd;
    info["RHS"] = identity->rhs;
    info["NP"] = identity->np;
    info["ID"] = id;
    return info.dump();
}

}  // namespace pelio::xdma
