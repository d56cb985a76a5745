#pragma once
// A stand-in board opened as a KessaDevice through a recording backend.
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

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
    KessaFixture() : KessaFixture(C2h::File) {}
    explicit KessaFixture(C2h c2h) : board(dir.add(0, STAND_IN_REGISTER_BYTES, c2h)) {}

    StandInDirectory dir;
    StandInBoard& board;
    std::shared_ptr<RecordingBackend> backend =
        std::make_shared<RecordingBackend>(stand_in_backend(dir.directory()));

    std::unique_ptr<KessaDevice> open(const std::string& status_text, bool skip_init = true,
                                      xdma::Timing timing = fast_timing()) {
        board.set_status_text(status_text);
        return std::make_unique<KessaDevice>(backend, board.path(), skip_init, timing);
    }
};

/// A board whose card-to-host node blocks like the driver's, with the
/// driver's timeout played by the backend (Linux) or the stand-in driver's
/// ring timeout (Windows, where the level register counts what the reads
/// have not taken).
struct BlockingFixture : KessaFixture {
    explicit BlockingFixture(std::chrono::milliseconds driver_timeout = std::chrono::seconds(10))
        : KessaFixture(C2h::Blocking) {
#ifndef _WIN32
        backend->set_driver_timeout(driver_timeout);
#else
        set_ring_timeout(board.path(), driver_timeout);
        backend->play_file_level(true);
#endif
    }
};

#ifndef _WIN32
/// Plays a board that takes a reboot: the configuration port reports done
/// at once, the board leaves the listing on the reboot's last store and
/// comes back with `status_text` after `delay`, from a thread of its own.
class RebootPlay {
public:
    RebootPlay(RecordingBackend& backend, StandInBoard& board, std::chrono::milliseconds delay, std::string status_text)
        : backend_(backend), board_(board), delay_(delay), status_(std::move(status_text)) {
        backend_.on_store([this](uint32_t address, uint32_t value) {
            if (address == 0x400 && value == 0x10) {
                std::scoped_lock lock(mutex_);
                reads_at_command_ = backend_.reads_in_flight();
            }
            if (address != 0x408 || value != 1) return;
            if (board_.peek(0x400) == 0x10) board_.poke(0x40C, 1);
            if (board_.peek(0x400) != 4) return;
            board_.remove();
            std::scoped_lock lock(mutex_);
            left_ = true;
            changed_.notify_all();
        });
        thread_ = std::thread([this] {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return left_ || done_; });
            if (done_) return;
            // The board's own reboot time: a knob of the stand-in.
            if (changed_.wait_for(lock, delay_, [&] { return done_; })) return;
            board_.create(status_);
            back_ = true;
            changed_.notify_all();
        });
    }
    ~RebootPlay() {
        backend_.on_store({});
        {
            std::scoped_lock lock(mutex_);
            done_ = true;
            changed_.notify_all();
        }
        thread_.join();
    }
    /// Card-to-host reads in flight when the reconfiguration command began.
    std::size_t reads_at_command() {
        std::scoped_lock lock(mutex_);
        return reads_at_command_;
    }
    /// Waits until the board is back; false after a generous deadline.
    bool wait_back() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return back_; });
    }

private:
    RecordingBackend& backend_;
    StandInBoard& board_;
    std::chrono::milliseconds delay_;
    std::string status_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool left_ = false, back_ = false, done_ = false;
    std::size_t reads_at_command_ = 0;
    std::thread thread_;
};
#endif

}  // namespace pelio::test
