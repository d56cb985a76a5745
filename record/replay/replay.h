#pragma once
// Offline decoding of a raw capture (the device stream bytes as the board
// sent them, see record/capture/sidecar.h) into the files a live recording
// writes. The bytes go through the library's own data path: a
// DataStreamCoordinator fed with device-sized buffers, one NP1 or NP2
// DemuxWorker per probe stream, and the probes' packet assembly and gain
// conversion; only the board is missing.
//
// NB: the coordinator rather than a controller over a replay device: what
// the controller adds to the coordinator is board control (producer enables,
// the trigger, the device stream's keeper), which has no meaning for a file,
// and a replay device would have to pretend to be a board register by
// register. The decoding path is the same either way.
//
// Threading: `run` blocks; it reads and writes on the caller's thread while
// the coordinator's runner and the workers decode on theirs, all joined
// before it returns.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>
#include <vector>

#include "record/spikeglx/meta.h"
#include "record/spikeglx/recording.h"

#include "record/export.h"

namespace pelionp::record::replay {

struct PELIONP_RECORD_API Options {
  std::filesystem::path capture;
  spikeglx::Layout layout;                // where the files go
  std::size_t buffer_bytes = 1 << 20;     // per buffer handed to the coordinator (as the board's DMA)
  std::size_t buffers_in_flight = 8;      // bounds memory: reading waits for decoding
  // AP samples per file at most, gaps included (0: no limit). The replay ends
  // when a file reaches it. NB: gaps are filled in place, so a capture whose
  // timestamps jump far ahead makes files as long as the jump.
  uint64_t ap_sample_limit = 0;
};

struct PELIONP_RECORD_API StreamSummary {
  uint8_t sid = 0;
  spikeglx::ProbeIdentity probe;
  std::filesystem::path ap_path;
  uint64_t words = 0;       // stream words of this SID in the capture
  uint64_t ap_samples = 0;  // samples per channel written
  uint64_t lf_samples = 0;
};

struct PELIONP_RECORD_API Summary {
  bool sidecar = false;  // metadata and corrections came from CAPTURE.json
  uint64_t bytes = 0;    // whole words handed to the decoders
  uint64_t skipped_words = 0;  // words without the preamble where a buffer would start
  std::vector<StreamSummary> streams;  // in (port, dock) order, as numbered on disk
};

// Decodes the whole capture. Metadata and gain corrections come from the
// capture's sidecar when it exists (a malformed sidecar is an error);
// otherwise every probe SID that carries words is recorded with default
// metadata and unit correction.
PELIONP_RECORD_API std::expected<Summary, std::string> run(const Options& options);

}  // namespace pelionp::record::replay
