#include "record/session/probe_setup.h"

#include <fmt/format.h>

#include <fstream>

#include "record/calibration/calibration.h"
#include "record/context.h"

namespace pelionp::record {

namespace {

template <class... F>
struct overloaded : F... {
  using F::operator()...;
};

std::expected<void, std::string> refused(int channel, std::string_view setter) {
  return std::unexpected(fmt::format("channel {}: the probe refused {}", channel, setter));
}

channelreference_t np1_reference(imro::Reference reference) {
  switch (reference) {
    case imro::Reference::external: return channelreference_t::EXT_REF;
    case imro::Reference::tip: return channelreference_t::TIP_REF;
    case imro::Reference::internal:
    case imro::Reference::on_shank: break;
  }
  return channelreference_t::INT_REF;
}

channelreference_t np2_reference(imro::Reference reference) {
  switch (reference) {
    case imro::Reference::external: return channelreference_t::EXT_REF;
    case imro::Reference::tip: return channelreference_t::TIP_REF;
    case imro::Reference::internal:
    case imro::Reference::on_shank: break;
  }
  return channelreference_t::LOCAL_REF;
}

std::expected<void, std::string> configure(NP1::Probe& probe, const imro::ProbeConfiguration& configuration) {
  for (int c = 0; c < CHANNEL_COUNT; ++c) {
    const auto& s = configuration.channels[static_cast<size_t>(c)];
    const auto channel = static_cast<uint16_t>(c);
    if (c != NP1::ProbeConfiguration::INTERNAL_REFERENCE_CHANNEL) {
      const auto bank = imro::lowest_bank(s);
      const auto code = bank ? static_cast<uint8_t>(*bank) : NP1::ProbeConfiguration::DISCONNECT_BANK;
      if (!probe.selectElectrode(channel, code, true)) return refused(c, "selectElectrode");
    }
    if (!probe.setReference(channel, np1_reference(s.reference), configuration.internal_reference_bank))
      return refused(c, "setReference");
    if (!probe.setGain(channel, s.ap_gain_code, s.lf_gain_code)) return refused(c, "setGain");
    if (!probe.probe_setAPCornerFrequency(channel, !s.ap_highpass)) return refused(c, "probe_setAPCornerFrequency");
    if (!probe.probe_setStdb(channel, s.standby)) return refused(c, "probe_setStdb");
  }
  return {};
}

std::expected<void, std::string> configure(NP2::NP2003NP2004& probe, const imro::ProbeConfiguration& configuration) {
  for (int c = 0; c < CHANNEL_COUNT; ++c) {
    const auto& s = configuration.channels[static_cast<size_t>(c)];
    const auto channel = static_cast<uint16_t>(c);
    if (s.bank_mask == 0) {
      if (!probe.selectElectrode(channel, NP2::BANK_DISCONNECT, true)) return refused(c, "selectElectrode");
    }
    bool first = true;
    for (uint8_t b = 0; b < NP2::BANK_COUNT; ++b) {
      if ((s.bank_mask & (1U << b)) == 0) continue;
      if (!probe.selectElectrode(channel, b, first)) return refused(c, "selectElectrode");
      first = false;
    }
    if (!probe.setReference(channel, np2_reference(s.reference))) return refused(c, "setReference");
    if (!probe.setStdb(channel, s.standby)) return refused(c, "setStdb");
  }
  return {};
}

std::expected<void, std::string> configure(NP2::NP2013NP2014& probe, const imro::ProbeConfiguration& configuration) {
  for (int c = 0; c < CHANNEL_COUNT; ++c) {
    const auto& s = configuration.channels[static_cast<size_t>(c)];
    const auto channel = static_cast<uint16_t>(c);
    const auto bank = imro::lowest_bank(s);
    const auto code = bank ? static_cast<uint8_t>(*bank) : NP2::BANK_DISCONNECT;
    if (!probe.selectElectrode(channel, s.shank, code, true)) return refused(c, "selectElectrode");
    if (!probe.setReference(channel, s.reference_shank, np2_reference(s.reference))) return refused(c, "setReference");
    if (!probe.setStdb(channel, s.standby)) return refused(c, "setStdb");
  }
  return {};
}

std::expected<void, std::string> load_gain_file(const ProbeHandle& probe, const std::filesystem::path& file) {
  std::ifstream in(file);
  if (!in) return std::unexpected(fmt::format("{}: cannot open", file.string()));
  auto loaded = std::visit([&](auto* p) { return p->load_gain_calibration(in); }, probe.probe);
  return with_context(std::move(loaded), file.string());
}

std::expected<void, std::string> load_adc_file(NP1::Probe& probe, const std::filesystem::path& file) {
  auto adcs = calibration::read_adc_calibration(file);
  if (!adcs) return std::unexpected(adcs.error());
  for (const auto& r : adcs->adcs) {
    if (!probe.probe_writeADCCalib(&r))
      return std::unexpected(fmt::format("{}: the probe refused the settings of ADC {}", file.string(), r.adc));
  }
  return {};
}

}  // namespace

std::expected<bool, std::string> load_calibration(const ProbeHandle& probe, const std::filesystem::path& dir) {
  const auto files = calibration::locate(dir, probe.info().serial, probe.kind);
  if (files.adc) {
    if (auto* np1 = std::get_if<NP1::Probe*>(&probe.probe)) {
      if (auto r = load_adc_file(**np1, *files.adc); !r) return std::unexpected(r.error());
    }
  }
  if (!files.gain) return false;
  if (auto r = load_gain_file(probe, *files.gain); !r) return std::unexpected(r.error());
  return true;
}

std::expected<void, std::string> apply_configuration(const ProbeHandle& probe,
                                                     const imro::ProbeConfiguration& configuration) {
  if (configuration.kind != probe.kind)
    return std::unexpected(fmt::format("a configuration for an {} probe does not fit an {} probe",
                                       display_name(configuration.kind), display_name(probe.kind)));
  return std::visit([&](auto* p) { return configure(*p, configuration); }, probe.probe);
}

namespace {

std::vector<ChainResult> chains(NP1::Probe::ShiftRegisterConfigResult r) {
  std::vector<ChainResult> out;
  out.push_back({"shank", std::move(r.shank)});
  out.push_back({"base0", std::move(r.base0)});
  out.push_back({"base1", std::move(r.base1)});
  return out;
}

void add_base(std::vector<ChainResult>& out, NP2::BaseShiftRegisterConfigResult& base) {
  out.push_back({"base even", std::move(base.even)});
  out.push_back({"base odd", std::move(base.odd)});
}

std::vector<ChainResult> chains(NP2::NP2003NP2004::ShiftRegisterConfigResult r) {
  std::vector<ChainResult> out;
  add_base(out, r.base);
  out.push_back({"shank", std::move(r.shank)});
  return out;
}

std::vector<ChainResult> chains(NP2::NP2013NP2014::ShiftRegisterConfigResult r) {
  std::vector<ChainResult> out;
  add_base(out, r.base);
  for (size_t s = 0; s < r.shanks.size(); ++s) out.push_back({fmt::format("shank {}", s), std::move(r.shanks[s])});
  return out;
}

}  // namespace

std::vector<ChainResult> upload_configuration(const ProbeHandle& probe) {
  return std::visit(overloaded{
                        // The shank chain's readback is unreliable on NP1; the probe never checks it.
                        [](NP1::Probe* p) { return chains(p->apply_shift_register_config(false)); },
                        [](auto* p) { return chains(p->apply_shift_register_config(true)); },
                    },
                    probe.probe);
}

std::vector<ChainResult> bist_shift_registers(const ProbeHandle& probe) {
  return std::visit([](auto* p) { return chains(p->bist_shift_register()); }, probe.probe);
}

capture::GainCorrection ap_gain_correction(const ProbeHandle& probe) {
  capture::GainCorrection out{};
  std::visit(overloaded{
                 [&](NP1::Probe* p) {
                   for (size_t c = 0; c < out.size(); ++c) out[c] = p->ap_gain_correction[c].load();
                 },
                 [&](auto* p) {
                   for (size_t c = 0; c < out.size(); ++c) out[c] = p->gain_factor(c);
                 },
             },
             probe.probe);
  return out;
}

capture::GainCorrection lf_gain_correction(const ProbeHandle& probe) {
  capture::GainCorrection out{};
  out.fill(1.0F);
  if (auto* const* np1 = std::get_if<NP1::Probe*>(&probe.probe))
    for (size_t c = 0; c < out.size(); ++c) out[c] = (*np1)->lfp_gain_correction[c].load();
  return out;
}

}  // namespace pelionp::record
