#pragma once
// The life cycle of a port's link, as a value that changes type:
//
//   DisconnectedSerDes --try_make_connected--> ConfigLinkedSerDes
//   ConfigLinkedSerDes --switch_to_data_link--> DataLinkedSerDes   (lock within 5 polls)
//   DataLinkedSerDes --switch_to_config_link--> ConfigLinkedSerDes
//   a failed switch whose serializer no longer answers --> DisconnectedSerDes
//
// The port holds a `SerDesState` and moves it with the free functions; a
// failed operation leaves the variant holding a value (never valueless) as
// the table above says. No locks of their own; see serdes.h.
#include <expected>
#include <string>
#include <variant>

#include "pelionp/export.h"
#include "pelionp/links/port_iic.h"
#include "pelionp/links/serdes.h"

namespace pelionp {

/// Only the deserializer is known.
class PELIONP_API DisconnectedSerDes {
public:
    DisconnectedSerDes(const PortIIC& port, const Deserializer& deserializer) noexcept
        : port(port), deserializer(deserializer) {}

    /// Initialises the port's deserializer.
    static std::expected<DisconnectedSerDes, std::string> init(const PortIIC& port);

    PortIIC port;
    Deserializer deserializer;
};

/// Both chips known; base of the two link modes, never held by itself.
class PELIONP_API ConnectedSerDes {
public:
    PortIIC port;
    Deserializer deserializer;
    Serializer serializer;

protected:
    ConnectedSerDes(const PortIIC& port, const Deserializer& deserializer, const Serializer& serializer) noexcept
        : port(port), deserializer(deserializer), serializer(serializer) {}
};

/// Configuration link: the headstage's chips are reachable over I2C.
class PELIONP_API ConfigLinkedSerDes : public ConnectedSerDes {
public:
    ConfigLinkedSerDes(const PortIIC& port, const Deserializer& deserializer, const Serializer& serializer) noexcept
        : ConnectedSerDes(port, deserializer, serializer) {}

    /// Sets the EDC mode on the deserializer, then the serializer; up to 3
    /// write-and-read-back attempts per chip. NB: the write replaces the
    /// whole register 0x07, clearing the input mode bit.
    std::expected<void, std::string> set_edc(EDCMode mode) const;
    /// Register 0x07 bit 7 on the deserializer, then the serializer.
    std::expected<void, std::string> set_input_mode(bool mode) const;
};

/// Data link: the deserializer is locked on the serializer's stream.
class PELIONP_API DataLinkedSerDes : public ConnectedSerDes {
public:
    DataLinkedSerDes(const PortIIC& port, const Deserializer& deserializer, const Serializer& serializer) noexcept
        : ConnectedSerDes(port, deserializer, serializer) {}

    /// Starts the serializer's PRBS generator and the deserializer's checker.
    std::expected<void, std::string> start_prbs(PRBS pattern) const;
    /// Stops both ends and returns the checker's PRBS error count.
    std::expected<int, std::string> stop_prbs_and_get_error_count() const;
};

/// The port's link state (alternatives 0, 1, 2 in this order).
using SerDesState = std::variant<DisconnectedSerDes, ConfigLinkedSerDes, DataLinkedSerDes>;

/// Brings a disconnected link up to ConfigLinkedSerDes; a connected one is left alone.
PELIONP_API std::expected<void, std::string> try_make_connected(SerDesState& state, Preemphasis preemphasis);
PELIONP_API std::expected<void, std::string> switch_to_config_link(SerDesState& state);
/// Checks that a connected state still describes the hardware: re-reads the
/// serializer's link mode (one read). A serializer that does not answer, or
/// answers in the other mode (a headstage re-plugged and powered up afresh
/// starts on the data link), puts the state back to DisconnectedSerDes.
/// Returns whether the state was kept; a disconnected state is kept as is.
PELIONP_API bool recheck_link(SerDesState& state);
PELIONP_API std::expected<void, std::string> switch_to_data_link(SerDesState& state);

}  // namespace pelionp
