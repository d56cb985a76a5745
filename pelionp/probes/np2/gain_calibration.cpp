#include "pelionp/probes/np2/gain_calibration.h"

#include <cmath>
#include <optional>
#include <stdexcept>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

namespace pelionp::NP2 {

namespace {

struct GainLine {
    int channel;
    float gain;
};

std::optional<GainLine> parse_line(const std::string& line) {
    const auto first = line.find(',');
    if (first == std::string::npos) return std::nullopt;
    const auto second = line.find(',', first + 1);
    const std::string channel_field = line.substr(0, first);
    const std::string gain_field =
        line.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
    try {
        const GainLine parsed{std::stoi(channel_field), std::stof(gain_field)};
        // "nan" and "inf" parse as floats but are no gain factor (as for NP1).
        if (!std::isfinite(parsed.gain)) return std::nullopt;
        return parsed;
    } catch (const std::invalid_argument&) {
        return std::nullopt;
    } catch (const std::out_of_range&) {
        return std::nullopt;
    }
}

}  // namespace

std::expected<GainTable, std::string> read_gain_calibration(std::istream& stream) {
    std::string line;
    if (!std::getline(stream, line)) return std::unexpected("No lines in gain calibration file");
    spdlog::debug("Using serial number: {}", line);

    GainTable table{};
    std::size_t expected = 0;
    while (std::getline(stream, line)) {
        const auto parsed = parse_line(line);
        if (!parsed) return std::unexpected("Malformed CSV line: " + line);
        if (parsed->channel >= static_cast<int>(PROBE_CHANNEL_COUNT))
            return std::unexpected(fmt::format("Gain calibration channel {} out of range, the probe has {} channels",
                                               parsed->channel, PROBE_CHANNEL_COUNT));
        if (parsed->channel != static_cast<int>(expected))
            return std::unexpected(
                fmt::format("Channels out of order or missing: expected {}, got {}", expected, parsed->channel));
        table[expected++] = parsed->gain;
    }
    if (expected != PROBE_CHANNEL_COUNT)
        return std::unexpected(
            fmt::format("Gain calibration file lists {} of {} channels", expected, PROBE_CHANNEL_COUNT));
    return table;
}

}  // namespace pelionp::NP2
