#pragma once
// One opened Kessa board: the user BAR as 32-bit registers with alignment and
// bounds checks, and the two DMA channels with 4096-aligned buffers.
//
// Threading: register accesses may run concurrently from any thread (each is
// one 32-bit load or store); one thread at a time reads the card-to-host
// channel and one writes the host-to-card channel. A Connection is moved,
// never shared: `pelio::xdma::Handler` guards its lifetime.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "kessa_device_manager/platform/platform.h"
#include "pelio/data_stream.h"
#include "pelio_device/module_reference.h"

namespace pelio::xdma {

/// Byte size of every DMA read: one transfer moves what the driver has ready.
inline constexpr std::size_t TRANSFER_BYTES = 0x100000;
/// Alignment of every DMA buffer.
inline constexpr std::size_t BUFFER_ALIGNMENT = 4096;
/// Register holding the transfer-size exponent (low five bits) and the
/// stream's end-of-packet (TLAST) enable (bit 7).
inline constexpr uint32_t TRANSFER_SIZE_REGISTER = 0x1404;
/// Register holding how much the card-to-host buffer holds (low 31 bits).
inline constexpr uint32_t BUFFER_LEVEL_REGISTER = 0x1498;
inline constexpr uint32_t BUFFER_LEVEL_MASK = 0x7FFFFFFF;
/// How often an empty channel's level is looked at during a drain or flush.
inline constexpr std::chrono::microseconds LEVEL_POLL{200};

/// A filled DMA buffer: released through its own release function.
using Chunk = pelio::DataStream::OwnedData;

/// A fresh 4096-aligned buffer of `bytes` that holds `module` until it is
/// released by the function that comes with it. Throws std::bad_alloc.
[[nodiscard]] Chunk::Buffer allocate_dma_buffer(std::size_t bytes, ModuleReference module = {});
/// Fresh DMA buffers allocated by this process so far (for memory watches
/// and tests).
[[nodiscard]] uint64_t dma_buffers_allocated() noexcept;

/// The DMA buffers of one connection's reads, recycled: a buffer its consumer
/// drops goes back here (up to MAX_IDLE of them; beyond, it is freed) and the
/// next read takes it again, so short reads do not allocate 1 MiB each and a
/// consumer that keeps up holds a few buffers in all. Buffers may outlive
/// the pool (each holds it weakly); they are then simply freed.
///
/// Threading: `take` from the reading thread; buffers come back from
/// whichever thread drops them. One mutex, held only to move a pointer.
class DmaBufferPool : public std::enable_shared_from_this<DmaBufferPool> {
public:
    static constexpr std::size_t MAX_IDLE = 4;

    [[nodiscard]] static std::shared_ptr<DmaBufferPool> create(std::size_t bytes, ModuleReference module = {});
    ~DmaBufferPool();
    DmaBufferPool(const DmaBufferPool&) = delete;
    DmaBufferPool& operator=(const DmaBufferPool&) = delete;

    /// An idle buffer, or a fresh one. Throws std::bad_alloc.
    [[nodiscard]] Chunk::Buffer take();
    /// Buffers waiting for reuse (a snapshot).
    [[nodiscard]] std::size_t idle() const;
    /// From a buffer's release: keeps it if there is room; false otherwise.
    bool keep(uint8_t* data) noexcept;

private:
    DmaBufferPool(std::size_t bytes, ModuleReference module) : bytes_(bytes), module_(std::move(module)) {}

    const std::size_t bytes_;
    const ModuleReference module_;
    mutable std::mutex mutex_;
    std::vector<uint8_t*> idle_;  // reserved to MAX_IDLE at creation: keeping never allocates
};

/// Bounds of a flush: a channel that keeps bringing data (a pipeline that
/// did not stop) must not hold the caller for good.
struct FlushLimits {
    /// The channel counts as empty once its level stays 0 this long.
    std::chrono::milliseconds quiet{10};
    std::chrono::milliseconds max_time{50};
    std::size_t max_bytes = 64 * TRANSFER_BYTES;
    /// Raised, it ends the flush (a reboot begins).
    const platform::ReadInterrupt* interrupt = nullptr;
};

struct FlushReport {
    std::size_t bytes = 0;
    /// False when a limit ended the flush with the card still sending.
    bool emptied = true;
};

class Connection {
public:
    /// Opens the device at `path` through `backend`.
    /// Opens the device at `path` through `backend`; its buffers keep
    /// `module` loaded.
    [[nodiscard]] static std::expected<Connection, std::string> open(platform::Backend& backend,
                                                                     const std::string& path,
                                                                     ModuleReference module = {});
    explicit Connection(std::unique_ptr<platform::Link> link, ModuleReference module = {}) noexcept
        : link_(std::move(link)), module_(std::move(module)) {}

    [[nodiscard]] std::size_t register_space_bytes() const { return link_->register_space_bytes(); }

    /// Throws std::runtime_error "Address not aligned" / "Address out of bounds".
    [[nodiscard]] uint32_t read_register(uint32_t address) const;
    void write_register(uint32_t address, uint32_t value);

    /// Stores the exponent of a non-zero request, clamped to 4 KiB..1 MiB,
    /// and returns the size; with 0 returns the size currently set.
    uint32_t set_transfer_size(std::size_t requested_bytes);

    /// Sets the transfer size, then one 1 MiB read. Error: "c2h transfer failed: N".
    [[nodiscard]] std::expected<Chunk, std::string> c2h_read(std::size_t requested_bytes,
                                                             const platform::ReadWait& wait = {});
    /// One 1 MiB read for the stream thread; error: the platform's code,
    /// platform::READ_INTERRUPTED, or platform::READ_OUT_OF_MEMORY when the
    /// buffer cannot be had.
    [[nodiscard]] std::expected<Chunk, int> read_chunk(const platform::ReadWait& wait = {});
    /// The system's text of a code `read_chunk` returned.
    [[nodiscard]] std::string error_text(int code) const { return link_->error_text(code); }
    /// Whether the card-to-host buffer holds anything (the level register);
    /// a register space without it holds nothing to read.
    [[nodiscard]] bool channel_has_data() const;
    /// Drains the card-to-host channel within `limits`: reads while the
    /// level register says the buffer holds data, until a read fails or
    /// brings nothing, or the level stays 0 for the quiet time; logs
    /// "Flushed Total N", and warns when a limit ended it first. An empty
    /// channel is never read (its read would wait for the driver's timeout).
    FlushReport flush(const FlushLimits& limits = {});
    /// One write of the whole buffer. Error: "h2c transfer failed: N".
    [[nodiscard]] std::expected<std::size_t, std::string> h2c_write(std::span<const uint8_t> bytes);

private:
    void check_address(uint32_t address) const;

    std::unique_ptr<platform::Link> link_;
    ModuleReference module_;
    std::shared_ptr<DmaBufferPool> buffers_;  // made at the first read
};

}  // namespace pelio::xdma
