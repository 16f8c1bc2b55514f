#include "sources/read_ahead.h"

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace {

// A ring of queue slots: the reader fills slot (head + count) mod slots while count < slots, the
// caller empties slot head (at once, or at its next read when the slot was lent). A slot's bytes
// and its FrameRead belong to the reader until it counts the slot in, then to the caller until it
// takes the slot out, so they are used without the lock.
class ReadAhead final : public FrameSource {
 public:
  ReadAhead(FrameSource& inner, std::span<std::uint8_t> queue)
      : inner_(inner),
        geometry_(inner.geometry()),
        frame_count_(inner.frame_count()),
        frame_bytes_(geometry_.frame_pixels > 0 ? static_cast<std::size_t>(geometry_.frame_pixels)
                                                : 0),
        slots_(frame_bytes_ > 0 ? queue.size() / frame_bytes_ : 0),
        queue_(queue.first(slots_ * frame_bytes_)),
        reads_(slots_) {}

  ~ReadAhead() override {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    slot_emptied_.notify_all();
    if (reader_.joinable()) reader_.join();
  }

  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  FrameGeometry geometry() const override { return geometry_; }
  std::int64_t frame_count() const override { return frame_count_; }

  FrameRead read_next(std::span<std::uint8_t> destination) override {
    std::span<const std::uint8_t> bytes;
    FrameRead read = read_next_in_place(destination, bytes);
    if (bytes.data() != destination.data()) {
      const std::size_t count = std::min({read.bytes, bytes.size(), destination.size()});
      std::copy_n(bytes.begin(), count, destination.begin());
    }
    give_back();
    return read;
  }

  // The frame stays in its queue slot, lent to the caller until the next read.
  FrameRead read_next_in_place(std::span<std::uint8_t> scratch,
                               std::span<const std::uint8_t>& bytes) override {
    if (!started_) start();
    if (!reader_.joinable()) return inner_.read_next_in_place(scratch, bytes);
    give_back();
    std::size_t slot = 0;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      slot_filled_.wait(lock, [this] { return count_ > 0; });
      slot = head_;
    }
    FrameRead& queued = reads_[slot];
    if (queued.status != FrameStatus::frame) {
      bytes = {};
      return queued;  // stays for every later call
    }
    bytes = slot_bytes(slot);
    lent_ = true;
    return std::move(queued);
  }

  bool check_first_frames(int count, std::string* error) override {
    const std::lock_guard<std::mutex> lock(inner_mutex_);
    return inner_.check_first_frames(count, error);
  }

  FrameTime frame_time(std::int64_t frame) const override {
    const std::lock_guard<std::mutex> lock(inner_mutex_);
    return inner_.frame_time(frame);
  }

  FrameOrigin frame_origin(std::int64_t frame) const override {
    const std::lock_guard<std::mutex> lock(inner_mutex_);
    return inner_.frame_origin(frame);
  }

 private:
  std::span<std::uint8_t> slot_bytes(std::size_t slot) {
    return queue_.subspan(slot * frame_bytes_, frame_bytes_);
  }

  // Hands the slot lent by the last read back to the reader.
  void give_back() {
    if (!lent_) return;
    lent_ = false;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      head_ = head_ + 1 == slots_ ? 0 : head_ + 1;
      --count_;
    }
    slot_emptied_.notify_one();
  }

  void start() {
    started_ = true;
    if (slots_ == 0) return;
    try {
      reader_ = std::thread(&ReadAhead::read_frames, this);
    } catch (const std::system_error&) {
      // No thread to be had: inner is read on the caller's thread, with the same results.
    }
  }

  // The reader thread: fills free slots in order until a read is not a frame or the source goes.
  void read_frames() {
    for (;;) {
      std::size_t slot = 0;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        slot_emptied_.wait(lock, [this] { return stopping_ || count_ < slots_; });
        if (stopping_) return;
        slot = (head_ + count_) % slots_;
      }
      FrameRead read;
      {
        const std::lock_guard<std::mutex> lock(inner_mutex_);
        read = inner_.read_next(slot_bytes(slot));
      }
      const bool last = read.status != FrameStatus::frame;
      reads_[slot] = std::move(read);
      {
        const std::lock_guard<std::mutex> lock(mutex_);
        ++count_;
      }
      slot_filled_.notify_one();
      if (last) return;
    }
  }

  FrameSource& inner_;
  const FrameGeometry geometry_;
  const std::int64_t frame_count_;
  const std::size_t frame_bytes_;
  const std::size_t slots_;
  const std::span<std::uint8_t> queue_;
  std::vector<FrameRead> reads_;  // one per slot, made once

  std::mutex mutex_;  // guards head_, count_ and stopping_
  std::condition_variable slot_filled_;
  std::condition_variable slot_emptied_;
  std::size_t head_ = 0;
  std::size_t count_ = 0;
  bool stopping_ = false;

  mutable std::mutex inner_mutex_;  // one call into inner_ at a time
  bool started_ = false;            // the caller's thread only
  bool lent_ = false;               // the caller's thread only: slot head_ is lent out
  std::thread reader_;
};

}  // namespace

std::unique_ptr<FrameSource> read_ahead(FrameSource& inner, std::span<std::uint8_t> queue) {
  return std::make_unique<ReadAhead>(inner, queue);
}
