#pragma once
// NP2 half of pelionp::get_stream_id: 8 + port in dock 0, 12 + port in any
// other dock; std::runtime_error("Invalid port for NP2 probe") for a port
// outside 0..3.
#include "pelionp/demux/sid.h"
#include "pelionp/export.h"

namespace pelionp::NP2 {

class NP2ProbeBase;

PELIONP_API demux::SID get_stream_id_np2(const NP2ProbeBase& probe);

}  // namespace pelionp::NP2
