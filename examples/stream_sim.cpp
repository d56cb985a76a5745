// The smallest host program: a controller on the simulated board, every
// headstage detected, every probe initialised and streamed for one second,
// and the packets each probe delivered counted.
//
// The simulated board holds the tool's default rig: an NP1 headstage on
// port 0 and, on port 1, an NP2 headstage with a single-shank probe in dock
// 0 and a four-shank probe in dock 1. A real board comes from the
// device-manager plug-in instead; everything after the device is the same.
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "pelionp/controller/np_controller.h"
#include "pelionp/controller/np_port.h"
#include "pelionp/headstages/np1_headstage.h"
#include "pelionp/headstages/np2_headstage.h"
#include "pelionp/probes/np1/probe.h"
#include "pelionp/probes/np2/init.h"
#include "pelionp/probes/np2/probe_variants.h"
#include "sim/rig.h"

namespace {

// One probe being streamed: its worker, and how to drain what it delivered
// until a deadline, blocking on its queue. NP1 packets hold 12 AP samples,
// NP2 packets one.
struct Stream {
    std::string name;
    pelionp::demux::NeuropixelsWorker* worker;
    std::function<std::size_t(std::chrono::steady_clock::time_point)> drain_until;
    std::size_t packets = 0;
};

// Takes packets from `queue` until `until`, a batch at a time; wakes when
// packets arrive, never sleeps to poll.
template <class Packet, class Queue>
std::size_t drain_until(Queue& queue, std::chrono::steady_clock::time_point until) {
    std::vector<Packet> batch(64);
    std::size_t n = 0;
    for (auto now = std::chrono::steady_clock::now(); now < until; now = std::chrono::steady_clock::now())
        n += queue.wait_dequeue_bulk_timed(batch.data(), batch.size(), until - now);
    return n;
}

}  // namespace

int main() {
    pelionp::sim::RigContents contents;
    contents.ports[0] = pelionp::sim::NP1PortContents{};
    contents.ports[1] = pelionp::sim::NP2PortContents{
        .docks = {pelionp::sim::NP2DockContents{.probe_pn = "NP2003", .serial = std::nullopt},
                  pelionp::sim::NP2DockContents{.probe_pn = "NP2013", .serial = std::nullopt}}};
    const pelionp::sim::Rig rig = pelionp::sim::make_rig(contents, {.paced = true});

    auto controller = pelionp::NPController::create(rig.board);
    if (!controller) {
        std::fprintf(stderr, "Cannot create the controller: %s\n", controller.error().c_str());
        return 1;
    }

    // Ports must stay alive while their headstages and probes are used.
    std::vector<std::shared_ptr<pelionp::NPPort>> ports;
    std::vector<Stream> streams;
    for (int p = 0; p < 4; ++p) {
        auto port = (*controller)->get_np_port(p);
        if (!port) {
            std::fprintf(stderr, "Port %d: %s\n", p, port.error().c_str());
            return 1;
        }
        auto headstage = (*controller)->detect_headstage(**port);
        if (!headstage) {
            std::printf("port %d: %s\n", p, headstage.error().c_str());
            continue;
        }
        ports.push_back(*port);
        if (auto* np1 = std::get_if<std::reference_wrapper<pelionp::NP1::Headstage>>(&*headstage)) {
            auto& hs = np1->get();
            auto probe = pelionp::NP1::Probe::init(hs.serializer);
            if (!probe) {
                std::fprintf(stderr, "port %d: NP1 probe: %s\n", p, probe.error().c_str());
                return 1;
            }
            hs.probe = std::move(*probe);
            auto queue = hs.probe->stream().shared_packets();
            streams.push_back({"port " + std::to_string(p) + " NP1 serial " + std::to_string(hs.probe->info.serial),
                               &hs.probe->stream().worker(), [queue](auto until) {
                                   return drain_until<pelionp::electrodePacket>(*queue, until);
                               }});
        } else {
            auto& hs = std::get<std::reference_wrapper<pelionp::NP2::Headstage>>(*headstage).get();
            for (auto dock : {pelionp::NP2::Dock::DOCK0, pelionp::NP2::Dock::DOCK1}) {
                auto probe = pelionp::NP2::init(hs.serializer, dock);
                const int d = static_cast<int>(dock);
                if (!probe) {
                    std::printf("port %d dock %d: %s\n", p, d, probe.error().c_str());
                    continue;
                }
                hs.probes[d] = std::move(*probe);
                auto& base = std::visit([](auto& v) -> pelionp::NP2::NP2ProbeBase& { return v; }, *hs.probes[d]);
                auto queue = base.stream().shared_packets();
                streams.push_back({"port " + std::to_string(p) + " dock " + std::to_string(d) + " NP2",
                                   &base.stream().worker(), [queue](auto until) {
                                       return drain_until<pelionp::NP2::APData>(*queue, until);
                                   }});
            }
        }
    }

    for (auto& s : streams) {
        if (auto started = (*controller)->start_stream(*s.worker); !started) {
            std::fprintf(stderr, "%s: %s\n", s.name.c_str(), started.error().c_str());
            return 1;
        }
    }
    // The host drains each queue on a thread of its own while the probes
    // stream; each thread blocks on its queue and ends at the deadline.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    {
        std::vector<std::jthread> drains;
        for (auto& s : streams) drains.emplace_back([&s, until] { s.packets += s.drain_until(until); });
    }  // joined here
    for (auto& s : streams) {
        if (auto stopped = (*controller)->stop_stream(*s.worker); !stopped)
            std::fprintf(stderr, "%s: %s\n", s.name.c_str(), stopped.error().c_str());
    }

    bool all_delivered = !streams.empty();
    for (const auto& s : streams) {
        std::printf("%s: %zu packets\n", s.name.c_str(), s.packets);
        all_delivered = all_delivered && s.packets > 0;
    }
    return all_delivered ? 0 : 1;
}
