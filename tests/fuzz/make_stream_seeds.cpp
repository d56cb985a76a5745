// Writes the seeds that are easier made than typed: each probe kind's
// default IMRO table (imro/corpus/default_*), and the stream seeds of the
// coordinator, replay and capture targets: short
// streams of the simulated board's encoders (timestamps, NP1 on SID 0, NP2 on
// SIDs 8 and 12, IO frames on SID 5), so the fuzzer starts from words the
// decoders accept. Usage: fuzz_make_stream_seeds DIR (writes DIR/coordinator/
// corpus/stream_*.bin, DIR/replay/corpus/stream_*.bin and
// DIR/capture/corpus/stream_*.bin).
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sim/stream_encoders.h"
#include "record/imro/imro.h"

using namespace pelionp::sim;

namespace {

std::vector<uint8_t> stream(bool np1, bool np2, bool io, int ticks) {
    std::vector<uint8_t> out;
    TimestampEncoder timestamps(1000, 1);
    NP1Encoder np1_encoder(0, {[](uint64_t g, int c) { return static_cast<uint16_t>((g * 7 + c) & 0x3FF); },
                               [](uint64_t s, int c) { return static_cast<uint16_t>((s + c) & 0x3FF); }});
    NP2Encoder dock0(8, {[](uint64_t s, int c) { return static_cast<uint16_t>((s * 3 + c) & 0xFFF); }});
    NP2Encoder dock1(12, {[](uint64_t s, int c) { return static_cast<uint16_t>((s + 2 * c) & 0xFFF); }});
    WordFramer io_framer(5);
    for (int t = 0; t < ticks; ++t) {
        timestamps.append(out);
        if (np1) np1_encoder.append_frames(out, 1);
        if (np2) {
            dock0.append_subrows(out, 3);
            dock1.append_subrows(out, 3);
        }
        if (io && t % 4 == 0) {
            for (uint8_t index = 1; index <= 6; ++index) {
                Payload p{};
                p[0] = index;
                for (int b = 6; b < 14; ++b) p[b] = static_cast<uint8_t>(t + b);
                io_framer.append(out, p);
            }
        }
    }
    return out;
}

void write(const std::filesystem::path& file, const std::vector<uint8_t>& prefix, const std::vector<uint8_t>& bytes) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(prefix.data()), static_cast<std::streamsize>(prefix.size()));
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    const std::filesystem::path dir = argv[1];
    struct Seed {
        const char* name;
        bool np1, np2, io;
        int ticks;
    };
    for (const Seed& s : {Seed{"all", true, true, true, 40}, Seed{"np1", true, false, false, 30},
                          Seed{"np2", false, true, false, 40}, Seed{"io", false, false, true, 24}}) {
        const auto bytes = stream(s.np1, s.np2, s.io, s.ticks);
        // Coordinator: buffer size byte (64 words), then the stream.
        write(dir / "coordinator" / "corpus" / (std::string("stream_") + s.name + ".bin"), {63}, bytes);
        // Replay: flags (no sidecar, 32-word buffers), then the capture.
        write(dir / "replay" / "corpus" / (std::string("stream_") + s.name + ".bin"), {62}, bytes);
        write(dir / "capture" / "corpus" / (std::string("stream_") + s.name + ".bin"), {62}, bytes);
    }
    for (auto kind : {pelionp::record::ProbeKind::np1, pelionp::record::ProbeKind::np2_single_shank,
                      pelionp::record::ProbeKind::np2_four_shank}) {
        const auto text = pelionp::record::imro::format(pelionp::record::imro::default_configuration(kind));
        write(dir / "imro" / "corpus" / ("default_" + std::string(pelionp::record::key(kind))),
              {static_cast<uint8_t>(kind)}, std::vector<uint8_t>(text.begin(), text.end()));
    }
    return 0;
}
