#pragma once
// The host's entry point: one controller per acquisition device.
//
// Ownership: the host owns the controller through a shared pointer, and the
// controller keeps the device alive. Every port handed out by `get_np_port`
// also keeps the controller alive, so the controller lives until the host's
// last pointer and the last port are gone. The controller holds only weak
// references to ports, to the IO frame processor and to subscribed queues;
// decoder workers belong to probes or to the host.
//
// Streaming state: Idle, or Streaming (a keeper thread owning the open
// device stream, woken to close it), never a flag beside a thread.
// Threading: every public operation takes the controller's one mutex for
// its whole run, detection included (with all its I2C traffic), so they
// are serialised. A port's deleter takes the mutex too: never drop the last
// reference to a port from inside a worker's reset callback, which runs
// while the mutex is held. Data flows on other threads (device stream ->
// demultiplexer -> workers) and takes no controller lock.
// Lock order: this mutex, then the coordinator's state mutex, then its
// enqueue mutex.
#include <expected>
#include <functional>
#include <memory>
#include <condition_variable>
#include <mutex>
#include <string>
#include <unordered_map>
#include <variant>

#include "pelio/basic_device.h"
#include "pelio/std23.h"
#include "pelionp/demux/data_stream_coordinator.h"
#include "pelionp/demux/io_frame_processor.h"
#include "pelionp/export.h"
#include "pelionp/headstages/np1_headstage.h"
#include "pelionp/headstages/np2_headstage.h"

namespace pelionp {

struct NPPort;

using HeadstageRef = std::variant<std::reference_wrapper<NP1::Headstage>, std::reference_wrapper<NP2::Headstage>>;

class PELIONP_API NPController : public std::enable_shared_from_this<NPController> {
public:
    struct Impl;

    /// Requires the status document's "API" to be exactly "1"; powers the
    /// Neuropixels ports. Sets spdlog's process-wide level to info.
    static std::expected<std::shared_ptr<NPController>, std::string> create(
        std::shared_ptr<pelio::BasicDevice> device);

    NPController(const NPController&) = delete;
    NPController& operator=(const NPController&) = delete;
    /// Unsubscribes every stream (switching its producer off), ends the
    /// device stream and joins the keeper and demultiplexer threads.
    ~NPController();

    /// The one live port of this number (0 to 3); a new port once every
    /// holder dropped the previous one. NB: a previous port whose release
    /// is still pending on another thread (its deleter waits for the
    /// controller's mutex) is waited for, so that release cannot switch off
    /// the streams of the new port.
    std::expected<std::shared_ptr<NPPort>, std::string> get_np_port(int port);

    /// Identifies and initialises the port's headstage. On a port whose
    /// headstage passes its EEPROM self test nothing else happens; one that
    /// fails it is replaced (its streams released, `generation` + 1).
    std::expected<HeadstageRef, std::string> detect_headstage(NPPort& port);

    /// Resyncs the worker, subscribes its queue, opens the device stream if
    /// none is open, enables the producers and, for probe streams, pulses
    /// the soft trigger. Starting the same worker again does nothing.
    /// NB: worker callbacks (decoding, reset_output) must not block on the
    /// controller: a call from the worker's own decoding thread is refused
    /// with an error, and any controller call from a decoding thread can
    /// deadlock against a caller that is resyncing that worker.
    std::expected<void, std::string> start_stream(demux::NeuropixelsWorker& worker);
    /// Unsubscribes and resyncs the worker; with the last subscription the
    /// device stream is closed (stopped and joined) before the call returns.
    std::expected<void, std::string> stop_stream(demux::NeuropixelsWorker& worker);
    /// The single IO frame processor; not subscribed until `start_stream`.
    std::expected<std::shared_ptr<demux::NeuropixelsWorker>, std::string> create_io_stream(
        std23::move_only_function<void(io::IOFrame)> on_frame, std23::move_only_function<void()> reset_output);

    /// What the demultiplexer holds now: buffers waiting for it and the
    /// word-list storage it keeps for reuse (a snapshot; any thread).
    [[nodiscard]] demux::DemuxHoldings demux_holdings_approx() const;

    /// Points where a test forces one thread interleaving; empty unless set.
    /// Set them before the threads that meet them run.
    struct TestHooks {
        /// A port's deleter, just before it takes the controller's mutex.
        std::function<void(int port)> before_port_release;
        /// `get_np_port`, with the mutex held, each time it starts waiting
        /// for a release still pending.
        std::function<void(int port)> waiting_for_release;
    };
    void set_test_hooks(TestHooks hooks);

private:
    explicit NPController(std::shared_ptr<pelio::BasicDevice> device);

    std::shared_ptr<pelio::BasicDevice> device;
    std::mutex mutex;
    std::unique_ptr<Impl> impl;
    std::unordered_map<int, std::weak_ptr<NPPort>> ports;
    // Per port number: ports handed out and ports whose release is done, so
    // get_np_port can wait for a release still on its way (under `mutex`).
    std::unordered_map<int, std::pair<uint64_t, uint64_t>> port_releases;
    std::condition_variable released;
    std::weak_ptr<io::IOFrameProcessor> io_stream;
    TestHooks hooks;
};

}  // namespace pelionp
