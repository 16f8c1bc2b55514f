#include "sources/injecting_source.h"

#include <algorithm>
#include <cmath>

namespace {

class InjectingSource final : public FrameSource {
 public:
  InjectingSource(std::unique_ptr<FrameSource> inner, std::vector<InjectedSpot> spots)
      : inner_(std::move(inner)), spots_(std::move(spots)) {
    std::stable_sort(
        spots_.begin(), spots_.end(),
        [](const InjectedSpot& a, const InjectedSpot& b) { return a.frame < b.frame; });
  }

  FrameGeometry geometry() const override { return inner_->geometry(); }
  std::int64_t frame_count() const override { return inner_->frame_count(); }

  FrameRead read_next(std::span<std::uint8_t> destination) override {
    FrameRead read = inner_->read_next(destination);
    if (read.status != FrameStatus::frame) return read;
    const std::int64_t frame = next_++;
    while (spot_ < spots_.size() && spots_[spot_].frame < frame) ++spot_;
    const FrameGeometry g = inner_->geometry();
    for (std::size_t i = spot_; i < spots_.size() && spots_[i].frame == frame; ++i) {
      add_spot(spots_[i], g, destination, read.bytes);
    }
    return read;
  }

  bool check_first_frames(int count, std::string* error) override {
    return inner_->check_first_frames(count, error);
  }

  FrameTime frame_time(std::int64_t frame) const override { return inner_->frame_time(frame); }
  FrameOrigin frame_origin(std::int64_t frame) const override {
    return inner_->frame_origin(frame);
  }

 private:
  std::unique_ptr<FrameSource> inner_;
  std::vector<InjectedSpot> spots_;  // by frame
  std::size_t spot_ = 0;             // first spot not of an earlier frame
  std::int64_t next_ = 0;            // number of the next frame read
};

class MirroredSource final : public FrameSource {
 public:
  MirroredSource(std::unique_ptr<FrameSource> inner, std::vector<std::int16_t> centres)
      : inner_(std::move(inner)), centres_(std::move(centres)) {
    if (centres_.size() != static_cast<std::size_t>(inner_->geometry().frame_pixels)) {
      centres_.assign(static_cast<std::size_t>(inner_->geometry().frame_pixels), 255);
    }
  }

  FrameGeometry geometry() const override { return inner_->geometry(); }
  std::int64_t frame_count() const override { return inner_->frame_count(); }

  FrameRead read_next(std::span<std::uint8_t> destination) override {
    FrameRead read = inner_->read_next(destination);
    if (read.status != FrameStatus::frame) return read;
    const std::size_t valid = std::min(read.bytes, destination.size());
    const std::size_t mirrored = std::min(valid, centres_.size());
    // Plain pointers: a byte store may alias the vector's own pointer, which would keep the
    // compiler from vectorising a loop that reads centres_ through it.
    std::uint8_t* const out = destination.data();
    const std::int16_t* const centre = centres_.data();
    for (std::size_t i = 0; i < mirrored; ++i) {
      out[i] = static_cast<std::uint8_t>(std::clamp(centre[i] - out[i], 0, 255));
    }
    return read;
  }

  bool check_first_frames(int count, std::string* error) override {
    return inner_->check_first_frames(count, error);
  }

  FrameTime frame_time(std::int64_t frame) const override { return inner_->frame_time(frame); }

 private:
  std::unique_ptr<FrameSource> inner_;
  std::vector<std::int16_t> centres_;  // per pixel
};

}  // namespace

void add_spot(const InjectedSpot& spot, const FrameGeometry& geometry,
              std::span<std::uint8_t> frame, std::size_t valid_bytes) {
  const double sigma = spot.fwhm / 2.3548200450309493;
  if (!(sigma > 0.0) || !(spot.peak > 0.0) || !std::isfinite(spot.x) || !std::isfinite(spot.y)) {
    return;
  }
  const int w = geometry.image_width;
  const int h = geometry.image_height;
  const double reach = std::ceil(4.0 * sigma);
  // Clipped in double first, so a centre far outside the frame cannot overflow an int.
  const int x0 = static_cast<int>(std::clamp(std::floor(spot.x - reach), 0.0, double(w)));
  const int x1 = static_cast<int>(std::clamp(std::ceil(spot.x + reach), -1.0, double(w - 1)));
  const int y0 = static_cast<int>(std::clamp(std::floor(spot.y - reach), 0.0, double(h)));
  const int y1 = static_cast<int>(std::clamp(std::ceil(spot.y + reach), -1.0, double(h - 1)));
  const std::size_t limit = std::min(valid_bytes, frame.size());
  for (int y = y0; y <= y1; ++y) {
    for (int x = x0; x <= x1; ++x) {
      const std::size_t at =
          static_cast<std::size_t>(y) * static_cast<std::size_t>(w) + static_cast<std::size_t>(x);
      if (at >= limit) return;
      const double r2 = (x - spot.x) * (x - spot.x) + (y - spot.y) * (y - spot.y);
      const double value = frame[at] + spot.peak * std::exp(-r2 / (2.0 * sigma * sigma));
      frame[at] = static_cast<std::uint8_t>(std::min(255.0, std::floor(value + 0.5)));
    }
  }
}

std::unique_ptr<FrameSource> make_injecting_source(std::unique_ptr<FrameSource> inner,
                                                   std::vector<InjectedSpot> spots) {
  return std::make_unique<InjectingSource>(std::move(inner), std::move(spots));
}

std::unique_ptr<FrameSource> make_mirrored_source(std::unique_ptr<FrameSource> inner,
                                                  std::vector<std::int16_t> centres) {
  return std::make_unique<MirroredSource>(std::move(inner), std::move(centres));
}
