// The plug-in's create_device configuration over one stand-in board. The
// input is the configuration, optionally followed by a NUL and the status
// text the board reports (default: a current "np" image). Failures leave
// create_device as exceptions with a message; nothing else may escape.
#include <stdexcept>
#include <nlohmann/json.hpp>

#include "kessa_device_manager/kessa_device_manager.h"
#include "tests/fuzz/fuzz_target.h"
#include "tests/kessa_device_manager/stand_in_board.h"

namespace {

pelio::xdma::Timing quick_timing() {
    using std::chrono::milliseconds;
    pelio::xdma::Timing t;
    t.icap_poll = milliseconds(1);
    t.icap_timeout = milliseconds(5);
    t.close_poll = milliseconds(1);
    t.close_timeout = milliseconds(5);
    t.open_poll = milliseconds(1);
    t.open_timeout = milliseconds(5);
    t.reopen_settle = milliseconds(0);
    t.pipeline_poll = milliseconds(1);
    t.pipeline_stop_timeout = milliseconds(5);
    t.flush_settle = milliseconds(0);
    t.overflow_poll = milliseconds(1);
    t.overflow_timeout = milliseconds(5);
    return t;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static pelionp::fuzz::QuietLogs quiet;
    static pelio::test::StandInDirectory dir;
    static pelio::test::StandInBoard& board = dir.add(0);
    const auto input = pelionp::fuzz::as_text(data, size);
    const auto nul = input.find('\0');
    const std::string configuration(input.substr(0, nul));
    // NB: the board keeps at most 256 status characters, one per register.
    std::string status = nul == std::string_view::npos ? pelio::test::current_status_text("np")
                                                       : std::string(input.substr(nul + 1));
    if (status.size() > 256) status.resize(256);
    board.create(status);

    auto manager = std::make_shared<pelio::kessa_device_manager>(
        pelio::xdma::platform::linux_backend(dir.directory()), quick_timing());
    try {
        auto device = manager->create_device(configuration);
        if (!device) pelionp::fuzz::fail("create_device returned no device");
    } catch (const nlohmann::json::exception& e) {
        pelionp::fuzz::check_message(e.what());
    } catch (const std::out_of_range& e) {
        pelionp::fuzz::check_message(e.what());
    } catch (const std::runtime_error& e) {
        pelionp::fuzz::check_message(e.what());
    }
    return 0;
}
