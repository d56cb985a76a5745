// Capture sidecars: an accepted sidecar comes back unchanged through its own
// JSON.
#include "tests/fuzz/fuzz_target.h"
#include "record/capture/sidecar.h"

using namespace pelionp::record;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static pelionp::fuzz::QuietLogs quiet;
    auto parsed = capture::parse(pelionp::fuzz::as_text(data, size));
    if (!parsed) {
        pelionp::fuzz::check_message(parsed.error());
        return 0;
    }
    const auto again = capture::parse(capture::to_json(*parsed));
    if (!again) pelionp::fuzz::fail("an accepted sidecar's own JSON is refused: " + again.error());
    if (again->streams != parsed->streams) pelionp::fuzz::fail("an accepted sidecar changes through its own JSON");
    return 0;
}
