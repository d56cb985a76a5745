#pragma once
// What a probe stream reports about itself, for status lines, soak runs and
// tests.
//
// Loss accounting: every word of the probe's stream that the device sent
// after the stream's first word was seen ends up either in a set the host
// was given or in exactly one loss cause, so that
//
//     words_delivered + lost.total() == words the device sent
//                                     == device time elapsed x words_per_set x 30 kHz
//
// once the words in flight are decoded. A word is one 16-byte stream word;
// `words_per_set` converts to sample sets (one sample of every channel):
// NP1 65 (one frame group; a packet of 12 sets is 780), NP2 48 (16 rows of
// three subrows). Every figure is cumulative from the stream's construction:
// resyncs do not reset them.
#include <cstdint>

namespace pelionp {

/// Stream words lost, by cause.
struct StreamLosses {
    /// In sets the decoder completed, dropped because the host's queue held
    /// its element limit.
    uint64_t queue_full = 0;
    /// Dropped, as the newest data, while the data path was over its byte
    /// budget (demux::data_path_budget()): lists the demultiplexer handed to
    /// no stream, sets a stream did not queue.
    uint64_t budget = 0;
    /// In sets with a gap, dropped: NP1 superframes whose groups did not run
    /// 0..11 (or whose end never came), NP2 sets that did not take their 48
    /// words.
    uint64_t incomplete = 0;
    /// Taken while the decoder was not synchronised: before a marker, at a
    /// lost marker, in a set cut off by a forced resync (NP1: the decoder's
    /// drops, which it resets at sync; NP2: a set cut off by a superframe
    /// start, a word with no valid subrow).
    uint64_t sync = 0;
    /// Gaps in the device's row counter: lost on the wire, or in a device
    /// buffer refused whole (modulo 256 per gap).
    uint64_t wire = 0;
    /// Word lists, queue entries or sets that could not be allocated.
    uint64_t memory = 0;
    /// Discarded by a resync: lists still queued for the decoder, the set the
    /// decoder was assembling, and sets cleared from the host's queue.
    uint64_t resync = 0;

    [[nodiscard]] uint64_t total() const noexcept {
        return queue_full + budget + incomplete + sync + wire + memory + resync;
    }
};

struct StreamCounters {
    uint64_t packets = 0;  ///< packets completed since the last output reset (queued or dropped)
    uint64_t drops = 0;    ///< of those, packets not queued (queue full, incomplete, out of memory)
    uint64_t resyncs = 0;  ///< resyncs of the decoder since it was built
    /// Words in sets queued for the host (and not cleared by a resync since).
    uint64_t words_delivered = 0;
    /// Words lost, by cause (see above).
    StreamLosses lost{};
    /// Stream words per sample set of this probe kind.
    uint32_t words_per_set = 0;

    /// Words accounted for: what the device sent for this stream so far,
    /// less what is still in flight.
    [[nodiscard]] uint64_t words_accounted() const noexcept { return words_delivered + lost.total(); }
};

}  // namespace pelionp
