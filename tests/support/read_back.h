#pragma once
// Reading recorded files back in tests: whole files, .meta key=value maps,
// int16 .bin samples and uint64 .npy timestamps.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace pelionp::test {

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in) << "cannot open " << path;
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline std::map<std::string, std::string> read_meta(const std::filesystem::path& path) {
  std::map<std::string, std::string> meta;
  std::istringstream in(read_file(path));
  std::string line;
  while (std::getline(in, line)) {
    const auto eq = line.find('=');
    EXPECT_NE(eq, std::string::npos) << line;
    EXPECT_FALSE(meta.contains(line.substr(0, eq))) << "duplicate key " << line.substr(0, eq);
    meta[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return meta;
}

inline std::vector<int16_t> read_int16(const std::filesystem::path& path) {
  const auto bytes = read_file(path);
  std::vector<int16_t> values(bytes.size() / 2);
  std::memcpy(values.data(), bytes.data(), values.size() * 2);
  return values;
}

// The data of an NPY v1.0 file of little-endian uint64 ('<u8').
inline std::vector<uint64_t> read_npy_u64(const std::filesystem::path& path) {
  const auto bytes = read_file(path);
  if (bytes.size() < 10 || bytes.compare(0, 6, "\x93NUMPY") != 0) {
    ADD_FAILURE() << path << " is not an NPY file";
    return {};
  }
  const std::size_t header = static_cast<uint8_t>(bytes[8]) | (static_cast<std::size_t>(static_cast<uint8_t>(bytes[9])) << 8);
  EXPECT_NE(bytes.find("'<u8'"), std::string::npos) << "dtype of " << path;
  const std::size_t start = 10 + header;
  std::vector<uint64_t> values((bytes.size() - start) / 8);
  std::memcpy(values.data(), bytes.data() + start, values.size() * 8);
  return values;
}

}  // namespace pelionp::test
