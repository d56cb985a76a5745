#include "record/session/file_scale.h"

#include <type_traits>
#include <utility>
#include <variant>

#include "record/spikeglx/meta.h"

namespace pelionp::record {

FileScale::FileScale(const ProbeHandle& probe) {
  std::visit(
      [&](auto* p) {
        if constexpr (!std::is_same_v<decltype(p), NP1::Probe*>) {
          stream_ = &p->stream();
          for (size_t c = 0; c < corrections_.size(); ++c) corrections_[c] = stream_->gain(c);
          stream_->set_gains(spikeglx::np2_file_gains(corrections_));
        }
      },
      probe.probe);
}

FileScale::FileScale(FileScale&& other) noexcept
    : stream_(std::exchange(other.stream_, nullptr)), corrections_(other.corrections_) {}

FileScale::~FileScale() {
  if (stream_) stream_->set_gains(corrections_);
}

}  // namespace pelionp::record
