#include "tests/kessa_device_manager/stand_in_board.h"

#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include <fmt/format.h>

namespace pelio::test {
namespace {

// NB: plain file streams on every platform. Each write reaches the file
// before the stream closes, so the backend's mapping of the register file
// sees it (the page cache on Linux, the file's section on Windows).
std::fstream open_stream(const std::filesystem::path& path, std::ios::openmode mode) {
    std::fstream file(path, mode | std::ios::binary);
    if (!file) throw std::runtime_error(fmt::format("cannot open stand-in {}", path.string()));
    return file;
}

void write_word(std::fstream& file, uint32_t address, uint32_t value) {
    file.seekp(address);
    file.write(reinterpret_cast<const char*>(&value), sizeof value);
    file.flush();
    if (!file) throw std::runtime_error(fmt::format("cannot write stand-in register {:#x}", address));
}

}  // namespace

StandInBoard::StandInBoard(std::filesystem::path directory, unsigned index, std::size_t register_bytes)
    : directory_(std::move(directory)), index_(index), register_bytes_(register_bytes) {}

std::filesystem::path StandInBoard::node(const char* suffix) const {
    return directory_ / fmt::format("xdma{}{}", index_, suffix);
}

std::string StandInBoard::path() const { return (directory_ / fmt::format("xdma{}", index_)).string(); }

void StandInBoard::create(const std::string& status_text) const {
    open_stream(node("_c2h_0"), std::ios::out | std::ios::trunc);
    open_stream(node("_h2c_0"), std::ios::out | std::ios::trunc);
    const auto staged = node("_user.staged");
    open_stream(staged, std::ios::out | std::ios::trunc);
    std::filesystem::resize_file(staged, register_bytes_);
    {
        auto user = open_stream(staged, std::ios::in | std::ios::out);
        for (uint32_t i = 0; i < status_text.size() && i < 256; ++i) {
            write_word(user, 4 * i, static_cast<uint8_t>(status_text[i]));
        }
    }
    std::filesystem::rename(staged, node("_user"));
}

void StandInBoard::remove() const {
    for (const char* suffix : {"_user", "_c2h_0", "_h2c_0"}) std::filesystem::remove(node(suffix));
}

void StandInBoard::poke(uint32_t address, uint32_t value) const {
    auto user = open_stream(node("_user"), std::ios::in | std::ios::out);
    write_word(user, address, value);
}

uint32_t StandInBoard::peek(uint32_t address) const {
    auto user = open_stream(node("_user"), std::ios::in);
    uint32_t value = 0;
    user.seekg(address);
    user.read(reinterpret_cast<char*>(&value), sizeof value);
    if (user.gcount() != sizeof value) {
        throw std::runtime_error(fmt::format("cannot peek stand-in register {:#x}", address));
    }
    return value;
}

void StandInBoard::set_status_text(const std::string& text) const {
    if (text.size() > 256) throw std::invalid_argument("status text longer than 256 characters");
    auto user = open_stream(node("_user"), std::ios::in | std::ios::out);
    for (uint32_t i = 0; i < 256; ++i) write_word(user, 4 * i, i < text.size() ? static_cast<uint8_t>(text[i]) : 0u);
}

void StandInBoard::append_stream(std::span<const uint8_t> bytes) const {
    auto c2h = open_stream(node("_c2h_0"), std::ios::out | std::ios::app);
    c2h.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    c2h.flush();
    if (!c2h) throw std::runtime_error("cannot append to stand-in stream");
}

std::vector<uint8_t> StandInBoard::written() const {
    std::ifstream in(node("_h2c_0"), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

StandInDirectory::StandInDirectory() {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto candidate = std::filesystem::temp_directory_path() / fmt::format("kessa-stand-in-{:08x}", random());
        if (std::filesystem::create_directory(candidate)) {
            directory_ = std::move(candidate);
            return;
        }
    }
    throw std::runtime_error("cannot create a stand-in directory");
}

StandInDirectory::~StandInDirectory() {
    std::error_code ignored;  // best effort: a leftover temp folder is harmless
    std::filesystem::remove_all(directory_, ignored);
}

StandInBoard& StandInDirectory::add(unsigned index, std::size_t register_bytes) {
    auto& board = boards_[index];
    board = std::make_unique<StandInBoard>(directory_, index, register_bytes);
    board->create();
    return *board;
}

#ifndef _WIN32
std::shared_ptr<xdma::platform::Backend> stand_in_backend(const std::filesystem::path& directory) {
    return xdma::platform::linux_backend(directory);
}
#endif

std::string current_status_text(const std::string& mode, const std::string& build) {
    return fmt::format("Git: 1.4.2 - g1234abc\nBuild: {}\nDate: 2025-08-01\nTarget: {}\nAPI: 1\n", build, mode);
}

}  // namespace pelio::test
