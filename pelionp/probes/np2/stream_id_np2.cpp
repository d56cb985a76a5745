// The NP2 half of get_stream_id lives with the probe model (np2_stream_id in
// np2_probe_base.cpp); this file joins it to the controller's dispatcher.
#include "pelionp/probes/np2/stream_id_np2.h"

#include "pelionp/probes/np2/np2_probe_base.h"

namespace pelionp::NP2 {

demux::SID get_stream_id_np2(const NP2ProbeBase& probe) { return np2_stream_id(probe.iic.port.port(), probe.iic.dock); }

}  // namespace pelionp::NP2
