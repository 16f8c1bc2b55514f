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

int band_count(int frame_pixels, int threads) {
  if (threads <= 1) return 1;
  const std::size_t chunks = candidate_chunk_count(frame_pixels);
  const auto wanted = static_cast<std::size_t>(std::min(threads, kMaxScanThreads)) *
                      static_cast<std::size_t>(kBandsPerThread);
  return static_cast<int>(std::max<std::size_t>(1, std::min(wanted, chunks)));
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
  for (int i = 0; i < helpers; ++i) {
    try {
      helpers_.emplace_back(&BandPool::serve, this);
    } catch (const std::system_error&) {
      break;  // fewer threads, same results
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

void BandPool::take_bands(void (*call)(void*, int), void* job, int bands) {
  for (int band = next_band_.fetch_add(1, std::memory_order_relaxed); band < bands;
       band = next_band_.fetch_add(1, std::memory_order_relaxed)) {
    call(job, band);
  }
}

void BandPool::run_job(void (*call)(void*, int), void* job, int bands) {
  if (helpers_.empty() || bands <= 1) {
    for (int band = 0; band < bands; ++band) call(job, band);
    return;
  }
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    call_ = call;
    job_ = job;
    bands_ = bands;
    next_band_.store(0, std::memory_order_relaxed);
    pending_ = static_cast<int>(helpers_.size());
    ++generation_;
  }
  job_posted_.notify_all();
  take_bands(call, job, bands);
  // The helpers' writes are seen here through the mutex they count themselves out under.
  std::unique_lock<std::mutex> lock(mutex_);
  helper_done_.wait(lock, [this] { return pending_ == 0; });
}

void BandPool::serve() {
  std::uint64_t seen = 0;
  for (;;) {
    void (*call)(void*, int) = nullptr;
    void* job = nullptr;
    int bands = 0;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      job_posted_.wait(lock, [&] { return stopping_ || generation_ != seen; });
      if (stopping_) return;
      seen = generation_;
      call = call_;
      job = job_;
      bands = bands_;
    }
    take_bands(call, job, bands);
    bool last = false;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      last = --pending_ == 0;
    }
    if (last) helper_done_.notify_one();
  }
}
