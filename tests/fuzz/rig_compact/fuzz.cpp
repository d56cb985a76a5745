// Compact rig descriptions: an accepted rig comes back unchanged through its
// own compact text (which carries no serials).
#include "tests/fuzz/fuzz_target.h"
#include "tools/rig/rig.h"

using namespace pelionp::tool;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static pelionp::fuzz::QuietLogs quiet;
    auto parsed = rig::parse_compact(pelionp::fuzz::as_text(data, size));
    if (!parsed) {
        pelionp::fuzz::check_message(parsed.error());
        return 0;
    }
    const auto again = rig::parse_compact(rig::to_compact(*parsed));
    if (!again) pelionp::fuzz::fail("an accepted rig's own text is refused: " + again.error());
    if (*again != *parsed) pelionp::fuzz::fail("an accepted rig changes through its own text");
    return 0;
}
