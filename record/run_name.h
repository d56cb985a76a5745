#pragma once
// Run names go into every directory and file name of a run and readers
// parse them back out of those names: a blank breaks one, a dot another.
// So a run name is one or more ASCII letters, digits, '-' and '_'.

#include <expected>
#include <string>
#include <string_view>

#include "record/export.h"

namespace pelionp::record {

// "Run name 'a b' may hold only letters, digits, '-' and '_': ' ' is not one"
PELIONP_RECORD_API std::expected<void, std::string> check_run_name(std::string_view name);

}  // namespace pelionp::record
