#include "common/archive/deflate_pool.h"

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>

#include "common/archive/cpu_budget.h"

namespace common::archive {

namespace {

// Beyond this, the one thread that reads the files and writes the archive is the bottleneck.
constexpr unsigned kMaxWorkers = 63;
// A worker's stack: zlib needs a few KiB of it.
constexpr std::size_t kWorkerStack = 256 * 1024;
// Jobs at most: 2 queued per worker and one more, the one being filled, and one per worker
// that the calling thread took back and the worker has not yet given up.
constexpr std::size_t kMaxJobs = 3 * kMaxWorkers + 2;

Error compress_error(int code) {
  return Error("compression failed (" + std::to_string(code) + ")");
}

}  // namespace

DeflatePool::DeflatePool(std::optional<unsigned> workers)
    : max_workers_(workers), table_(std::make_unique<std::atomic<Job*>[]>(kMaxJobs)) {
  current_ = fresh_job();
}

DeflatePool::~DeflatePool() {
  stop_ = true;
  for (const auto& job : jobs_) job->abandoned = true;
  work_.release(static_cast<std::ptrdiff_t>(workers_.size()));
  for (const auto& worker : workers_) ::pthread_join(worker->thread, nullptr);
}

DeflatePool::Job* DeflatePool::fresh_job() {
  for (const auto& job : jobs_) {
    if (job->state.load(std::memory_order_acquire) == kIdle) {
      job->abandoned = false;
      job->state.store(kFilling, std::memory_order_relaxed);
      return job.get();
    }
  }
  jobs_.push_back(std::make_unique<Job>());
  Job* job = jobs_.back().get();
  // Past the table (never, with at most 3 jobs per worker and 2 more), a job is this
  // thread's alone: no worker sees it.
  const std::size_t published = published_.load(std::memory_order_relaxed);
  if (published < kMaxJobs) {
    table_[published].store(job, std::memory_order_release);
    published_.store(published + 1, std::memory_order_release);
  }
  return job;
}

void DeflatePool::push_block() {
  Job* next = fresh_job();
  next->in.follow(current_->in);
  next->in.level = current_->in.level;
  queued_bytes_ += current_->in.size;
  const bool more = !current_->in.last;
  Job* job = std::exchange(current_, next);
  job->order.store(++order_, std::memory_order_relaxed);
  job->state.store(kPending, std::memory_order_release);
  queue_.push_back({job, {}});
  if (!workers_.empty()) work_.release();
  // Two whole blocks and more to come: worth the workers.
  if (!started_ && more && queued_bytes_ >= 2 * kDeflateBlock) start_workers();
}

void DeflatePool::push_zeros(ZeroRun run) {
  current_->in.follow_zeros(run.count);
  queue_.push_back({nullptr, std::move(run)});
}

void DeflatePool::start_workers() {
  started_ = true;
  const unsigned wanted = max_workers_ ? *max_workers_ : usable_cpus() - 1;
  const unsigned count = std::min(wanted, kMaxWorkers);
  if (count == 0) return;
  workers_.reserve(count);
  pthread_attr_t attr;
  if (::pthread_attr_init(&attr) != 0) return;
  ::pthread_attr_setstacksize(&attr, kWorkerStack);
  // A worker inherits this thread's signal mask: every signal is blocked while it is created,
  // so the run's handlers only ever run here.
  sigset_t all, old;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &old);
  for (unsigned i = 0; i < count; ++i) {
    // The worker's zlib state is allocated here: a worker allocates nothing.
    auto worker = std::make_unique<Worker>();
    worker->pool = this;
    if (!worker->deflater.init()) break;
    if (::pthread_create(&worker->thread, &attr, &DeflatePool::worker_main, worker.get()) != 0) {
      break;  // fewer workers: the same bytes, later
    }
    workers_.push_back(std::move(worker));
  }
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  ::pthread_attr_destroy(&attr);
  limit_ = 2 * workers_.size();
  // The blocks already queued.
  if (!workers_.empty()) work_.release(static_cast<std::ptrdiff_t>(queue_.size()));
}

void* DeflatePool::worker_main(void* worker) {
  auto* self = static_cast<Worker*>(worker);
  // Idle CPU time only: this thread alone, not the process.
  ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 19);
  self->pool->work(*self);
  return nullptr;
}

void DeflatePool::work(Worker& worker) {
  for (;;) {
    work_.acquire();
    if (stop_) return;
    while (Job* job = claim_newest()) {
      compress_block(job->in, job->out, worker.deflater, &job->abandoned);
      int running = kRunning;
      // Taken back meanwhile: the calling thread no longer needs it.
      if (!job->state.compare_exchange_strong(running, kDone, std::memory_order_acq_rel)) {
        job->state.store(kIdle, std::memory_order_release);
      }
      if (stop_) return;
    }
  }
}

// The newest block nobody has taken: the calling thread takes the oldest, so the two meet
// as late as they can.
DeflatePool::Job* DeflatePool::claim_newest() {
  for (;;) {
    Job* newest = nullptr;
    std::uint64_t newest_order = 0;
    const std::size_t published = published_.load(std::memory_order_acquire);
    for (std::size_t i = 0; i < published; ++i) {
      Job* job = table_[i].load(std::memory_order_acquire);
      if (job->state.load(std::memory_order_acquire) != kPending) continue;
      const std::uint64_t order = job->order.load(std::memory_order_relaxed);
      if (newest == nullptr || order > newest_order) {
        newest = job;
        newest_order = order;
      }
    }
    if (newest == nullptr) return nullptr;
    int pending = kPending;
    if (newest->state.compare_exchange_strong(pending, kRunning, std::memory_order_acq_rel)) {
      return newest;
    }
  }
}

Result<> DeflatePool::compress_here(const BlockInput& in, BlockOutput& out) {
  if (!deflater_.initialised() && !deflater_.init()) {
    out.error = Z_MEM_ERROR;
  } else {
    compress_block(in, out, deflater_, nullptr);
  }
  if (out.error != 0) return std::unexpected(compress_error(out.error));
  return {};
}

Result<> DeflatePool::deliver(DeflateSink& sink, bool all) {
  while (!queue_.empty()) {
    Slot& front = queue_.front();
    if (front.job == nullptr) {
      const Slot slot = std::move(front);
      queue_.pop_front();
      if (auto given = sink.zeros(slot.zeros); !given) return given;
      continue;
    }
    Job* job = front.job;
    if (job->state.load(std::memory_order_acquire) == kDone) {
      queue_.pop_front();
      auto given = job->out.error != 0 ? Result<>(std::unexpected(compress_error(job->out.error)))
                                       : sink.block(job->in, job->out);
      job->state.store(kIdle, std::memory_order_release);
      if (!given) return given;
      continue;
    }
    if (!all && queue_.size() <= limit_) break;
    Job* claimed = nullptr;
    for (const Slot& slot : queue_) {
      int pending = kPending;
      if (slot.job != nullptr &&
          slot.job->state.compare_exchange_strong(pending, kRunning, std::memory_order_acq_rel)) {
        claimed = slot.job;
        break;
      }
    }
    if (claimed != nullptr) {
      auto compressed = compress_here(claimed->in, claimed->out);
      claimed->state.store(kDone, std::memory_order_release);
      if (!compressed) return compressed;
      continue;
    }
    // The oldest block is a worker's and nothing else is left to do here: compress it too,
    // rather than wait for a thread that may get no CPU time at all. The worker gives it up.
    int running = kRunning;
    if (!job->state.compare_exchange_strong(running, kTakenBack, std::memory_order_acq_rel)) {
      continue;  // done meanwhile
    }
    job->abandoned = true;
    queue_.pop_front();
    if (!scratch_) scratch_ = std::make_unique<BlockOutput>();
    auto given = compress_here(job->in, *scratch_);
    if (given) given = sink.block(job->in, *scratch_);
    if (!given) return given;
  }
  return {};
}

}  // namespace common::archive
