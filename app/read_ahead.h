// ReadAhead<Result> runs read(index, &result) for the indices 0 to count-1
// on a fixed set of threads, taking them in order, and hands the results to
// one consumer in index order: Take(0), Take(1), ... So what the consumer
// does never depends on which thread finished first. Threads stay at most
// `window` indices ahead of the consumer, which bounds the results held.
//
// With one thread nothing runs in the background: Take(i) reads index i
// itself. `read` must not throw; a failure belongs in the Result. The
// destructor stops the threads (an index already started is finished) and
// waits for them.
#ifndef TEVGEN_APP_READ_AHEAD_H_
#define TEVGEN_APP_READ_AHEAD_H_

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace tevgen {

template <typename Result>
class ReadAhead {
 public:
  using ReadFunction = std::function<void(size_t index, Result* result)>;

  ReadAhead(size_t count, unsigned threads, ReadFunction read)
      : count_(count),
        read_(std::move(read)),
        slots_(threads > 1 ? std::max<size_t>(64, 8 * size_t{threads}) : 1) {
    if (threads <= 1) return;
    for (unsigned i = 0; i < std::min<size_t>(threads, count); ++i) {
      threads_.emplace_back([this] { Work(); });
    }
  }

  ~ReadAhead() {
    stopping_.store(true);
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
    if (threads_.empty()) {
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
      read_(index, &slot.result);
      slot.ready.store(1, std::memory_order_release);
      slot.ready.notify_one();
    }
  }

  const size_t count_;
  ReadFunction read_;
  std::vector<Slot> slots_;
  std::atomic<size_t> next_{0};   // the next index a thread takes up
  std::atomic<size_t> taken_{0};  // results before this index are done with
  std::atomic<bool> stopping_{false};
  size_t woken_at_ = 0;  // taken_ when the consumer last woke the threads
  std::vector<std::thread> threads_;
};

}  // namespace tevgen

#endif  // TEVGEN_APP_READ_AHEAD_H_
