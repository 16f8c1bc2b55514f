// Reading ahead: the frames, messages and statuses of the source read on a thread of its own come
// out as the source gives them, whatever the queue's length, and the reader stays within it.
#include "sources/read_ahead.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

namespace {

constexpr FrameGeometry kGeometry{7, 3, 21};

// One answer of the scripted source: `bytes` bytes of `value`, the status and the message.
struct Scripted {
  FrameStatus status;
  std::size_t bytes;
  std::uint8_t value;
  std::string message;
};

// A source that answers from a script (an endless run of whole frames when the script is empty)
// and counts its reads.
class ScriptedSource final : public FrameSource {
 public:
  explicit ScriptedSource(std::vector<Scripted> script) : script_(std::move(script)) {}
  FrameGeometry geometry() const override { return kGeometry; }
  std::int64_t frame_count() const override { return static_cast<std::int64_t>(script_.size()); }
  FrameRead read_next(std::span<std::uint8_t> destination) override {
    const std::size_t index = reads_++;
    Scripted answer{FrameStatus::frame, destination.size(), static_cast<std::uint8_t>(index), ""};
    if (!script_.empty()) answer = script_[std::min(index, script_.size() - 1)];
    std::fill_n(destination.begin(), answer.bytes, answer.value);
    FrameRead read;
    read.status = answer.status;
    read.bytes = answer.bytes;
    (answer.status == FrameStatus::frame ? read.warning : read.reason) = answer.message;
    return read;
  }
  FrameTime frame_time(std::int64_t frame) const override {
    FrameTime time;
    time.known = true;
    time.seconds = 0.04 * static_cast<double>(frame);
    return time;
  }
  std::size_t reads() const { return reads_; }

 private:
  std::vector<Scripted> script_;
  std::atomic<std::size_t> reads_{0};
};

}  // namespace

// Whole frames, a short frame with its warning, and the end or a failure, through queues of 0 to
// 4 frames (and one of 2.5 frames, which holds 2), copied out or left in place: every answer as
// the source gives it, the bytes past a short frame left alone, and the last answer given again.
TEST(ReadAhead, GivesTheSourcesAnswersInOrder) {
  const std::vector<Scripted> ends = {
      {FrameStatus::frame, 21, 10, ""},
      {FrameStatus::frame, 21, 11, ""},
      {FrameStatus::frame, 5, 12, "BMP_RAW/a00002.bmp: truncated, 59 of 75 bytes"},
      {FrameStatus::frame, 21, 13, ""},
      {FrameStatus::end, 0, 0, "BMP_RAW/a00004.bmp: cannot open: No such file or directory"},
  };
  const std::vector<Scripted> fails = {
      {FrameStatus::frame, 21, 20, ""},
      {FrameStatus::failed, 0, 0, "frame 1: cannot be decoded"},
  };
  const std::vector<Scripted> ends_at_once = {
      {FrameStatus::end, 0, 0, "BMP_RAW/a00000.bmp: cannot open: No such file or directory"},
  };
  for (const auto* script : {&ends, &fails, &ends_at_once}) {
    for (const std::size_t queue_bytes : {0ul, 21ul, 42ul, 52ul, 63ul, 84ul}) {
      SCOPED_TRACE(std::to_string(script->size()) + " answers, queue of " +
                   std::to_string(queue_bytes) + " bytes");
      ScriptedSource inner(*script);
      std::vector<std::uint8_t> queue(queue_bytes, 0xEE);
      const std::unique_ptr<FrameSource> source = read_ahead(inner, queue);
      EXPECT_EQ(source->geometry().frame_pixels, kGeometry.frame_pixels);
      EXPECT_EQ(source->frame_count(), static_cast<std::int64_t>(script->size()));
      for (std::size_t i = 0; i < script->size() + 2; ++i) {
        SCOPED_TRACE("read " + std::to_string(i));
        const Scripted& expected = (*script)[std::min(i, script->size() - 1)];
        // Every other read leaves the frame where it is, in the queue.
        std::vector<std::uint8_t> destination(21, 0x77);
        std::span<const std::uint8_t> in_place;
        const bool copied = i % 2 == 0;
        const FrameRead read = copied ? source->read_next(destination)
                                      : source->read_next_in_place(destination, in_place);
        EXPECT_EQ(read.status, expected.status);
        EXPECT_EQ(read.bytes, expected.bytes);
        EXPECT_EQ(read.status == FrameStatus::frame ? read.warning : read.reason, expected.message);
        std::vector<std::uint8_t> bytes(21, 0x77);
        std::fill_n(bytes.begin(), expected.bytes, expected.value);
        if (copied) {
          EXPECT_EQ(destination, bytes);
        } else if (expected.status == FrameStatus::frame) {
          ASSERT_EQ(in_place.size(), 21u);
          EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + expected.bytes, in_place.begin()));
        } else {
          EXPECT_TRUE(in_place.empty());
        }
        EXPECT_EQ(source->frame_time(static_cast<std::int64_t>(i)).seconds,
                  0.04 * static_cast<double>(i));
      }
      // Without a queue every call reads the source; with one, nothing is read past the last.
      EXPECT_EQ(inner.reads(), queue_bytes < 21 ? script->size() + 2 : script->size());
    }
  }
}

// A run that stops early: the reader is never more than the queue ahead of the frames taken (a
// lent slot counting as taken), and destroying the source stops it.
TEST(ReadAhead, StaysWithinItsQueue) {
  for (const std::size_t frames : {1ul, 3ul}) {
    for (const std::size_t taken : {0ul, 1ul, 5ul}) {
      SCOPED_TRACE(std::to_string(frames) + " queued, " + std::to_string(taken) + " taken");
      ScriptedSource inner({});
      std::vector<std::uint8_t> queue(frames * 21);
      {
        const std::unique_ptr<FrameSource> source = read_ahead(inner, queue);
        std::vector<std::uint8_t> destination(21);
        for (std::size_t i = 0; i < taken; ++i) {
          std::span<const std::uint8_t> in_place;
          const FrameRead read = source->read_next_in_place(destination, in_place);
          ASSERT_EQ(read.status, FrameStatus::frame);
          EXPECT_EQ(in_place[0], static_cast<std::uint8_t>(i));
        }
      }
      EXPECT_LE(inner.reads(), taken == 0 ? 0 : taken + frames);
    }
  }
}
