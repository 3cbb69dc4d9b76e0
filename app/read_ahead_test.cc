#include "app/read_ahead.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace tevgen {
namespace {

// Results come in index order also when the thread beside the consumer is
// late with one (as on a busy machine): the consumer reads it again, and
// the late result, once done, is thrown away without holding up the rest.
TEST(ReadAheadTest, LateResultIsReadAgainAndAllComeInOrder) {
  constexpr size_t kCount = 700;  // past the late index and two windows
  constexpr size_t kLate = 5;
  const std::thread::id consumer = std::this_thread::get_id();
  std::atomic<bool> consumer_went_on{false};
  ReadAhead<size_t> results(
      kCount, 2, kCount, [&](size_t index, size_t* result) {
        if (index == kLate && std::this_thread::get_id() != consumer) {
          while (!consumer_went_on.load()) std::this_thread::yield();
        }
        *result = index + 1;
        return ReadAhead<size_t>::Latency{};
      });
  for (size_t index = 0; index < kCount; ++index) {
    EXPECT_EQ(results.Take(index), index + 1);
    if (index > kLate) consumer_went_on.store(true);
  }
}

}  // namespace
}  // namespace tevgen
