#pragma once
// NP2::DemuxWorker: the decoder worker of one Neuropixels 2.0 stream (SIDs
// NP2_PORT0_DOCK0..NP2_PORT3_DOCK1). Its thread drains the worker's SIDQueue
// through an NP2::RowDecoder and calls `on_raw_ap` once per superframe.
//
// Threading contract: see NeuropixelsWorker. The callback and `reset_output`
// run on the worker's thread.
#include "pelionp/decoders/np2_row_decoder.h"
#include "pelionp/demux/neuropixels_worker.h"
#include "pelionp/export.h"

namespace pelionp::NP2 {

class PELIONP_API DemuxWorker : public demux::NeuropixelsWorker {
public:
    /// Throws std::invalid_argument for an empty callback (before any thread
    /// exists) and std::system_error if the thread cannot be started.
    /// `after_list`: see NeuropixelsWorker.
    DemuxWorker(demux::SID sid, std23::move_only_function<void(const RawAPData&)>&& on_raw_ap,
                std23::move_only_function<void()> reset_output, std23::move_only_function<void()> after_list = {});

    DemuxWorker(const DemuxWorker&) = delete;
    DemuxWorker& operator=(const DemuxWorker&) = delete;
    /// Stops and joins the decoding thread first.
    ~DemuxWorker() override;
};

}  // namespace pelionp::NP2
