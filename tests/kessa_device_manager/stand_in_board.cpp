#include "tests/kessa_device_manager/stand_in_board.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <fmt/format.h>

namespace pelio::test {
namespace {

struct File {
    explicit File(const std::filesystem::path& path, int flags) : fd(::open(path.c_str(), flags | O_CLOEXEC, 0644)) {
        if (fd < 0) throw std::runtime_error(fmt::format("cannot open stand-in {}", path.string()));
    }
    ~File() { ::close(fd); }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    int fd;
};

}  // namespace

StandInBoard::StandInBoard(std::filesystem::path directory, unsigned index, std::size_t register_bytes)
    : directory_(std::move(directory)), index_(index), register_bytes_(register_bytes) {}

std::filesystem::path StandInBoard::node(const char* suffix) const {
    return directory_ / fmt::format("xdma{}{}", index_, suffix);
}

std::string StandInBoard::path() const { return (directory_ / fmt::format("xdma{}", index_)).string(); }

void StandInBoard::create(const std::string& status_text) const {
    File c2h(node("_c2h_0"), O_RDWR | O_CREAT | O_TRUNC);
    File h2c(node("_h2c_0"), O_RDWR | O_CREAT | O_TRUNC);
    const auto staged = node("_user.staged");
    {
        File user(staged, O_RDWR | O_CREAT | O_TRUNC);
        if (::ftruncate(user.fd, static_cast<off_t>(register_bytes_)) != 0) {
            throw std::runtime_error("cannot size stand-in register file");
        }
        for (uint32_t i = 0; i < status_text.size() && i < 256; ++i) {
            const uint32_t c = static_cast<uint8_t>(status_text[i]);
            if (::pwrite(user.fd, &c, sizeof c, 4 * i) != sizeof c) throw std::runtime_error("cannot write status");
        }
    }
    std::filesystem::rename(staged, node("_user"));
}

void StandInBoard::remove() const {
    for (const char* suffix : {"_user", "_c2h_0", "_h2c_0"}) std::filesystem::remove(node(suffix));
}

void StandInBoard::poke(uint32_t address, uint32_t value) const {
    File user(node("_user"), O_RDWR);
    if (::pwrite(user.fd, &value, sizeof value, address) != sizeof value) {
        throw std::runtime_error(fmt::format("cannot poke stand-in register {:#x}", address));
    }
}

uint32_t StandInBoard::peek(uint32_t address) const {
    File user(node("_user"), O_RDONLY);
    uint32_t value = 0;
    if (::pread(user.fd, &value, sizeof value, address) != sizeof value) {
        throw std::runtime_error(fmt::format("cannot peek stand-in register {:#x}", address));
    }
    return value;
}

void StandInBoard::set_status_text(const std::string& text) const {
    if (text.size() > 256) throw std::invalid_argument("status text longer than 256 characters");
    for (uint32_t i = 0; i < 256; ++i) {
        poke(4 * i, i < text.size() ? static_cast<uint8_t>(text[i]) : 0u);
    }
}

void StandInBoard::append_stream(std::span<const uint8_t> bytes) const {
    File c2h(node("_c2h_0"), O_WRONLY | O_APPEND);
    if (::write(c2h.fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        throw std::runtime_error("cannot append to stand-in stream");
    }
}

std::vector<uint8_t> StandInBoard::written() const {
    std::ifstream in(node("_h2c_0"), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

StandInDirectory::StandInDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kessa-stand-in-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    directory_ = pattern;
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

std::string current_status_text(const std::string& mode, const std::string& build) {
    return fmt::format("Git: 1.4.2 - g1234abc\nBuild: {}\nDate: 2025-08-01\nTarget: {}\nAPI: 1\n", build, mode);
}

}  // namespace pelio::test
