// IMRO tables: the first byte picks the probe kind, the rest is the table.
// An accepted table must come back unchanged through its own text.
#include "tests/fuzz/fuzz_target.h"
#include "record/imro/imro.h"

using namespace pelionp::record;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static pelionp::fuzz::QuietLogs quiet;
    if (size == 0) return 0;
    const auto kind = static_cast<ProbeKind>(data[0] % 3);
    const auto text = pelionp::fuzz::as_text(data + 1, size - 1);

    if (auto table = imro::parse(text); !table) pelionp::fuzz::check_message(table.error());
    auto parsed = imro::parse_configuration(text, kind);
    if (!parsed) {
        pelionp::fuzz::check_message(parsed.error());
        return 0;
    }
    const auto again = imro::parse_configuration(imro::format(*parsed), kind);
    if (!again) pelionp::fuzz::fail("an accepted table's own text is refused: " + again.error());
    if (*again != *parsed) pelionp::fuzz::fail("an accepted table changes through its own text");
    return 0;
}
