#include "record/capture/census.h"

#include <fmt/format.h>

#include <algorithm>
#include <fstream>
#include <numeric>
#include <vector>

#include "pelionp/demux/sid.h"
#include "record/imro/configuration.h"

namespace pelionp::record::capture {

uint64_t Census::total_words() const noexcept {
  return std::accumulate(words.begin(), words.end(), invalid_words);
}

void count_words(std::span<const uint8_t> bytes, Census& census) noexcept {
  for (std::size_t at = 0; at + WORD_BYTES <= bytes.size(); at += WORD_BYTES) {
    const uint8_t* word = bytes.data() + at;
    if (has_preamble(word)) ++census.words[sid_of(word)];
    else ++census.invalid_words;
  }
}

std::expected<Census, std::string> scan(const std::filesystem::path& capture) {
  std::ifstream in(capture, std::ios::binary);
  if (!in) return std::unexpected(fmt::format("Cannot open {}", capture.string()));
  Census census;
  std::vector<uint8_t> chunk(1 << 20);
  for (;;) {
    in.read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
    const auto got = static_cast<std::size_t>(in.gcount());
    const std::size_t whole = got - got % WORD_BYTES;
    count_words(std::span(chunk).first(whole), census);
    if (got < chunk.size()) {
      census.trailing_bytes = got - whole;
      break;
    }
  }
  if (in.bad()) return std::unexpected(fmt::format("Failed to read {}", capture.string()));
  return census;
}

BufferCut cut_buffer(std::span<const uint8_t> words, bool last_chunk) noexcept {
  const std::size_t whole = words.size() / WORD_BYTES * WORD_BYTES;
  std::size_t start = 0;
  while (start < whole && !has_preamble(&words[start])) start += WORD_BYTES;
  std::size_t end = whole;
  if (!last_chunk) {
    // NB: a chunk whose only word with the preamble is its first goes whole
    // (carried, it would never shrink).
    for (std::size_t at = whole; at > start + WORD_BYTES;) {
      at -= WORD_BYTES;
      if (has_preamble(&words[at])) {
        end = at;
        break;
      }
    }
  }
  return {start, std::max(start, end)};
}

bool probe_location(uint8_t sid, int& port, int& dock) noexcept {
  const auto place = demux::place_of(demux::SID{sid});
  if (!place) return false;
  port = place->port;
  dock = place->dock;
  return true;
}

Sidecar describe_from_census(const Census& census) {
  Sidecar sidecar;
  for (uint8_t sid = 0; sid < 16; ++sid) {
    int port = 0;
    int dock = 0;
    if (census.words[sid] == 0 || !probe_location(sid, port, dock)) continue;
    StreamDescription d;
    d.sid = sid;
    d.probe.kind = sid < 4 ? ProbeKind::np1 : ProbeKind::np2_single_shank;
    d.probe.port = port;
    d.probe.dock = dock;
    d.configuration = imro::default_configuration(d.probe.kind);
    sidecar.streams.push_back(std::move(d));
  }
  std::ranges::sort(sidecar.streams, {}, [](const StreamDescription& d) { return std::pair(d.probe.port, d.probe.dock); });
  return sidecar;
}

}  // namespace pelionp::record::capture
