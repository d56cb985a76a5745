// `pelionp replay` on an arbitrary capture. Input: one flags byte (bit 0: a
// sidecar follows; bits 1..6: the buffer size handed to the coordinator, in
// words), with a sidecar a 16-bit little-endian length and its text, then
// the capture bytes.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "tests/fuzz/fuzz_target.h"
#include "pelionp/logging.h"
#include "record/capture/sidecar.h"
#include "record/logging.h"
#include "record/replay/replay.h"

using namespace pelionp::record;

namespace {

void write_file(const std::filesystem::path& file, std::string_view bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) pelionp::fuzz::fail("cannot write " + file.string());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static pelionp::fuzz::QuietLogs quiet;
    // The libraries log through the target's silenced logger: in this tree
    // each keeps a registry of its own, which would print every warning of
    // every input.
    static const bool libraries_quiet = [] {
        pelionp::use_logger(spdlog::default_logger());
        use_logger(spdlog::default_logger());
        return true;
    }();
    (void)libraries_quiet;
    static const std::filesystem::path dir = [] {
        std::error_code ec;
        auto base = std::filesystem::path("/dev/shm");
        if (!std::filesystem::is_directory(base, ec)) base = std::filesystem::temp_directory_path();
        return base / ("pelionp-fuzz-replay-" + std::to_string(::getpid()));
    }();
    if (size == 0) return 0;
    auto input = pelionp::fuzz::as_text(data, size);
    const uint8_t flags = data[0];
    input.remove_prefix(1);
    std::optional<std::string_view> sidecar;
    if (flags & 1) {
        if (input.size() < 2) return 0;
        const std::size_t length = static_cast<uint8_t>(input[0]) | static_cast<std::size_t>(static_cast<uint8_t>(input[1])) << 8;
        input.remove_prefix(2);
        if (length > input.size()) return 0;
        sidecar = input.substr(0, length);
        input.remove_prefix(length);
    }

    std::filesystem::create_directories(dir);
    const auto capture_file = dir / "capture.bin";
    if (sidecar) write_file(capture::sidecar_path(capture_file), *sidecar);
    write_file(capture_file, input);

    replay::Options options;
    options.capture = capture_file;
    options.layout.root = dir / "out";
    options.buffer_bytes = 16 * (1 + ((flags >> 1) & 63));
    options.buffers_in_flight = 4;
    // A timestamp far ahead is a gap filled in place: without a bound, files
    // as long as the jump (one second of samples is plenty here).
    options.ap_sample_limit = 30000;
    auto summary = replay::run(options);
    if (!summary) pelionp::fuzz::check_message(summary.error());
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
