#pragma once
// NP1::DemuxWorker: the decoder worker of one Neuropixels 1.0 stream (SID
// NP1_PORT0..NP1_PORT3). Its thread drains the worker's SIDQueue through an
// NP1::FrameDecoder and calls the callbacks there: `on_lfp` before `on_ap`
// within a group that completes both.
//
// Threading contract: see NeuropixelsWorker. The callbacks and
// `reset_output` run on the worker's thread and must not block for long: the
// SIDQueue grows while they do.
#include "pelionp/decoders/np1_frame_decoder.h"
#include "pelionp/demux/neuropixels_worker.h"
#include "pelionp/export.h"

namespace pelionp::NP1 {

class PELIONP_API DemuxWorker : public demux::NeuropixelsWorker {
public:
    /// Throws std::invalid_argument for an empty callback (before any thread
    /// exists) and std::system_error if the thread cannot be started.
    /// `after_list`: see NeuropixelsWorker.
    DemuxWorker(demux::SID sid, std23::move_only_function<void(const APData&)>&& on_ap,
                std23::move_only_function<void(const LPData&)>&& on_lfp, std23::move_only_function<void()> reset_output,
                std23::move_only_function<void()> after_list = {});

    DemuxWorker(const DemuxWorker&) = delete;
    DemuxWorker& operator=(const DemuxWorker&) = delete;
    /// Stops and joins the decoding thread first (logs "Worker thread
    /// stopping" at debug level as it ends).
    ~DemuxWorker() override;
};

}  // namespace pelionp::NP1
