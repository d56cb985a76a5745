#pragma once
// Shared by the fuzz targets: every target defines
//   extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
// and is linked with libFuzzer in the fuzz build (inputs run in-process, one
// after another: a target keeps no state from one input to the next beyond
// what it sets up once) and with corpus_main.cpp everywhere else, which runs
// it over its corpus as a test. A target aborts on an input the code must
// not accept silently, so the fuzzer records it as a crash.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include <spdlog/spdlog.h>

namespace pelionp::fuzz {

inline std::string_view as_text(const uint8_t* data, size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

/// Stops the run with a message the fuzzer's crash log keeps.
[[noreturn]] inline void fail(std::string_view what) {
    std::fprintf(stderr, "fuzz target: %.*s\n", static_cast<int>(what.size()), what.data());
    std::abort();
}

/// A refusal must say what is wrong. With PELIONP_FUZZ_SHOW_ERRORS set the
/// message is printed, to see what a corpus exercises.
inline void check_message(std::string_view message) {
    if (message.empty()) fail("an error without a message");
    static const bool show = std::getenv("PELIONP_FUZZ_SHOW_ERRORS") != nullptr;
    if (show) std::fprintf(stderr, "  refused: %.*s\n", static_cast<int>(message.size()), message.data());
}

/// The targets run millions of inputs: keep the readers' logs out of the way
/// (a crash still shows its own report).
struct QuietLogs {
    QuietLogs() { spdlog::set_level(spdlog::level::off); }
};

}  // namespace pelionp::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
