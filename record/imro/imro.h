#pragma once
// IMRO tables, the one-line probe configuration format of the field:
// `(type,nChan)(entry)(entry)...`, one parenthesised entry per channel with
// blank-separated integers. The layouts read here:
//   type 0    NP1:                     channel bank ref_id ap_gain lf_gain ap_hipas_flt
//   type 21   NP2 single shank (NP2000): channel bank_mask ref_id electrode
//   type 2003 NP2003, NP2004:            channel bank_mask ref_id electrode
//   type 24   NP2 four shanks (NP2010):  channel shank bank ref_id electrode
//   type 2013 NP2013, NP2014:            channel shank bank ref_id electrode
// The header may name the probe's part number instead of the type, e.g.
// `(NP2014,384)`: the entries then have the layout of that part number's
// type. ref_id values per type (one table in imro.cpp reads and writes them):
//   0:    0 external, 1 tip, 2..4 internal reference of bank 0..2
//   21:   0 external, 1 tip, 2..4 on-shank reference of bank 0..2
//   24:   0 external, 1..4 tip of shank 0..3,
//         5 + 4·shank + bank: on-shank reference of that shank and bank (5..20)
//   2003: 0 external, 1 ground, 2 tip
//   2013: 0 external, 1 ground, 2..5 tip of shank 0..3
// Ground is refused: these probes' channels select external, tip or
// on-shank, and a table that asks for ground cannot be honoured (nor written
// back in the types 21 and 24 the files use).
//
// Parsing checks the syntax; `to_configuration` checks that the table fits
// a probe (its type, every channel, electrode, bank and reference) and names
// the first entry and field that do not. `format` writes the type the
// `.meta` files name in `imDatPrb_type` (0, 21, 24), which every reader parses.

#include <expected>
#include <filesystem>
#include <optional>
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
  int type = 0;               // the header's type, or its part number's
  std::string part_number;    // when the header named one
  int declared_channels = 0;  // nChan of the header
  std::vector<Entry> entries;
};

// The table type SpikeGLX uses for a part number (PRB_1_4_0480_1 -> 0,
// NP2000 -> 21, NP2003 -> 2003, NP2010 -> 24, NP2014 -> 2013, ...);
// std::nullopt for a part number these probes do not have.
PELIONP_RECORD_API std::optional<int> table_type(std::string_view part_number) noexcept;

PELIONP_RECORD_API std::expected<Table, std::string> parse(std::string_view text);

// Checks every entry against the probe (table type, one entry per channel,
// banks and electrodes that exist, gains of the gain list, references the
// probe has, one reference per shank switch and, for NP1, one internal
// reference bank). A probe takes the type of its part number and the type
// of its kind (0, 21, 24: what the files write); with no part number, any
// type of its kind.
PELIONP_RECORD_API std::expected<ProbeConfiguration, std::string> to_configuration(const Table& table, ProbeKind kind,
                                                                                   std::string_view part_number = {});

// parse + to_configuration; the file variant prefixes errors with the path.
PELIONP_RECORD_API std::expected<ProbeConfiguration, std::string> parse_configuration(std::string_view text, ProbeKind kind,
                                                                                      std::string_view part_number = {});
PELIONP_RECORD_API std::expected<ProbeConfiguration, std::string> read_configuration(const std::filesystem::path& file, ProbeKind kind,
                                                                                     std::string_view part_number = {});

// The table of a configuration, for `~imroTbl`: type imro_type(kind), the
// references as uploaded.
PELIONP_RECORD_API std::string format(const ProbeConfiguration& configuration);

}  // namespace pelionp::record::imro
