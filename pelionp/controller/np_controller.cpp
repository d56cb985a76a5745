#include "pelionp/controller/np_controller.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>
#include <spdlog/spdlog.h>

#include "pelionp/controller/board.h"
#include "pelionp/controller/np_port.h"
#include "pelionp/demux/data_stream_coordinator.h"
#include "pelionp/demux/neuropixels_worker.h"
#include "pelionp/demux/sid_queue.h"
#include "pelionp/headstages/headstage_eeprom.h"
#include "pelionp/links/uart.h"


namespace pelionp {

using demux::DataStreamCoordinator;
using demux::SID;
using demux::SIDQueue;

namespace {

constexpr std::string_view SUPPORTED_API = "1";

bool has_producer(SID sid) { return sid == SID::IO || demux::place_of(sid).has_value(); }

/// What the keeper, the device's stream callback and the controller share
/// about one device stream: whether the controller wants it closed and
/// whether the device has ended it.
class StreamEnd {
public:
    void request_close() { set([this] { close_wanted_ = true; }); }
    void device_stopped() { set([this] { device_stopped_ = true; }); }
    [[nodiscard]] bool device_stopped_already() const {
        std::lock_guard lock(mutex_);
        return device_stopped_;
    }
    /// The keeper's wait: returns once either end is wanted.
    void wait() {
        std::unique_lock lock(mutex_);
        ended_.wait(lock, [this] { return close_wanted_ || device_stopped_; });
    }

private:
    template <class F>
    void set(F&& f) {
        {
            std::lock_guard lock(mutex_);
            f();
        }
        ended_.notify_all();
    }

    mutable std::mutex mutex_;
    std::condition_variable ended_;
    bool close_wanted_ = false;
    bool device_stopped_ = false;
};

/// No device stream.
struct Idle {};

/// A device stream is open (or ended by the device and not yet closed): the
/// keeper thread owns the stream and closes it when its end is wanted.
/// Leaving this state (destruction) asks the keeper to close the stream and
/// joins it.
class Streaming {
public:
    Streaming(std::shared_ptr<StreamEnd> end, std::unique_ptr<pelio::BasicDevice::DataStream> stream)
        : end_(std::move(end)), keeper_([end = end_, stream = std::move(stream)]() mutable {
              end->wait();
              stream->stop();
              stream->join();
              stream.reset();
          }) {}
    Streaming(Streaming&&) = default;
    Streaming& operator=(Streaming&&) = default;
    ~Streaming() {
        if (end_) end_->request_close();
        // keeper_ (a jthread) joins here
    }

    /// The device delivered Stop: the stream is gone or going.
    [[nodiscard]] bool ended_by_device() const { return end_->device_stopped_already(); }

private:
    std::shared_ptr<StreamEnd> end_;
    std::jthread keeper_;
};

}  // namespace

struct NPController::Impl {
    explicit Impl(pelio::BasicDevice& device);
    ~Impl();
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    // All of these expect the controller's mutex held (or teardown).
    void data_stream_changed();
    void enable_subscribed_streams();
    std::expected<void, std::string> subscribe_stream(SID sid, std::shared_ptr<SIDQueue> queue);
    std::expected<void, std::string> unsubscribe_stream(SID sid, const std::shared_ptr<SIDQueue>& queue);
    void release_port_streams(NPPort& port);

    void open_device_stream();
    /// Closes the device stream, if any, and joins its keeper.
    void close_device_stream() { stream_state.emplace<Idle>(); }
    /// A device stream is open and the device has not ended it.
    [[nodiscard]] bool streaming() const {
        const auto* s = std::get_if<Streaming>(&stream_state);
        return s != nullptr && !s->ended_by_device();
    }

    pelio::BasicDevice& device;
    UART uart;
    std::unordered_map<SID, std::weak_ptr<SIDQueue>> subscriptions;
    DataStreamCoordinator coordinator;
    // NB: after the coordinator, so the keeper (and with it the device
    // stream whose callback feeds the coordinator) is gone first.
    std::variant<Idle, Streaming> stream_state;
};

NPController::Impl::Impl(pelio::BasicDevice& device_) : device(device_), uart(UART::init(device_)) {}

NPController::Impl::~Impl() {
    std::vector<SID> sids;
    sids.reserve(subscriptions.size());
    for (const auto& [sid, queue] : subscriptions) sids.push_back(sid);
    for (const SID sid : sids) {
        if (auto r = unsubscribe_stream(sid, nullptr); !r) {
            spdlog::warn("Teardown: failed to unsubscribe SID {}: {}", demux::to_underlying(sid), r.error());
        }
    }
    close_device_stream();
}

void NPController::Impl::enable_subscribed_streams() {
    for (const auto& [sid, queue] : subscriptions) board::enable_stream(device, sid, true);
}

std::expected<void, std::string> NPController::Impl::subscribe_stream(SID sid, std::shared_ptr<SIDQueue> queue) {
    // NB: refused here rather than at the producer switch, which would
    // otherwise throw from the teardown and the port deleters.
    if (sid != SID::TIMESTAMP && !has_producer(sid)) {
        return std::unexpected(
            fmt::format("SID {} has no board producer and cannot be subscribed", demux::to_underlying(sid)));
    }
    if (auto it = subscriptions.find(sid); it != subscriptions.end()) {
        if (!DataStreamCoordinator::abandoned_approx(it->second)) {
            if (it->second.lock() == queue) return {};
            return std::unexpected(fmt::format("SID {} is already subscribed", demux::to_underlying(sid)));
        }
        if (auto r = unsubscribe_stream(sid, nullptr); !r) return r;
    }
    auto subscribed = coordinator.push_subscription(DataStreamCoordinator::SubscribeEvent{sid, queue});
    if (!subscribed) return std::unexpected(subscribed.error());
    subscriptions.insert_or_assign(sid, std::weak_ptr<SIDQueue>(queue));
    return {};
}

std::expected<void, std::string> NPController::Impl::unsubscribe_stream(SID sid,
                                                                         const std::shared_ptr<SIDQueue>& queue) {
    auto it = subscriptions.find(sid);
    if (it == subscriptions.end()) return {};
    if (queue && it->second.lock() != queue) return {};
    if (has_producer(sid)) board::enable_stream(device, sid, false);
    subscriptions.erase(it);
    auto removed = coordinator.unsubscribe(sid);
    if (!removed) return std::unexpected(removed.error());
    return {};
}

void NPController::Impl::open_device_stream() {
    close_device_stream();  // a stream the device ended earlier
    auto end = std::make_shared<StreamEnd>();
    pelio::BasicDevice::StreamCallback callback = [end, coordinator = &coordinator](pelio::DataStream::Events&& event) {
        std::visit(
            [&](auto& e) {
                using E = std::decay_t<decltype(e)>;
                if constexpr (std::is_same_v<E, pelio::DataStream::Stop>) {
                    end->device_stopped();
                    spdlog::debug("Stop event received from device");
                } else if constexpr (std::is_same_v<E, pelio::DataStream::Error>) {
                    spdlog::debug("Error event {}", e.message);
                } else if constexpr (std::is_same_v<E, pelio::DataStream::OwnedData>) {
                    const uint64_t size = e.size();
                    coordinator->push_buffer({size, e.take()});
                } else {
                    auto* copy = static_cast<uint8_t*>(std::malloc(std::max<std::size_t>(e.size, 1)));
                    if (copy == nullptr) throw std::bad_alloc();
                    std::memcpy(copy, e.data, e.size);
                    coordinator->push_buffer(
                        {e.size, std::unique_ptr<uint8_t[], void (*)(uint8_t*)>(copy, [](uint8_t* p) { std::free(p); })});
                }
            },
            event);
    };
    // NB: a device or thread failure below leaves the state Idle: the next
    // reconciliation then retries instead of enabling producers for a stream
    // that does not exist.
    std::unique_ptr<pelio::BasicDevice::DataStream> stream;
    try {
        stream = device.start_read_stream(0, std::move(callback), 0);
    } catch (const std::exception& e) {
        spdlog::error("Failed to start read stream: {}", e.what());
    }
    if (!stream) {
        spdlog::error("Failed to start read stream; leaving board producers disabled");
        return;
    }
    try {
        stream_state.emplace<Streaming>(std::move(end), std::move(stream));
    } catch (const std::system_error& e) {
        // The closure, and with it the stream, is gone already.
        stream_state.emplace<Idle>();
        spdlog::error("Failed to start the stream keeper: {}; leaving board producers disabled", e.what());
        return;
    }
    enable_subscribed_streams();
}

void NPController::Impl::data_stream_changed() {
    std::vector<SID> stale;
    for (const auto& [sid, queue] : subscriptions) {
        // NB: not expired(): the runner may not have dropped its reference yet.
        if (DataStreamCoordinator::abandoned_approx(queue)) stale.push_back(sid);
    }
    for (const SID sid : stale) (void)unsubscribe_stream(sid, nullptr);

    if (!streaming()) {
        if (subscriptions.empty()) return;
        open_device_stream();
    } else if (!subscriptions.empty()) {
        enable_subscribed_streams();
    } else {
        spdlog::debug("Disabling streaming");
        close_device_stream();
    }
}

void NPController::Impl::release_port_streams(NPPort& port) {
    const int p = port.iic.port();
    for (const SID sid : demux::port_stream_ids(p)) {  // throws for a port outside 0..3
        if (auto r = unsubscribe_stream(sid, nullptr); !r) {
            spdlog::warn("Failed to unsubscribe SID {} while releasing port {}: {}", demux::to_underlying(sid), p,
                         r.error());
        }
    }
    data_stream_changed();
}

std::expected<std::shared_ptr<NPController>, std::string> NPController::create(
    std::shared_ptr<pelio::BasicDevice> device) {
    auto status = device->get_status();
    if (!status) return std::unexpected(fmt::format("Failed to get device status: {}", status.error()));
    const auto document = nlohmann::json::parse(*status, nullptr, true, false);
    const auto api = document.value("API", std::string());
    if (api != SUPPORTED_API) {
        return std::unexpected(fmt::format("Unsupported device API version: {} (expected {})", api, SUPPORTED_API));
    }
    return std::shared_ptr<NPController>(new NPController(std::move(device)));
}

NPController::NPController(std::shared_ptr<pelio::BasicDevice> device_)
    : device(std::move(device_)), impl(std::make_unique<Impl>(*device)) {
    spdlog::set_level(spdlog::level::info);
    board::set_np_power(*device, true);
    board::assign_port_4_to_NP(*device, true);
    board::set_QBN004_Power(*device, true);
    (void)device->read(0, 0, nullptr);
}

NPController::~NPController() = default;

std::expected<std::shared_ptr<NPPort>, std::string> NPController::get_np_port(int port) {
    // NB: refused up front; a port outside 0..3 could not release its
    // streams in its deleter, where nothing may throw.
    if (port < 0 || port > 3) return std::unexpected(fmt::format("Invalid NP port {}: ports are numbered 0 to 3", port));
    std::unique_lock lock(mutex);
    // Look up, wait, look up: another thread waiting for the same release may
    // have made the new port while this one slept.
    for (;;) {
        if (auto it = ports.find(port); it != ports.end()) {
            if (auto live = it->second.lock()) return live;
            ports.erase(it);
        }
        const auto& [made, done] = port_releases[port];
        if (made == done) break;
        if (hooks.waiting_for_release) hooks.waiting_for_release(port);
        released.wait(lock);
    }
    auto made = NPPort::create(PortIIC(port, impl->uart));
    if (!made) return std::unexpected(fmt::format("Failed to init NP port {}", made.error()));

    // Keeps the controller alive and releases the port's streams under its
    // mutex. Armed only once the shared pointer exists: a failed
    // construction calls the deleter at once, on this thread, which holds
    // the mutex already.
    struct PortDeleter {
        std::shared_ptr<NPController> controller;

        void operator()(NPPort* raw) noexcept {
            std::unique_ptr<NPPort> owned(raw);
            const auto keep_alive = std::move(controller);
            if (keep_alive) {
                const int number = owned->iic.port();
                if (keep_alive->hooks.before_port_release) keep_alive->hooks.before_port_release(number);
                {
                    std::lock_guard release_lock(keep_alive->mutex);
                    try {
                        keep_alive->impl->release_port_streams(*owned);
                    } catch (const std::exception& e) {
                        spdlog::error("Port {}: failed to release streams: {}", number, e.what());
                    }
                    ++keep_alive->port_releases[number].second;
                }
                keep_alive->released.notify_all();
            }
            owned.reset();
        }
    };
    std::shared_ptr<NPPort> shared(made->release(), PortDeleter{});
    std::get_deleter<PortDeleter>(shared)->controller = shared_from_this();
    ports.insert_or_assign(port, std::weak_ptr<NPPort>(shared));
    ++port_releases[port].first;
    return shared;
}

std::expected<HeadstageRef, std::string> NPController::detect_headstage(NPPort& port) {
    std::lock_guard lock(mutex);
    const int p = port.iic.port();

    if (port.headstage) {
        // A headstage re-plugged (of the same or another kind) powers up with
        // its GPIO off and on the data link; its EEPROM would still pass the
        // self test through register mode, so the hardware is checked first.
        const uint8_t gpio_enable =
            std::holds_alternative<NP1::Headstage>(*port.headstage) ? NP1::GPIO_ENABLE : NP2::GPIO_ENABLE;
        const auto gpio_matches = [&] {
            auto gpio = std::visit(
                [](auto& headstage) { return iic_read(headstage.serializer, NP1::GPIO_ENABLE_REG, 1); },
                *port.headstage);
            if (gpio && gpio->size() == 1 && (*gpio)[0] == gpio_enable) return true;
            const std::string read = !gpio           ? "failed (" + gpio.error() + ")"
                                     : gpio->empty() ? std::string("nothing")
                                                     : fmt::format("0x{:02X}", gpio->front());
            spdlog::debug("Port {}: serializer GPIO enable read {}, expected 0x{:02X}", p, read, gpio_enable);
            return false;
        };
        // NB: one read may glitch; only a second read agreeing re-initialises
        // the headstage (and drops its streams).
        const bool same_hardware = (gpio_matches() || gpio_matches()) && recheck_link(port.serdes);
        if (!same_hardware) {
            spdlog::debug("Port {}: Headstage no longer matches the port (re-plugged?), re-initializing", p);
        } else if (std::visit([](auto& headstage) { return headstage.bist_eeprom(); }, *port.headstage)) {
            spdlog::debug("Port {}: Headstage already initialized", p);
            return std::visit([](auto& headstage) -> HeadstageRef { return std::ref(headstage); }, *port.headstage);
        } else {
            spdlog::debug("Port {}: Headstage EEPROM check failed, re-initializing", p);
        }
        impl->release_port_streams(port);
        ++port.generation;
        port.headstage.reset();
    }

    // NB: the state may say connected while the hardware was re-plugged;
    // a stale state would skip the bring-up of the new serializer.
    (void)recheck_link(port.serdes);
    if (auto r = try_make_connected(port.serdes, Preemphasis{0}); !r) {
        return std::unexpected(fmt::format("Failed to connect serializer: {}", r.error()));
    }
    if (auto r = switch_to_config_link(port.serdes); !r) {
        return std::unexpected(fmt::format("Failed to switch to config link: {}", r.error()));
    }
    auto& link = std::get<ConfigLinkedSerDes>(port.serdes);

    if (link.serializer.eeprom_read(NP2_HS_MARKER_ADDR, uint8_t{0}, 8)) {
        auto headstage = NP2::Headstage::init(link);
        if (!headstage) return std::unexpected(fmt::format("Failed to init NP2 headstage: {}", headstage.error()));
        auto& stored = port.headstage.emplace(std::in_place_type<NP2::Headstage>, std::move(*headstage));
        board::set_np2_demux(*device, p, true);
        return std::ref(std::get<NP2::Headstage>(stored));
    }
    if (!link.serializer.eeprom_read(HS_EEPROM_ADDR, uint8_t{0}, 8)) {
        return std::unexpected(std::string("No known headstage detected"));
    }
    auto headstage = NP1::Headstage::init(link);
    if (!headstage) return std::unexpected(fmt::format("Failed to init NP1 headstage: {}", headstage.error()));
    auto& stored = port.headstage.emplace(std::in_place_type<NP1::Headstage>, std::move(*headstage));
    board::set_np2_demux(*device, p, false);
    return std::ref(std::get<NP1::Headstage>(stored));
}

namespace {

// A callback of the worker calling start_stream/stop_stream on it: the
// resync handshake would wait for the calling thread itself, with the
// controller's mutex held.
bool on_decoding_thread(const demux::NeuropixelsWorker& worker) { return worker.on_worker_thread(); }

std::string decoding_thread_error(std::string_view operation) {
    return fmt::format("{} called from the worker's own decoding thread; its callbacks must not start or stop "
                       "streams",
                       operation);
}

}  // namespace

std::expected<void, std::string> NPController::start_stream(demux::NeuropixelsWorker& worker) {
    if (on_decoding_thread(worker)) return std::unexpected(decoding_thread_error("start_stream"));
    std::lock_guard lock(mutex);
    if (auto it = impl->subscriptions.find(worker.sid); it != impl->subscriptions.end()) {
        if (!DataStreamCoordinator::abandoned_approx(it->second)) {
            if (it->second.lock() == worker.queue()) return {};
            return std::unexpected(std::string("SID already subscribed to another worker"));
        }
    }
    if (impl->subscriptions.empty()) {
        impl->close_device_stream();
        if (auto r = impl->coordinator.reset(); !r) return r;
    }
    worker.wait_for_resync();
    if (auto r = impl->subscribe_stream(worker.sid, worker.queue()); !r) return r;
    impl->data_stream_changed();
    if (worker.sid != SID::IO) board::send_soft_trigger(*device);
    return {};
}

std::expected<void, std::string> NPController::stop_stream(demux::NeuropixelsWorker& worker) {
    if (on_decoding_thread(worker)) return std::unexpected(decoding_thread_error("stop_stream"));
    std::lock_guard lock(mutex);
    auto r = impl->unsubscribe_stream(worker.sid, worker.queue());
    impl->data_stream_changed();
    if (r) worker.wait_for_resync();
    return r;
}

demux::DemuxHoldings NPController::demux_holdings_approx() const { return impl->coordinator.holdings_approx(); }

void NPController::set_test_hooks(TestHooks hooks_) {
    std::lock_guard lock(mutex);
    hooks = std::move(hooks_);
}

std::expected<std::shared_ptr<demux::NeuropixelsWorker>, std::string> NPController::create_io_stream(
    std23::move_only_function<void(io::IOFrame)> on_frame, std23::move_only_function<void()> reset_output) {
    std::lock_guard lock(mutex);
    if (!io_stream.expired()) {
        return std::unexpected(std::string("An IO stream already exists; destroy it before creating a new one"));
    }
    auto processor = std::make_shared<io::IOFrameProcessor>(std::move(on_frame), std::move(reset_output));
    io_stream = processor;
    return std::shared_ptr<demux::NeuropixelsWorker>(std::move(processor));
}

}  // namespace pelionp
