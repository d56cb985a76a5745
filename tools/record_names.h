#pragma once
// The command line is written over the recording library: its names
// (ProbeKind, spikeglx::, imro::, capture::, Session, ...) read unqualified
// in the tool's own namespace.

#include "record/probe_kind.h"

namespace pelionp::record {}

namespace pelionp::tool {
using namespace ::pelionp::record;
}  // namespace pelionp::tool
