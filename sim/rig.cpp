#include "sim/rig.h"

#include <stdexcept>
#include <string>
#include <utility>

#include "sim/headstages/np_headstages.h"

namespace pelionp::sim {
namespace {

void check_port(int port) {
    if (port < 0 || port >= Board::PORT_COUNT) throw std::invalid_argument("Board has no port " + std::to_string(port));
}

struct PortBuilder {
    int port;

    RigPort operator()(std::monostate) const { return {}; }

    RigPort operator()(const NP1PortContents& np1) const {
        RigPort built{.headstage = make_np1_headstage(), .np1 = std::nullopt, .np2 = {}};
        built.np1 = attach_np1_probe(*built.headstage, {.serial = np1.serial.value_or(default_np1_serial(port)),
                                                        .probe_pn = np1.probe_pn});
        return built;
    }

    RigPort operator()(const NP2PortContents& np2) const {
        RigPort built{.headstage = make_np2_headstage(), .np1 = std::nullopt, .np2 = {}};
        for (int dock = 0; dock < NP2_DOCK_COUNT; ++dock) {
            const auto& docked = np2.docks[static_cast<std::size_t>(dock)];
            if (!docked) {
                // Nothing docked: the placeholder data would pose as a probe.
                built.headstage->set_stream_source(dock, nullptr);
                continue;
            }
            built.np2[static_cast<std::size_t>(dock)] = attach_np2_probe(
                *built.headstage, dock,
                {.serial = docked->serial.value_or(default_np2_serial(port, dock)),
                 .version_major = 0,
                 .version_minor = 0,
                 .flex_pn = {},
                 .probe_pn = docked->probe_pn});
        }
        return built;
    }
};

}  // namespace

uint64_t default_np1_serial(int port) {
    check_port(port);
    return 18005106800ULL + static_cast<uint64_t>(port);
}

uint64_t default_np2_serial(int port, int dock) {
    check_port(port);
    if (dock != 0 && dock != 1) throw std::invalid_argument("NP2 headstage has no dock " + std::to_string(dock));
    return 19011110000ULL + 10 * static_cast<uint64_t>(port) + static_cast<uint64_t>(dock);
}

std::array<RigPort, Board::PORT_COUNT> plug_rig(Board& board, const RigContents& contents) {
    std::array<RigPort, Board::PORT_COUNT> ports;
    for (int p = 0; p < Board::PORT_COUNT; ++p) {
        auto& port = ports[static_cast<std::size_t>(p)];
        port = std::visit(PortBuilder{p}, contents.ports[static_cast<std::size_t>(p)]);
        if (port.headstage) board.plug(p, port.headstage);
        else board.unplug(p);
    }
    return ports;
}

Rig make_rig(const RigContents& contents, StreamOptions options) {
    Rig rig{.board = std::make_shared<Board>(), .ports = {}};
    rig.board->set_stream_options(options);
    rig.ports = plug_rig(*rig.board, contents);
    return rig;
}

}  // namespace pelionp::sim
