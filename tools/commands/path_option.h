#pragma once
// A CLI11 option that fills a std::filesystem::path from the UTF-8
// argument, so paths with non-ASCII characters reach the file system intact
// on Windows too (CLI11 would use the narrow path constructor).
#include <CLI/CLI.hpp>

#include <filesystem>
#include <string>

#include "tools/platform/console.h"

namespace pelionp::tool::commands {

inline CLI::Option* add_path_option(CLI::App& command, std::string name, std::filesystem::path& target,
                                    std::string description) {
  return command.add_option_function<std::string>(
      std::move(name), [&target](const std::string& text) { target = platform::path_from_utf8(text); },
      std::move(description));
}

}  // namespace pelionp::tool::commands
