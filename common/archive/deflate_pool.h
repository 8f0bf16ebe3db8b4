// Compresses the blocks of one DEFLATE stream on the calling thread and on worker threads, and
// hands the pieces back in order. The calling thread fills a block, queues it, and compresses
// queued blocks itself, oldest first, whenever more are queued than the workers can keep busy;
// workers take the newest. Workers run at the lowest priority (nice 19), so they use idle CPU
// time only: when the oldest block is still in a worker's hands while nothing else is left to
// do, the calling thread compresses it too rather than wait, and the worker drops it. The bytes
// never depend on who compressed what (deflate_block.h).
//
// Workers start once two blocks have been queued (a small stream never pays for them); there
// are as many as the CPUs the process may use, less the calling thread. They block every
// signal, touch no file and no credential, allocate nothing (everything they use is allocated
// beforehand), and are stopped and joined when the pool ends, whatever ended it. Memory stays
// bounded: at most 2 blocks per worker are queued at a time, besides the one being filled.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <semaphore>
#include <vector>

#include "common/archive/deflate_block.h"
#include "common/error.h"

namespace common::archive {

// Where the pieces go, in order.
class DeflateSink {
 public:
  virtual Result<> block(const BlockInput& in, const BlockOutput& out) = 0;
  virtual Result<> zeros(const ZeroRun& run) = 0;

 protected:
  ~DeflateSink() = default;
};

class DeflatePool {
 public:
  // `workers`: how many at most; by default as many as usable_cpus() less one.
  explicit DeflatePool(std::optional<unsigned> workers = std::nullopt);
  DeflatePool(const DeflatePool&) = delete;
  DeflatePool& operator=(const DeflatePool&) = delete;
  ~DeflatePool();

  // The block being filled.
  BlockInput& current() { return current_->in; }
  // Queues the current block and starts the next, with the last 32 KiB so far as dictionary.
  void push_block();
  // Queues a run of zeros; the current block, empty, is to follow it.
  void push_zeros(ZeroRun run);
  // Gives `sink` the pieces at the front of the queue that are done, compressing on this
  // thread until no more than the limit are queued (none, when `all`). The first error of the
  // sink or of compressing ends it.
  Result<> deliver(DeflateSink& sink, bool all);

  unsigned workers() const { return static_cast<unsigned>(workers_.size()); }

 private:
  // Who holds a job. The calling thread fills it, queues it (pending), and a thread claims it
  // (running) by compare-and-swap; a worker's job the calling thread took back is given up by
  // the worker (idle) once it notices.
  enum State : int { kIdle, kFilling, kPending, kRunning, kDone, kTakenBack };
  struct Job {
    BlockInput in;
    BlockOutput out;
    std::atomic<int> state{kFilling};
    std::atomic<bool> abandoned{false};
    std::atomic<std::uint64_t> order{0};  // later blocks higher
  };
  struct Slot {
    Job* job;  // null for a run of zeros
    ZeroRun zeros;
  };
  struct Worker {
    DeflatePool* pool;
    Deflater deflater;
    pthread_t thread;
  };

  Job* fresh_job();
  void start_workers();
  static void* worker_main(void* worker);
  void work(Worker& worker);
  Job* claim_newest();
  Result<> compress_here(const BlockInput& in, BlockOutput& out);

  std::optional<unsigned> max_workers_;
  std::uint64_t queued_bytes_ = 0;
  std::uint64_t order_ = 0;
  bool started_ = false;
  std::size_t limit_ = 0;  // slots queued beyond which the calling thread compresses

  // The calling thread's alone. Nothing is shared under a lock: a worker at nice 19 holding
  // one could keep this thread waiting for as long as the host is busy.
  std::deque<Slot> queue_;
  std::vector<std::unique_ptr<Job>> jobs_;
  // Every job, as the workers see them: a fixed table, filled once per job.
  std::unique_ptr<std::atomic<Job*>[]> table_;
  std::atomic<std::size_t> published_{0};
  std::counting_semaphore<> work_{0};  // one release per queued block
  std::atomic<bool> stop_{false};
  std::vector<std::unique_ptr<Worker>> workers_;

  Job* current_;
  Deflater deflater_;                     // this thread's
  std::unique_ptr<BlockOutput> scratch_;  // a block taken back from a worker
};

}  // namespace common::archive
