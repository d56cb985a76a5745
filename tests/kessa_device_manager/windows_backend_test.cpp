// The Windows backend's logic over a fake of its Win32 calls (every
// platform), and the real calls on Windows, where no board is attached.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "kessa_device_manager/kessa_device_manager.h"
#include "kessa_device_manager/platform/win32.h"
#include "tests/kessa_device_manager/fixture.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace pelio::test {
namespace {

namespace win32 = xdma::platform::win32;
using win32::Handle;

constexpr Handle DEVICE_SET = 0x5e7;
constexpr win32::Error FILE_NOT_FOUND = 2;
constexpr win32::Error SHARING_VIOLATION = 32;
constexpr win32::Error NO_UNICODE_TRANSLATION = 1113;

std::u16string wide(const std::string& ascii) { return {ascii.begin(), ascii.end()}; }

/// Plays SetupAPI, the driver's files and its BAR: every call is recorded,
/// each step can be made to fail.
class FakeWin32 final : public win32::Api {
public:
    // What the "system" holds.
    std::vector<std::u16string> interfaces;
    std::map<std::u16string, win32::Error> missing_files;  // path -> CreateFileW error
    std::vector<uint32_t> bar = std::vector<uint32_t>(0x2000 / 4, 0);
    // Failure knobs.
    bool class_devs_fail = false;
    std::optional<win32::Error> size_query_error = win32::ERROR_INSUFFICIENT_BUFFER_CODE;
    bool heap_fails = false;
    bool detail_fails = false;
    bool utf8_fails = false;
    bool ioctl_fails = false;
    win32::Error ioctl_error = 1;  // ERROR_INVALID_FUNCTION
    uint32_t ioctl_bytes = 16;
    // A reply of the driver's own layout, written as is (and its size
    // returned) instead of {base, 64-bit length}.
    std::optional<std::vector<std::byte>> ioctl_reply;
    std::optional<win32::Error> read_error;
    // What happened.
    std::vector<std::string> calls;
    struct Open {
        std::u16string path;
        uint32_t access, share, disposition, attributes;
    };
    std::vector<Open> opens;
    std::vector<Handle> open_handles;
    std::vector<Handle> closed;
    std::vector<std::vector<uint8_t>> writes;

    Handle get_class_devs() override {
        calls.push_back("SetupDiGetClassDevsA");
        return class_devs_fail ? win32::INVALID_HANDLE : DEVICE_SET;
    }
    bool enum_device_interface(Handle set, uint32_t index) override {
        EXPECT_EQ(set, DEVICE_SET);
        calls.push_back(fmt::format("SetupDiEnumDeviceInterfaces {}", index));
        if (index >= interfaces.size()) {
            error_ = 259;  // ERROR_NO_MORE_ITEMS
            return false;
        }
        current_ = index;
        return true;
    }
    bool interface_detail_size(Handle, uint32_t& required) override {
        calls.push_back("SetupDiGetDeviceInterfaceDetailW size");
        required = static_cast<uint32_t>(sizeof(uint32_t) + 2 * (interfaces[current_].size() + 1));
        if (!size_query_error) return true;
        error_ = *size_query_error;
        return false;
    }
    void* heap_alloc(std::size_t bytes) override {
        calls.push_back(fmt::format("HeapAlloc {}", bytes));
        if (heap_fails) return nullptr;
        records_.emplace_back(bytes, uint8_t{0});
        return records_.back().data();
    }
    void heap_free(void* memory) override {
        calls.push_back("HeapFree");
        std::erase_if(records_, [&](const auto& r) { return r.data() == memory; });
    }
    bool interface_detail(Handle, void* record, uint32_t size) override {
        calls.push_back(fmt::format("SetupDiGetDeviceInterfaceDetailW {}", size));
        if (detail_fails) return false;
        const auto& path = interfaces[current_];
        EXPECT_GE(size, sizeof(uint32_t) + 2 * (path.size() + 1));
        std::memcpy(static_cast<uint8_t*>(record) + sizeof(uint32_t), path.c_str(), 2 * (path.size() + 1));
        return true;
    }
    std::u16string detail_path(const void* record) override {
        return reinterpret_cast<const char16_t*>(static_cast<const uint8_t*>(record) + sizeof(uint32_t));
    }
    void destroy_device_info_list(Handle set) override {
        EXPECT_EQ(set, DEVICE_SET);
        calls.push_back("SetupDiDestroyDeviceInfoList");
    }
    win32::Error last_error() override { return error_; }
    // A text that shows which code it was asked for.
    std::string error_text(win32::Error code) override { return "system text of " + std::to_string(code); }

    std::optional<std::string> to_utf8(std::u16string_view text) override {
        if (utf8_fails) {
            error_ = NO_UNICODE_TRANSLATION;
            return std::nullopt;
        }
        return std::string(text.begin(), text.end());
    }
    std::optional<std::u16string> to_wide(std::string_view text) override {
        return std::u16string(text.begin(), text.end());
    }

    Handle create_file(const std::u16string& path, uint32_t access, uint32_t share, uint32_t disposition,
                       uint32_t attributes) override {
        opens.push_back({path, access, share, disposition, attributes});
        if (auto it = missing_files.find(path); it != missing_files.end()) {
            error_ = it->second;
            return win32::INVALID_HANDLE;
        }
        const Handle handle = 0x100 + opens.size();
        open_handles.push_back(handle);
        return handle;
    }
    bool device_io_control(Handle handle, uint32_t code, std::span<std::byte> out, uint32_t& returned) override {
        calls.push_back(fmt::format("DeviceIoControl {:#x} {:#x} {}", handle, code, out.size()));
        if (ioctl_fails) {
            error_ = ioctl_error;
            return false;
        }
        if (ioctl_reply) {
            std::memcpy(out.data(), ioctl_reply->data(), std::min(out.size(), ioctl_reply->size()));
            returned = static_cast<uint32_t>(ioctl_reply->size());
            return true;
        }
        const uint64_t words[2] = {reinterpret_cast<uintptr_t>(bar.data()), 4 * bar.size()};
        std::memcpy(out.data(), words, std::min<std::size_t>(out.size(), sizeof words));
        returned = ioctl_bytes;
        return true;
    }
    bool read_file(Handle handle, std::span<uint8_t> buffer, uint32_t& read) override {
        calls.push_back(fmt::format("ReadFile {:#x} {}", handle, buffer.size()));
        if (read_error) {
            error_ = *read_error;
            return false;
        }
        std::fill_n(buffer.begin(), 3, uint8_t{0xAB});
        read = 3;
        return true;
    }
    bool write_file(Handle handle, std::span<const uint8_t> bytes, uint32_t& written) override {
        calls.push_back(fmt::format("WriteFile {:#x} {}", handle, bytes.size()));
        writes.emplace_back(bytes.begin(), bytes.end());
        written = static_cast<uint32_t>(bytes.size());
        return true;
    }
    void close_handle(Handle handle) override {
        closed.push_back(handle);
        std::erase(open_handles, handle);
    }

    [[nodiscard]] std::size_t live_records() const { return records_.size(); }

private:
    win32::Error error_ = 0;
    std::size_t current_ = 0;
    std::vector<std::vector<uint8_t>> records_;
};

const std::string DEVICE_0 = R"(\\?\pci#ven_10ee&dev_9038#0#{74c7e4a9-6d5d-4a70-bc0d-20691dff9e9d})";
const std::string DEVICE_1 = R"(\\?\pci#ven_10ee&dev_9038#1#{74c7e4a9-6d5d-4a70-bc0d-20691dff9e9d})";
const std::string DEVICE_2 = R"(\\?\pci#ven_10ee&dev_9038#2#{74c7e4a9-6d5d-4a70-bc0d-20691dff9e9d})";

TEST(WindowsBackend, ListsInterfacesInEnumerationOrderWithEveryCallInPlace) {
    auto api = std::make_shared<FakeWin32>();
    api->interfaces = {wide(DEVICE_2), wide(DEVICE_0)};
    const auto paths = win32::windows_backend(api)->list_devices();
    EXPECT_EQ(paths, (std::vector<std::string>{DEVICE_2, DEVICE_0}));

    const auto record = fmt::format("{}", 4 + 2 * (DEVICE_2.size() + 1));
    EXPECT_EQ(api->calls, (std::vector<std::string>{
                              "SetupDiGetClassDevsA",
                              "SetupDiEnumDeviceInterfaces 0",
                              "SetupDiGetDeviceInterfaceDetailW size",
                              "HeapAlloc " + record,
                              "SetupDiGetDeviceInterfaceDetailW " + record,
                              "HeapFree",
                              "SetupDiEnumDeviceInterfaces 1",
                              "SetupDiGetDeviceInterfaceDetailW size",
                              "HeapAlloc " + record,
                              "SetupDiGetDeviceInterfaceDetailW " + record,
                              "HeapFree",
                              "SetupDiEnumDeviceInterfaces 2",
                              "SetupDiDestroyDeviceInfoList",
                          }));
    EXPECT_EQ(api->live_records(), 0u);
}

TEST(WindowsBackend, KeepsAtMost260CharactersOfAPath) {
    auto api = std::make_shared<FakeWin32>();
    const std::string exact(260, 'a'), longer(300, 'b');
    api->interfaces = {wide(exact), wide(longer), wide(DEVICE_0)};
    const auto paths = win32::windows_backend(api)->list_devices();
    ASSERT_EQ(paths.size(), 3u);
    EXPECT_EQ(paths[0], exact);
    EXPECT_EQ(paths[1], std::string(260, 'b'));
    EXPECT_EQ(paths[2], DEVICE_0);  // the devices after it keep their index
}

TEST(WindowsBackend, EachFailedEnumerationStepThrowsItsMessageAndReleasesTheList) {
    struct Case {
        const char* name;
        void (*arrange)(FakeWin32&);
        const char* message;
    };
    const Case cases[] = {
        {"class devices", [](FakeWin32& f) { f.class_devs_fail = true; }, "GetDevices INVALID_HANDLE_VALUE"},
        {"size query", [](FakeWin32& f) { f.size_query_error = 5; },
         "SetupDiGetDeviceInterfaceDetail - get length failed"},
        {"heap", [](FakeWin32& f) { f.heap_fails = true; }, "HeapAlloc failed"},
        {"detail", [](FakeWin32& f) { f.detail_fails = true; }, "SetupDiGetDeviceInterfaceDetail - get detail failed"},
        {"conversion", [](FakeWin32& f) { f.utf8_fails = true; }, "WideCharToMultiByte() failed: 1113 (system text of 1113)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto api = std::make_shared<FakeWin32>();
        api->interfaces = {wide(DEVICE_0)};
        c.arrange(*api);
        try {
            (void)win32::windows_backend(api)->list_devices();
            ADD_FAILURE() << "no exception";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
        const auto destroyed = std::ranges::count(api->calls, std::string("SetupDiDestroyDeviceInfoList"));
        EXPECT_EQ(destroyed, api->class_devs_fail ? 0 : 1);
        EXPECT_EQ(api->live_records(), 0u);
    }
}

TEST(WindowsBackend, ASizeQueryThatSucceedsIsNotAFailure) {
    auto api = std::make_shared<FakeWin32>();
    api->interfaces = {wide(DEVICE_0)};
    api->size_query_error.reset();
    EXPECT_EQ(win32::windows_backend(api)->list_devices(), std::vector<std::string>{DEVICE_0});
}

TEST(WindowsBackend, OpensTheThreeFilesExclusivelyAndMapsTheBar) {
    auto api = std::make_shared<FakeWin32>();
    api->bar[0x10 / 4] = 0xCAFE;
    auto link = win32::windows_backend(api)->open(DEVICE_0);
    ASSERT_TRUE(link) << link.error();

    ASSERT_EQ(api->opens.size(), 3u);
    const char* suffixes[] = {"\\user", "\\c2h_0", "\\h2c_0"};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(api->opens[i].path, wide(DEVICE_0 + suffixes[i]));
        EXPECT_EQ(api->opens[i].access, 0xC0000000u);  // GENERIC_READ | GENERIC_WRITE
        EXPECT_EQ(api->opens[i].share, 0u);
        EXPECT_EQ(api->opens[i].disposition, 3u);     // OPEN_EXISTING
        EXPECT_EQ(api->opens[i].attributes, 0x80u);  // FILE_ATTRIBUTE_NORMAL
    }
    const Handle user = 0x101, c2h = 0x102, h2c = 0x103;
    EXPECT_EQ(api->calls, std::vector<std::string>{"DeviceIoControl 0x101 0x22001c 16"});

    EXPECT_EQ((*link)->register_space_bytes(), 0x2000u);
    EXPECT_EQ((*link)->load(0x10), 0xCAFEu);
    (*link)->store(0x1404, 0x14);
    EXPECT_EQ(api->bar[0x1404 / 4], 0x14u);

    std::vector<uint8_t> buffer(8, 0);
    EXPECT_EQ((*link)->read(buffer, {}), 3u);
    EXPECT_EQ(buffer[2], 0xAB);
    api->read_error = 995;  // ERROR_OPERATION_ABORTED
    EXPECT_EQ((*link)->read(buffer, {}).error(), 995);
    const std::vector<uint8_t> bytes{1, 2, 3, 4};
    EXPECT_EQ((*link)->write(bytes), 4u);
    EXPECT_EQ(api->calls.at(1), fmt::format("ReadFile {:#x} 8", c2h));
    EXPECT_EQ(api->calls.at(3), fmt::format("WriteFile {:#x} 4", h2c));

    EXPECT_TRUE(api->closed.empty());
    link->reset();
    EXPECT_EQ(api->closed, (std::vector<Handle>{h2c, c2h, user}));  // the user file (the mapping) last
}

TEST(WindowsBackend, EachFailedOpenStepNamesItselfAndClosesWhatWasOpened) {
    struct Case {
        const char* name;
        void (*arrange)(FakeWin32&);
        const char* message;
        std::size_t opened;
    };
    const Case cases[] = {
        {"user", [](FakeWin32& f) { f.missing_files[wide(DEVICE_0 + "\\user")] = FILE_NOT_FOUND; },
         "Error opening mm device, win32 error code: 2 (system text of 2)", 0},
        {"c2h", [](FakeWin32& f) { f.missing_files[wide(DEVICE_0 + "\\c2h_0")] = SHARING_VIOLATION; },
         "Error opening c2h device, win32 error code: 32 (system text of 32)", 1},
        {"h2c", [](FakeWin32& f) { f.missing_files[wide(DEVICE_0 + "\\h2c_0")] = FILE_NOT_FOUND; },
         "Error opening h2c device, win32 error code: 2 (system text of 2)", 2},
        {"ioctl", [](FakeWin32& f) { f.ioctl_fails = true; },
         "Error mapping user bar to userspace: map bar ioctl failed! win32 error code: 1 (system text of 1)", 3},
        {"ioctl size", [](FakeWin32& f) { f.ioctl_bytes = 8; },
         "Error mapping user bar to userspace: map bar ioctl failed! wrong size 8", 3},
        {"ioctl oversize", [](FakeWin32& f) { f.ioctl_bytes = 24; },
         "Error mapping user bar to userspace: map bar ioctl failed! wrong size 24", 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto api = std::make_shared<FakeWin32>();
        c.arrange(*api);
        const auto link = win32::windows_backend(api)->open(DEVICE_0);
        ASSERT_FALSE(link);
        EXPECT_EQ(link.error(), c.message);
        EXPECT_EQ(api->closed.size(), c.opened);
        EXPECT_TRUE(api->open_handles.empty());
    }
}

// The driver answers the map with {pointer, 32-bit length}: 12 bytes
// packed, or 16 with the structure's padding after the length (whatever it
// holds). A null base or a zero length is refused, as on Linux.
TEST(WindowsBackend, TheMapReplyIsAPointerAndA32BitLength) {
    struct Case {
        const char* name;
        bool null_base;
        uint32_t length;
        std::size_t reply_bytes;
        const char* error;  // null: the link opens with `length` bytes of registers
    };
    const Case cases[] = {
        {"packed", false, 0x2000, 12, nullptr},
        {"padded", false, 0x1000, 16, nullptr},
        {"null base", true, 0x2000, 16, "Error mapping user bar to userspace: map bar ioctl failed! null base"},
        {"zero length", false, 0, 16, "Error mapping user bar to userspace: map bar ioctl failed! zero length"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto api = std::make_shared<FakeWin32>();
        api->bar[0x40 / 4] = 0x12345678;
        std::vector<std::byte> reply(c.reply_bytes, std::byte{0xEE});  // the padding is not cleared
        const uint64_t base = c.null_base ? 0 : reinterpret_cast<uintptr_t>(api->bar.data());
        std::memcpy(reply.data(), &base, 8);
        std::memcpy(reply.data() + 8, &c.length, 4);
        api->ioctl_reply = reply;
        const auto link = win32::windows_backend(api)->open(DEVICE_0);
        if (c.error != nullptr) {
            ASSERT_FALSE(link);
            EXPECT_EQ(link.error(), c.error);
            EXPECT_EQ(api->closed.size(), 3u);
            continue;
        }
        ASSERT_TRUE(link) << link.error();
        EXPECT_EQ((*link)->register_space_bytes(), c.length);
        EXPECT_EQ((*link)->load(0x40), 0x12345678u);
    }
}

TEST(WindowsBackend, TheManagerNumbersDevicesInEnumerationOrderAndOpensTheOneAsked) {
    auto api = std::make_shared<FakeWin32>();
    api->interfaces = {wide(DEVICE_0), wide(DEVICE_1), wide(DEVICE_2)};
    const std::string status = current_status_text("np");
    for (std::size_t i = 0; i < status.size(); ++i) api->bar[i] = static_cast<uint8_t>(status[i]);

    auto manager = std::make_shared<kessa_device_manager>(win32::windows_backend(api), fast_timing());
    EXPECT_EQ(manager->list_devices(), R"([{"id": 0},{"id": 1},{"id": 2}])");
    auto device = manager->create_device(R"({"id": 1})");
    ASSERT_FALSE(api->opens.empty());
    EXPECT_EQ(api->opens.front().path, wide(DEVICE_1 + "\\user"));
    EXPECT_EQ(dynamic_cast<KessaDevice&>(*device).path(), DEVICE_1);
    EXPECT_EQ(manager->managed_devices(), std::vector<std::string>{R"({"id":1})"});
    EXPECT_THROW((void)manager->create_device(R"({"id": 3})"), std::out_of_range);
}

#ifdef _WIN32
bool under_wine() {
    return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

TEST(WindowsSystem, TheRealCallsEnumerateCleanly) {
    std::vector<std::string> paths;
    ASSERT_NO_THROW(paths = xdma::platform::native_backend()->list_devices());
    kessa_device_manager manager;
    EXPECT_EQ(nlohmann::json::parse(manager.list_devices()).size(), paths.size());
    if (under_wine()) {
        // No driver, no board: an empty list, said as the host expects.
        EXPECT_TRUE(paths.empty());
        EXPECT_EQ(manager.list_devices(), "[]");
        EXPECT_THROW((void)manager.create_device("{}"), std::out_of_range);
    }
}

TEST(WindowsSystem, OpeningAPathWithoutADriverFailsAtTheFirstFile) {
    const auto link = xdma::platform::native_backend()->open(R"(\\?\no-such-xdma-device)");
    ASSERT_FALSE(link);
    EXPECT_TRUE(link.error().starts_with("Error opening mm device, win32 error code: ")) << link.error();
    EXPECT_TRUE(link.error().ends_with(")")) << "the system's text follows the code: " << link.error();
}
#endif

}  // namespace
}  // namespace pelio::test
