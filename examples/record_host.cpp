// A host that records through the recording library: two seconds of every
// probe of the simulated board into SpikeGLX-style files, the same files
// `pelionp record` writes (with their .meta geometry and ProbeInterface
// descriptions).
//
//   record_host OUT_DIR     -> OUT_DIR/host_g<G>/host_g<G>_imec<N>/...
//
// Each call takes the next free gate, so running it twice keeps both runs.
//
// The simulated board holds the tool's default rig: an NP1 headstage on
// port 0 and, on port 1, an NP2 headstage with a single-shank probe in dock
// 0 and a four-shank probe in dock 1. A real board comes from the
// device-manager plug-in instead; everything after the device is the same.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "record/session/run.h"
#include "record/session/session.h"
#include "record/spikeglx/meta.h"
#include "sim/rig.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: record_host OUT_DIR\n");
        return 2;
    }
    const std::filesystem::path out = argv[1];

    pelionp::sim::RigContents contents;
    contents.ports[0] = pelionp::sim::NP1PortContents{};
    contents.ports[1] = pelionp::sim::NP2PortContents{
        .docks = {pelionp::sim::NP2DockContents{.probe_pn = "NP2003", .serial = std::nullopt},
                  pelionp::sim::NP2DockContents{.probe_pn = "NP2014", .serial = std::nullopt}}};
    const pelionp::sim::Rig rig = pelionp::sim::make_rig(contents, {.paced = true});

    // The session: controller, ports, headstages and one handle per probe.
    auto session = pelionp::record::Session::open(rig.board);
    if (!session) {
        std::fprintf(stderr, "%s\n", session.error().c_str());
        return 1;
    }
    if (auto detected = (*session)->detect(); !detected) {
        std::fprintf(stderr, "Detection failed: %s\n", detected.error().c_str());
        return 1;
    }
    for (const auto& probe : (*session)->probes())
        std::printf("%s: %s serial %llu\n", probe.place().c_str(), probe.info().probe_pn.c_str(),
                    static_cast<unsigned long long>(probe.info().serial));

    // Every probe with the library's default configuration, two seconds.
    const auto samples = static_cast<uint64_t>(2 * pelionp::record::spikeglx::AP_SAMPLE_RATE);
    auto run = pelionp::record::Run::create(**session, {.layout = {out, "host"}, .ap_samples = samples});
    if (!run) {
        std::fprintf(stderr, "%s (%s)\n", run.error().message.c_str(),
                     std::string(pelionp::record::to_string(run.error().kind)).c_str());
        return 1;
    }
    std::printf("Recording into %s\n", (*run)->layout().run_directory().string().c_str());
    if (auto started = (*run)->start(); !started) {
        std::fprintf(stderr, "%s\n", started.error().message.c_str());
        return 1;
    }
    // The writers stop by themselves at the sample count; a host would show
    // progress from the counters meanwhile (or wait in shorter steps).
    const bool complete = (*run)->wait(std::chrono::seconds(30)) && (*run)->done();
    auto finished = (*run)->finish();
    for (std::size_t i = 0; i < (*run)->writers().size(); ++i) {
        const auto& w = *(*run)->writers()[i];
        std::printf("imec%zu: %llu AP samples, %llu lost -> %s\n", i,
                    static_cast<unsigned long long>(w.recording().ap_samples()),
                    static_cast<unsigned long long>(w.dropped_samples()), w.recording().ap_path().string().c_str());
    }
    if (!finished) {
        std::fprintf(stderr, "%s\n", finished.error().message.c_str());
        return 1;
    }
    if (!complete) {
        std::fprintf(stderr, "The recording did not complete within 30 s\n");
        return 1;
    }
    return 0;
}
