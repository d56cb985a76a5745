#pragma once
// Both Neuropixels 2.0 probe types and the variant NP2::init builds.
#include <variant>

#include "pelionp/probes/np2/np2003_np2004.h"
#include "pelionp/probes/np2/np2013_np2014.h"

namespace pelionp::NP2 {

/// Index 0 single shank, index 1 four shanks. Built in place, never moved.
using ProbeVariant = std::variant<NP2003NP2004, NP2013NP2014>;

}  // namespace pelionp::NP2
