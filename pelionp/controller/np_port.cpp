#include "pelionp/controller/np_port.h"

namespace pelionp {

std::expected<std::unique_ptr<NPPort>, std::string> NPPort::create(PortIIC iic) {
    auto link = DisconnectedSerDes::init(iic);
    if (!link) return std::unexpected("Failed to init deserializer: " + link.error());
    return std::make_unique<NPPort>(std::move(iic), SerDesState{std::move(*link)});
}

NPPort::NPPort(PortIIC iic_, SerDesState serdes_) : iic(std::move(iic_)), serdes(std::move(serdes_)) {}

NPPort::~NPPort() = default;

}  // namespace pelionp
