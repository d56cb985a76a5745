#pragma once
// One Thunderbolt-attached Kessa board as a `pelio::BasicDevice`.
//
// In the Neuropixels image ("np" mode) register addresses are raw byte
// addresses of the register space and triggers and pipes are disabled. In
// the other images the board presents endpoints: wire registers 0x00..0x3F
// and triggers 0x40..0x45 at 0x1418 + 4 * n, word-fed pipe-in endpoints 0x81,
// 0x83, 0x85, 0x87, and the pass-through ranges 0x1000..0x17FF,
// 0x2000..0x23FF, 0x2C00..0x2FFF. Refused addresses never reach the board.
//
// Threading: every operation may be called from any thread, also while a
// stream runs. A partial-mask write is one read-modify-write under the
// device's register lock, which every store (the stream's end-of-packet
// pulse included) takes: concurrent writers never lose each other's bits.
// The board's connection lives in a shared handler: a stream keeps it after
// the device is gone.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "kessa_device_manager/handler.h"
#include "kessa_device_manager/platform/platform.h"
#include "pelio/basic_device.h"

namespace pelio {

class KessaDevice final : public BasicDevice {
public:
    /// Opens the board at `path` (throws std::runtime_error with the open's
    /// message), reads its mode and, unless `skip_init` or the Neuropixels
    /// image, initialises the Rhythm pipeline.
    /// Its buffers and streams keep `module` (the plug-in's own) loaded.
    KessaDevice(std::shared_ptr<xdma::platform::Backend> backend, std::string path, bool skip_init,
                xdma::Timing timing = {}, ModuleReference module = {});
    ~KessaDevice() override;
    KessaDevice(const KessaDevice&) = delete;
    KessaDevice& operator=(const KessaDevice&) = delete;

    BasicDeviceStatus set_register(uint32_t address, uint32_t value, uint32_t mask) override;
    BasicDeviceStatus send_registers() override;
    uint32_t get_register(uint32_t address) override;
    BasicDeviceStatus fetch_registers() override;
    BasicDeviceStatus trigger(uint32_t address, int bit) override;
    std::size_t write(uint32_t endpoint, std::size_t length, const uint8_t* data) override;
    std::size_t read(uint32_t endpoint, std::size_t length, uint8_t* buffer) override;
    /// The third argument plays no part.
    std::unique_ptr<DataStream> start_read_stream(uint32_t address, StreamCallback callback, int word) override;
    std::expected<std::string, std::string> get_status() override;
    std::string get_info() override;

    /// Switches the board to the image of `mode` ("bootloader", "rhd", "rhs",
    /// "np") and reopens it: 0 on success, 1 on failure. Throws
    /// std::runtime_error for any other mode, before touching the board.
    int reboot(const std::string& mode);

    /// The board's path now (a reboot may find it again under another one).
    [[nodiscard]] std::string path() const { return handler_->path(); }
    [[nodiscard]] bool np_mode() const noexcept { return handler_->np_mode; }

private:
    std::size_t feed_pipe(uint32_t endpoint, std::size_t length, const uint8_t* data);
    std::size_t drain();

    std::string path_;  // as opened
    std::shared_ptr<xdma::Handler> handler_;
};

}  // namespace pelio
