#pragma once
// A stand-in board opened as a KessaDevice through a recording backend.
#include <chrono>
#include <memory>
#include <string>

#include "kessa_device_manager/kessa_device.h"
#include "tests/kessa_device_manager/recording_backend.h"
#include "tests/kessa_device_manager/stand_in_board.h"

namespace pelio::test {

/// Waits short enough to keep reboot and initialisation tests fast.
inline xdma::Timing fast_timing() {
    using std::chrono::milliseconds;
    xdma::Timing t;
    t.icap_poll = milliseconds(1);
    t.icap_timeout = milliseconds(50);
    t.close_poll = milliseconds(1);
    t.close_timeout = milliseconds(20);
    t.open_poll = milliseconds(1);
    t.open_timeout = milliseconds(20);
    t.reopen_settle = milliseconds(0);
    t.pipeline_poll = milliseconds(1);
    t.pipeline_stop_timeout = milliseconds(20);
    t.flush_settle = milliseconds(0);
    t.overflow_poll = milliseconds(1);
    t.overflow_timeout = milliseconds(20);
    return t;
}

struct KessaFixture {
    StandInDirectory dir;
    StandInBoard& board = dir.add(0);
    std::shared_ptr<RecordingBackend> backend =
        std::make_shared<RecordingBackend>(stand_in_backend(dir.directory()));

    std::unique_ptr<KessaDevice> open(const std::string& status_text, bool skip_init = true,
                                      xdma::Timing timing = fast_timing()) {
        board.set_status_text(status_text);
        return std::make_unique<KessaDevice>(backend, board.path(), skip_init, timing);
    }
};

}  // namespace pelio::test
