// NP1 gain calibration CSV, parsed alone and loaded into a probe's
// configuration (which must keep its tables when the file is refused).
#include <sstream>

#include "pelionp/probes/np1/calibration.h"
#include "tests/fuzz/fuzz_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static pelionp::fuzz::QuietLogs quiet;
    std::istringstream in{std::string(pelionp::fuzz::as_text(data, size))};
    auto parsed = pelionp::NP1::parse_gain_calibration(in);
    if (!parsed) {
        pelionp::fuzz::check_message(parsed.error());
        return 0;
    }
    if (!*parsed) pelionp::fuzz::fail("an accepted file without tables");
    return 0;
}
