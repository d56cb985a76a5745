#include "record/calibration/calibration.h"

#include "record/context.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <charconv>
#include <fstream>

namespace pelionp::record::calibration {

namespace {

std::string_view trim(std::string_view s) noexcept {
  constexpr std::string_view blanks = " \t\r\n";
  const auto first = s.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(blanks) - first + 1);
}

std::optional<std::filesystem::path> existing(const std::filesystem::path& path, std::string_view what) {
  std::error_code ec;
  if (std::filesystem::exists(path, ec)) return path;
  spdlog::warn("{} file {} not found; the probe keeps its default", what, path.string());
  return std::nullopt;
}

}  // namespace

std::filesystem::path gain_file_path(const std::filesystem::path& dir, uint64_t serial) {
  return dir / std::to_string(serial) / fmt::format("{}_gainCalValues.csv", serial);
}

std::filesystem::path adc_file_path(const std::filesystem::path& dir, uint64_t serial) {
  return dir / std::to_string(serial) / fmt::format("{}_ADCCalibration.csv", serial);
}

Files locate(const std::filesystem::path& dir, uint64_t serial, ProbeKind kind) {
  Files files;
  files.gain = existing(gain_file_path(dir, serial), "Gain calibration");
  if (kind == ProbeKind::np1) files.adc = existing(adc_file_path(dir, serial), "ADC calibration");
  return files;
}

std::expected<AdcCalibration, std::string> parse_adc_calibration(std::istream& in) {
  AdcCalibration result;
  std::string line;
  size_t line_number = 0;
  while (std::getline(in, line)) {
    ++line_number;
    if (!trim(line).empty()) break;
  }
  if (trim(line).empty()) return std::unexpected(std::string("ADC calibration file is empty"));
  result.serial = std::string(trim(line));

  std::array<bool, NP1_ADC_COUNT> seen{};
  while (std::getline(in, line)) {
    ++line_number;
    std::string_view rest = trim(line);
    if (rest.empty()) continue;
    auto malformed = [&](std::string_view why) {
      return std::unexpected(fmt::format("ADC calibration line {} ({}): {}", line_number, trim(line), why));
    };
    std::array<int32_t, 9> v{};
    for (size_t i = 0; i < v.size(); ++i) {
      const auto comma = rest.find(',');
      const auto field = trim(rest.substr(0, comma));
      const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), v[i]);
      if (field.empty() || ec != std::errc{} || end != field.data() + field.size())
        return malformed(fmt::format("field {} '{}' is not an integer", i + 1, field));
      if (i + 1 < v.size()) {
        if (comma == std::string_view::npos) return malformed(fmt::format("{} fields, expected 9", i + 1));
        rest = rest.substr(comma + 1);
      } else if (comma != std::string_view::npos) {
        return malformed("more than 9 fields");
      }
    }
    const ADC_Calib record{v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8]};
    if (record.adc < 0 || record.adc >= NP1_ADC_COUNT)
      return malformed(fmt::format("ADC {} is outside 0..{}", record.adc, NP1_ADC_COUNT - 1));
    if (seen[record.adc]) return malformed(fmt::format("ADC {} appears twice", record.adc));
    seen[record.adc] = true;
    result.adcs.push_back(record);
  }
  if (in.bad()) return std::unexpected(std::string("ADC calibration file could not be read"));
  for (int adc = 0; adc < NP1_ADC_COUNT; ++adc)
    if (!seen[adc]) return std::unexpected(fmt::format("ADC calibration file has no line for ADC {}", adc));
  return result;
}

std::expected<AdcCalibration, std::string> read_adc_calibration(const std::filesystem::path& file) {
  std::ifstream in(file);
  if (!in) return std::unexpected(fmt::format("Cannot open {}", file.string()));
  return with_context(parse_adc_calibration(in), file.string());
}

}  // namespace pelionp::record::calibration
