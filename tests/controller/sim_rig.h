#pragma once
// A controller on the simulated board, and a worker that counts what it
// receives: the pieces the controller, headstage and streaming tests share.
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "pelionp/controller/np_controller.h"
#include "pelionp/controller/np_port.h"
#include "pelionp/demux/neuropixels_worker.h"
#include "pelionp/demux/worker_loop.h"
#include "sim/board.h"
#include "sim/headstages/np_headstages.h"

namespace pelionp::test {

/// Polls `condition` until it holds or the deadline passes.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

struct SimRig {
    std::shared_ptr<sim::Board> board = std::make_shared<sim::Board>();
    std::shared_ptr<NPController> controller;

    SimRig() {
        auto created = NPController::create(board);
        if (!created) throw std::runtime_error(created.error());
        controller = std::move(*created);
    }
    std::shared_ptr<NPPort> port(int p) {
        auto made = controller->get_np_port(p);
        if (!made) throw std::runtime_error(made.error());
        return *made;
    }
    uint32_t stream_control() const { return board->peek(0x1404); }
};

/// A decoder worker that counts words and resyncs, on its own thread.
struct CountingWorker final : demux::NeuropixelsWorker {
    struct Counter {
        CountingWorker* worker;
        void reset() {}
        void decode(uint64_t timestamp, const uint8_t*) {
            worker->last_timestamp.store(timestamp);
            worker->words.fetch_add(1);
        }
    };

    explicit CountingWorker(demux::SID sid) : NeuropixelsWorker(sid, [this] { resets.fetch_add(1); }) {
        start(Counter{this});
    }
    ~CountingWorker() override { stop_and_join(); }

    bool receives(uint64_t more = 1) {
        const uint64_t from = words.load();
        return eventually([&] { return words.load() >= from + more; });
    }

    std::atomic<uint64_t> words{0};
    std::atomic<uint64_t> resets{0};
    std::atomic<uint64_t> last_timestamp{0};
};

}  // namespace pelionp::test
