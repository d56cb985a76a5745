// `pelionp doctor`'s checks against the stand-in driver: its nodes in a
// directory, a fake sysfs, and the plug-in's manager over them. Each fault
// a lab meets on its first day yields its problem line and remedy.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "kessa_device_manager/kessa_device_manager.h"
#include "tests/doctor/exclusive_nodes.h"
#include "tests/kessa_device_manager/stand_in_board.h"
#include "tests/support/temp_dir.h"
#include "tools/commands/doctor_checks.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace pelionp::tool::doctor {
namespace {

namespace fs = std::filesystem;
using pelio::test::StandInDirectory;

struct Run {
  std::vector<Finding> findings;
  int problems = 0;

  // The one finding of `check`; fails the test when there is none.
  const Finding& of(const std::string& check) const {
    for (const auto& f : findings) {
      if (f.check == check) return f;
    }
    ADD_FAILURE() << "no finding of " << check << " in:\n" << text();
    static const Finding none{.ok = true, .check = "", .detail = "", .remedy = ""};
    return none;
  }
  std::string text() const {
    std::string all;
    for (const auto& f : findings) all += format_finding(f) + "\n";
    return all;
  }
};

#ifndef _WIN32

void write_file(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file) << text << "\n";
}

// An identity block by the board's layout: "Cedar 8", serial 0x1234ABCD.
void give_identity(const pelio::test::StandInBoard& board) {
  std::array<uint32_t, 32> block{};
  block[0] = 0x4B424944;
  block[1] = (1u << 16) | 0x0201;
  block[2] = 0x040008;
  block[3] = 0x1234ABCD;
  const std::string model = "Cedar 8";
  for (std::size_t i = 0; i < model.size(); ++i) block[4 + i / 4] |= uint32_t(uint8_t(model[i])) << (8 * (i % 4));
  uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < block.size(); ++i) sum += block[i];
  block[31] = 0u - sum;
  for (uint32_t i = 0; i < 32; ++i) board.poke(0x1800 + 4 * i, block[i]);
}

// One stand-in board in a directory, a sysfs with the driver loaded, and the
// plug-in's manager over the directory.
struct StandInSystem {
  StandInDirectory dir;
  pelionp::test::TempDir sysfs_dir;
  Places places{.devices = dir.directory(), .sysfs = sysfs_dir.path()};

  StandInSystem() { write_file(places.sysfs / "module" / "xdma" / "version", "2020.2.2"); }

  // Board 0, with an identity, running `mode`.
  pelio::test::StandInBoard& add_board(const std::string& mode) {
    auto& board = dir.add(0);
    board.set_status_text(pelio::test::current_status_text(mode));
    give_identity(board);
    return board;
  }

  Run run() {
    Run r;
    Doctor doctor([&](const Finding& f) { r.findings.push_back(f); });
    doctor.driver(places);
    doctor.nodes(places);
    // NB: shared, as the host holds it: the devices it makes hold it.
    const auto manager = std::make_shared<pelio::kessa_device_manager>(pelio::test::stand_in_backend(dir.directory()));
    doctor.boards(*manager, places);
    r.problems = doctor.problems();
    return r;
  }
};

// A board that opens but runs the RHD image: the checks up to the firmware
// mode, without the port checks (which need a Neuropixels image).
TEST(Doctor, AHealthyStandInBoardOpensAndOnlyItsFirmwareModeIsAProblem) {
  StandInSystem system;
  system.add_board("rhd");
  const auto r = system.run();
  EXPECT_EQ(format_finding(r.of("driver")), "ok      driver: the XDMA driver is loaded, version 2020.2.2");
  EXPECT_TRUE(r.of("nodes xdma0").ok) << r.text();
  EXPECT_TRUE(r.of("board 0").ok) << r.text();
  EXPECT_EQ(format_finding(r.of("board 0 status")), "ok      board 0 status: Mode rhd, Version 1.4.2, Build 2025-08-01 10:00:00, API 1");
  EXPECT_EQ(format_finding(r.of("board 0 identity")), "ok      board 0 identity: Cedar 8, serial 1234ABCD");
  EXPECT_EQ(format_finding(r.of("board 0 registers")), "ok      board 0 registers: the register space is 0x4000 bytes");
  const auto& firmware = r.of("board 0 firmware");
  EXPECT_FALSE(firmware.ok);
  EXPECT_EQ(firmware.detail, "runs the \"rhd\" image, not the Neuropixels one");
  EXPECT_NE(firmware.remedy.find(R"(--config '{"mode": "np"}')"), std::string::npos) << firmware.remedy;
  EXPECT_EQ(r.problems, 1) << r.text();
}

// Each fault of the driver's side, played by the stand-in, and the line it
// must produce.
TEST(Doctor, EachDriverSideFaultIsNamedWithTheOneThingToDo) {
  struct Case {
    const char* name;
    std::function<void(StandInSystem&)> fault;
    const char* check;
    const char* detail;  // a part of the problem's detail
    const char* remedy;  // a part of its remedy
  };
  const std::vector<Case> cases{
      {"driver not loaded", [](StandInSystem& s) { fs::remove_all(s.places.sysfs / "module"); }, "driver",
       "the XDMA driver is not loaded", "sudo modprobe xdma"},
      {"thunderbolt device not authorised",
       [](StandInSystem& s) {
         write_file(s.places.sysfs / "bus" / "thunderbolt" / "devices" / "0-1" / "authorized", "0");
         write_file(s.places.sysfs / "bus" / "thunderbolt" / "devices" / "0-1" / "device_name", "Kessa");
       },
       "thunderbolt", "device 0-1 (Kessa) is not authorised", "boltctl authorize"},
      {"no board", [](StandInSystem& s) { s.dir.board(0).remove(); }, "nodes", "no board nodes (xdma*_user)",
       "connect and power the board"},
      {"missing c2h node", [](StandInSystem& s) { fs::remove(s.dir.directory() / "xdma0_c2h_0"); }, "nodes xdma0",
       "xdma0_c2h_0 is missing", "reload the driver"},
      {"missing c2h node, the open", [](StandInSystem& s) { fs::remove(s.dir.directory() / "xdma0_c2h_0"); },
       "board 0", "does not open: Error opening c2h device, win32 error code: 2 (No such file or directory)", "reload the driver"},
      {"root's nodes",
       [](StandInSystem& s) { fs::permissions(s.dir.directory() / "xdma0_h2c_0", fs::perms::none); }, "nodes xdma0",
       "xdma0_h2c_0 is ---------- 0:root, which you", "60-kessa-xdma.rules"},
      {"a group's nodes",
       [](StandInSystem& s) {
         const auto node = s.dir.directory() / "xdma0_user";
         ASSERT_EQ(::chown(node.c_str(), 4242, 4243), 0);
         ASSERT_EQ(::chmod(node.c_str(), 0660), 0);
       },
       "nodes xdma0", "xdma0_user is -rw-rw---- 4242:4243, which you", "sudo usermod -aG 4243 $USER"},
      {"a small register space",
       [](StandInSystem& s) { fs::resize_file(s.dir.directory() / "xdma0_user", 0x1000); }, "board 0 registers",
       "the register space is 0x1000 bytes, the libraries need 0x2404", "maps another BAR"},
      {"legacy Neuropixels image",
       [](StandInSystem& s) { s.dir.board(0).poke(0x208, 0x4E500011); }, "board 0 firmware",
       "a Neuropixels image of interface version 0, this tool needs 1", "update the board's firmware"},
      {"no status text", [](StandInSystem& s) { s.dir.board(0).poke(0, 0); }, "board 0 status",
       "Failed to read status", "flash a current image"},
      {"blank identity block", [](StandInSystem& s) { s.dir.board(0).poke(0x1800, 0); }, "board 0 identity",
       "Invalid (ID 0000000000000000)", "send its ID to the maker"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StandInSystem system;
    system.add_board("rhd");
    c.fault(system);
    const auto r = system.run();
    const auto& f = r.of(c.check);
    EXPECT_FALSE(f.ok) << r.text();
    EXPECT_NE(f.detail.find(c.detail), std::string::npos) << r.text();
    EXPECT_NE(f.remedy.find(c.remedy), std::string::npos) << r.text();
    EXPECT_GE(r.problems, 1);
  }
}

// The c2h channel opens once: a board another program holds.
TEST(Doctor, ABoardAnotherProgramHoldsIsBusy) {
  StandInSystem system;
  system.add_board("rhd");
  const auto c2h = system.dir.directory() / "xdma0_c2h_0";
  pelio::test::register_exclusive_node(c2h);
  const int held = ::open(c2h.c_str(), O_RDWR);  // the other program
  ASSERT_GE(held, 0);
  const auto r = system.run();
  ::close(held);
  pelio::test::forget_exclusive_node(c2h);
  EXPECT_TRUE(r.of("nodes xdma0").ok) << r.text();
  EXPECT_EQ(format_finding(r.of("board 0")),
            "problem board 0: does not open: Error opening c2h device, win32 error code: 16 (Device or resource busy) -> do: another program "
            "holds the board (its c2h channel opens once): close it (sudo fuser -v " +
                (system.dir.directory() / "xdma0").string() + "_c2h_0 names it)");
  EXPECT_EQ(r.problems, 1) << r.text();
}

#endif  // _WIN32

Run check_plugin(const fs::path& module) {
  Run r;
  Doctor doctor([&](const Finding& f) { r.findings.push_back(f); });
  const auto manager = doctor.plugin(module);
  EXPECT_EQ(manager == nullptr, doctor.problems() > 0);
  r.problems = doctor.problems();
  return r;
}

TEST(Doctor, APlugInThatIsNotThereOrDoesNotLoadIsNamed) {
  pelionp::test::TempDir dir;
  const auto absent = dir.path() / "kessa_device_manager.so";
  EXPECT_EQ(format_finding(check_plugin(absent).of("plug-in")),
            "problem plug-in: " + absent.string() +
                " not found -> do: give the plug-in's file: --plugin PATH (kessa_device_manager, installed under "
                "lib/pelionp)");

  const auto needs = check_plugin(DOCTOR_NEEDS_ABSENT_MODULE).of("plug-in");
  EXPECT_FALSE(needs.ok);
  // The loader's message names the library (Linux), or the module's import
  // tables do (Windows, whose error 126 names none); the doctor says what
  // to install.
  const auto named = fmt::format("{} needs {}, which is not found", DOCTOR_NEEDS_ABSENT_MODULE, DOCTOR_ABSENT_DEPENDENCY);
  EXPECT_NE(needs.detail.find(named), std::string::npos) << needs.detail;
  EXPECT_EQ(needs.remedy, "install " DOCTOR_ABSENT_DEPENDENCY " next to the plug-in or on the library path");
#ifdef _WIN32
  EXPECT_NE(needs.detail.find("Windows error 126"), std::string::npos) << needs.detail;
#endif

#ifdef KESSA_DEVICE_MANAGER_MODULE
  EXPECT_EQ(format_finding(check_plugin(KESSA_DEVICE_MANAGER_MODULE).of("plug-in")),
            "ok      plug-in: " KESSA_DEVICE_MANAGER_MODULE " loads (Pelio Thunderbolt)");
#endif
}

TEST(Doctor, TheImportTableOfAFileThatIsNoDllIsRefused) {
  pelionp::test::TempDir dir;
  struct Case {
    const char* name;
    std::string bytes;
    const char* error;
  };
  const Case cases[] = {
      {"empty", "", "no PE signature"},
      {"an ELF file", std::string("\x7f" "ELF\x02\x01\x01", 7) + std::string(57, '\0'), "no PE signature"},
      // A DOS header pointing at a PE signature and nothing after it.
      {"cut after the signature", std::string("MZ", 2) + std::string(58, '\0') + std::string("\x40\0\0\0PE\0\0", 8),
       "no optional header"},
  };
  for (const auto& c : cases) {
    const auto file = dir.path() / "file.dll";
    std::ofstream(file, std::ios::binary) << c.bytes;
    EXPECT_EQ(dll_imports(file), std::unexpected(std::string(c.error))) << c.name;
  }
  EXPECT_FALSE(dll_imports(dir.path() / "absent.dll").has_value());
#ifdef _WIN32
  const auto names = dll_imports(DOCTOR_NEEDS_ABSENT_MODULE);
  ASSERT_TRUE(names.has_value()) << names.error();
  EXPECT_NE(std::ranges::find(*names, DOCTOR_ABSENT_DEPENDENCY), names->end());
#endif
}

}  // namespace
}  // namespace pelionp::tool::doctor
