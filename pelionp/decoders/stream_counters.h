#pragma once
// What a probe stream reports about itself, for status lines and tests.
#include <cstdint>

namespace pelionp {

struct StreamCounters {
    uint64_t packets = 0;  ///< packets completed since the last output reset (queued or dropped)
    uint64_t drops = 0;    ///< of those, packets not queued (queue full, incomplete, out of memory)
    uint64_t resyncs = 0;  ///< resyncs of the decoder since it was built
};

}  // namespace pelionp
