#include "pelionp/decoders/np1_demux_worker.h"

#include <spdlog/spdlog.h>

#include "pelionp/demux/worker_loop.h"

namespace pelionp::NP1 {

DemuxWorker::DemuxWorker(demux::SID sid_, std23::move_only_function<void(const APData&)>&& on_ap,
                         std23::move_only_function<void(const LPData&)>&& on_lfp,
                         std23::move_only_function<void()> reset_output_,
                         std23::move_only_function<void()> after_list)
    : NeuropixelsWorker(sid_, std::move(reset_output_), std::move(after_list)) {
    start(FrameDecoder(std::move(on_ap), std::move(on_lfp)), "Worker thread stopping");
}

DemuxWorker::~DemuxWorker() { stop_and_join(); }

}  // namespace pelionp::NP1
