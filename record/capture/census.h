#pragma once
// What a raw capture holds, from the stream words' first bytes alone: words
// per SID, words without the 0xD preamble, and a cut-off partial word at the
// end. `replay` uses it to find the probes of a capture that has no sidecar,
// and to cut the capture into device-sized buffers that each start on a
// valid word.
//
// Library-free but for the library's header-only SID mapping: the word
// layout is the board's (byte 0 = 0xD preamble in the high nibble | SID in
// the low nibble, byte 1 row counter, 14 payload bytes).

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <span>
#include <string>

#include "record/capture/sidecar.h"

#include "record/export.h"

namespace pelionp::record::capture {

inline constexpr std::size_t WORD_BYTES = 16;
inline constexpr uint8_t WORD_PREAMBLE = 0xD;
inline constexpr uint8_t TIMESTAMP_SID = 4;

constexpr bool has_preamble(const uint8_t* word) noexcept { return (word[0] >> 4) == WORD_PREAMBLE; }
constexpr uint8_t sid_of(const uint8_t* word) noexcept { return word[0] & 0x0F; }

struct PELIONP_RECORD_API Census {
  std::array<uint64_t, 16> words{};  // valid words per SID
  uint64_t invalid_words = 0;        // words without the preamble
  uint64_t trailing_bytes = 0;       // a partial word at the end of the capture

  uint64_t total_words() const noexcept;
};

// Counts whole words; `bytes` must hold a multiple of 16.
PELIONP_RECORD_API void count_words(std::span<const uint8_t> bytes, Census& census) noexcept;

// Reads the whole capture.
PELIONP_RECORD_API std::expected<Census, std::string> scan(const std::filesystem::path& capture);

// What a capture without a sidecar can say about its probes: NP1 on SIDs
// 0..3, NP2 on 8..15 (recorded as single-shank: the stream does not tell the
// variants apart), each with the default configuration, no identity and unit
// gain correction. Only SIDs that carry words; (port, dock) order.
PELIONP_RECORD_API Sidecar describe_from_census(const Census& census);

// Where a chunk of a capture becomes one buffer for the coordinator, which
// drops a buffer whose first word lacks the preamble: from the chunk's first
// word with the preamble (the words before it are skipped) up to its last
// word with the preamble, which begins the next chunk; the capture's last
// chunk goes to its end. Byte offsets into `words` (a multiple of 16 bytes);
// start == end when nothing is to be handed over.
struct PELIONP_RECORD_API BufferCut {
  std::size_t start = 0;
  std::size_t end = 0;
  friend bool operator==(const BufferCut&, const BufferCut&) = default;
};
PELIONP_RECORD_API BufferCut cut_buffer(std::span<const uint8_t> words, bool last_chunk) noexcept;

// The port and dock a probe SID belongs to; false for SIDs 4..7.
PELIONP_RECORD_API bool probe_location(uint8_t sid, int& port, int& dock) noexcept;

}  // namespace pelionp::record::capture
