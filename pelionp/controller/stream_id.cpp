#include "pelionp/controller/stream_id.h"

#include "pelionp/probes/np1/probe.h"
#include "pelionp/probes/np2/stream_id_np2.h"

namespace pelionp {
namespace {

template <class... F>
struct overloaded : F... {
    using F::operator()...;
};
template <class... F>
overloaded(F...) -> overloaded<F...>;  // clang 16 (the fuzz tree) deduces no aggregate's arguments

}  // namespace

demux::SID get_stream_id(ProbeRef probe) {
    return std::visit(
        overloaded{
            [](std::reference_wrapper<NP1::Probe> p) { return NP1::Probe::stream_of_port(p.get().iic.port()); },
            [](std::reference_wrapper<NP2::NP2ProbeBase> p) { return NP2::get_stream_id_np2(p.get()); },
        },
        probe);
}

}  // namespace pelionp
