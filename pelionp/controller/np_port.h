#pragma once
// One headstage port of the board: its I2C handle, the state of its
// serializer/deserializer link and, once detected, its headstage (which owns
// the probes, which own their decoder workers).
//
// Ownership: `NPPort::create` gives the caller a unique port that no
// controller tracks. `NPController::get_np_port` hands out one shared port
// per number; its deleter releases the port's streams under the
// controller's mutex and keeps the controller alive until then.
// Threading: none of its own. Detection runs under the controller's mutex;
// a reference to the headstage is valid while the port lives and its
// `generation` is unchanged.
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "pelionp/export.h"
#include "pelionp/headstages/np1_headstage.h"
#include "pelionp/headstages/np2_headstage.h"
#include "pelionp/links/link_state.h"
#include "pelionp/links/port_iic.h"

namespace pelionp {

using HeadstageVariant = std::variant<NP1::Headstage, NP2::Headstage>;

struct PELIONP_API NPPort {
    /// Initialises the port's deserializer; "Failed to init deserializer: "
    /// followed by the link's message on failure.
    static std::expected<std::unique_ptr<NPPort>, std::string> create(PortIIC iic);

    NPPort(PortIIC iic, SerDesState serdes);
    NPPort(const NPPort&) = delete;
    NPPort& operator=(const NPPort&) = delete;
    ~NPPort();

    PortIIC iic;
    SerDesState serdes;
    std::optional<HeadstageVariant> headstage;
    /// Grows each time detection discards a headstage that failed its
    /// EEPROM self test.
    uint64_t generation = 0;
};

}  // namespace pelionp
