#include "pelionp/controller/stream_id.h"

#include <stdexcept>

#include "pelionp/probes/np1/probe.h"

namespace pelionp {
namespace {

template <class... F>
struct overloaded : F... {
    using F::operator()...;
};

}  // namespace

demux::SID get_stream_id(ProbeRef probe) {
    return std::visit(
        overloaded{
            [](std::reference_wrapper<NP1::Probe> p) { return NP1::Probe::stream_of_port(p.get().iic.port()); },
            // NP2 probes: 8 + port in dock 0, 12 + port in any other dock,
            // "Invalid port for NP2 probe" outside 0..3. Completed with the
            // NP2 probe base.
            [](std::reference_wrapper<NP2::NP2ProbeBase>) -> demux::SID {
                throw std::logic_error("get_stream_id: NP2 probes are not part of this build yet");
            },
        },
        probe);
}

}  // namespace pelionp
