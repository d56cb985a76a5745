// NP1 ADC calibration CSV: an accepted file names every ADC 0..31 once.
#include <array>
#include <sstream>

#include "tests/fuzz/fuzz_target.h"
#include "record/calibration/calibration.h"

using namespace pelionp::record;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static pelionp::fuzz::QuietLogs quiet;
    std::istringstream in{std::string(pelionp::fuzz::as_text(data, size))};
    auto parsed = calibration::parse_adc_calibration(in);
    if (!parsed) {
        pelionp::fuzz::check_message(parsed.error());
        return 0;
    }
    if (parsed->adcs.size() != calibration::NP1_ADC_COUNT) pelionp::fuzz::fail("accepted without 32 ADCs");
    std::array<bool, calibration::NP1_ADC_COUNT> seen{};
    for (const auto& record : parsed->adcs) {
        if (record.adc < 0 || record.adc >= calibration::NP1_ADC_COUNT) pelionp::fuzz::fail("ADC number out of range");
        if (seen[record.adc]) pelionp::fuzz::fail("an ADC accepted twice");
        seen[record.adc] = true;
    }
    return 0;
}
