#pragma once
// IMRO tables, the one-line probe configuration format of the field:
// `(type,nChan)(entry)(entry)...`, one parenthesised entry per channel with
// space-separated integers:
//   type 0  (NP1):              channel bank refid apGain lfGain apHipass
//           refid 0 ext, 1 tip, 2..4 internal reference of bank 0..2
//   type 21 (NP2 single shank): channel bankMask refid electrode
//           refid 0 ext, 1 tip, 2..5 on-shank
//   type 24 (NP2 four shanks):  channel shank bank refid electrode
//           refid 0 ext, 1..4 tip of shank 0..3, 5..8 on-shank
// Parsing checks the syntax; `to_configuration` checks that the table fits a
// probe and names the first entry that does not.

#include <expected>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "record/imro/configuration.h"

#include "record/export.h"

namespace pelionp::record::imro {

struct PELIONP_RECORD_API Entry {
  std::vector<int> fields;
  std::string text() const;  // "12 0 0 500 250 1", as in the table
};

struct PELIONP_RECORD_API Table {
  int type = 0;
  int declared_channels = 0;  // nChan of the header
  std::vector<Entry> entries;
};

PELIONP_RECORD_API std::expected<Table, std::string> parse(std::string_view text);

// Checks every entry against the probe kind (table type, one entry per
// channel, banks and electrodes that exist, gains of the gain list, one
// reference per shank switch and, for NP1, one internal reference bank).
PELIONP_RECORD_API std::expected<ProbeConfiguration, std::string> to_configuration(const Table& table, ProbeKind kind);

// parse + to_configuration; the file variant prefixes errors with the path.
PELIONP_RECORD_API std::expected<ProbeConfiguration, std::string> parse_configuration(std::string_view text, ProbeKind kind);
PELIONP_RECORD_API std::expected<ProbeConfiguration, std::string> read_configuration(const std::filesystem::path& file, ProbeKind kind);

// The table of a configuration, for `~imroTbl`.
PELIONP_RECORD_API std::string format(const ProbeConfiguration& configuration);

}  // namespace pelionp::record::imro
