#pragma once
// Worker threads that compute tasks concurrently while their owner takes the
// results back strictly in the order the tasks were pushed.
//
// The owner (one thread) pushes tasks into a window of bounded size, and for
// the oldest task: releases its turn, waits for it, uses its result and pops
// it. A computation that must act in task order (the operator pause reads
// standard input and writes standard error) first calls its TurnGate, which
// blocks until the owner has released that task. The owner releases a task
// only when every earlier one has been popped, and waits for it right
// afterwards, so an action behind the gate never overlaps the owner's own
// work or another task's gated action.
//
// Destroying the pool drops the tasks no worker has started, makes every
// gate that is waiting (or is called later) throw PoolCancelled, and joins
// the workers; a computation already running finishes first.

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace phasefit::driver {

// Thrown by a TurnGate when the pool is shutting down: the task will never be
// committed, so its computation must stop without acting.
class PoolCancelled : public std::runtime_error {
 public:
  PoolCancelled() : std::runtime_error("job cancelled: the run is ending") {}
};

template <class Task, class Result>
class InOrderPool {
  struct Slot;

 public:
  // Blocks the calling computation until its task is released, or throws
  // PoolCancelled.
  class TurnGate {
   public:
    void wait_turn() const { pool_->wait_turn(*slot_); }

   private:
    friend class InOrderPool;
    TurnGate(InOrderPool* pool, Slot* slot) : pool_(pool), slot_(slot) {}
    InOrderPool* pool_;
    Slot* slot_;
  };

  // compute(worker, task, result, gate) runs on worker thread `worker`
  // (0 .. workers-1; a worker runs one task at a time, so per-worker state
  // indexed by it needs no lock). It fills `result` or throws; what it
  // throws is handed to the owner by wait_front.
  using Compute = std::function<void(std::size_t worker, const Task& task, Result& result,
                                     const TurnGate& gate)>;

  // workers >= 1; capacity >= 1 bounds the tasks held at once (queued,
  // running, or finished and not yet popped).
  InOrderPool(std::size_t workers, std::size_t capacity, Compute compute)
      : capacity_(capacity), compute_(std::move(compute)) {
    threads_.reserve(workers);
    try {
      for (std::size_t w = 0; w < workers; ++w) threads_.emplace_back([this, w] { work(w); });
    } catch (...) {
      stop();  // the threads already started must not outlive the pool
      throw;
    }
  }

  InOrderPool(const InOrderPool&) = delete;
  InOrderPool& operator=(const InOrderPool&) = delete;

  ~InOrderPool() { stop(); }

  // Owner-side calls; one owner thread only.
  bool empty() const { return window_.empty(); }
  bool full() const { return window_.size() >= capacity_; }
  std::size_t size() const { return window_.size(); }

  // Queues a task; requires !full().
  void push(Task task) {
    auto slot = std::make_unique<Slot>(std::move(task));
    Slot* raw = slot.get();
    {
      const std::lock_guard lock(mutex_);
      window_.push_back(std::move(slot));
      queue_.push_back(raw);
    }
    changed_.notify_all();
  }

  const Task& front_task() const { return window_.front()->task; }

  // Lets the oldest task's gate through; requires !empty().
  void release_front() {
    {
      const std::lock_guard lock(mutex_);
      window_.front()->released = true;
    }
    changed_.notify_all();
  }

  // Waits until the oldest task has finished; returns its result or
  // rethrows what its computation threw. Requires !empty().
  Result& wait_front() {
    Slot& slot = *window_.front();
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return slot.done; });
    if (slot.error) std::rethrow_exception(slot.error);
    return slot.result;
  }

  // Drops the oldest task without releasing it: a gate it calls (or is
  // waiting in) throws PoolCancelled, so its gated action never happens;
  // waits until its computation has stopped, ignores the outcome and pops
  // it. Requires !empty().
  void discard_front() {
    Slot& slot = *window_.front();
    {
      std::unique_lock lock(mutex_);
      slot.discarded = true;
      // Not started yet: it never will be.
      const auto queued = std::find(queue_.begin(), queue_.end(), &slot);
      if (queued != queue_.end()) {
        queue_.erase(queued);
        slot.done = true;
      }
      changed_.notify_all();
      changed_.wait(lock, [&] { return slot.done; });
    }
    pop_front();
  }

  // Removes the oldest task, which must have finished (wait_front returned
  // or threw).
  void pop_front() {
    const std::lock_guard lock(mutex_);
    window_.pop_front();
  }

 private:
  struct Slot {
    explicit Slot(Task t) : task(std::move(t)) {}
    Task task;
    Result result{};
    std::exception_ptr error;
    bool released = false;   // guarded by mutex_
    bool discarded = false;  // guarded by mutex_
    bool done = false;       // guarded by mutex_
  };

  void stop() {
    {
      const std::lock_guard lock(mutex_);
      cancelled_ = true;
      queue_.clear();
    }
    changed_.notify_all();
    for (std::thread& thread : threads_) thread.join();
  }

  void wait_turn(Slot& slot) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return cancelled_ || slot.discarded || slot.released; });
    if (cancelled_ || slot.discarded) throw PoolCancelled();
  }

  void work(std::size_t worker) {
    for (;;) {
      Slot* slot = nullptr;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return cancelled_ || !queue_.empty(); });
        if (cancelled_) return;
        slot = queue_.front();
        queue_.pop_front();
      }
      std::exception_ptr error;
      try {
        compute_(worker, slot->task, slot->result, TurnGate(this, slot));
      } catch (...) {
        error = std::current_exception();
      }
      {
        const std::lock_guard lock(mutex_);
        slot->error = error;
        slot->done = true;
      }
      changed_.notify_all();
    }
  }

  const std::size_t capacity_;
  const Compute compute_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool cancelled_ = false;
  std::deque<std::unique_ptr<Slot>> window_;  // pushed order; owner-side
  std::deque<Slot*> queue_;                   // not yet started
  std::vector<std::thread> threads_;
};

}  // namespace phasefit::driver
