#pragma once
// Events of a device's push stream.
//
// Contract: events arrive on the stream's own thread, one at a time, in the
// order the device produced them. `Stop` is the last event of a stream.
// `OwnedData` carries ownership of a heap buffer: whoever holds it last
// releases the buffer through its release function, exactly once. A
// receiver that wants to keep the bytes after the callback moves the buffer
// out with `take()`. `DataView` borrows bytes valid only during the callback.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <variant>

namespace pelio::DataStream {

/// The stream has ended; no event follows.
struct Stop {};

/// A transfer failed; the stream keeps running.
struct Error {
    std::string message;
};

/// A device buffer whose ownership travels with the event.
class OwnedData {
public:
    using Release = void (*)(uint8_t*);
    using Buffer = std::unique_ptr<uint8_t[], Release>;

    OwnedData(Release release, uint8_t* data, std::size_t size) noexcept
        : buffer_(data, release), size_(size) {}
    OwnedData(Buffer buffer, std::size_t size) noexcept : buffer_(std::move(buffer)), size_(size) {}

    OwnedData(OwnedData&& other) noexcept
        : buffer_(std::move(other.buffer_)), size_(std::exchange(other.size_, 0)) {}
    OwnedData& operator=(OwnedData&& other) noexcept {
        buffer_ = std::move(other.buffer_);
        size_ = std::exchange(other.size_, 0);
        return *this;
    }
    OwnedData(const OwnedData&) = delete;
    OwnedData& operator=(const OwnedData&) = delete;
    ~OwnedData() = default;

    /// Byte count of the buffer (0 once the buffer was taken).
    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    [[nodiscard]] uint8_t* data() const noexcept { return buffer_.get(); }
    /// Moves the buffer out; the event no longer releases it.
    [[nodiscard]] Buffer take() noexcept {
        size_ = 0;
        return std::move(buffer_);
    }

private:
    Buffer buffer_;
    std::size_t size_;
};

/// Bytes borrowed for the duration of the callback.
struct DataView {
    const uint8_t* data;
    std::size_t size;
};

using Events = std::variant<Stop, Error, OwnedData, DataView>;

}  // namespace pelio::DataStream
