#include "pelionp/probes/np1/calibration.h"

#include <cmath>
#include <stdexcept>
#include <string_view>
#include <vector>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

namespace pelionp::NP1 {
namespace {

constexpr std::size_t FIELDS_PER_LINE = 1 + 2 * GAIN_CODE_COUNT;

std::vector<std::string> split_commas(const std::string& line) {
    std::vector<std::string> fields;
    std::string_view rest = line;
    for (;;) {
        const auto comma = rest.find(',');
        fields.emplace_back(rest.substr(0, comma));
        if (comma == std::string_view::npos) return fields;
        rest.remove_prefix(comma + 1);
    }
}

// std::stoi / std::stof signal a field without a number, or one out of
// range, by these two exceptions only.
template <typename Parse>
bool try_parse(Parse&& parse) {
    try {
        parse();
        return true;
    } catch (const std::invalid_argument&) {
        return false;
    } catch (const std::out_of_range&) {
        return false;
    }
}

std::unexpected<std::string> malformed(const std::string& line) {
    spdlog::error("Malformed CSV line: {}", line);
    return std::unexpected("Malformed CSV line: " + line);
}

}  // namespace

std::expected<std::unique_ptr<GainCalibration>, std::string> parse_gain_calibration(std::istream& in) {
    std::string line;
    if (!std::getline(in, line)) return std::unexpected<std::string>("No data in gain calibration file");
    spdlog::debug("Using serial number: {}", line);

    auto tables = std::make_unique<GainCalibration>();
    std::size_t expected = 0;
    while (std::getline(in, line)) {
        const auto fields = split_commas(line);
        if (fields.size() < FIELDS_PER_LINE) return std::unexpected("Malformed CSV line: " + line);

        int electrode = 0;
        if (!try_parse([&] { electrode = std::stoi(fields[0]); })) return malformed(line);
        if (electrode < 0 || static_cast<std::size_t>(electrode) != expected)
            return std::unexpected(fmt::format("Electrodes out of order or missing: expected {}, got {}", expected, electrode));
        if (expected >= CALIBRATED_ELECTRODE_COUNT)
            return std::unexpected(fmt::format("Electrode {} out of range: the probe has {} electrodes", electrode,
                                               CALIBRATED_ELECTRODE_COUNT));

        for (std::size_t code = 0; code < GAIN_CODE_COUNT; ++code) {
            float ap = 0.0F;
            float lfp = 0.0F;
            if (!try_parse([&] { ap = std::stof(fields[1 + code]); }) ||
                !try_parse([&] { lfp = std::stof(fields[1 + GAIN_CODE_COUNT + code]); }) || !std::isfinite(ap) ||
                !std::isfinite(lfp))
                return malformed(line);
            tables->ap[code][expected] = ap;
            tables->lfp[code][expected] = lfp;
        }
        ++expected;
    }
    if (expected != CALIBRATED_ELECTRODE_COUNT)
        return std::unexpected(fmt::format("Gain calibration file lists {} electrodes, expected {}", expected,
                                           CALIBRATED_ELECTRODE_COUNT));
    return tables;
}

}  // namespace pelionp::NP1
