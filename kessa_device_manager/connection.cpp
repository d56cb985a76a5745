#include "kessa_device_manager/connection.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <new>
#include <optional>
#include <thread>
#include <stdexcept>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

namespace pelio::xdma {
namespace {

/// Lies just before the bytes handed out, inside the alignment prefix.
struct BufferHeader {
    uint8_t* base;
    ModuleReference module;
    std::weak_ptr<DmaBufferPool> pool;  // where the buffer goes back, if anywhere
};
static_assert(sizeof(BufferHeader) <= BUFFER_ALIGNMENT);

BufferHeader& header_of(uint8_t* data) { return *reinterpret_cast<BufferHeader*>(data - sizeof(BufferHeader)); }

void free_dma_buffer(uint8_t* data) noexcept {
    auto& header = header_of(data);
    uint8_t* base = header.base;
    header.~BufferHeader();  // drops the module reference
    ::operator delete[](base, std::align_val_t{BUFFER_ALIGNMENT});
}

// NB: code of this module, run wherever the consumer drops the buffer: the
// module pins itself while loaded (plugin_entry.cpp), so this code stays
// mapped however late that is, and the host library needs to give nothing
// beyond the device manager's base.
void release_dma_buffer(uint8_t* data) {
    if (auto pool = header_of(data).pool.lock(); pool && pool->keep(data)) return;
    free_dma_buffer(data);
}

std::atomic<uint64_t> buffers_allocated{0};

Chunk::Buffer allocate(std::size_t bytes, ModuleReference module, std::weak_ptr<DmaBufferPool> pool) {
    auto* base = static_cast<uint8_t*>(::operator new[](bytes + BUFFER_ALIGNMENT, std::align_val_t{BUFFER_ALIGNMENT}));
    buffers_allocated.fetch_add(1, std::memory_order_relaxed);
    uint8_t* data = base + BUFFER_ALIGNMENT;
    new (data - sizeof(BufferHeader)) BufferHeader{base, std::move(module), std::move(pool)};
    return Chunk::Buffer(data, &release_dma_buffer);
}

}  // namespace

uint64_t dma_buffers_allocated() noexcept { return buffers_allocated.load(std::memory_order_relaxed); }

Chunk::Buffer allocate_dma_buffer(std::size_t bytes, ModuleReference module) {
    return allocate(bytes, std::move(module), {});
}

std::shared_ptr<DmaBufferPool> DmaBufferPool::create(std::size_t bytes, ModuleReference module) {
    std::shared_ptr<DmaBufferPool> pool(new DmaBufferPool(bytes, std::move(module)));
    pool->idle_.reserve(MAX_IDLE);
    return pool;
}

DmaBufferPool::~DmaBufferPool() {
    // NB: no buffer comes back now: its weak reference no longer locks.
    for (uint8_t* data : idle_) free_dma_buffer(data);
}

Chunk::Buffer DmaBufferPool::take() {
    {
        std::lock_guard lock(mutex_);
        if (!idle_.empty()) {
            uint8_t* data = idle_.back();
            idle_.pop_back();
            return Chunk::Buffer(data, &release_dma_buffer);
        }
    }
    return allocate(bytes_, module_, weak_from_this());
}

std::size_t DmaBufferPool::idle() const {
    std::lock_guard lock(mutex_);
    return idle_.size();
}

bool DmaBufferPool::keep(uint8_t* data) noexcept {
    std::lock_guard lock(mutex_);
    if (idle_.size() >= MAX_IDLE) return false;
    idle_.push_back(data);  // within the reserved capacity
    return true;
}

std::expected<Connection, std::string> Connection::open(platform::Backend& backend, const std::string& path,
                                                        ModuleReference module) {
    auto link = backend.open(path);
    if (!link) return std::unexpected(std::move(link.error()));
    return Connection(std::move(*link), std::move(module));
}

void Connection::check_address(uint32_t address) const {
    if (address % 4 != 0) throw std::runtime_error("Address not aligned");
    if (address >= link_->register_space_bytes()) throw std::runtime_error("Address out of bounds");
}

uint32_t Connection::read_register(uint32_t address) const {
    check_address(address);
    return link_->load(address);
}

void Connection::write_register(uint32_t address, uint32_t value) {
    check_address(address);
    link_->store(address, value);
}

uint32_t Connection::set_transfer_size(std::size_t requested_bytes) {
    if (requested_bytes == 0) return 1u << (read_register(TRANSFER_SIZE_REGISTER) & 0x1F);
    const auto exponent = std::clamp<uint32_t>(static_cast<uint32_t>(std::bit_width(requested_bytes) - 1), 12, 20);
    write_register(TRANSFER_SIZE_REGISTER, exponent);
    return 1u << exponent;
}

std::expected<Chunk, int> Connection::read_chunk(const platform::ReadWait& wait) {
    std::optional<Chunk::Buffer> buffer;
    try {
        if (!buffers_) buffers_ = DmaBufferPool::create(TRANSFER_BYTES, module_);
        buffer.emplace(buffers_->take());
    } catch (const std::bad_alloc&) {
        // NB: a failed read, not the end of the process: memory may come back.
        return std::unexpected(platform::READ_OUT_OF_MEMORY);
    }
    const auto n = link_->read({buffer->get(), TRANSFER_BYTES}, wait);
    if (!n) return std::unexpected(n.error());
    return Chunk(std::move(*buffer), *n);
}

std::expected<Chunk, std::string> Connection::c2h_read(std::size_t requested_bytes, const platform::ReadWait& wait) {
    set_transfer_size(requested_bytes);
    auto chunk = read_chunk(wait);
    if (!chunk) {
        return std::unexpected(
            fmt::format("c2h transfer failed: {}", platform::coded(chunk.error(), error_text(chunk.error()))));
    }
    return std::move(*chunk);
}

bool Connection::channel_has_data() const {
    if (link_->register_space_bytes() <= BUFFER_LEVEL_REGISTER) return false;
    return (link_->load(BUFFER_LEVEL_REGISTER) & BUFFER_LEVEL_MASK) != 0;
}

FlushReport Connection::flush(const FlushLimits& limits) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    FlushReport report;
    const platform::ReadWait wait{.interrupts = {limits.interrupt, nullptr}};
    auto quiet_until = start + limits.quiet;
    for (;;) {
        if (limits.interrupt != nullptr && limits.interrupt->raised()) break;
        if (!channel_has_data()) {
            if (Clock::now() >= quiet_until) break;
            std::this_thread::sleep_for(LEVEL_POLL);
            continue;
        }
        const auto chunk = c2h_read(0, wait);
        if (!chunk || chunk->size() == 0) break;
        report.bytes += chunk->size();
        quiet_until = Clock::now() + limits.quiet;
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        if (report.bytes >= limits.max_bytes || elapsed >= limits.max_time) {
            report.emptied = false;
            spdlog::warn("Flush stopped after {} ms and {} bytes: the card is still sending", elapsed.count(),
                         report.bytes);
            break;
        }
    }
    spdlog::info("Flushed Total {}", report.bytes);
    return report;
}

std::expected<std::size_t, std::string> Connection::h2c_write(std::span<const uint8_t> bytes) {
    const auto n = link_->write(bytes);
    if (!n) return std::unexpected(fmt::format("h2c transfer failed: {}", platform::coded(n.error(), error_text(n.error()))));
    return *n;
}

}  // namespace pelio::xdma
