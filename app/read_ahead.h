// ReadAhead<Result> runs read(index, &result) for the indices 0 to count-1,
// up to `threads` at once, taking them in order, and hands the results to
// one consumer in index order: Take(0), Take(1), ... So what the consumer
// does never depends on which thread finished first. The consumer counts as
// one of the `threads`: it reads too while its next result is not ready.
// Threads stay at most a window of indices ahead of the consumer, which
// bounds how many results exist at once.
//
// It starts with one thread beside the consumer where the machine has a
// second core, which keeps two cores busy while reads are quick (files in
// the cache), and adds threads while reads wait long for their first data
// (a cold disk, a network share), where more reads under way at once pay
// off. `read` returns that wait: how long a read takes as a whole says
// little, a large file in the cache takes long too.
//
// Where reads are quick and the thread reading the consumer's next index
// is late (on a busy machine, waiting for a core), the consumer reads that
// index itself rather than wait, and the late result is thrown away: so a
// busy machine makes the threads no slower than the consumer alone.
//
// At most `max_results` results exist at once (the one the consumer has
// taken, a late one, the ready ones and those being read), which bounds
// what they hold (open files, say); the threads beside the consumer are
// fewer. A thread the system cannot start (a limit of processes or of
// memory) means fewer threads, never a failure.
//
// With one thread, or room for one result, nothing runs in the background:
// Take(i) reads index i itself. A `read` that throws makes Take of that
// index throw the same exception; the indices after it are read and taken
// as if it had not. The destructor stops the threads (an index already
// started is finished) and waits for them; the consumer may stop taking at
// any index.
//
// Thread safety: one thread, the consumer, constructs, calls Take and
// destroys; `read` runs on it and on the threads, for different indices
// at once. Take(i) for an i that is not the next index, or not below
// `count`, is a fault of the caller and throws std::logic_error.
#ifndef TEVGEN_APP_READ_AHEAD_H_
#define TEVGEN_APP_READ_AHEAD_H_

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace tevgen {

template <typename Result>
class ReadAhead {
 public:
  // Returns how long the read waited for its first data.
  using Latency = std::chrono::steady_clock::duration;
  using ReadFunction = std::function<Latency(size_t index, Result* result)>;
  // Starts a thread running `work`, or throws as std::thread's constructor
  // does when the system refuses one; a test's seam.
  using StartFunction = std::function<std::thread(std::function<void()> work)>;

  ReadAhead(size_t count, unsigned threads, size_t max_results,
            ReadFunction read, StartFunction start = StartStdThread)
      : count_(count),
        read_(std::move(read)),
        start_(std::move(start)),
        slots_(threads > 1
                   ? std::min<size_t>(
                         std::max<size_t>(kLeastWindow, 8 * size_t{threads}),
                         max_results > 2 ? max_results - 1 : 1)
                   : 1),
        max_threads_(std::min<size_t>(
            {threads > 1 ? threads - 1 : 0, count, slots_.size() - 1})) {
    if (max_threads_ == 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    // Reserved, so that adding a thread later needs no memory for the list.
    threads_.reserve(max_threads_);
    size_t first = std::thread::hardware_concurrency() > 1 ? 1 : 0;
    while (threads_.size() < std::min<size_t>(first, max_threads_) &&
           StartThread()) {
    }
  }

  ~ReadAhead() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_.store(true);  // No thread is added or waits from here on.
      room_.notify_all();
    }
    for (std::thread& thread : threads_) thread.join();
  }

  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // The result of `index`, which must be one more than the last index taken
  // (0 first). It stays valid until the next call.
  Result& Take(size_t index) {
    if (index != next_take_ || index >= count_) {
      throw std::logic_error("ReadAhead::Take out of order");
    }
    ++next_take_;
    Slot& slot = slots_[index % slots_.size()];
    if (slots_.size() == 1) {
      slot.result = Result();
      (void)read_(index, &slot.result);
      return slot.result;
    }
    if (index > 0) {
      // The previous result is done with: its slot is free for reading on.
      if (index - 1 != left_) {
        Free(index - 1);
      } else {
        own_ = Result();
        own_error_ = nullptr;
      }
      // `index` shares its slot with a result left to a late thread (see
      // below) only a window later: then that result is waited for.
      if (left_ != kNobody) FreeLeft(index == left_ + slots_.size());
      size_t taken = left_ != kNobody ? left_ : index;
      taken_.store(taken);
      // Threads waiting for room are woken once there is as much as they
      // wait for (and before this thread waits itself, in any case).
      if (readers_waiting_.load() > 0 && taken >= room_wanted_.load()) {
        WakeReaders();
      }
    }
    while (!slot.ready.load()) {
      // Rather than wait, read the next image nobody has taken up (mostly
      // this one): on two cores a waiting consumer would leave one idle.
      size_t next = next_.load();
      size_t end = (left_ != kNobody ? left_ : index) + slots_.size();
      if (next < count_ && next < end &&
          next_.compare_exchange_strong(next, next + 1)) {
        Read(next);
        continue;
      }
      // Another thread has been reading `index` all the while this one read
      // ahead: on a busy machine it is waiting for a core, not for data.
      // Where reads are quick, reading it again costs less than waiting;
      // the late result is thrown away once done.
      if (left_ == kNobody && pressure_.load() == 0) {
        left_ = index;
        (void)ReadInto(index, &own_, &own_error_);
        if (own_error_) std::rethrow_exception(own_error_);
        return own_;
      }
      // While a late result holds back the window, a thread may be waiting
      // for room with `index`: the late one is waited for first.
      if (left_ != kNobody) {
        FreeLeft(true);
        taken_.store(index);
        WakeReaders();
        continue;
      }
      WaitFor(index);
    }
    if (slot.error) std::rethrow_exception(slot.error);
    return slot.result;
  }

 private:
  struct Slot {
    Result result;
    std::exception_ptr error;  // what `read` threw, instead of the result
    std::atomic<bool> ready{false};
  };

  static std::thread StartStdThread(std::function<void()> work) {
    return std::thread(std::move(work));
  }

  // Reads that wait longer than this mostly waited for a disk or a network
  // (an image in the cache opens and gives its first piece in under 10 µs;
  // a virtual disk that its host caches answers in 30 to 100 µs, so a
  // limit of 100 µs let half of a cold run look quick and kept the pool at
  // two threads); on a busy machine some reads are slow on a warm cache too
  // (the thread was preempted), and the more threads, the more. So a slow
  // read adds kSlowWeight to the pressure, a quick one takes 1 away, and
  // whenever the pressure reaches kPressureForThread the pool doubles: only
  // while most reads are slow, and then within a few dozen reads, not a few
  // hundred. (With a weight of 4, 2% of slow reads on (r), warm and under
  // load, grew the pool to 48 threads on two cores.)
  static constexpr std::chrono::microseconds kSlowRead{20};
  static constexpr int kSlowWeight = 1;
  static constexpr int kPressureForThread = 8;
  static constexpr size_t kNobody = static_cast<size_t>(-1);
  // The fewest results held at once: a thread that ran a window ahead waits
  // until half of it is free again, so a longer window costs fewer waits
  // and wake-ups (each a switch of threads), for a few hundred bytes a
  // result.
  static constexpr size_t kLeastWindow = 256;

  // Empties the slot of `index` for a later index.
  void Free(size_t index) {
    Slot& slot = slots_[index % slots_.size()];
    slot.result = Result();
    slot.error = nullptr;
    slot.ready.store(false);
  }

  // Frees the slot of the result left to a late thread once it is done;
  // with `wait`, waits for it.
  void FreeLeft(bool wait) {
    if (!slots_[left_ % slots_.size()].ready.load()) {
      if (!wait) return;
      WaitFor(left_);
    }
    Free(left_);
    left_ = kNobody;
  }

  // Why no wake-up is lost. There are two waits, each for a condition that
  // another thread makes true without mutex_: the consumer waits on filled_
  // for a slot to be ready (WaitFor), a thread waits on room_ for `taken_`
  // to pass what it wants (Work). Each side stores its own flag, then loads
  // the other's: the waiter stores waiting_for_ (or readers_waiting_ and
  // room_wanted_), then loads `ready` (or `taken_`); the maker stores
  // `ready` (or `taken_`), then loads waiting_for_ (or readers_waiting_
  // and room_wanted_), and notifies when it finds a waiter. All of these
  // are sequentially consistent, so they fall in one order. If the
  // waiter's load misses the maker's store, that store comes after the
  // waiter's own store, and so does the maker's load: the maker finds the
  // waiter and notifies. That notification cannot come between the
  // waiter's check and its sleep: the waiter stores and checks with mutex_
  // locked and releases it only inside wait(), and the maker locks mutex_
  // to notify. So either the waiter sees the condition and does not sleep,
  // or it is woken. A flag that is out of date (waiting_for_ of an earlier
  // index, room_wanted_ below what is wanted now) costs no more than a
  // wake-up for nothing, after which the waiter checks again; WakeReaders
  // resets room_wanted_ with mutex_ locked, and each woken thread stores
  // its want again, under the same lock, before it checks `taken_`.

  // Waits until the slot of `index`, being read by another thread, is
  // ready.
  void WaitFor(size_t index) {
    Slot& slot = slots_[index % slots_.size()];
    WakeReaders();
    std::unique_lock<std::mutex> lock(mutex_);
    waiting_for_.store(index);
    filled_.wait(lock, [&slot] { return slot.ready.load(); });
    waiting_for_.store(kNobody);
  }

  // Doubles the threads beside the consumer, up to max_threads_.
  void AddThreads() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t add = std::max<size_t>(1, threads_.size());
         add > 0 && !stopping_.load() && !refused_ &&
         threads_.size() < max_threads_;
         --add) {
      StartThread();
    }
  }

  // Starts a thread; mutex_ is locked. When the system refuses (std::thread
  // throws std::system_error, or std::bad_alloc for its state), the threads
  // there are go on alone. Returns whether it started.
  bool StartThread() {
    try {
      // Reserved: adding the started thread cannot throw.
      threads_.push_back(start_([this] { Work(); }));
      return true;
    } catch (const std::exception&) {
      refused_ = true;
      return false;
    }
  }

  void WakeReaders() {
    if (readers_waiting_.load() == 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    room_wanted_.store(kNobody);
    room_.notify_all();
  }

  void Work() {
    while (!stopping_.load()) {
      size_t index = next_.fetch_add(1);
      if (index >= count_) return;
      // This index's slot is free once the consumer has taken all but
      // window-1 of the results before it. A thread that must wait waits
      // until half the window is free, and says when that is (room_wanted_,
      // set before `taken_` is looked at, so that the consumer either sees
      // it or this thread sees the room; see "Why no wake-up is lost"):
      // waking it for every freed slot would switch threads for every
      // image.
      if (index >= taken_.load() + slots_.size()) {
        size_t half = slots_.size() / 2;
        std::unique_lock<std::mutex> lock(mutex_);
        ++readers_waiting_;
        for (;;) {
          room_wanted_.store(
              std::min(room_wanted_.load(), index + half + 1 - slots_.size()));
          if (stopping_.load() ||
              index + half < taken_.load() + slots_.size()) {
            break;
          }
          room_.wait(lock);
        }
        --readers_waiting_;
      }
      if (stopping_.load()) return;
      Read(index);
    }
  }

  // Runs read_ for `index` into `*result`; what it throws goes to `*error`.
  Latency ReadInto(size_t index, Result* result, std::exception_ptr* error) {
    try {
      return read_(index, result);
    } catch (...) {
      *error = std::current_exception();
      return Latency{};
    }
  }

  // Reads `index` into its slot, which is free, and marks it ready.
  void Read(size_t index) {
    Slot& slot = slots_[index % slots_.size()];
    if (ReadInto(index, &slot.result, &slot.error) > kSlowRead) {
      if (pressure_.fetch_add(kSlowWeight) + kSlowWeight >=
          kPressureForThread) {
        pressure_.store(0);
        AddThreads();
      }
    } else if (pressure_.load() > 0) {
      pressure_.fetch_sub(1);
    }
    slot.ready.store(true);
    // Either the consumer sees the slot ready, or this thread sees it
    // waiting (see "Why no wake-up is lost").
    if (waiting_for_.load() == index) {
      std::lock_guard<std::mutex> lock(mutex_);
      filled_.notify_one();
    }
  }

  const size_t count_;
  ReadFunction read_;
  StartFunction start_;
  std::vector<Slot> slots_;
  const size_t max_threads_;
  std::atomic<size_t> next_{0};   // the next index a thread takes up
  std::atomic<size_t> taken_{0};  // results before this index are done with
  std::atomic<bool> stopping_{false};
  std::atomic<size_t> waiting_for_{kNobody};  // the index the consumer awaits
  std::atomic<unsigned> readers_waiting_{0};  // threads waiting for room
  // The least `taken_` that a thread waiting for room waits for; written
  // with mutex_ locked.
  std::atomic<size_t> room_wanted_{kNobody};
  std::atomic<int> pressure_{0};  // how slow reads have been
  std::mutex mutex_;  // for the waits below, and guards adding to threads_
  std::condition_variable filled_;  // a slot became ready
  std::condition_variable room_;    // the consumer freed slots
  std::vector<std::thread> threads_;
  // The consumer's own reading of an index another thread is late with,
  // and that index (kNobody when none); used by the consumer only.
  Result own_;
  std::exception_ptr own_error_;
  size_t left_ = kNobody;
  size_t next_take_ = 0;  // the index Take expects; used by the consumer only
  bool refused_ = false;  // the system refused a thread; guarded by mutex_
};

}  // namespace tevgen

#endif  // TEVGEN_APP_READ_AHEAD_H_
