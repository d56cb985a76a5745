#include "pelio_device/module_reference.h"

#include <new>
#include <stdexcept>
#include <utility>

namespace pelio {
namespace {

thread_local ModuleReference loading;

/// Lies just before the bytes handed out, inside the alignment prefix.
struct BufferHeader {
    uint8_t* base;
    std::size_t alignment;
    ModuleReference module;
};

void release_module_buffer(uint8_t* data) {
    auto* header = reinterpret_cast<BufferHeader*>(data - sizeof(BufferHeader));
    ModuleReference module = std::move(header->module);
    uint8_t* base = header->base;
    const std::size_t alignment = header->alignment;
    header->~BufferHeader();
    ::operator delete[](base, std::align_val_t{alignment});
    // `module` goes last, in this library's code.
}

class ModuleBoundStream final : public BasicDevice::DataStream {
public:
    ModuleBoundStream(std::unique_ptr<BasicDevice::DataStream> inner, ModuleReference module)
        : module_(std::move(module)), inner_(std::move(inner)) {}
    ~ModuleBoundStream() override { inner_.reset(); }  // then module_, here
    bool stop() override { return inner_->stop(); }
    void join() override { inner_->join(); }

private:
    ModuleReference module_;  // first: outlives `inner_`
    std::unique_ptr<BasicDevice::DataStream> inner_;
};

}  // namespace

ModuleReference loading_module() { return loading; }

LoadingModuleScope::LoadingModuleScope(ModuleReference module) : previous_(std::exchange(loading, std::move(module))) {}
LoadingModuleScope::~LoadingModuleScope() { loading = std::move(previous_); }

DataStream::OwnedData::Buffer allocate_module_buffer(std::size_t bytes, std::size_t alignment, ModuleReference module) {
    if (alignment < 64 || (alignment & (alignment - 1)) != 0 || alignment < sizeof(BufferHeader)) {
        throw std::invalid_argument("allocate_module_buffer: alignment must be a power of two of at least 64");
    }
    auto* base = static_cast<uint8_t*>(::operator new[](bytes + alignment, std::align_val_t{alignment}));
    uint8_t* data = base + alignment;
    new (data - sizeof(BufferHeader)) BufferHeader{base, alignment, std::move(module)};
    return DataStream::OwnedData::Buffer(data, &release_module_buffer);
}

std::unique_ptr<BasicDevice::DataStream> bind_stream_to_module(std::unique_ptr<BasicDevice::DataStream> stream,
                                                               ModuleReference module) {
    if (!stream || !module) return stream;
    return std::make_unique<ModuleBoundStream>(std::move(stream), std::move(module));
}

}  // namespace pelio
