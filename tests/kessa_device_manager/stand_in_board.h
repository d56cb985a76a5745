#pragma once
// Ordinary files standing in for the XDMA driver's nodes, so tests run the
// platform's real backend: xdmaN_user (register space, mapped by the
// backend), xdmaN_c2h_0 (bytes the card streams) and xdmaN_h2c_0 (collects
// writes). On Linux the backend opens the files as the driver's nodes; on
// Windows the Windows backend runs over a stand-in of the driver's Win32
// side (see `stand_in_backend`) that opens and maps the same files.
//
// Register pokes and peeks are file writes and reads on the user file: the
// page cache (or the file's section on Windows) keeps them coherent with
// the backend's shared mapping.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "kessa_device_manager/platform/platform.h"

namespace pelio::test {

inline constexpr std::size_t STAND_IN_REGISTER_BYTES = 0x4000;

/// How the card-to-host node behaves.
enum class C2h {
    /// An ordinary file: reads return at once, 0 bytes at its end.
    File,
    /// The driver's node. On Linux a named pipe fed by a helper thread: it
    /// polls readable at once (see driver_manners.h), a read waits while
    /// nothing is there and ends at data, the driver's timeout (the
    /// backend's knob, RecordingBackend::set_driver_timeout) or a signal to
    /// the reader, the last two with ETIMEDOUT; the board's level register
    /// (0x1498) counts the bytes waiting, its top bit set. On Windows the
    /// stand-in driver's ReadFile of the (plain) file: it waits while
    /// nothing is there, no cancel ends it, and it ends at data, at the
    /// board's end of packet (see `end_packet`) or at the driver's ring
    /// timeout (`set_ring_timeout`), the last two with success and 0 bytes.
    Blocking,
};

class StandInBoard {
public:
    StandInBoard(std::filesystem::path directory, unsigned index, std::size_t register_bytes, C2h c2h = C2h::File);
    ~StandInBoard();
    StandInBoard(const StandInBoard&) = delete;
    StandInBoard& operator=(const StandInBoard&) = delete;

    /// Device path as the backend lists it (directory/xdmaN).
    [[nodiscard]] std::string path() const;
    /// Creates the three files (empty streams, registers zeroed but for the
    /// status text). The user node appears last and whole, as a card does.
    void create(const std::string& status_text = {}) const;
    /// Removes the three files, as the driver does when the card leaves.
    void remove() const;

    void poke(uint32_t address, uint32_t value) const;
    [[nodiscard]] uint32_t peek(uint32_t address) const;
    /// Writes a firmware status text, one character per register from 0.
    void set_status_text(const std::string& text) const;
    /// Appends bytes the card will stream.
    void append_stream(std::span<const uint8_t> bytes) const;
    /// Blocking node: streams `pattern` over and over until stopped or removed,
    /// as a pipeline that does not stop.
    void stream_forever(std::vector<uint8_t> pattern) const;
    void stop_streaming() const;
    /// Blocking node: bytes the helper thread has put into the node so far.
    [[nodiscard]] std::size_t fed() const;
    /// Everything written to the host-to-card channel so far.
    [[nodiscard]] std::vector<uint8_t> written() const;

private:
    [[nodiscard]] std::filesystem::path node(const char* suffix) const;

    std::filesystem::path directory_;
    unsigned index_;
    std::size_t register_bytes_;
    C2h c2h_;
    class Feeder;
    std::unique_ptr<Feeder> feeder_;
};

/// A fresh temporary directory of stand-in boards, removed with the object.
class StandInDirectory {
public:
    StandInDirectory();
    ~StandInDirectory();
    StandInDirectory(const StandInDirectory&) = delete;
    StandInDirectory& operator=(const StandInDirectory&) = delete;

    [[nodiscard]] const std::filesystem::path& directory() const { return directory_; }
    /// Creates board N with its files.
    StandInBoard& add(unsigned index, std::size_t register_bytes = STAND_IN_REGISTER_BYTES, C2h c2h = C2h::File);
    [[nodiscard]] StandInBoard& board(unsigned index) { return *boards_.at(index); }

private:
    std::filesystem::path directory_;
    std::map<unsigned, std::unique_ptr<StandInBoard>> boards_;
};

#ifdef _WIN32
/// How a ReadFile of a blocking stand-in channel ended (Windows).
enum class ReadEnd { Data, EndOfPacket, RingTimeout };
/// The ring timeout of the blocking channel of the board at `device_path`
/// (10 s, the public driver's default, until set).
void set_ring_timeout(const std::string& device_path, std::chrono::milliseconds timeout);
/// The board closes the packet in flight (its end-of-packet pulse): a read
/// waiting on its blocking channel ends with what it has. Nothing for other
/// boards.
void end_packet(const std::string& device_path);
/// How each read of the board's blocking channel ended so far, in order.
[[nodiscard]] std::vector<ReadEnd> read_ends(const std::string& device_path);
/// Reads of the board's blocking channel waiting in the driver now.
[[nodiscard]] std::size_t reads_waiting(const std::string& device_path);
void register_blocking_channel(const std::string& device_path);
void forget_blocking_channel(const std::string& device_path);
#endif

/// The platform's backend over the stand-in boards of `directory`.
[[nodiscard]] std::shared_ptr<xdma::platform::Backend> stand_in_backend(const std::filesystem::path& directory);

/// Status text of a current image in the given mode.
[[nodiscard]] std::string current_status_text(const std::string& mode,
                                              const std::string& build = "2025-08-01 10:00:00");

}  // namespace pelio::test
