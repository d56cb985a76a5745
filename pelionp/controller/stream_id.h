#pragma once
#include <functional>
#include <variant>

#include "pelionp/demux/sid.h"
#include "pelionp/export.h"

namespace pelionp {
namespace NP1 {
class Probe;
}
namespace NP2 {
class NP2ProbeBase;
}

using ProbeRef = std::variant<std::reference_wrapper<NP1::Probe>, std::reference_wrapper<NP2::NP2ProbeBase>>;

/// The stream a probe's data arrives on: NP1 on port p gives SID p; NP2 gives
/// 8 + port in dock 0 and 12 + port in any other dock. Throws
/// std::runtime_error for a probe whose port lies outside 0..3.
PELIONP_API demux::SID get_stream_id(ProbeRef probe);

}  // namespace pelionp
