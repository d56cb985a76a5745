#include "pelionp/decoders/np2_demux_worker.h"

#include "pelionp/demux/worker_loop.h"

namespace pelionp::NP2 {

DemuxWorker::DemuxWorker(demux::SID sid_, std23::move_only_function<void(const RawAPData&)>&& on_raw_ap,
                         std23::move_only_function<void()> reset_output_,
                         std23::move_only_function<void()> after_list)
    : NeuropixelsWorker(sid_, std::move(reset_output_), std::move(after_list)) {
    start(RowDecoder(std::move(on_raw_ap)));
}

DemuxWorker::~DemuxWorker() { stop_and_join(); }

}  // namespace pelionp::NP2
