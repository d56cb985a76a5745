#include "sim/board.h"

#include <algorithm>
#include <deque>
#include <thread>
#include <stdexcept>
#include <utility>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "sim/headstages/placeholder_sources.h"
#include "sim/status.h"

namespace pelionp::sim {

struct Board::Port final : I2CTarget {
    I2CBus bus;
    std::shared_ptr<DeserializerChip> deserializer = std::make_shared<DeserializerChip>();
    std::shared_ptr<Headstage> headstage;
    UartBridge bridge;
    std::deque<uint8_t> rx;
    std::deque<uint8_t> late;  // reply bytes that arrive after the library gave up on them
    bool late_on_request = false;  // they land only at Board::land_late_replies
    std::vector<NackRule> nacks;
    std::vector<ReadGlitch> glitches;
    std::vector<WriteRecord>* write_log = nullptr;  // the board's log while it records
    int number = 0;

    Port() { bus.attach(DeserializerChip::ADDRESS, deserializer); }

    Answer transfer(const Transaction& t) override {
        if (write_log && !t.is_read) log_write(t);
        for (auto it = nacks.begin(); it != nacks.end(); ++it) {
            if (!it->matches(t.address, t.reg, t.is_read)) continue;
            if (it->after > 0) {
                --it->after;
                continue;
            }
            if (it->count && --*it->count == 0) nacks.erase(it);
            return std::nullopt;
        }
        Answer answer = bus.find(t.address) ? bus.transfer(t) : headstage ? headstage->transfer(t) : std::nullopt;
        if (answer && t.is_read && t.reg) glitch(t, *answer);
        return answer;
    }

    void glitch(const Transaction& t, Bytes& data) {
        for (auto it = glitches.begin(); it != glitches.end(); ++it) {
            if ((it->address & 0xFE) != (t.address & 0xFE) || it->reg != *t.reg) continue;
            std::ranges::fill(data, it->value);
            if (--it->count == 0) glitches.erase(it);
            return;
        }
    }

    void log_write(const Transaction& t) {
        WriteRecord record{number, static_cast<uint8_t>(t.address & 0xFE), t.reg, t.data, std::this_thread::get_id()};
        const bool behind_serializer = !bus.find(t.address) && record.address != SerializerChip::ADDRESS;
        if (behind_serializer && headstage && headstage->serializer().register_mode()) record.reg.reset();
        write_log->push_back(std::move(record));
    }
};

Board::Board() : status_(status_document()), io_source_(make_placeholder_io_source()) {
    for (int p = 0; p < PORT_COUNT; ++p) {
        ports_[static_cast<std::size_t>(p)] = std::make_unique<Port>();
        ports_[static_cast<std::size_t>(p)]->number = p;
    }
    registers_[REG_UART_TX_ENABLE] = 1;
}

Board::~Board() = default;

Board::Port& Board::port_at(int port) const {
    if (port < 0 || port >= PORT_COUNT) throw std::out_of_range(fmt::format("simulated board has no port {}", port));
    return *ports_[static_cast<std::size_t>(port)];
}

// ---- pelio::BasicDevice -------------------------------------------------

Board::Status Board::set_register(uint32_t address, uint32_t value, uint32_t mask) {
    std::scoped_lock lock(mutex_);
    if (recording_registers_ && (address < REG_UART_DATA || address > REG_UART_PORT_SELECT))
        register_writes_.push_back({address, value, mask, std::this_thread::get_id()});
    uint32_t& stored = registers_[address];
    const uint32_t old = stored;
    stored = (old & ~mask) | (value & mask);

    switch (address) {
    case REG_UART_DATA:
        if (recording_line_ && tx_fifo_.empty())
            line_events_.push_back({LineEvent::Kind::frame_loaded, static_cast<int>(registers_[REG_UART_PORT_SELECT] & 0x3),
                                    std::chrono::steady_clock::now(), std::this_thread::get_id()});
        tx_fifo_.push_back(static_cast<uint8_t>(stored & 0xFF));
        if ((registers_[REG_UART_TX_ENABLE] & 1) && !tx_delayed_) release_tx();
        break;
    case REG_UART_TX_ENABLE: {
        (void)deliver_late_replies(false);
        if (!(stored & 1)) break;
        if (tx_delayed_) {
            tx_delayed_ = false;
        } else if (uart_faults_.tx_late_frames > 0 && !tx_fifo_.empty()) {
            --uart_faults_.tx_late_frames;
            tx_delayed_ = true;
            break;
        }
        release_tx();
        break;
    }
    case REG_UART_PORT_SELECT:
        stored &= 0x3;
        break;
    default:
        break;
    }
    return Status::Success;
}

Board::Status Board::send_registers() {
    std::scoped_lock lock(mutex_);
    return device_faults_.fail_send ? Status::Failure : Status::Success;
}

uint32_t Board::get_register(uint32_t address) {
    std::scoped_lock lock(mutex_);
    const int selected = static_cast<int>(registers_[REG_UART_PORT_SELECT] & 0x3);
    switch (address) {
    case REG_UART_TX_EMPTY:
        return tx_fifo_.empty() && !uart_faults_.tx_stuck ? 1 : 0;
    case REG_UART_RX_EMPTY:
        return port_at(selected).rx.empty() ? 1 : 0;
    case REG_UART_DATA: {
        auto& rx = port_at(selected).rx;
        if (rx.empty()) {
            protocol_errors_.push_back(fmt::format("read of the empty RX FIFO of port {}", selected));
            return 0;
        }
        const uint8_t byte = rx.front();
        rx.pop_front();
        if (recording_line_ && rx.empty())
            line_events_.push_back(
                {LineEvent::Kind::reply_taken, selected, std::chrono::steady_clock::now(), std::this_thread::get_id()});
        return byte;
    }
    default: {
        const auto it = registers_.find(address);
        return it == registers_.end() ? 0 : it->second;
    }
    }
}

Board::Status Board::fetch_registers() {
    std::scoped_lock lock(mutex_);
    return device_faults_.fail_fetch ? Status::Failure : Status::Success;
}

Board::Status Board::trigger(uint32_t address, int bit) {
    spdlog::error("sim::Board: trigger 0x{:X} bit {} is not modelled", address, bit);
    return Status::Failure;
}

std::size_t Board::write(uint32_t pipe, std::size_t length, const uint8_t*) {
    spdlog::error("sim::Board: pipe write to 0x{:X} ({} bytes) is not modelled", pipe, length);
    return 0;
}

std::size_t Board::read(uint32_t pipe, std::size_t length, uint8_t*) {
    // The library reads 0 bytes from pipe 0 once when it attaches; that is a no-op.
    if (length != 0) spdlog::error("sim::Board: pipe read from 0x{:X} ({} bytes) is not modelled", pipe, length);
    return 0;
}

std::unique_ptr<Board::DataStream> Board::start_read_stream(uint32_t address, StreamCallback callback, int) {
    std::scoped_lock lock(mutex_);
    if (address != 0) {
        spdlog::error("sim::Board: stream address 0x{:X} is not modelled", address);
        return nullptr;
    }
    if (fail_stream_start_) return nullptr;
    if (device_faults_.stream_start_throws > 0) {
        --device_faults_.stream_start_throws;
        throw std::runtime_error("simulated board: the stream could not be opened");
    }
    ++streams_started_;
    return std::make_unique<BoardStream>(std::move(callback), [this] { return enabled_producers(); },
                                         stream_options_, stream_faults_);
}

std::vector<Producer> Board::enabled_producers() const {
    std::scoped_lock lock(mutex_);
    const auto reg = [&](uint32_t address) {
        const auto it = registers_.find(address);
        return it == registers_.end() ? 0u : it->second;
    };
    const uint32_t control = reg(0x1404);
    std::vector<Producer> producers;
    for (int p = 0; p < PORT_COUNT; ++p) {
        const auto& headstage = ports_[static_cast<std::size_t>(p)]->headstage;
        if (!headstage || !(control & (1u << p))) continue;
        const auto add = [&](int sid, int slot) {
            if (auto source = headstage->stream_source(slot)) producers.push_back({static_cast<uint8_t>(sid), source});
        };
        if (!headstage->dock_routing()) {
            add(p, 0);
        } else if (control & (1u << (16 + p))) {
            add(8 + p, 0);
            add(12 + p, 1);
        }
    }
    if ((reg(0x2400) & 1) && io_source_) producers.push_back({IO_SID, io_source_});
    return producers;
}

std::expected<std::string, std::string> Board::get_status() {
    std::scoped_lock lock(mutex_);
    return status_;
}

std::string Board::get_info() {
    return R"({"Board": "simulated", "Serial": "SIM-0000", "Ports": 4})";
}

// ---- UART ---------------------------------------------------------------

void Board::release_tx() {
    if (uart_faults_.tx_stuck) return;  // held bytes never leave
    for (const uint8_t byte : std::exchange(tx_fifo_, {})) transmit(byte);
}

void Board::transmit(uint8_t byte) {
    const int selected = static_cast<int>(registers_[REG_UART_PORT_SELECT] & 0x3);
    Port& port = port_at(selected);
    auto exchange = port.bridge.feed(byte, port);
    for (auto& error : port.bridge.take_errors()) protocol_errors_.push_back(fmt::format("port {}: {}", selected, error));
    if (!exchange) return;
    receive_reply(port, exchange->reply);
    if (recording_) frames_.push_back({selected, std::move(exchange->frame), std::move(exchange->reply)});
}

void Board::receive_reply(Port& port, const Bytes& reply) {
    std::size_t delivered = std::min(reply.size(), uart_faults_.rx_bytes_per_reply.value_or(reply.size()));
    std::size_t late = 0;
    if (auto& rule = uart_faults_.late_reply) {
        if (rule->skip > 0) {
            --rule->skip;
        } else {
            late = delivered - std::min(delivered, rule->on_time);
            delivered -= late;
            port.late_on_request = rule->lands == LateLanding::on_request;
            if (--rule->count == 0) rule.reset();
        }
    }
    const auto first = reply.begin();
    const auto on_time_end = first + static_cast<std::ptrdiff_t>(delivered);
    port.rx.insert(port.rx.end(), first, on_time_end);
    port.late.insert(port.late.end(), on_time_end, on_time_end + static_cast<std::ptrdiff_t>(late));
}

std::size_t Board::deliver_late_replies(bool requested) {
    std::size_t landed = 0;
    for (auto& port : ports_) {
        if (port->late_on_request && !requested) continue;
        landed += port->late.size();
        port->rx.insert(port->rx.end(), port->late.begin(), port->late.end());
        port->late.clear();
    }
    return landed;
}

// ---- ports, faults, observation -------------------------------------------

void Board::plug(int port, std::shared_ptr<Headstage> headstage) {
    if (!headstage) throw std::invalid_argument("sim::Board::plug needs a headstage");
    std::scoped_lock lock(mutex_);
    Port& p = port_at(port);
    headstage->power_on();
    p.deserializer->connect(headstage->serializer_link());
    p.headstage = std::move(headstage);
}

void Board::unplug(int port) {
    std::scoped_lock lock(mutex_);
    Port& p = port_at(port);
    p.deserializer->connect(nullptr);
    p.headstage.reset();
}

std::shared_ptr<Headstage> Board::headstage(int port) const {
    std::scoped_lock lock(mutex_);
    return port_at(port).headstage;
}

DeserializerChip& Board::deserializer(int port) { return *port_at(port).deserializer; }

I2CBus& Board::bus(int port) { return port_at(port).bus; }

void Board::nack(int port, NackRule rule) {
    std::scoped_lock lock(mutex_);
    if (rule.count == 0u) return;
    port_at(port).nacks.push_back(rule);
}

void Board::glitch_reads(int port, ReadGlitch glitch) {
    std::scoped_lock lock(mutex_);
    if (glitch.count == 0) return;
    port_at(port).glitches.push_back(glitch);
}

void Board::clear_nacks(int port) {
    std::scoped_lock lock(mutex_);
    port_at(port).nacks.clear();
}

void Board::set_uart_faults(UartFaults faults) {
    std::scoped_lock lock(mutex_);
    uart_faults_ = faults;
}

std::size_t Board::land_late_replies() {
    std::scoped_lock lock(mutex_);
    return deliver_late_replies(true);
}

void Board::set_device_faults(DeviceFaults faults) {
    std::scoped_lock lock(mutex_);
    device_faults_ = faults;
}

void Board::record_frames(bool on) {
    std::scoped_lock lock(mutex_);
    recording_ = on;
}

std::vector<FrameRecord> Board::frames() const {
    std::scoped_lock lock(mutex_);
    return frames_;
}

void Board::clear_frames() {
    std::scoped_lock lock(mutex_);
    frames_.clear();
}

void Board::record_writes(bool on) {
    std::scoped_lock lock(mutex_);
    for (auto& port : ports_) port->write_log = on ? &writes_ : nullptr;
}

std::vector<WriteRecord> Board::writes() const {
    std::scoped_lock lock(mutex_);
    return writes_;
}

void Board::clear_writes() {
    std::scoped_lock lock(mutex_);
    writes_.clear();
}

void Board::record_register_writes(bool on) {
    std::scoped_lock lock(mutex_);
    recording_registers_ = on;
}

std::vector<RegisterWrite> Board::register_writes() const {
    std::scoped_lock lock(mutex_);
    return register_writes_;
}

void Board::record_line_events(bool on) {
    std::scoped_lock lock(mutex_);
    recording_line_ = on;
}

std::vector<LineEvent> Board::line_events() const {
    std::scoped_lock lock(mutex_);
    return line_events_;
}

std::vector<std::string> Board::take_protocol_errors() {
    std::scoped_lock lock(mutex_);
    return std::exchange(protocol_errors_, {});
}

uint32_t Board::peek(uint32_t address) const {
    std::scoped_lock lock(mutex_);
    const auto it = registers_.find(address);
    return it == registers_.end() ? 0 : it->second;
}

void Board::poke(uint32_t address, uint32_t value) {
    std::scoped_lock lock(mutex_);
    registers_[address] = value;
}

void Board::set_status(std::expected<std::string, std::string> status) {
    std::scoped_lock lock(mutex_);
    status_ = std::move(status);
}

void Board::set_stream_options(StreamOptions options) {
    std::scoped_lock lock(mutex_);
    stream_options_ = options;
}

void Board::fail_stream_start(bool on) {
    std::scoped_lock lock(mutex_);
    fail_stream_start_ = on;
}

void Board::set_io_source(std::shared_ptr<StreamSource> source) {
    std::scoped_lock lock(mutex_);
    io_source_ = std::move(source);
}

uint64_t Board::streams_started() const {
    std::scoped_lock lock(mutex_);
    return streams_started_;
}

}  // namespace pelionp::sim
