// Linked into every suite that uses the recording library: it logs to the
// test program's default logger too (on Windows pelionp_record.dll has a
// logger of its own).
#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include "record/logging.h"

namespace {

class SharedRecordLogger : public ::testing::Environment {
public:
    void SetUp() override { pelionp::record::use_logger(spdlog::default_logger()); }
};

[[maybe_unused]] const auto* const registered = ::testing::AddGlobalTestEnvironment(new SharedRecordLogger);

}  // namespace
