#pragma once
#include "pelionp/export.h"

namespace pelionp::demux {

/// Asks the C library to hand freed heap memory back to the system (glibc
/// keeps large freed blocks mapped, so a queue's freed backlog would still
/// count in the process's resident memory). A no-op where the C library
/// has no such call. Takes the allocator's locks: call it rarely.
PELIONP_API void return_free_memory_to_system() noexcept;

}  // namespace pelionp::demux
