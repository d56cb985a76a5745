#include "record/spikeglx/npy.h"

#include <fmt/format.h>

#include <bit>
#include <cstring>

namespace pelionp::record::spikeglx {

static_assert(std::endian::native == std::endian::little, "the data files are written in host byte order");

std::string npy_uint64_header(uint64_t count) {
  std::string header("\x93NUMPY\x01\x00", 8);
  std::string dict = fmt::format("{{'descr': '<u8', 'fortran_order': False, 'shape': ({},), }}", count);
  // The dictionary is padded with blanks to the fixed size and ends in a
  // newline; 128 bytes keep the data 64-byte aligned.
  const size_t dict_bytes = NPY_HEADER_BYTES - 10;
  dict.resize(dict_bytes - 1, ' ');
  dict.push_back('\n');
  header.push_back(static_cast<char>(dict_bytes & 0xFF));
  header.push_back(static_cast<char>(dict_bytes >> 8));
  return header + dict;
}

std::expected<TimestampFile, std::string> TimestampFile::create(const std::filesystem::path& path) {
  // NB: 8 bytes per AP sample is a twenty-fourth of the .bin; a smaller
  // buffer keeps the memory per probe down.
  auto file = OutputFile::create(path, size_t{512} << 10);
  if (!file) return std::unexpected(file.error());
  const auto header = npy_uint64_header(0);
  if (auto ok = file->write(std::as_bytes(std::span(header))); !ok) return std::unexpected(ok.error());
  return TimestampFile(std::move(*file));
}

std::expected<void, std::string> TimestampFile::append(std::span<const uint64_t> timestamps) {
  if (auto ok = file_.write(std::as_bytes(timestamps)); !ok) return ok;
  count_ += timestamps.size();
  return {};
}

std::expected<void, std::string> TimestampFile::checkpoint() {
  const auto header = npy_uint64_header(count_);
  return file_.overwrite(0, std::as_bytes(std::span(header)));
}

std::expected<void, std::string> TimestampFile::close() {
  const auto header = npy_uint64_header(count_);
  if (auto ok = file_.overwrite(0, std::as_bytes(std::span(header))); !ok) {
    (void)file_.close();  // the header error is the one worth reporting
    return ok;
  }
  return file_.close();
}

}  // namespace pelionp::record::spikeglx
