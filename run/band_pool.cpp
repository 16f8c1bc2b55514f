#include "run/band_pool.h"

#include <sched.h>

#include <algorithm>
#include <system_error>

#include "detection/flash_detector.h"

int available_cores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return count;
  }
  const unsigned hardware = std::thread::hardware_concurrency();
  return hardware > 0 ? static_cast<int>(std::min<unsigned>(hardware, kMaxScanThreads)) : 1;
}

int scan_thread_count(int requested) {
  const int threads = requested > 0 ? requested : available_cores();
  return std::clamp(threads, 1, kMaxScanThreads);
}

PixelRange band_range(int frame_pixels, int band, int bands) {
  if (frame_pixels <= 0 || bands <= 0 || band < 0 || band >= bands) return {};
  const auto pixels = static_cast<std::size_t>(frame_pixels);
  const std::size_t chunks = candidate_chunk_count(frame_pixels);
  const auto count = static_cast<std::size_t>(bands);
  const std::size_t first = chunks * static_cast<std::size_t>(band) / count;
  const std::size_t last = chunks * (static_cast<std::size_t>(band) + 1) / count;
  return {std::min(first * kCandidateChunkPixels, pixels),
          std::min(last * kCandidateChunkPixels, pixels)};
}

BandPool::BandPool(int threads) {
  const int helpers = std::clamp(threads, 1, kMaxScanThreads) - 1;
  helpers_.reserve(static_cast<std::size_t>(helpers));
  for (int band = 1; band <= helpers; ++band) {
    try {
      helpers_.emplace_back(&BandPool::serve, this, band);
    } catch (const std::system_error&) {
      break;  // fewer bands, same results
    }
  }
}

BandPool::~BandPool() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  job_posted_.notify_all();
  for (std::thread& helper : helpers_) helper.join();
}

void BandPool::run_job(void (*call)(void*, int), void* job) {
  if (helpers_.empty()) {
    call(job, 0);
    return;
  }
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    call_ = call;
    job_ = job;
    pending_ = static_cast<int>(helpers_.size());
    ++generation_;
  }
  job_posted_.notify_all();
  call(job, 0);
  std::unique_lock<std::mutex> lock(mutex_);
  band_done_.wait(lock, [this] { return pending_ == 0; });
}

void BandPool::serve(int band) {
  std::uint64_t seen = 0;
  for (;;) {
    void (*call)(void*, int) = nullptr;
    void* job = nullptr;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      job_posted_.wait(lock, [&] { return stopping_ || generation_ != seen; });
      if (stopping_) return;
      seen = generation_;
      call = call_;
      job = job_;
    }
    call(job, band);
    bool last = false;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      last = --pending_ == 0;
    }
    if (last) band_done_.notify_one();
  }
}
