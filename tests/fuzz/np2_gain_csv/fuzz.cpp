// NP2 gain calibration CSV.
#include <cmath>
#include <sstream>

#include "pelionp/probes/np2/gain_calibration.h"
#include "tests/fuzz/fuzz_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static pelionp::fuzz::QuietLogs quiet;
    std::istringstream in{std::string(pelionp::fuzz::as_text(data, size))};
    auto parsed = pelionp::NP2::read_gain_calibration(in);
    if (!parsed) {
        pelionp::fuzz::check_message(parsed.error());
        return 0;
    }
    return 0;
}
