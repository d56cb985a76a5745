#pragma once
// The checks of `pelionp doctor`: what stands between a lab and its first
// recording on a real board, in the order a board comes up.
//
//   1. the plug-in: found, loadable (the missing dependency named)
//   2. the driver: loaded (Linux: /sys/module/xdma), Thunderbolt devices
//      authorised
//   3. the device nodes: each board's three nodes present, and the caller
//      may open them
//   4. each board: opened, its status and identity documents, its firmware
//      mode, its register space (BAR) size
//   5. each port of a board in Neuropixels mode: its link and headstage
//
// Each check reports one finding: ok, or a problem with the one thing to
// do about it. Later checks run after a problem where they still can (a
// board whose c2h node is busy is still listed); checks that depend on a
// failed one are skipped.
//
// Threading: one Doctor per thread.
#include <cstddef>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pelio/basic_device.h"
#include "pelio_device/device_manager.h"

namespace pelionp::tool::doctor {

struct Finding {
  bool ok = true;
  std::string check;   // "plug-in", "driver", "nodes", "board 0", "board 0 port 1", ...
  std::string detail;  // what was found
  std::string remedy;  // problems only: the one thing to do
};

/// "ok      board 0: ..." or "problem board 0: ... -> do: ...", one line.
[[nodiscard]] std::string format_finding(const Finding& finding);

/// Where the system shows the XDMA driver (Linux; Windows asks SetupAPI
/// through the plug-in and ignores these).
struct Places {
  std::filesystem::path devices = "/dev";
  std::filesystem::path sysfs = "/sys";
};

/// The smallest register space the libraries reach into: the board control
/// block up to the IO control register (0x2400) included.
inline constexpr std::size_t MINIMUM_BAR_BYTES = 0x2404;

class Doctor {
 public:
  explicit Doctor(std::function<void(const Finding&)> report);

  /// 1: loads the plug-in; null on a problem.
  std::shared_ptr<pelio::DeviceManager> plugin(const std::filesystem::path& module);
  /// 2: the driver and, where there is one, the Thunderbolt bus.
  void driver(const Places& places);
  /// 3: the nodes of every board the driver made.
  void nodes(const Places& places);
  /// 4 and 5 for every board the manager lists, opened without the Rhythm
  /// initialisation (the doctor changes nothing on the board).
  void boards(pelio::DeviceManager& manager, const Places& places);
  /// 4 (without the open) and 5 for one opened board. `bar_bytes`: the size
  /// of its register space, when the system shows it.
  void board(const std::shared_ptr<pelio::BasicDevice>& device, const std::string& name,
             std::optional<std::size_t> bar_bytes);

  [[nodiscard]] int problems() const noexcept { return problems_; }

 private:
  void ok(std::string check, std::string detail);
  void problem(std::string check, std::string detail, std::string remedy);
  void ports(const std::shared_ptr<pelio::BasicDevice>& device, const std::string& name);

  std::function<void(const Finding&)> report_;
  int problems_ = 0;
};

/// The name of the library a failed load missed, from the loader's message
/// ("libx.so: cannot open shared object file: ..."); empty when it names
/// none.
[[nodiscard]] std::string missing_dependency(const std::string& load_error);

/// The DLL names of the import table of the PE file at `path` (a Windows
/// DLL or program, 32 or 64 bits), in the table's order; the error says
/// what in the file is not as a PE file has it. Delay-loaded DLLs are not
/// listed (they do not fail a load).
[[nodiscard]] std::expected<std::vector<std::string>, std::string> dll_imports(const std::filesystem::path& path);

#ifdef _WIN32
/// The first DLL that loading `module` (LoadLibraryEx with the module's
/// folder searched first, as the host loads a plug-in) cannot find: each
/// imported DLL is looked for as the loader does (a DLL already loaded,
/// the module's folder, the system folders, the current folder, PATH),
/// and the DLLs found outside the system folders are walked in turn.
/// Empty when every one is found.
[[nodiscard]] std::string first_missing_dll(const std::filesystem::path& module);
#endif

/// Size of the register space behind a board's user node (`devices`/xdmaN):
/// an ordinary file's size, else the first non-empty BAR that sysfs lists
/// for it.
[[nodiscard]] std::optional<std::size_t> bar_bytes(const std::filesystem::path& device_path, const Places& places);

}  // namespace pelionp::tool::doctor
