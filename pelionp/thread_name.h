#pragma once
// Names the calling thread as tools show it (`top -H`, `perf`, a debugger,
// /proc/<pid>/task/*/comm), so that a recording's CPU can be told apart by
// thread: demultiplexer, decoders, writers. At most 15 characters on Linux;
// longer names are cut there.
//
// NB: a no-op outside Linux: Windows' SetThreadDescription takes a wide
// string and is missing from older systems; nothing of this library reads
// the names back.
#include <string>

#if defined(__linux__)
#include <pthread.h>
#endif

namespace pelionp {

inline void name_this_thread(std::string name) noexcept {
#if defined(__linux__)
    if (name.size() > 15) name.resize(15);
    (void)pthread_setname_np(pthread_self(), name.c_str());
#else
    (void)name;
#endif
}

}  // namespace pelionp
