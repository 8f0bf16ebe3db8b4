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
// A worker's stack: zlib and the queue need a few KiB of it.
constexpr std::size_t kWorkerStack = 256 * 1024;

Error compress_error(int code) {
  return Error("compression failed (" + std::to_string(code) + ")");
}

}  // namespace

DeflatePool::DeflatePool(std::optional<unsigned> workers) : max_workers_(workers) {
  current_ = fresh_job();
}

DeflatePool::~DeflatePool() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
    for (const auto& job : jobs_) job->abandoned = true;
  }
  work_.notify_all();
  for (const auto& worker : workers_) ::pthread_join(worker->thread, nullptr);
}

DeflatePool::Job* DeflatePool::fresh_job() {
  {
    std::lock_guard lock(mutex_);
    if (!free_.empty()) {
      Job* job = free_.back();
      free_.pop_back();
      job->state = State::kPending;
      job->abandoned = false;
      return job;
    }
  }
  auto job = std::make_unique<Job>();
  Job* raw = job.get();
  std::lock_guard lock(mutex_);
  jobs_.push_back(std::move(job));
  free_.reserve(jobs_.size());
  return raw;
}

void DeflatePool::push_block() {
  Job* next = fresh_job();
  next->in.follow(current_->in);
  next->in.level = current_->in.level;
  queued_bytes_ += current_->in.size;
  const bool more = !current_->in.last;
  {
    std::lock_guard lock(mutex_);
    queue_.push_back({std::exchange(current_, next), {}});
  }
  work_.notify_one();
  // Two whole blocks and more to come: worth the workers.
  if (!started_ && more && queued_bytes_ >= 2 * kDeflateBlock) start_workers();
}

void DeflatePool::push_zeros(ZeroRun run) {
  current_->in.follow_zeros(run.count);
  std::lock_guard lock(mutex_);
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
  std::lock_guard lock(mutex_);
  limit_ = 2 * workers_.size();
}

void* DeflatePool::worker_main(void* worker) {
  auto* self = static_cast<Worker*>(worker);
  // Idle CPU time only: this thread alone, not the process.
  ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 19);
  self->pool->work(*self);
  return nullptr;
}

void DeflatePool::work(Worker& worker) {
  std::unique_lock lock(mutex_);
  for (;;) {
    Job* job = nullptr;
    work_.wait(lock, [&] { return stop_ || (job = newest_pending()) != nullptr; });
    if (stop_) return;
    job->state = State::kRunning;
    lock.unlock();
    compress_block(job->in, job->out, worker.deflater, &job->abandoned);
    lock.lock();
    // Taken back meanwhile: the calling thread has delivered it and no longer holds it.
    if (job->abandoned) {
      free_.push_back(job);
    } else {
      job->state = State::kDone;
    }
  }
}

DeflatePool::Job* DeflatePool::newest_pending() {
  for (auto slot = queue_.rbegin(); slot != queue_.rend(); ++slot) {
    if (slot->job != nullptr && slot->job->state == State::kPending) return slot->job;
  }
  return nullptr;
}

DeflatePool::Job* DeflatePool::oldest_pending() {
  for (Slot& slot : queue_) {
    if (slot.job != nullptr && slot.job->state == State::kPending) return slot.job;
  }
  return nullptr;
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
  std::unique_lock lock(mutex_);
  while (!queue_.empty()) {
    Slot& front = queue_.front();
    if (front.job == nullptr || front.job->state == State::kDone) {
      Slot slot = std::move(front);
      queue_.pop_front();
      lock.unlock();
      Result<> given = slot.job == nullptr ? sink.zeros(slot.zeros) : Result<>();
      if (slot.job != nullptr) {
        given = slot.job->out.error != 0 ? std::unexpected(compress_error(slot.job->out.error))
                                         : sink.block(slot.job->in, slot.job->out);
      }
      lock.lock();
      if (slot.job != nullptr) free_.push_back(slot.job);
      if (!given) return given;
      continue;
    }
    if (!all && queue_.size() <= limit_) break;
    if (Job* job = oldest_pending()) {
      job->state = State::kRunning;
      lock.unlock();
      auto compressed = compress_here(job->in, job->out);
      lock.lock();
      job->state = State::kDone;
      if (!compressed) return compressed;
      continue;
    }
    // The oldest block is a worker's and nothing else is left to do here: compress it too,
    // rather than wait for a thread that may get no CPU time at all. The worker gives it up.
    Job* job = front.job;
    job->abandoned = true;
    queue_.pop_front();
    lock.unlock();
    if (!scratch_) scratch_ = std::make_unique<BlockOutput>();
    auto given = compress_here(job->in, *scratch_);
    if (given) given = sink.block(job->in, *scratch_);
    lock.lock();
    if (!given) return given;
  }
  return {};
}

}  // namespace common::archive
