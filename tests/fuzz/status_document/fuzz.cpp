// The board's status document as NPController::create reads it. Text that
// is not a JSON object with a string "API" leaves create as the JSON
// library's exception; anything else gives a controller exactly when "API"
// is "1", and an error naming the version otherwise.
#include <memory>
#include <nlohmann/json.hpp>

#include "pelionp/controller/np_controller.h"
#include "tests/fuzz/fuzz_target.h"
#include "tests/support/recording_device.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static pelionp::fuzz::QuietLogs quiet;
    const std::string text(pelionp::fuzz::as_text(data, size));
    auto device = std::make_shared<pelionp::test::RecordingDevice>();
    device->set_status(text);
    try {
        auto controller = pelionp::NPController::create(device);
        spdlog::set_level(spdlog::level::off);  // create sets the level to info
        const auto status = nlohmann::json::parse(text);
        const bool api_1 = status.value("API", std::string{}) == "1";
        if (controller.has_value() != api_1) pelionp::fuzz::fail("controller made against the API version");
        if (!controller) pelionp::fuzz::check_message(controller.error());
    } catch (const nlohmann::json::exception& e) {
        pelionp::fuzz::check_message(e.what());
    }
#if defined(_LIBCPP_VERSION)
    // NB: the fuzz tree (libc++) matches a caught type by the address of its
    // type information, and the JSON library's hidden in libpelionp is not
    // this program's: its exception arrives here as the standard base.
    catch (const std::exception& e) {
        if (std::string_view(e.what()).find("[json.exception.") != 0) throw;
        pelionp::fuzz::check_message(e.what());
    }
#endif
    return 0;
}
