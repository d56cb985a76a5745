// The module's one entry point, found by the host device library by name.
#include "kessa_device_manager/kessa_device_manager.h"

#if defined(_WIN32)
#define KESSA_ENTRY_POINT extern "C" __declspec(dllexport)
#else
#define KESSA_ENTRY_POINT extern "C" __attribute__((visibility("default")))
#endif

/// A new manager, owned by the caller and destroyed through its virtual
/// destructor.
KESSA_ENTRY_POINT pelio::DeviceManager* create_manager() { return new pelio::kessa_device_manager(); }
