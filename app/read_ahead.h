// ReadAhead<Result> runs read(index, &result) for the indices 0 to count-1
// on up to `threads` threads, taking them in order, and hands the results to
// one consumer in index order: Take(0), Take(1), ... So what the consumer
// does never depends on which thread finished first. Threads stay at most
// a window of indices ahead of the consumer, which bounds the results held.
//
// It starts with as few threads as keep two cores busy while the reads are
// quick (files in the cache), and adds a thread for every slow read (a cold
// disk, a network share), where more reads under way at once pay off.
//
// With one thread nothing runs in the background: Take(i) reads index i
// itself. `read` must not throw; a failure belongs in the Result. The
// destructor stops the threads (an index already started is finished) and
// waits for them.
#ifndef TEVGEN_APP_READ_AHEAD_H_
#define TEVGEN_APP_READ_AHEAD_H_

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace tevgen {

template <typename Result>
class ReadAhead {
 public:
  using ReadFunction = std::function<void(size_t index, Result* result)>;

  ReadAhead(size_t count, unsigned threads, ReadFunction read)
      : count_(count),
        max_threads_(std::min<size_t>(threads, count)),
        read_(std::move(read)),
        slots_(threads > 1 ? std::max<size_t>(64, 8 * size_t{threads}) : 1) {
    if (threads <= 1) return;
    std::lock_guard<std::mutex> lock(threads_mutex_);
    while (threads_.size() < std::min<size_t>(kFirstThreads, max_threads_)) {
      threads_.emplace_back([this] { Work(); });
    }
  }

  ~ReadAhead() {
    {
      std::lock_guard<std::mutex> lock(threads_mutex_);
      stopping_.store(true);  // No thread is added from here on.
    }
    taken_.store(count_ + slots_.size());  // frees every waiting thread
    taken_.notify_all();
    for (std::thread& thread : threads_) thread.join();
  }

  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // The result of `index`, which must be one more than the last index taken
  // (0 first). It stays valid until the next call.
  Result& Take(size_t index) {
    Slot& slot = slots_[index % slots_.size()];
    if (slots_.size() == 1) {
      slot.result = Result();
      read_(index, &slot.result);
      return slot.result;
    }
    if (index > 0) {
      // The previous result is done with: its slot is free for reading on.
      Slot& previous = slots_[(index - 1) % slots_.size()];
      previous.result = Result();
      previous.ready.store(0);
      taken_.store(index);
      // Waking the threads that wait for free slots at every index would
      // wake them all for nothing most of the time; a quarter window is
      // soon enough. Before this thread waits itself, it wakes them anyway.
      if (index % (slots_.size() / 4) == 0) WakeReaders(index);
    }
    if (!slot.ready.load(std::memory_order_acquire)) {
      WakeReaders(index);
      while (!slot.ready.load(std::memory_order_acquire)) slot.ready.wait(0);
    }
    return slot.result;
  }

 private:
  struct Slot {
    Result result;
    std::atomic<uint32_t> ready{0};  // The size the system waits on best.
  };

  // Reads that take longer than this waited for a disk or a network.
  static constexpr std::chrono::microseconds kSlowRead{250};
  static constexpr size_t kFirstThreads = 2;

  void AddThread() {
    std::lock_guard<std::mutex> lock(threads_mutex_);
    if (!stopping_.load() && threads_.size() < max_threads_) {
      threads_.emplace_back([this] { Work(); });
    }
  }

  void WakeReaders(size_t taken) {
    if (woken_at_ == taken) return;
    woken_at_ = taken;
    taken_.notify_all();
  }

  void Work() {
    while (!stopping_.load()) {
      size_t index = next_.fetch_add(1);
      if (index >= count_) return;
      // Wait until the consumer has taken all but window-1 of the results
      // before this one, so that this index's slot is free.
      for (size_t taken = taken_.load(); index >= taken + slots_.size();
           taken = taken_.load()) {
        taken_.wait(taken);
      }
      if (stopping_.load()) return;
      Slot& slot = slots_[index % slots_.size()];
      auto started = std::chrono::steady_clock::now();
      read_(index, &slot.result);
      if (std::chrono::steady_clock::now() - started > kSlowRead) AddThread();
      slot.ready.store(1, std::memory_order_release);
      slot.ready.notify_one();
    }
  }

  const size_t count_;
  const size_t max_threads_;
  ReadFunction read_;
  std::vector<Slot> slots_;
  std::atomic<size_t> next_{0};   // the next index a thread takes up
  std::atomic<size_t> taken_{0};  // results before this index are done with
  std::atomic<bool> stopping_{false};
  size_t woken_at_ = 0;       // taken_ when the consumer last woke the threads
  std::mutex threads_mutex_;  // guards adding to threads_
  std::vector<std::thread> threads_;
};

}  // namespace tevgen

#endif  // TEVGEN_APP_READ_AHEAD_H_
