// The plug-in must load against the maker's host device library, which
// gives it only the device manager's base: construction, destruction and
// `manage_device`. Read from the built module itself: the undefined dynamic
// symbols that the stand-in host library defines (Linux, ELF), or the names
// its import table takes from the host library's DLL (Windows, PE).
#include <gtest/gtest.h>

#include <cxxabi.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <dlfcn.h>
#include <elf.h>
#endif

#include "pelio_device/loader.h"

namespace pelio::test {
namespace {

std::vector<char> read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

template <class T>
T at(const std::vector<char>& bytes, std::size_t offset) {
    T value{};
    if (offset + sizeof(T) > bytes.size()) throw std::out_of_range("read past the end of the module file");
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

std::string c_string(const std::vector<char>& bytes, std::size_t offset) {
    if (offset >= bytes.size()) throw std::out_of_range("string past the end of the module file");
    return std::string(bytes.data() + offset, ::strnlen(bytes.data() + offset, bytes.size() - offset));
}

/// "pelio::DeviceManager::manage_device" for its mangled name: the name
/// without its parameters, which the standard library's layout spells.
std::string readable(const std::string& mangled) {
    int status = 0;
    char* text = abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status);
    if (status != 0 || text == nullptr) return mangled;
    std::string name(text);
    std::free(text);
    if (const auto open = name.find('('); open != std::string::npos) name.resize(open);
    return name;
}

const std::set<std::string> HOST_LIBRARY_GIVES = {
    "pelio::DeviceManager::DeviceManager",
    "pelio::DeviceManager::~DeviceManager",
    "pelio::DeviceManager::manage_device",
    // NB: data, not code: the derived manager's type information names its
    // base's, which a C++ base class exported from a library carries.
    "typeinfo for pelio::DeviceManager",
};

#ifndef _WIN32
struct DynamicSymbols {
    std::set<std::string> undefined;
    std::set<std::string> defined;
};

DynamicSymbols dynamic_symbols(const std::filesystem::path& path) {
    const auto bytes = read_file(path);
    const auto header = at<Elf64_Ehdr>(bytes, 0);
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64) {
        throw std::runtime_error(path.string() + " is no 64-bit ELF file");
    }
    DynamicSymbols symbols;
    for (unsigned i = 0; i < header.e_shnum; ++i) {
        const auto section = at<Elf64_Shdr>(bytes, header.e_shoff + std::size_t{i} * header.e_shentsize);
        if (section.sh_type != SHT_DYNSYM) continue;
        const auto strings = at<Elf64_Shdr>(bytes, header.e_shoff + std::size_t{section.sh_link} * header.e_shentsize);
        for (std::size_t offset = section.sh_entsize; offset < section.sh_size; offset += section.sh_entsize) {
            const auto symbol = at<Elf64_Sym>(bytes, section.sh_offset + offset);
            const auto binding = ELF64_ST_BIND(symbol.st_info);
            if (binding != STB_GLOBAL && binding != STB_WEAK) continue;
            const auto name = c_string(bytes, strings.sh_offset + symbol.st_name);
            (symbol.st_shndx == SHN_UNDEF ? symbols.undefined : symbols.defined).insert(name);
        }
    }
    return symbols;
}

std::filesystem::path host_library() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&load_device_manager), &info) == 0 || info.dli_fname == nullptr) {
        throw std::runtime_error("dladdr found no host library");
    }
    return info.dli_fname;
}

TEST(ImportSet, ThePlugInTakesOnlyTheDeviceManagerBaseFromTheHostLibrary) {
    const auto plugin = dynamic_symbols(KESSA_DEVICE_MANAGER_MODULE);
    const auto host = dynamic_symbols(host_library());
    std::set<std::string> taken;
    for (const auto& name : plugin.undefined) {
        if (host.defined.contains(name)) taken.insert(readable(name));
    }
    EXPECT_EQ(taken, HOST_LIBRARY_GIVES);
    // And it asks for no other name of the host library's namespace.
    for (const auto& name : plugin.undefined) {
        const auto text = readable(name);
        if (text.find("pelio::") == std::string::npos || text.find("pelionp") != std::string::npos) continue;
        EXPECT_TRUE(HOST_LIBRARY_GIVES.contains(text)) << "imports " << text;
    }
}
#else
/// The names the import table of the PE file at `path` takes from `dll`
/// (compared without regard to case, as the loader does).
std::set<std::string> imports_from(const std::filesystem::path& path, const std::string& dll, bool& found) {
    const auto bytes = read_file(path);
    const auto pe = at<uint32_t>(bytes, 0x3C);
    if (at<uint32_t>(bytes, pe) != 0x00004550) throw std::runtime_error(path.string() + " is no PE file");
    const auto file = at<IMAGE_FILE_HEADER>(bytes, pe + 4);
    const std::size_t optional = pe + 4 + sizeof(IMAGE_FILE_HEADER);
    const auto header = at<IMAGE_OPTIONAL_HEADER64>(bytes, optional);
    const auto directory = header.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    const std::size_t sections = optional + file.SizeOfOptionalHeader;
    const auto file_offset = [&](uint32_t rva) -> std::size_t {
        for (unsigned i = 0; i < file.NumberOfSections; ++i) {
            const auto s = at<IMAGE_SECTION_HEADER>(bytes, sections + i * sizeof(IMAGE_SECTION_HEADER));
            if (rva >= s.VirtualAddress && rva < s.VirtualAddress + std::max(s.Misc.VirtualSize, s.SizeOfRawData)) {
                return rva - s.VirtualAddress + s.PointerToRawData;
            }
        }
        throw std::out_of_range("an address outside every section");
    };
    std::set<std::string> names;
    found = false;
    for (std::size_t d = file_offset(directory.VirtualAddress);; d += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        const auto descriptor = at<IMAGE_IMPORT_DESCRIPTOR>(bytes, d);
        if (descriptor.Name == 0) break;
        if (::_stricmp(c_string(bytes, file_offset(descriptor.Name)).c_str(), dll.c_str()) != 0) continue;
        found = true;
        const uint32_t table = descriptor.OriginalFirstThunk != 0 ? descriptor.OriginalFirstThunk : descriptor.FirstThunk;
        for (std::size_t t = file_offset(table);; t += sizeof(uint64_t)) {
            const auto thunk = at<uint64_t>(bytes, t);
            if (thunk == 0) break;
            if ((thunk & IMAGE_ORDINAL_FLAG64) != 0) {
                names.insert("ordinal " + std::to_string(thunk & 0xFFFF));
                continue;
            }
            names.insert(readable(c_string(bytes, file_offset(static_cast<uint32_t>(thunk)) + 2)));
        }
    }
    return names;
}

TEST(ImportSet, ThePlugInTakesOnlyTheDeviceManagerBaseFromTheHostLibrary) {
    bool found = false;
    const auto taken = imports_from(KESSA_DEVICE_MANAGER_MODULE, "pelio_device.dll", found);
    ASSERT_TRUE(found) << "the plug-in imports nothing from pelio_device.dll";
    // NB: a DLL's type information is not imported: each module has its own.
    auto expected = HOST_LIBRARY_GIVES;
    expected.erase("typeinfo for pelio::DeviceManager");
    std::set<std::string> code;
    for (const auto& name : taken) {
        if (!name.starts_with("typeinfo for ")) code.insert(name);
    }
    EXPECT_EQ(code, expected);
}
#endif

}  // namespace
}  // namespace pelio::test
