#include "sources/frame_window.h"

#include <algorithm>

namespace {

class FrameWindow final : public FrameSource {
 public:
  FrameWindow(std::unique_ptr<FrameSource> inner, std::int64_t first, std::int64_t count)
      : inner_(std::move(inner)), first_(std::max<std::int64_t>(first, 0)), count_(count) {}

  FrameGeometry geometry() const override { return inner_->geometry(); }

  std::int64_t frame_count() const override {
    const std::int64_t all = inner_->frame_count();
    if (all < 0) return -1;
    const std::int64_t left = std::max<std::int64_t>(all - first_, 0);
    return count_ < 0 ? left : std::min(left, count_);
  }

  FrameRead read_next(std::span<std::uint8_t> destination) override {
    while (skipped_ < first_) {
      FrameRead skip = inner_->read_next(destination);
      if (skip.status != FrameStatus::frame) return skip;
      ++skipped_;
    }
    if (count_ >= 0 && given_ >= count_) return {};
    FrameRead read = inner_->read_next(destination);
    if (read.status == FrameStatus::frame) ++given_;
    return read;
  }

  bool check_first_frames(int count, std::string* error) override {
    const std::int64_t want = first_ + count;
    if (want > 0x7fffffff) return true;  // beyond what a cheap check can name; reads will tell
    return inner_->check_first_frames(static_cast<int>(want), error);
  }

  FrameTime frame_time(std::int64_t frame) const override {
    return inner_->frame_time(first_ + frame);
  }

 private:
  std::unique_ptr<FrameSource> inner_;
  std::int64_t first_ = 0;
  std::int64_t count_ = -1;
  std::int64_t skipped_ = 0;
  std::int64_t given_ = 0;
};

}  // namespace

std::unique_ptr<FrameSource> make_frame_window(std::unique_ptr<FrameSource> inner,
                                               std::int64_t first, std::int64_t count) {
  return std::make_unique<FrameWindow>(std::move(inner), first, count);
}
