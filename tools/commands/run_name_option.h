#pragma once
// The check of a `--run NAME` option: the library's rule for run names,
// applied when the command line is read, so a bad name is refused before
// any device is opened.
#include <CLI/CLI.hpp>

#include <string>

#include "record/run_name.h"

namespace pelionp::tool::commands {

inline CLI::Validator run_name_check() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        auto checked = record::check_run_name(text);
        return checked ? std::string() : checked.error();
      },
      "", "RUN_NAME");
}

}  // namespace pelionp::tool::commands
