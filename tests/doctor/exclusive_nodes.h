#pragma once
// One more manner of the Linux XDMA driver, for the doctor's tests only: its
// c2h node opens once. While a descriptor opened on a registered node is
// open, another open fails with EBUSY (`open` and `close` are interposed in
// this test program alone).
#ifndef _WIN32
#include <filesystem>

namespace pelio::test {

void register_exclusive_node(const std::filesystem::path& path);
void forget_exclusive_node(const std::filesystem::path& path);

}  // namespace pelio::test
#endif
