#pragma once
// What image the board runs and who the board is.
//
// Current images publish a status text: 256 characters, one per register
// from 0x000 (the low byte of each word), NUL-terminated, lines "Key: value".
// Legacy Neuropixels images publish no text but a signature at 0x208, a
// bitstream timestamp at 0x8 and a serial number at 0x1600.
//
// Threading: as `Handler`; each register is read under the handler's lock.
#include <cstdint>
#include <expected>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "kessa_device_manager/handler.h"

namespace pelio::xdma {

using StatusMap = std::map<std::string, std::string>;

inline constexpr uint32_t LEGACY_SIGNATURE_ADDRESS = 0x208;
inline constexpr uint32_t LEGACY_TIMESTAMP_ADDRESS = 0x8;
inline constexpr uint32_t LEGACY_SERIAL_ADDRESS = 0x1600;
inline constexpr uint32_t EXPANDER_ADDRESS = 0x1008;
/// Builds after this one carry the internal timestamp source.
inline constexpr std::string_view INTERNAL_TIMESTAMP_BUILD = "2025-07-03 13:02:47";

/// The signature when the board runs a legacy Neuropixels image.
[[nodiscard]] std::optional<uint32_t> legacy_signature(Handler& handler);
/// "Alder 2" or "Birch 2" from a legacy signature.
[[nodiscard]] std::string legacy_model(uint32_t signature);
/// A bitstream timestamp as "YYYY-MM-DD hh:mm:ss".
[[nodiscard]] std::string bitstream_timestamp(uint32_t word);

/// The status map of a status text; empty (after logging) without "Mode".
[[nodiscard]] std::optional<StatusMap> parse_status_text(std::string_view text);
/// Reads the status map from the board. Throws on register access failure.
[[nodiscard]] std::optional<StatusMap> read_status_map(Handler& handler);
/// As `read_status_map`, logging "Cannot Get Status: {}" instead of throwing.
[[nodiscard]] std::optional<StatusMap> try_read_status_map(Handler& handler);

/// The one-line status document of the device interface.
[[nodiscard]] std::expected<std::string, std::string> status_document(Handler& handler);
/// The identity document. Throws when the register space lacks the identity
/// registers.
[[nodiscard]] std::string info_document(Handler& handler);
/// The model name of the identity block; empty when the block is invalid.
[[nodiscard]] std::string identity_model(Handler& handler);

}  // namespace pelio::xdma
