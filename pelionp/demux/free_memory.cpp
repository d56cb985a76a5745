#include "pelionp/demux/free_memory.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace pelionp::demux {

void return_free_memory_to_system() noexcept {
#if defined(__GLIBC__)
    (void)malloc_trim(0);
#endif
}

}  // namespace pelionp::demux
