#include "app/listed_images.h"

#include <algorithm>
#include <memory>
#include <thread>

#include "app/read_ahead.h"

namespace tevgen {
namespace {

// Files kept free of the images, for what the platform may open beside
// them before the run ends (the run's staged catalogue among them).
constexpr size_t kSpareFiles = 2;

// How many images are read at once, and how many read images may exist at
// once: each has a file open, until its record is written where a size is
// too long to keep in memory; a reader may open one more file for a moment
// while it opens an image (a folder or a link on the way). Both stay
// within the `room` of files the process may still open, so that -j
// changes only the speed.
struct ReadBudget {
  unsigned readers;
  size_t images;
};
ReadBudget BudgetFor(unsigned jobs, size_t room) {
  size_t files = room > kSpareFiles ? room - kSpareFiles : 0;
  unsigned readers = static_cast<unsigned>(
      std::max<size_t>(1, std::min<size_t>(files / 2, jobs)));
  return {readers,
          std::max<size_t>(1, files - std::min<size_t>(files, readers))};
}

}  // namespace

void ReadListedImages(
    Env& env, Folder& folder, const std::string& directory,
    const FileListBox& list, unsigned jobs,
    const std::function<void(size_t index, ImageRecord& image)>& use) {
  // Lifetimes follow the declaration order here. `images` runs `read` on
  // its threads until it is destroyed, and those reads use `reader`,
  // `folder`, `list` and `env`, and the results in it hold open images. So
  // `images` is declared after `reader` and is destroyed, its threads
  // joined, before it, also when `use` throws.
  ImageReader reader(env, folder, directory);
  ReadBudget budget = BudgetFor(jobs, env.OpenFileRoom());
  // The files a thread beside this one opens are its own (StartThread): it
  // leaves an image whose file would stay open to this thread.
  const std::thread::id consumer = std::this_thread::get_id();
  // With one reader no thread is ever added: nothing needs the latency.
  const bool timed = budget.readers > 1;
  ReadAhead<ImageRecord> images(
      list.ListCount(), budget.readers, budget.images,
      [&](size_t index, ImageRecord* image) {
        return reader.Read(list.List(index), image,
                           std::this_thread::get_id() == consumer, timed);
      },
      StartThread);
  for (size_t index = 0; index < list.ListCount(); ++index) {
    ImageRecord& image = images.Take(index);
    reader.ReadAgainIfChanged(list.List(index), &image);
    use(index, image);
  }
}

}  // namespace tevgen
