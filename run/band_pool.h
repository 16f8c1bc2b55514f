// The scan's threads: a fixed pool, made once per run, that runs one job over the horizontal
// bands of a frame at a time, and the split of a frame's pixels into those bands.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "detection/frame_ring.h"

// Most threads a run's scan is split over; a larger request is cut to this.
inline constexpr int kMaxScanThreads = 256;

// The cores this process may run on (the size of its CPU affinity set), at least 1.
int available_cores();

// The scan threads for a request: `requested` when it is 1 or more (at most kMaxScanThreads),
// available_cores() (at most kMaxScanThreads) when it is 0 or less.
int scan_thread_count(int requested);

// Bands per thread of the scan: more bands than threads let a thread that other work on the
// machine slows down take fewer of them.
inline constexpr int kBandsPerThread = 4;

// Bands a frame of `frame_pixels` pixels is split into for `threads` threads: 1 for one thread,
// else kBandsPerThread per thread, but never more than the frame has candidate chunks.
int band_count(int frame_pixels, int threads);

// Band `band` of `bands` (0 <= band < bands) of a frame of `frame_pixels` pixels: consecutive
// pixels in scan order (whole rows but for the ends), the bands side by side covering the frame
// from pixel 0. Every band starts on a candidate chunk (a multiple of kCandidateChunkPixels) and
// ends on one or at frame_pixels, and the chunks are shared out as evenly as they go; a band is
// empty when there are more bands than chunks.
PixelRange band_range(int frame_pixels, int band, int bands);

// Runs a job over the bands of a frame on a fixed set of threads: the calling thread and its
// helpers, which the constructor starts and the destructor stops and joins; between jobs they
// sleep. Each thread takes the next band not yet taken until none is left, so a thread slowed
// down by other work on the machine takes fewer bands rather than holding the others up.
class BandPool {
 public:
  // Starts threads - 1 helpers (none for 1 or less). When the system refuses a thread, the pool
  // keeps those it has: threads() is then smaller, which changes no result.
  explicit BandPool(int threads);
  ~BandPool();
  BandPool(const BandPool&) = delete;
  BandPool& operator=(const BandPool&) = delete;

  // Helpers + 1.
  int threads() const { return static_cast<int>(helpers_.size()) + 1; }

  // Calls job(band) once for every band 0 to bands - 1, on the pool's threads, and returns when
  // every call has returned. `job` must not throw; calls for different bands must touch different
  // memory. With one band, or no helper, every call is made on the calling thread, in order.
  template <typename Job>
  void run(int bands, Job& job) {
    run_job(&call_job<Job>, &job, bands);
  }

 private:
  template <typename Job>
  static void call_job(void* job, int band) {
    (*static_cast<Job*>(job))(band);
  }
  void run_job(void (*call)(void*, int), void* job, int bands);
  void take_bands(void (*call)(void*, int), void* job, int bands);
  void serve();

  std::vector<std::thread> helpers_;
  std::mutex mutex_;
  std::condition_variable job_posted_;
  std::condition_variable helper_done_;
  std::uint64_t generation_ = 0;  // counts the jobs posted
  int pending_ = 0;               // helpers still on the current job
  bool stopping_ = false;
  void (*call_)(void*, int) = nullptr;
  void* job_ = nullptr;
  int bands_ = 0;
  std::atomic<int> next_band_{0};
};
