#include "tools/commands/doctor_checks.h"

#ifndef _WIN32
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#else
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

#include <fmt/format.h>
#include <nlohmann/json.hpp>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <iterator>
#include <set>
#include <exception>
#include <fstream>
#include <map>
#include <sstream>
#include <system_error>

#include "pelio_device/loader.h"
#include "pelionp/controller/np_controller.h"
#include "pelionp/controller/np_port.h"
#include "tools/platform/console.h"

namespace pelionp::tool::doctor {

namespace fs = std::filesystem;

namespace {

template <class... F>
struct overloaded : F... {
  using F::operator()...;
};

constexpr std::string_view UDEV_REMEDY =
    "install the udev rule: sudo install -m 644 packaging/udev/60-kessa-xdma.rules /etc/udev/rules.d/ && "
    "sudo udevadm control --reload && sudo udevadm trigger --subsystem-match=xdma";

// The platform code after "error code: " in the plug-in's open messages.
std::optional<int> error_code_in(const std::string& message) {
  constexpr std::string_view marker = "error code: ";
  const auto at = message.find(marker);
  if (at == std::string::npos) return std::nullopt;
  const char* begin = message.data() + at + marker.size();
  int code = 0;
  const auto [end, ec] = std::from_chars(begin, message.data() + message.size(), code);
  if (ec != std::errc{} || end == begin) return std::nullopt;
  return code;
}

#ifdef _WIN32
constexpr int BUSY = 32;     // ERROR_SHARING_VIOLATION
constexpr int DENIED = 5;    // ERROR_ACCESS_DENIED
constexpr int MISSING = 2;   // ERROR_FILE_NOT_FOUND
#else
constexpr int BUSY = 16;     // EBUSY
constexpr int DENIED = 13;   // EACCES
constexpr int MISSING = 2;   // ENOENT
#endif

// The one thing to do about a board that does not open, by what failed.
std::string open_remedy(const std::string& message, const std::string& path) {
  const auto code = error_code_in(message);
  if (code == BUSY) {
#ifdef _WIN32
    (void)path;
    return "another program holds the board (its channels open once): close that program";
#else
    return fmt::format("another program holds the board (its c2h channel opens once): close it "
                       "(sudo fuser -v {}_c2h_0 names it)", path);
#endif
  }
  if (code == DENIED) return std::string(UDEV_REMEDY);
  if (code == MISSING) return "the driver made the board's nodes only in part: reload the driver";
  if (message.find("mapping user bar") != std::string::npos) {
    return "the driver gives no register space for this board: check that the driver and the firmware match";
  }
  return "look at the driver's messages (sudo dmesg | grep -i xdma) and power-cycle the board";
}

std::string string_member(const nlohmann::json& document, const char* key) {
  const auto it = document.find(key);
  if (it == document.end()) return {};
  return it->is_string() ? it->get<std::string>() : it->dump();
}

#ifndef _WIN32
std::string mode_text(mode_t mode) {
  std::string text = S_ISCHR(mode) ? "c" : S_ISREG(mode) ? "-" : "?";
  const char* letters = "rwxrwxrwx";
  for (int bit = 0; bit < 9; ++bit) text += (mode & (0400 >> bit)) ? letters[bit] : '-';
  return text;
}

std::string group_name(gid_t gid) {
  const group* g = ::getgrgid(gid);
  return g != nullptr ? g->gr_name : std::to_string(gid);
}

// Whether the caller may read and write a node by its mode bits: the
// owner's, the group's or the others' bits, whichever class the caller is
// in. NB: root passes only through the owner's bits here, so a node no one
// may open is reported to root too.
bool may_read_and_write(const struct stat& st) {
  const uid_t uid = ::geteuid();
  if (st.st_uid == uid) return (st.st_mode & S_IRUSR) && (st.st_mode & S_IWUSR);
  std::vector<gid_t> groups(static_cast<std::size_t>(std::max(::getgroups(0, nullptr), 0)) + 1);
  const int count = ::getgroups(static_cast<int>(groups.size() - 1), groups.data());
  groups.resize(static_cast<std::size_t>(std::max(count, 0)));
  groups.push_back(::getegid());
  if (std::ranges::find(groups, st.st_gid) != groups.end()) {
    return (st.st_mode & S_IRGRP) && (st.st_mode & S_IWGRP);
  }
  return (st.st_mode & S_IROTH) && (st.st_mode & S_IWOTH);
}

// The boards the driver made: N of every xdmaN_user, in number order.
std::vector<unsigned> board_numbers(const fs::path& devices) {
  std::vector<unsigned> numbers;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(devices, error)) {
    const auto name = entry.path().filename().string();
    constexpr std::string_view prefix = "xdma", suffix = "_user";
    if (!name.starts_with(prefix) || !name.ends_with(suffix) || name.size() <= prefix.size() + suffix.size()) continue;
    const std::string_view digits(name.data() + prefix.size(), name.size() - prefix.size() - suffix.size());
    unsigned n = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
    if (ec == std::errc{} && end == digits.data() + digits.size()) numbers.push_back(n);
  }
  std::ranges::sort(numbers);
  return numbers;
}
#endif

}  // namespace

std::string format_finding(const Finding& finding) {
  if (finding.ok) return fmt::format("ok      {}: {}", finding.check, finding.detail);
  return fmt::format("problem {}: {} -> do: {}", finding.check, finding.detail, finding.remedy);
}

std::string missing_dependency(const std::string& load_error) {
  // glibc: "<file>: cannot open shared object file: <reason>", the file
  // being the plug-in itself or a library it needs.
  constexpr std::string_view marker = ": cannot open shared object file";
  const auto at = load_error.find(marker);
  if (at == std::string::npos) return {};
  const auto start = load_error.rfind(": ", at == 0 ? 0 : at - 1);
  return load_error.substr(start == std::string::npos ? 0 : start + 2,
                           at - (start == std::string::npos ? 0 : start + 2));
}

std::expected<std::vector<std::string>, std::string> dll_imports(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::unexpected(fmt::format("cannot open {}", platform::utf8(path)));
  const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  // Little-endian fields at byte offsets, each checked against the file's end.
  const auto u16 = [&](std::size_t at) -> std::optional<uint32_t> {
    if (at + 2 > bytes.size()) return std::nullopt;
    uint16_t v = 0;
    std::memcpy(&v, bytes.data() + at, 2);
    return v;
  };
  const auto u32 = [&](std::size_t at) -> std::optional<uint32_t> {
    if (at + 4 > bytes.size()) return std::nullopt;
    uint32_t v = 0;
    std::memcpy(&v, bytes.data() + at, 4);
    return v;
  };
  const auto pe = u32(0x3C);
  if (u16(0) != 0x5A4D || !pe || u32(*pe) != 0x00004550) return std::unexpected("no PE signature");
  const std::size_t file_header = *pe + 4;
  const auto sections = u16(file_header + 2);
  const auto optional_size = u16(file_header + 16);
  const std::size_t optional = file_header + 20;
  const auto magic = u16(optional);
  if (!sections || !optional_size || (magic != 0x10B && magic != 0x20B)) return std::unexpected("no optional header");
  // The data directories: 96 bytes in (PE32) or 112 (PE32+); the imports are the second.
  const std::size_t directories = optional + (magic == 0x20B ? 112 : 96);
  const auto count = u32(directories - 4);
  if (!count || *count < 2) return std::vector<std::string>{};
  const auto imports = u32(directories + 8);
  if (!imports) return std::unexpected("no data directories");
  if (*imports == 0) return std::vector<std::string>{};
  const std::size_t table = optional + *optional_size;
  const auto file_offset = [&](uint32_t rva) -> std::optional<std::size_t> {
    for (uint32_t i = 0; i < *sections; ++i) {
      const std::size_t header = table + 40 * i;
      const auto virtual_size = u32(header + 8), address = u32(header + 12), raw_size = u32(header + 16),
                 raw = u32(header + 20);
      if (!virtual_size || !address || !raw_size || !raw) return std::nullopt;
      if (rva >= *address && rva - *address < std::max(*virtual_size, *raw_size)) return rva - *address + *raw;
    }
    return std::nullopt;
  };
  auto descriptor = file_offset(*imports);
  if (!descriptor) return std::unexpected("an import table outside every section");
  std::vector<std::string> names;
  // 20-byte descriptors up to an empty one; the name's address at 12.
  for (std::size_t d = *descriptor;; d += 20) {
    const auto name = u32(d + 12);
    if (!name) return std::unexpected("an import table past the file's end");
    if (*name == 0) break;
    const auto at = file_offset(*name);
    if (!at || *at >= bytes.size()) return std::unexpected("an imported DLL name outside every section");
    const auto end = std::find(bytes.begin() + static_cast<std::ptrdiff_t>(*at), bytes.end(), '\0');
    if (end == bytes.end()) return std::unexpected("an unterminated imported DLL name");
    names.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(*at), end);
  }
  return names;
}

#ifdef _WIN32
namespace {

std::wstring folder(UINT (*get)(LPWSTR, UINT)) {
  std::wstring path(MAX_PATH, L'\0');
  const UINT n = get(path.data(), static_cast<UINT>(path.size()));
  path.resize(n < path.size() ? n : 0);
  return path;
}

/// Where the loader finds the DLL `name` that a plug-in in `module_folder`
/// needs (directly or not; the altered search starts there for all): the
/// file it would load, "" for a DLL found but not walked (one
/// already loaded, a system DLL, an API set), or nothing when not found.
std::optional<fs::path> find_dll(const std::string& name, const fs::path& module_folder,
                                 const std::vector<fs::path>& system_folders) {
  const fs::path file(name);  // DLL names are ASCII
  const auto lower = [](std::string text) {
    std::ranges::transform(text, text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
  };
  if (lower(name).starts_with("api-ms-") || lower(name).starts_with("ext-ms-")) return fs::path{};
  if (::GetModuleHandleW(file.c_str()) != nullptr) return fs::path{};
  std::error_code error;
  if (fs::is_regular_file(module_folder / file, error)) return module_folder / file;
  for (const auto& system : system_folders) {
    if (fs::is_regular_file(system / file, error)) return fs::path{};
  }
  if (fs::is_regular_file(fs::current_path(error) / file, error)) return fs::current_path(error) / file;
  if (const DWORD size = ::GetEnvironmentVariableW(L"PATH", nullptr, 0); size > 0) {
    std::wstring path(size, L'\0');
    path.resize(::GetEnvironmentVariableW(L"PATH", path.data(), size));
    std::wstringstream entries(path);
    for (std::wstring entry; std::getline(entries, entry, L';');) {
      if (!entry.empty() && fs::is_regular_file(fs::path(entry) / file, error)) return fs::path(entry) / file;
    }
  }
  // NB: a DLL the system provides without a file of its own (Wine's
  // built-ins) still loads: asked of the loader, without running it.
  if (HMODULE data = ::LoadLibraryExW(file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE); data != nullptr) {
    ::FreeLibrary(data);
    return fs::path{};
  }
  return std::nullopt;
}

}  // namespace

std::string first_missing_dll(const fs::path& module) {
  const std::vector<fs::path> system_folders{folder(::GetSystemDirectoryW), folder(::GetWindowsDirectoryW)};
  const auto plugin = fs::absolute(module).make_preferred();
  std::vector<fs::path> pending{plugin};
  std::set<std::string> seen;
  while (!pending.empty()) {
    const auto current = pending.front();
    pending.erase(pending.begin());
    const auto names = dll_imports(current);
    if (!names) continue;
    for (const auto& name : *names) {
      auto key = name;
      std::ranges::transform(key, key.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      if (!seen.insert(key).second) continue;
      const auto found = find_dll(name, plugin.parent_path(), system_folders);
      if (!found) return name;
      if (!found->empty()) pending.push_back(*found);
    }
  }
  return {};
}
#endif

std::optional<std::size_t> bar_bytes(const fs::path& device_path, const Places& places) {
#ifdef _WIN32
  (void)device_path;
  (void)places;
  return std::nullopt;
#else
  const auto user = fs::path(device_path.string() + "_user");
  struct stat st{};
  if (::stat(user.c_str(), &st) != 0) return std::nullopt;
  if (S_ISREG(st.st_mode)) return static_cast<std::size_t>(st.st_size);
  // As the plug-in finds it: the first non-empty BAR of the PCI function.
  std::ifstream lines(places.sysfs / "class" / "xdma" / user.filename() / "device" / "resource");
  std::string line;
  for (int bar = 0; bar < 6 && std::getline(lines, line); ++bar) {
    std::istringstream fields(line);
    unsigned long long start = 0, end = 0;
    fields >> std::hex >> start >> end;
    if (!fields) break;
    if (end > start) return static_cast<std::size_t>(end - start + 1);
  }
  return std::nullopt;
#endif
}

Doctor::Doctor(std::function<void(const Finding&)> report) : report_(std::move(report)) {}

void Doctor::ok(std::string check, std::string detail) {
  report_(Finding{.ok = true, .check = std::move(check), .detail = std::move(detail), .remedy = {}});
}

void Doctor::problem(std::string check, std::string detail, std::string remedy) {
  ++problems_;
  report_(Finding{.ok = false, .check = std::move(check), .detail = std::move(detail), .remedy = std::move(remedy)});
}

std::shared_ptr<pelio::DeviceManager> Doctor::plugin(const fs::path& module) {
  const auto shown = platform::utf8(module);
  std::error_code error;
  if (module.empty() || !fs::is_regular_file(module, error)) {
    problem("plug-in", module.empty() ? "none given, and this build has none of its own" : shown + " not found",
            "give the plug-in's file: --plugin PATH (kessa_device_manager, installed under lib/pelionp)");
    return nullptr;
  }
  auto manager = pelio::load_device_manager(module);
  if (!manager) {
    auto missing = missing_dependency(manager.error());
#ifdef _WIN32
    // ERROR_MOD_NOT_FOUND does not say which module: the import tables do.
    if (manager.error().find("Windows error 126") != std::string::npos) missing = first_missing_dll(module);
#endif
    if (!missing.empty() && fs::path(missing).filename() != module.filename()) {
      problem("plug-in", fmt::format("{} needs {}, which is not found ({})", shown, missing, manager.error()),
              fmt::format("install {} next to the plug-in or on the library path", missing));
    } else {
      problem("plug-in", manager.error(),
#ifdef _WIN32
              "install the DLLs the plug-in needs (pelio_device.dll and the runtime DLLs) next to it");
#else
              "rebuild or reinstall the plug-in for this system (its file does not load)");
#endif
    }
    return nullptr;
  }
  std::string name;
  try {
    name = string_member(nlohmann::json::parse((*manager)->info()), "name");
  } catch (const std::exception& e) {
    problem("plug-in", fmt::format("{} loads, but its info() is no JSON object: {}", shown, e.what()),
            "use a plug-in built for this tool (kessa_device_manager)");
    return nullptr;
  }
  ok("plug-in", fmt::format("{} loads ({})", shown, name));
  return std::move(*manager);
}

void Doctor::driver(const Places& places) {
#ifdef _WIN32
  (void)places;
  // NB: on Windows the driver shows itself only through its device
  // interfaces, which the plug-in lists (the boards' check).
#else
  std::error_code error;
  const auto module = places.sysfs / "module" / "xdma";
  if (!fs::is_directory(module, error)) {
    problem("driver", fmt::format("the XDMA driver is not loaded ({} does not exist)", module.string()),
            "build and load the XDMA driver: sudo modprobe xdma (or insmod xdma.ko from its sources)");
  } else {
    std::ifstream version_file(module / "version");
    std::string version;
    std::getline(version_file, version);
    ok("driver", version.empty() ? "the XDMA driver is loaded" : "the XDMA driver is loaded, version " + version);
  }
  // Thunderbolt devices the system has not let in yet: their PCIe tunnel,
  // and with it the board, is missing until they are authorised.
  for (const auto& entry : fs::directory_iterator(places.sysfs / "bus" / "thunderbolt" / "devices", error)) {
    std::ifstream authorized(entry.path() / "authorized");
    std::string value;
    if (!std::getline(authorized, value) || value != "0") continue;
    std::ifstream name_file(entry.path() / "device_name");
    std::string name;
    std::getline(name_file, name);
    const auto device = entry.path().filename().string();
    problem("thunderbolt", fmt::format("device {}{} is not authorised", device, name.empty() ? "" : " (" + name + ")"),
            fmt::format("authorise it: boltctl authorize (or echo 1 | sudo tee {})",
                        (entry.path() / "authorized").string()));
  }
#endif
}

void Doctor::nodes(const Places& places) {
#ifdef _WIN32
  (void)places;
#else
  const auto numbers = board_numbers(places.devices);
  if (numbers.empty()) {
    problem("nodes", fmt::format("no board nodes (xdma*_user) in {}", places.devices.string()),
            "connect and power the board (and authorise its Thunderbolt device), then reload the driver");
    return;
  }
  for (const unsigned n : numbers) {
    const std::string check = fmt::format("nodes xdma{}", n);
    bool fine = true;
    for (const char* suffix : {"_user", "_c2h_0", "_h2c_0"}) {
      const auto node = places.devices / fmt::format("xdma{}{}", n, suffix);
      struct stat st{};
      if (::stat(node.c_str(), &st) != 0) {
        problem(check, fmt::format("{} is missing", node.string()),
                "the driver made the board's nodes only in part: reload the driver "
                "(sudo rmmod xdma && sudo modprobe xdma)");
        fine = false;
        continue;
      }
      if (!may_read_and_write(st)) {
        problem(check,
                fmt::format("{} is {} {}:{}, which you (uid {}) may not open", node.string(), mode_text(st.st_mode),
                            st.st_uid, group_name(st.st_gid), ::geteuid()),
                st.st_gid != 0 && (st.st_mode & S_IRGRP) && (st.st_mode & S_IWGRP)
                    ? fmt::format("join its group: sudo usermod -aG {} $USER, then log in again", group_name(st.st_gid))
                    : std::string(UDEV_REMEDY));
        fine = false;
      }
    }
    if (fine) ok(check, fmt::format("{}/xdma{}_user, _c2h_0 and _h2c_0 present, and yours to open",
                                    places.devices.string(), n));
  }
#endif
}

void Doctor::boards(pelio::DeviceManager& manager, const Places& places) {
  std::size_t count = 0;
  try {
    count = nlohmann::json::parse(manager.list_devices()).size();
  } catch (const std::exception& e) {
    problem("boards", fmt::format("the plug-in cannot list boards: {}", e.what()),
            "check that the driver is installed and loaded");
    return;
  }
  if (count == 0) {
    problem("boards", "the plug-in finds no board", "connect and power the board; the checks above say what is missing");
    return;
  }
#ifdef _WIN32
  ok("driver", fmt::format("the XDMA driver serves {} board{}", count, count == 1 ? "" : "s"));
#endif
  // The plug-in's ids follow the driver's numbers in order.
#ifndef _WIN32
  const auto numbers = board_numbers(places.devices);
#endif
  for (std::size_t id = 0; id < count; ++id) {
    const std::string name = fmt::format("board {}", id);
    std::string path;
#ifndef _WIN32
    if (id < numbers.size()) path = (places.devices / fmt::format("xdma{}", numbers[id])).string();
#endif
    std::shared_ptr<pelio::BasicDevice> device;
    try {
      // NB: skip_init: the doctor changes nothing on a board.
      device = manager.create_device(nlohmann::json{{"id", id}, {"skip_init", true}}.dump());
    } catch (const std::exception& e) {
      problem(name, fmt::format("does not open: {}", e.what()), open_remedy(e.what(), path));
      continue;
    }
    if (!device) {
      problem(name, "the plug-in returned no device", "use a plug-in built for this tool (kessa_device_manager)");
      continue;
    }
    ok(name, path.empty() ? "opens" : "opens (" + path + ")");
    board(device, name, path.empty() ? std::nullopt : bar_bytes(path, places));
  }
}

void Doctor::board(const std::shared_ptr<pelio::BasicDevice>& device, const std::string& name,
                   std::optional<std::size_t> bar) {
  // Status document: which image runs and what it can do.
  nlohmann::json status;
  bool have_status = false;
  if (auto text = device->get_status(); !text) {
    problem(name + " status", text.error(),
            "the firmware gives no readable status: power-cycle the board, then flash a current image");
  } else {
    try {
      status = nlohmann::json::parse(*text);
      have_status = status.is_object();
    } catch (const std::exception&) {
    }
    if (!have_status) {
      problem(name + " status", "the status is no JSON object: " + *text, "update the plug-in and the firmware");
    } else {
      ok(name + " status", fmt::format("Mode {}, Version {}, Build {}, API {}", string_member(status, "Mode"),
                                       string_member(status, "Version"), string_member(status, "Build"),
                                       string_member(status, "API")));
    }
  }

  // Identity document: which board this is.
  try {
    const auto identity = nlohmann::json::parse(device->get_info());
    if (!identity.is_object()) throw std::runtime_error("not an object");
    if (identity.contains("Error")) {
      problem(name + " identity", fmt::format("{} (ID {})", string_member(identity, "Error"),
                                              string_member(identity, "ID")),
              "the board's identity block is blank or damaged: send its ID to the maker");
    } else if (identity.contains("Pelio Model")) {
      ok(name + " identity", fmt::format("{}, serial {}", string_member(identity, "Pelio Model"),
                                         string_member(identity, "Serial Number")));
    } else {
      ok(name + " identity", identity.dump());
    }
  } catch (const std::exception& e) {
    problem(name + " identity", fmt::format("unreadable: {}", e.what()), "update the plug-in and the firmware");
  }

  // Firmware mode: the Neuropixels image with the current interface.
  bool neuropixels = false;
  if (have_status) {
    const auto mode = string_member(status, "Mode");
    const auto api = string_member(status, "API");
    if (mode != "np") {
      problem(name + " firmware", fmt::format("runs the \"{}\" image, not the Neuropixels one", mode),
              "reboot it into the Neuropixels image: open it once with --config '{\"mode\": \"np\"}' "
              "(e.g. pelionp detect --plugin PATH --config '{\"mode\": \"np\"}')");
    } else if (api != "1") {
      problem(name + " firmware", fmt::format("a Neuropixels image of interface version {}, this tool needs 1", api),
              "update the board's firmware to a current Neuropixels image");
    } else {
      ok(name + " firmware", "the Neuropixels image, interface version 1");
      neuropixels = true;
    }
  }

  if (bar) {
    if (*bar < MINIMUM_BAR_BYTES) {
      problem(name + " registers", fmt::format("the register space is 0x{:X} bytes, the libraries need 0x{:X}",
                                               *bar, MINIMUM_BAR_BYTES),
              "the driver maps another BAR than the board's registers: load it for this board's firmware");
    } else {
      ok(name + " registers", fmt::format("the register space is 0x{:X} bytes", *bar));
    }
  }

  if (neuropixels) ports(device, name);
}

void Doctor::ports(const std::shared_ptr<pelio::BasicDevice>& device, const std::string& name) {
  // NB: the controller sets the process-wide log level to info; the
  // program's own choice (--log-level) wins.
  const auto level = spdlog::get_level();
  auto controller = NPController::create(device);
  spdlog::set_level(level);
  if (!controller) {
    problem(name + " ports", controller.error(), "power-cycle the board; if it stays, update its firmware");
    return;
  }
  for (int p = 0; p < 4; ++p) {
    const std::string check = fmt::format("{} port {}", name, p);
    auto port = (*controller)->get_np_port(p);
    if (!port) {
      problem(check, port.error(), "the board's side of the port does not answer: power-cycle the board");
      continue;
    }
    auto headstage = (*controller)->detect_headstage(**port);
    if (!headstage) {
      const auto& why = headstage.error();
      if (why.starts_with("Failed to connect serializer")) {
        ok(check, "no headstage answers (an empty port)");
      } else {
        problem(check, why, "reseat the headstage and its cable, then run the doctor again");
      }
      continue;
    }
    const auto kind_and_pn = std::visit(
        overloaded{[](std::reference_wrapper<NP1::Headstage> h) { return "NP1 headstage " + h.get().part_number; },
                   [](std::reference_wrapper<NP2::Headstage> h) { return "NP2 headstage " + h.get().part_number; }},
        *headstage);
    constexpr std::array<const char*, 3> LINKS{"disconnected", "configuration link", "data link"};
    ok(check, fmt::format("{}, {}", kind_and_pn, LINKS.at((*port)->serdes.index())));
  }
}

}  // namespace pelionp::tool::doctor
