// Linked into every suite that uses the library: before the first test the
// library logs to the test program's default logger, so LogCapture sees its
// messages on every platform (on Windows pelionp.dll has a logger of its own).
#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include "pelionp/logging.h"

namespace {

class SharedLogger : public ::testing::Environment {
public:
    void SetUp() override { pelionp::use_logger(spdlog::default_logger()); }
};

[[maybe_unused]] const auto* const registered = ::testing::AddGlobalTestEnvironment(new SharedLogger);

}  // namespace
