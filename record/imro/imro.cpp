#include "record/imro/imro.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <fstream>
#include <sstream>

#include "record/context.h"
#include "record/imro/geometry.h"

namespace pelionp::record::imro {

namespace {

using Result = std::expected<ProbeConfiguration, std::string>;

constexpr bool is_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view trim(std::string_view s) noexcept {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

// Integers separated by `separator` (or any blank when it is ' ').
std::expected<std::vector<int>, std::string> parse_integers(std::string_view text, char separator) {
  std::vector<int> values;
  text = trim(text);
  while (!text.empty()) {
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || end == text.data())
      return std::unexpected(fmt::format("'{}' is not an integer", text.substr(0, text.find(separator))));
    values.push_back(value);
    text.remove_prefix(static_cast<size_t>(end - text.data()));
    const auto before = text.size();
    text = trim(text);
    if (separator != ' ' && !text.empty()) {
      if (text.front() != separator) return std::unexpected(fmt::format("unexpected '{}'", text.front()));
      text = trim(text.substr(1));
      if (text.empty()) return std::unexpected(std::string("trailing separator"));
    } else if (!text.empty() && text.size() == before) {
      return std::unexpected(fmt::format("unexpected '{}'", text.front()));
    }
  }
  return values;
}

size_t fields_per_entry(int type) noexcept {
  switch (type) {
    case 0: return 6;
    case 21:
    case 2003: return 4;
    case 24:
    case 2013: return 5;
    default: return 0;
  }
}

// Part numbers and the table type SpikeGLX writes for them.
struct PartType {
  std::string_view part_number;
  int type;
};
constexpr std::array<PartType, 13> PART_TYPES{{
    {"PRB_1_4_0480_1", 0}, {"PRB_1_4_0480_1_C", 0}, {"PRB_1_2_0480_2", 0}, {"NP1000", 0}, {"NP1001", 0},
    {"NP2000", 21}, {"PRB2_1_2_0640_0", 21}, {"NP2003", 2003}, {"NP2004", 2003},
    {"NP2010", 24}, {"PRB2_4_2_0640_0", 24}, {"NP2013", 2013}, {"NP2014", 2013},
}};

std::optional<ProbeKind> kind_of_type(int type) noexcept {
  switch (type) {
    case 0: return ProbeKind::np1;
    case 21:
    case 2003: return ProbeKind::np2_single_shank;
    case 24:
    case 2013: return ProbeKind::np2_four_shank;
    default: return std::nullopt;
  }
}

// The reference ids of every table type: the one mapping both reading and
// writing use. ref_id = first + shank × banks + bank, for shank < shanks and
// bank < banks. `reference` empty: a reference these probes cannot select.
struct ReferenceCode {
  int type;
  std::optional<Reference> reference;
  std::string_view name;
  int first;
  int shanks;
  int banks;
};
constexpr std::array<ReferenceCode, 15> REFERENCE_CODES{{
    {0, Reference::external, "external", 0, 1, 1},
    {0, Reference::tip, "tip", 1, 1, 1},
    {0, Reference::internal, "internal", 2, 1, 3},
    {21, Reference::external, "external", 0, 1, 1},
    {21, Reference::tip, "tip", 1, 1, 1},
    {21, Reference::on_shank, "on-shank", 2, 1, 3},
    {24, Reference::external, "external", 0, 1, 1},
    {24, Reference::tip, "tip", 1, 4, 1},
    {24, Reference::on_shank, "on-shank", 5, 4, 4},
    {2003, Reference::external, "external", 0, 1, 1},
    {2003, std::nullopt, "ground", 1, 1, 1},
    {2003, Reference::tip, "tip", 2, 1, 1},
    {2013, Reference::external, "external", 0, 1, 1},
    {2013, std::nullopt, "ground", 1, 1, 1},
    {2013, Reference::tip, "tip", 2, 4, 1},
}};

struct DecodedReference {
  const ReferenceCode* code;
  int shank;
  int bank;
};

std::optional<DecodedReference> decode_reference(int type, int id) noexcept {
  for (const auto& code : REFERENCE_CODES) {
    if (code.type != type || id < code.first || id >= code.first + code.shanks * code.banks) continue;
    const int offset = id - code.first;
    return DecodedReference{&code, offset / code.banks, offset % code.banks};
  }
  return std::nullopt;
}

int last_reference_id(int type) noexcept {
  int last = 0;
  for (const auto& code : REFERENCE_CODES)
    if (code.type == type) last = std::max(last, code.first + code.shanks * code.banks - 1);
  return last;
}

int encode_reference(int type, Reference reference, int shank, int bank) noexcept {
  for (const auto& code : REFERENCE_CODES)
    if (code.type == type && code.reference == reference)
      return code.first + std::clamp(shank, 0, code.shanks - 1) * code.banks + std::clamp(bank, 0, code.banks - 1);
  return 0;
}

// The types a probe takes: its part number's and its kind's (what the
// files write), or every type of its kind when the part number is unknown.
std::vector<int> accepted_types(ProbeKind kind, std::string_view part_number) {
  std::vector<int> types{imro_type(kind)};
  if (const auto own = table_type(part_number); own && kind_of_type(*own) == kind) {
    if (*own != types.front()) types.insert(types.begin(), *own);
    return types;
  }
  for (const int type : {2003, 2013})
    if (kind_of_type(type) == kind) types.push_back(type);
  return types;
}

// Builds a configuration entry by entry and remembers which entry claimed
// each shared setting (a channel, an internal reference bank, a shank's
// reference switch), so a conflict names both entries.
class Builder {
 public:
  Builder(ProbeKind kind, int type) : configuration_(default_configuration(kind)), type_(type) {
    claimed_channel_.fill(-1);
    switch_owner_.fill(-1);
  }

  std::expected<void, std::string> add(size_t index, const Entry& entry) {
    index_ = index;
    entry_ = &entry;
    const auto& f = entry.fields;
    switch (configuration_.kind) {
      case ProbeKind::np1: return add_np1(f[0], f[1], f[2], f[3], f[4], f[5]);
      case ProbeKind::np2_single_shank: return add_np2_single(f[0], f[1], f[2], f[3]);
      case ProbeKind::np2_four_shank: return add_np2_four(f[0], f[1], f[2], f[3], f[4]);
    }
    return fail("unknown probe kind");
  }

  Result finish() {
    for (int c = 0; c < CHANNEL_COUNT; ++c)
      if (claimed_channel_[c] < 0) return std::unexpected(fmt::format("IMRO table has no entry for channel {}", c));
    return configuration_;
  }

 private:
  std::unexpected<std::string> fail(std::string_view problem) const {
    return std::unexpected(fmt::format("IMRO entry {} ({}): {}", index_, entry_->text(), problem));
  }

  std::expected<ChannelSetting*, std::string> claim_channel(int channel) {
    if (channel < 0 || channel >= CHANNEL_COUNT)
      return fail(fmt::format("channel {} is outside 0..{}", channel, CHANNEL_COUNT - 1));
    if (claimed_channel_[channel] >= 0)
      return fail(fmt::format("channel {} was already set by entry {}", channel, claimed_channel_[channel]));
    claimed_channel_[channel] = static_cast<int>(index_);
    return &configuration_.channels[channel];
  }

  // One selector per shank switch: external, tip or none (on-shank).
  std::expected<void, std::string> claim_switch(int shank, Reference reference) {
    auto& owner = switch_owner_[shank];
    if (owner >= 0 && switch_setting_[shank] != reference)
      return fail(fmt::format("ref_id: the reference switch of shank {} was set otherwise by entry {}", shank, owner));
    if (owner < 0) {
      owner = static_cast<int>(index_);
      switch_setting_[shank] = reference;
    }
    return {};
  }

  std::expected<DecodedReference, std::string> reference(int id) const {
    const auto decoded = decode_reference(type_, id);
    if (!decoded) return fail(fmt::format("ref_id {} is outside 0..{}", id, last_reference_id(type_)));
    if (!decoded->code->reference)
      return fail(fmt::format("ref_id {} ({}) is not a reference these probes can select", id, decoded->code->name));
    return *decoded;
  }

  std::expected<void, std::string> check_electrode(std::string_view field, int bank, int channel,
                                                   std::optional<int> electrode) {
    if (!electrode) return fail(fmt::format("{}: bank {} has no electrode for channel {}", field, bank, channel));
    return {};
  }

  std::expected<void, std::string> add_np1(int channel, int bank, int refid, int ap_gain, int lf_gain, int hipass) {
    auto setting = claim_channel(channel);
    if (!setting) return std::unexpected(setting.error());
    if (bank < 0 || bank >= NP1_BANK_COUNT) return fail(fmt::format("bank {} is outside 0..2", bank));
    if (auto ok = check_electrode("bank", bank, channel, np1_electrode(channel, bank)); !ok) return ok;
    const auto ref = reference(refid);
    if (!ref) return std::unexpected(ref.error());
    const auto ap = np1_gain_code(ap_gain);
    if (!ap) return fail(fmt::format("ap_gain {} is not one of 50, 125, 250, 500, 1000, 1500, 2000, 3000", ap_gain));
    const auto lf = np1_gain_code(lf_gain);
    if (!lf) return fail(fmt::format("lf_gain {} is not one of 50, 125, 250, 500, 1000, 1500, 2000, 3000", lf_gain));
    if (hipass != 0 && hipass != 1) return fail(fmt::format("ap_hipas_flt {} is not 0 or 1", hipass));
    if (*ref->code->reference == Reference::internal) {
      // NB: the probe connects one internal reference electrode for all
      // channels, so a table that asks for two cannot be honoured.
      const int internal_bank = ref->bank;
      if (internal_owner_ >= 0 && configuration_.internal_reference_bank != internal_bank)
        return fail(fmt::format("ref_id: internal reference of bank {} conflicts with bank {} chosen by entry {}",
                                internal_bank, configuration_.internal_reference_bank, internal_owner_));
      if (internal_owner_ < 0) internal_owner_ = static_cast<int>(index_);
      configuration_.internal_reference_bank = static_cast<uint8_t>(internal_bank);
    }
    **setting = ChannelSetting{
        .shank = 0,
        .bank_mask = static_cast<uint8_t>(1u << bank),
        .reference = *ref->code->reference,
        .reference_shank = 0,
        .reference_bank = 0,
        .ap_gain_code = *ap,
        .lf_gain_code = *lf,
        .ap_highpass = hipass == 1,
        .standby = false,
    };
    return {};
  }

  std::expected<void, std::string> check_declared_electrode(std::optional<int> expected, int electrode) {
    if (electrode < 0 || electrode >= NP2_SHANK_ELECTRODE_COUNT)
      return fail(fmt::format("electrode {} is outside 0..{}", electrode, NP2_SHANK_ELECTRODE_COUNT - 1));
    if (*expected != electrode)
      return fail(fmt::format("electrode {} is not the electrode this channel reaches ({})", electrode, *expected));
    return {};
  }

  std::expected<void, std::string> add_np2_single(int channel, int bank_mask, int refid, int electrode) {
    auto setting = claim_channel(channel);
    if (!setting) return std::unexpected(setting.error());
    if (bank_mask < 1 || bank_mask > 15)
      return fail(fmt::format("bank_mask {} does not select banks among 0..3", bank_mask));
    std::optional<int> lowest;
    for (int bank = 0; bank < NP2_BANK_COUNT; ++bank) {
      if (!(bank_mask & (1 << bank))) continue;
      const auto e = np2_single_shank_electrode(channel, bank);
      if (auto ok = check_electrode("bank_mask", bank, channel, e); !ok) return ok;
      if (!lowest) lowest = e;
    }
    if (auto ok = check_declared_electrode(lowest, electrode); !ok) return ok;
    const auto ref = reference(refid);
    if (!ref) return std::unexpected(ref.error());
    if (auto ok = claim_switch(0, *ref->code->reference); !ok) return ok;
    **setting = ChannelSetting{.shank = 0,
                               .bank_mask = static_cast<uint8_t>(bank_mask),
                               .reference = *ref->code->reference,
                               .reference_shank = 0,
                               .reference_bank = static_cast<uint8_t>(ref->bank)};
    return {};
  }

  std::expected<void, std::string> add_np2_four(int channel, int shank, int bank, int refid, int electrode) {
    auto setting = claim_channel(channel);
    if (!setting) return std::unexpected(setting.error());
    if (shank < 0 || shank > 3) return fail(fmt::format("shank {} is outside 0..3", shank));
    if (bank < 0 || bank >= NP2_BANK_COUNT) return fail(fmt::format("bank {} is outside 0..3", bank));
    const auto e = np2_four_shank_electrode(channel, shank, bank);
    if (auto ok = check_electrode("bank", bank, channel, e); !ok) return ok;
    if (auto ok = check_declared_electrode(e, electrode); !ok) return ok;
    const auto ref = reference(refid);
    if (!ref) return std::unexpected(ref.error());
    const auto kind = *ref->code->reference;
    // The switch of the shank the reference names (tip, on-shank); an
    // external reference uses the channel's own shank's.
    const int reference_shank = kind == Reference::external ? shank : ref->shank;
    if (auto ok = claim_switch(reference_shank, kind); !ok) return ok;
    **setting = ChannelSetting{.shank = static_cast<uint8_t>(shank),
                               .bank_mask = static_cast<uint8_t>(1u << bank),
                               .reference = kind,
                               .reference_shank = static_cast<uint8_t>(reference_shank),
                               .reference_bank = static_cast<uint8_t>(ref->bank)};
    return {};
  }

  ProbeConfiguration configuration_;
  int type_;
  std::array<int, CHANNEL_COUNT> claimed_channel_{};
  std::array<int, 4> switch_owner_{};
  std::array<Reference, 4> switch_setting_{};
  int internal_owner_ = -1;
  size_t index_ = 0;
  const Entry* entry_ = nullptr;
};

std::string type_list(const std::vector<int>& types) {
  if (types.size() == 1) return fmt::format("type {} does", types.front());
  return fmt::format("types {} do", fmt::join(types, " and "));
}

}  // namespace

std::string Entry::text() const { return fmt::format("{}", fmt::join(fields, " ")); }

std::expected<Table, std::string> parse(std::string_view text) {
  text = trim(text);
  Table table;
  size_t entry_index = 0;
  bool header = true;
  while (!text.empty()) {
    if (text.front() != '(') return std::unexpected(fmt::format("IMRO table: expected '(' at '{}'", text.substr(0, 16)));
    const auto close = text.find(')');
    if (close == std::string_view::npos) return std::unexpected(std::string("IMRO table: missing ')' at the end"));
    const auto body = text.substr(1, close - 1);
    text = trim(text.substr(close + 1));
    if (header) {
      header = false;
      // The first field is a type or a part number.
      const auto comma = body.find(',');
      const auto first = trim(body.substr(0, comma));
      if (!first.empty() && (std::isalpha(static_cast<unsigned char>(first.front())) != 0)) {
        const auto type = table_type(first);
        if (!type)
          return std::unexpected(
              fmt::format("IMRO table header ({}): '{}' is neither a table type nor a known part number", body, first));
        table.part_number = std::string(first);
        table.type = *type;
        auto count = parse_integers(comma == std::string_view::npos ? std::string_view{} : body.substr(comma + 1), ',');
        if (!count) return std::unexpected(fmt::format("IMRO table header ({}): {}", body, count.error()));
        if (count->size() != 1)
          return std::unexpected(fmt::format("IMRO table header ({}): expected (part number,nChan)", body));
        table.declared_channels = count->front();
        continue;
      }
      auto values = parse_integers(body, ',');
      if (!values) return std::unexpected(fmt::format("IMRO table header ({}): {}", body, values.error()));
      if (values->size() != 2) return std::unexpected(fmt::format("IMRO table header ({}): expected (type,nChan)", body));
      table.type = (*values)[0];
      table.declared_channels = (*values)[1];
      if (fields_per_entry(table.type) == 0)
        return std::unexpected(
            fmt::format("IMRO table type {} is not supported (0, 21, 24, 2003 and 2013 are)", table.type));
      continue;
    }
    auto values = parse_integers(body, ' ');
    if (!values) return std::unexpected(fmt::format("IMRO entry {} ({}): {}", entry_index, body, values.error()));
    if (values->size() != fields_per_entry(table.type))
      return std::unexpected(fmt::format("IMRO entry {} ({}): type {} entries have {} fields", entry_index, body,
                                         table.type, fields_per_entry(table.type)));
    table.entries.push_back(Entry{std::move(*values)});
    ++entry_index;
  }
  if (header) return std::unexpected(std::string("IMRO table is empty"));
  if (table.declared_channels != static_cast<int>(table.entries.size()))
    return std::unexpected(fmt::format("IMRO table declares {} channels but holds {} entries", table.declared_channels,
                                       table.entries.size()));
  return table;
}

std::optional<int> table_type(std::string_view part_number) noexcept {
  for (const auto& p : PART_TYPES)
    if (p.part_number == part_number) return p.type;
  return std::nullopt;
}

std::expected<ProbeConfiguration, std::string> to_configuration(const Table& table, ProbeKind kind,
                                                                std::string_view part_number) {
  const auto types = accepted_types(kind, part_number);
  if (std::ranges::find(types, table.type) == types.end()) {
    const auto what = table.part_number.empty() ? fmt::format("type {}", table.type)
                                                : fmt::format("of {} (type {})", table.part_number, table.type);
    const auto probe = table_type(part_number) ? fmt::format("{} probe", part_number)
                                               : fmt::format("{} probe", display_name(kind));
    return std::unexpected(fmt::format("IMRO table {} does not fit an {} ({})", what, probe, type_list(types)));
  }
  if (table.entries.size() != static_cast<size_t>(CHANNEL_COUNT))
    return std::unexpected(
        fmt::format("IMRO table holds {} entries, the probe has {} channels", table.entries.size(), CHANNEL_COUNT));
  Builder builder(kind, table.type);
  for (size_t i = 0; i < table.entries.size(); ++i)
    if (auto ok = builder.add(i, table.entries[i]); !ok) return std::unexpected(ok.error());
  return builder.finish();
}

std::expected<ProbeConfiguration, std::string> parse_configuration(std::string_view text, ProbeKind kind,
                                                                   std::string_view part_number) {
  auto table = parse(text);
  if (!table) return std::unexpected(table.error());
  return to_configuration(*table, kind, part_number);
}

std::expected<ProbeConfiguration, std::string> read_configuration(const std::filesystem::path& file, ProbeKind kind,
                                                                  std::string_view part_number) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::unexpected(fmt::format("Cannot open IMRO file {}", file.string()));
  std::ostringstream text;
  text << in.rdbuf();
  return with_context(parse_configuration(text.str(), kind, part_number), file.string());
}

std::string format(const ProbeConfiguration& configuration) {
  const auto kind = configuration.kind;
  const int type = imro_type(kind);
  std::string out;
  out.reserve(CHANNEL_COUNT * 24);
  auto it = std::back_inserter(out);
  fmt::format_to(it, "({},{})", type, CHANNEL_COUNT);
  for (int c = 0; c < CHANNEL_COUNT; ++c) {
    const auto& s = configuration.channels[c];
    const int bank = lowest_bank(s).value_or(0);
    const int electrode = electrode_of(kind, c, s).value_or(0);
    switch (kind) {
      case ProbeKind::np1: {
        const int refid = encode_reference(type, s.reference, 0, configuration.internal_reference_bank);
        fmt::format_to(it, "({} {} {} {} {} {})", c, bank, refid, NP1_GAINS[s.ap_gain_code & 7],
                       NP1_GAINS[s.lf_gain_code & 7], s.ap_highpass ? 1 : 0);
        break;
      }
      case ProbeKind::np2_single_shank: {
        const int refid = encode_reference(type, s.reference, 0, s.reference_bank);
        fmt::format_to(it, "({} {} {} {})", c, s.bank_mask, refid, electrode);
        break;
      }
      case ProbeKind::np2_four_shank: {
        const int refid = encode_reference(type, s.reference, s.reference_shank, s.reference_bank);
        fmt::format_to(it, "({} {} {} {} {})", c, s.shank, bank, refid, electrode);
        break;
      }
    }
  }
  return out;
}

}  // namespace pelionp::record::imro
