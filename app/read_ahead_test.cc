#include "app/read_ahead.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

namespace tevgen {
namespace {

// Results come in index order also when the thread beside the consumer is
// late with one (as on a busy machine): the consumer reads it again, and
// the late result, once done, is thrown away without holding up the rest;
// so is the exception of the consumer's own read.
void TakeWithALateThread(bool late_throws) {
  constexpr size_t kCount = 700;  // past the late index and two windows
  constexpr size_t kLate = 5;
  const std::thread::id consumer = std::this_thread::get_id();
  std::atomic<bool> consumer_went_on{false};
  // A consumer that waited for the late thread would wait for ever: the
  // late thread gives up long after any pause of a busy machine, so that a
  // fault fails the test rather than hang it.
  std::atomic<bool> consumer_waited{false};
  ReadAhead<size_t> results(
      kCount, 2, kCount, [&](size_t index, size_t* result) {
        if (index == kLate && std::this_thread::get_id() != consumer) {
          auto give_up =
              std::chrono::steady_clock::now() + std::chrono::seconds(20);
          while (!consumer_went_on.load()) {
            if (std::chrono::steady_clock::now() > give_up) {
              consumer_waited.store(true);
              break;
            }
            std::this_thread::yield();
          }
        }
        if (index == kLate && late_throws) throw std::runtime_error("");
        *result = index + 1;
        return ReadAhead<size_t>::Latency{};
      });
  for (size_t index = 0; index < kCount; ++index) {
    if (index == kLate && late_throws) {
      EXPECT_THROW(results.Take(index), std::runtime_error);
    } else {
      EXPECT_EQ(results.Take(index), index + 1);
    }
    if (index > kLate) consumer_went_on.store(true);
  }
  EXPECT_FALSE(consumer_waited.load()) << "the consumer waited for the late "
                                          "thread instead of reading again";
}
TEST(ReadAheadTest, LateResultIsReadAgainAndAllComeInOrder) {
  TakeWithALateThread(false);
  TakeWithALateThread(true);
}

constexpr size_t kNone = static_cast<size_t>(-1);

// Every index is taken once and in order whatever the threads, the
// room for results, the reads' latency (slow ones, over 20 µs, add threads;
// a virtual disk answers in 30 µs) and the threads the system lets start; a
// read that throws is thrown by Take of its index, and the results after it
// come as before. The consumer may stop at any index: the destructor joins the
// threads (also those waiting for room) and every result is destroyed. Take
// wants the next index.
TEST(ReadAheadTest, TakesEveryResultInOrderAndStopsAnywhere) {
  const struct {
    unsigned threads;
    size_t max_results, count;
    int latency_us;
    size_t throw_at, startable, taken;
  } kCases[] = {
      {1, 100, 50, 0, 7, 64, 50},
      {2, 1000, 700, 0, 300, 64, 700},
      {2, 3, 100, 0, 50, 64, 100},
      {16, 40, 3000, 1000, 2000, 64, 3000},
      {16, 1000, 3000, 1000, 0, 1, 3000},
      {16, 1000, 3000, 1000, 2999, 0, 3000},
      {2, 5000, 5000, 0, kNone, 64, 0},
      {2, 5000, 5000, 1000, kNone, 64, 1},
      {16, 5000, 5000, 1000, kNone, 64, 900},
      {16, 1000, 3000, 30, kNone, 64, 3000},
      {16, 1000, 3000, 10, kNone, 64, 3000},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(&c - kCases);
    std::mutex mutex;
    std::set<std::thread::id> readers;
    std::atomic<size_t> started{0};
    auto alive = std::make_shared<int>();
    using Result = std::pair<size_t, std::shared_ptr<int>>;
    {
      ReadAhead<Result> results(
          c.count, c.threads, c.max_results,
          [&](size_t index, Result* result) {
            // Slow reads take a moment, so that the threads take part.
            if (c.latency_us > 0)
              std::this_thread::sleep_for(std::chrono::microseconds(5));
            std::lock_guard<std::mutex> lock(mutex);
            readers.insert(std::this_thread::get_id());
            if (index == c.throw_at) throw std::runtime_error("");
            *result = {index + 1, alive};
            return std::chrono::microseconds(c.latency_us);
          },
          [&](std::function<void()> work) {
            if (started.fetch_add(1) >= c.startable) {
              throw std::system_error(std::make_error_code(
                  std::errc::resource_unavailable_try_again));
            }
            return std::thread(std::move(work));
          });
      EXPECT_THROW(results.Take(1), std::logic_error);
      for (size_t index = 0; index < c.taken; ++index) {
        if (index == c.throw_at) {
          EXPECT_THROW(results.Take(index), std::runtime_error);
        } else {
          ASSERT_EQ(results.Take(index).first, index + 1);
        }
      }
      EXPECT_THROW(results.Take(c.taken + 1), std::logic_error);
    }
    EXPECT_EQ(alive.use_count(), 1);
    EXPECT_LE(readers.size(), std::min<size_t>(c.threads, c.startable + 1));
    if (c.startable + 1 < c.threads) {
      EXPECT_GT(started.load(), c.startable);
    }
    // All reads slow: the pool grows to its full size; all quick: one
    // thread beside the consumer at most.
    if (c.latency_us >= 30 && c.startable >= c.threads && c.taken == c.count) {
      EXPECT_EQ(started.load(), c.threads - 1);
    }
    if (c.latency_us < 20) {
      EXPECT_LE(started.load(), 1u);
    }
  }
}

}  // namespace
}  // namespace tevgen
