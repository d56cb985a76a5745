#pragma once
// The simulated acquisition board: a pelio::BasicDevice that behaves like
// the real board at the register level.
//
//   registers   32-bit space; board controls (0x1400, 0x1404, 0x1408,
//               0x2400, ...) read back what was written
//   UART        0x140C..0x1430: TX FIFO held while TX_ENABLE is 0, released
//               to the bridge of the port in PORT_SELECT; a per-port RX FIFO
//               read through DATA. The bridge answers at once, so the only
//               waits are the library's own.
//   ports[4]    each: a board-side I2C bus with the deserializer at 0x90, a
//               bridge, and an optional pluggable Headstage
//
// See sim/README.md for what is modelled, what is not, and the fault knobs.
//
// Threading: every BasicDevice operation and every knob below is
// serialised by one mutex, so library threads may use the board while a
// test turns knobs. References handed out (`deserializer`, `headstage`,
// `bus`) may be used unlocked only while no other thread uses the board;
// otherwise hold `hold()` around the access.
#include <array>
#include <chrono>
#include <cstdint>
#include <expected>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pelio/basic_device.h"
#include "sim/chips/deserializer.h"
#include "sim/faults.h"
#include "sim/headstage.h"
#include "sim/i2c_bus.h"
#include "sim/stream.h"
#include "sim/stream_source.h"
#include "sim/uart_bridge.h"

namespace pelionp::sim {

inline constexpr uint32_t REG_UART_DATA = 0x140C;
inline constexpr uint32_t REG_UART_RX_EMPTY = 0x1414;
inline constexpr uint32_t REG_UART_TX_ENABLE = 0x1418;
inline constexpr uint32_t REG_UART_TX_EMPTY = 0x1428;
inline constexpr uint32_t REG_UART_PORT_SELECT = 0x1430;

/// One frame as the bridge of a port received it, and the reply it sent
/// (before any receive fault cut it short).
struct FrameRecord {
    int port;
    Bytes frame;
    Bytes reply;

    friend bool operator==(const FrameRecord&, const FrameRecord&) = default;
};

/// One I2C write as the addressed chip received it, and the library thread
/// whose frame carried it.
struct WriteRecord {
    int port;
    uint8_t address;              ///< 8-bit form, bit 0 clear
    std::optional<uint8_t> reg;   ///< empty when the serializer forwarded it in I2C register mode
    Bytes data;
    std::thread::id thread;

    friend bool operator==(const WriteRecord&, const WriteRecord&) = default;
};

/// One board register write (set_register), and the thread that made it.
struct RegisterWrite {
    uint32_t address;
    uint32_t value;
    uint32_t mask;
    std::thread::id thread;

    friend bool operator==(const RegisterWrite&, const RegisterWrite&) = default;
};

/// A moment of the UART's traffic, for tests of what happens between
/// transactions: a frame's first byte loaded into the empty TX FIFO, or the
/// last byte of a port's RX FIFO read out (a reply taken, or stale bytes
/// discarded).
struct LineEvent {
    enum class Kind { frame_loaded, reply_taken };
    Kind kind;
    int port;  ///< the port selected then
    std::chrono::steady_clock::time_point at;
    std::thread::id thread;
};

class Board final : public pelio::BasicDevice {
public:
    static constexpr int PORT_COUNT = 4;
    using Status = pelio::BasicDeviceStatus;

    Board();
    ~Board() override;
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    // pelio::BasicDevice
    Status set_register(uint32_t address, uint32_t value, uint32_t mask) override;
    Status send_registers() override;
    uint32_t get_register(uint32_t address) override;
    Status fetch_registers() override;
    Status trigger(uint32_t address, int bit) override;
    std::size_t write(uint32_t pipe, std::size_t length, const uint8_t* data) override;
    std::size_t read(uint32_t pipe, std::size_t length, uint8_t* buffer) override;
    std::unique_ptr<DataStream> start_read_stream(uint32_t address, StreamCallback callback, int word) override;
    std::expected<std::string, std::string> get_status() override;
    std::string get_info() override;

    /// Locks the board, for direct access to chips while other threads run.
    [[nodiscard]] std::unique_lock<std::mutex> hold() const { return std::unique_lock(mutex_); }

    // Ports
    /// Plugs a headstage into a port (powering it on); replaces any other.
    void plug(int port, std::shared_ptr<Headstage> headstage);
    /// The serializer and everything behind it go silent; the deserializer loses lock.
    void unplug(int port);
    [[nodiscard]] std::shared_ptr<Headstage> headstage(int port) const;
    [[nodiscard]] DeserializerChip& deserializer(int port);
    /// The board-side bus of a port (the deserializer sits at 0x90).
    [[nodiscard]] I2CBus& bus(int port);

    // Faults
    void nack(int port, NackRule rule);
    void clear_nacks(int port);
    /// Reads that return wrong bytes (see ReadGlitch); they add up per port.
    void glitch_reads(int port, ReadGlitch glitch);
    void set_uart_faults(UartFaults faults);
    /// Lands the bytes of late replies (LateLanding::on_request) in their
    /// ports' RX FIFOs now; returns how many landed.
    std::size_t land_late_replies();
    void set_device_faults(DeviceFaults faults);

    // Observation
    /// Starts (or stops) keeping a log of bridge frames; off by default so a
    /// long session does not grow without bound.
    void record_frames(bool on);
    [[nodiscard]] std::vector<FrameRecord> frames() const;
    void clear_frames();
    /// Starts (or stops) keeping a log of every I2C write the chips receive,
    /// acknowledged or not, with the thread that sent it; off by default.
    void record_writes(bool on);
    [[nodiscard]] std::vector<WriteRecord> writes() const;
    void clear_writes();
    /// Starts (or stops) keeping a log of the board register writes outside
    /// the UART block (board controls, stream control), with their threads.
    void record_register_writes(bool on);
    [[nodiscard]] std::vector<RegisterWrite> register_writes() const;
    /// Starts (or stops) keeping a log of LineEvents; off by default.
    void record_line_events(bool on);
    [[nodiscard]] std::vector<LineEvent> line_events() const;
    /// Protocol errors (stray line bytes, reads of an empty RX FIFO, ...)
    /// since the last call.
    [[nodiscard]] std::vector<std::string> take_protocol_errors();
    /// A register's stored value, without side effects.
    [[nodiscard]] uint32_t peek(uint32_t address) const;
    /// Sets a register's stored value, without side effects (e.g. 0x1408).
    void poke(uint32_t address, uint32_t value);

    /// The document get_status returns (default: an NP image, API "1"; see
    /// sim/status.h to build others), or its failure.
    void set_status(std::expected<std::string, std::string> status);

    // Data stream (sim/stream.h). Each buffer carries timestamp words and the
    // streams enabled at that moment: for a port whose producer bit (0x1404
    // bit p) is set, its NP1 headstage's source on SID p, or, with the port's
    // NP2 demultiplexer bit (0x1404 bit 16 + p) set, its NP2 docks on 8 + p
    // and 12 + p; and the IO source on SID 5 while 0x2400 bit 0 is set.
    // NB: a stream must not outlive the board that started it.
    /// How streams started from now on run (pacing, OwnedData or DataView).
    void set_stream_options(StreamOptions options);
    /// Knobs shared with every stream, running or future.
    [[nodiscard]] StreamFaults& stream_faults() const { return *stream_faults_; }
    /// While on, start_read_stream returns no stream.
    void fail_stream_start(bool on);
    /// The source of the IO stream (SID 5); a placeholder by default.
    void set_io_source(std::shared_ptr<StreamSource> source);
    /// Streams started so far.
    [[nodiscard]] uint64_t streams_started() const;

private:
    struct Port;

    Port& port_at(int port) const;
    void release_tx();
    void transmit(uint8_t byte);
    void receive_reply(Port& port, const Bytes& reply);
    // Lands the late bytes of every port; those held for a request only if `requested`.
    std::size_t deliver_late_replies(bool requested);
    std::vector<Producer> enabled_producers() const;

    mutable std::mutex mutex_;
    std::map<uint32_t, uint32_t> registers_;
    std::vector<uint8_t> tx_fifo_;
    bool tx_delayed_ = false;  // the held frame leaves at the next TX_ENABLE write (tx_late_frames)
    std::array<std::unique_ptr<Port>, PORT_COUNT> ports_;
    UartFaults uart_faults_;
    DeviceFaults device_faults_;
    bool recording_ = false;
    std::vector<FrameRecord> frames_;
    std::vector<WriteRecord> writes_;
    bool recording_line_ = false;
    std::vector<LineEvent> line_events_;
    bool recording_registers_ = false;
    std::vector<RegisterWrite> register_writes_;
    std::vector<std::string> protocol_errors_;
    std::expected<std::string, std::string> status_;
    StreamOptions stream_options_;
    std::shared_ptr<StreamFaults> stream_faults_ = std::make_shared<StreamFaults>();
    bool fail_stream_start_ = false;
    uint64_t streams_started_ = 0;
    std::shared_ptr<StreamSource> io_source_;
};

}  // namespace pelionp::sim
