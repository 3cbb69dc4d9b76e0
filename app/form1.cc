#include "app/form1.h"

#include <algorithm>
#include <thread>

#include "app/catalogue_format.h"
#include "app/catalogue_record.h"
#include "app/image_reader.h"
#include "app/read_ahead.h"
#include "platform/error.h"
#include "textfile/temp_file.h"
#include "textfile/text_readers.h"

namespace tevgen {
namespace {

// The catalogue is handed to the file in pieces of about this size, so that
// a large folder costs few writes and little memory.
constexpr size_t kWriteChunk = 256 * 1024;

// Files kept free of the run's images, for what the platform may open
// beside them before the run ends.
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

// Runs `operation` on the catalogue's file; an Error it throws is retold
// in the catalogue's words (CatalogueMessage in messages/messages.def).
template <typename Operation>
auto OnCatalogue(const Operation& operation) {
  try {
    return operation();
  } catch (const Error& e) {
    if (!e.action()) throw;
    throw e.Retold(CatalogueMessage(*e.action()));
  }
}

}  // namespace

Form1::Form1(Env& env, std::string directory, unsigned jobs)
    : env_(env), directory_(std::move(directory)), jobs_(jobs) {}

void Form1::Form_Load() {
  File1.SetPath(env_, directory_);
  std::unique_ptr<ReplacementFile> catalogue = OnCatalogue([&] {
    return env_.NewReplacementFile(directory_, std::string(kCatalogueName));
  });

  std::string pending;
  pending.reserve(kWriteChunk + kWriteChunk / 16);
  auto flush = [&] {
    OnCatalogue([&] { catalogue->Append(pending); });
    pending.clear();
  };
  AppendCatalogueHead(&pending);
  // The run does not read the images through txt_ReadAll, which holds an
  // image's whole text: ImageReader gives the same records from as much of
  // each image as the sizes need, several images at once. That is several
  // times faster on a cold cache or a network share, and memory stays small
  // whatever the images hold. Records are still written in list order, and
  // the first image in that order that fails is the one reported.
  //
  // Lifetimes follow the declaration order here. `images` runs `read` on
  // its threads until it is destroyed, and those reads use `reader`,
  // `folder`, File1 and env_, and the results in it hold open images. So
  // `images` is declared after `folder` and `reader` and is destroyed, its
  // threads joined, before them, also when an error leaves this function;
  // `catalogue`, declared first, removes its staged file last, once nothing
  // reads any more.
  std::unique_ptr<Folder> folder = env_.OpenFolder(directory_);
  ImageReader reader(env_, *folder, directory_);
  ReadBudget budget = BudgetFor(jobs_, env_.OpenFileRoom());
  // The files a thread beside this one opens are its own (StartThread): it
  // leaves an image whose file would stay open to this thread.
  const std::thread::id consumer = std::this_thread::get_id();
  ReadAhead<ImageRecord> images(
      File1.ListCount(), budget.readers, budget.images,
      [&](size_t index, ImageRecord* image) {
        return reader.Read(File1.List(index), image,
                           std::this_thread::get_id() == consumer);
      },
      StartThread);
  for (size_t index = 0; index < File1.ListCount(); ++index) {
    ImageRecord& image = images.Take(index);
    reader.ReadAgainIfChanged(File1.List(index), &image);
    if (image.error) std::rethrow_exception(image.error);
    // A size not in memory is copied from the image where `span` says.
    auto copy = [&](const ValueSpan& span) -> AppendSizeFunction {
      if (span.in_memory) return {};
      return [&image, &span, &flush](std::string* out) {
        CopyValue(image, span, kWriteChunk, out, flush);
      };
    };
    AppendRecordLines(image.record, &pending, copy(image.width),
                      copy(image.height));
    if (pending.size() >= kWriteChunk) flush();
  }
  AppendCatalogueTail(&pending);
  flush();
  OnCatalogue([&] { catalogue->Commit(); });
}

std::string Form1::txt_ReadAll(std::string sFilename) {
  return ReadWholeFile(env_, sFilename);
}

std::string Form1::txt_ReadLine(std::string sFilename, int32_t LineToRead) {
  return ReadNumberedLine(env_, sFilename, LineToRead);
}

std::string Form1::txt_GetTempFile() { return CreateTempFile(env_, sTempPath); }

}  // namespace tevgen
