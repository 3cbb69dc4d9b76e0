// ImageReader reads the images of one folder for the run. An image is read
// in pieces and scanned as they arrive, and reading stops as soon as both
// sizes are settled, so an image costs memory of a piece however large it
// is, and often only its first piece is read. The record is exactly the one
// the scans of the image's whole text give: both look for first
// occurrences, which no later byte can change.
//
// A size longer than kValueInMemoryLimit is not kept in memory: the image
// stays open and the value is copied from it, in pieces, when the record
// is written (CopyValue).
//
// Holes of a sparse image are not read: they read as NUL bytes, which the
// scans are fed as one run (AttributeScanner::FeedNuls) and the catalogue
// leaves out, so an image costs what its data costs.
//
// An image that another program rewrites while it is read would give a
// record that no version of it has. Where the text came in more than one
// piece, or a size is copied later, the open image is asked whether it
// changed (RandomAccessFile::ChangedSinceOpened) and a copied size must end
// where the scan found its end. An image that changed during its scan, or
// after it while it waited for its sizes to be copied, is read again,
// once; one that changed again, or while its sizes were copied, stops the
// run with MessageId::kImageChanged. An image read in one piece costs no
// question.
//
// Those questions see a change that began after the image was opened, but
// not one under way when it was: the system sets the times when a write
// begins, before its data is copied, so the reader sees the final times and
// half old, half new pages ("racily clean", as version-control tools call
// a file changed within their timestamp's grain). An image whose last
// change is less than kSettleTime older than its read (MayHaveMetAWrite) is
// read again once that time has passed; a write that lasts longer than that
// is not seen. Waits for changes made while the reader reads come from a
// budget (kSettleBudget) shared by all images.
#ifndef TEVGEN_APP_IMAGE_READER_H_
#define TEVGEN_APP_IMAGE_READER_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "app/catalogue_record.h"
#include "platform/env.h"

namespace tevgen {

// Where a size lies in its image: [begin, end). Used where the size is not
// in memory, in the record.
struct ValueSpan {
  uint64_t begin = 0;
  uint64_t end = 0;
  bool in_memory = true;
};

// What reading one image gave: its record, or the failure that stops the
// run at this image.
struct ImageRecord {
  CatalogueRecord record;  // Sizes not in memory stay empty here.
  ValueSpan width;
  ValueSpan height;
  std::unique_ptr<RandomAccessFile> file;  // Open for a size not in memory,
  std::string path;                        // whose path this is.
  std::exception_ptr error;                // An Error naming the image.
  // Read where an open file may not be handed on: a size too long to keep
  // in memory was found, and the consumer must read the image itself.
  bool read_again = false;
};

class ImageReader {
 public:
  // Nearly every image has both sizes in its first kilobytes: a small first
  // piece copies little, larger later ones make few reads.
  static constexpr size_t kFirstPieceSize = 4 * 1024;
  static constexpr size_t kPieceSize = 64 * 1024;
  // Real sizes are a few bytes; a longer one, up to
  // AttributeScan::kLongestValue, is copied from the image instead.
  static constexpr size_t kValueInMemoryLimit = 1024;
  static_assert(kValueInMemoryLimit < AttributeScan::kLongestValue);
  // Longer than a write into the cache takes, with its waits on a busy
  // machine; longer than the grain of the system's times (a clock tick).
  static constexpr std::chrono::milliseconds kSettleTime{100};
  // The most a reader's waits for changes made while it reads add up to,
  // all images together. A change from before then needs no budget: those
  // waits end kSettleTime after it.
  static constexpr std::chrono::milliseconds kSettleBudget{1000};

  // Whether a read that began at `began` may have met a write under way on
  // an image last changed at `last_changed`. A change further in the future
  // than kSettleTime is another clock's (a network share's server): its
  // times tell nothing here.
  static bool MayHaveMetAWrite(
      std::chrono::system_clock::time_point last_changed,
      std::chrono::system_clock::time_point began) {
    return last_changed > began - kSettleTime &&
           last_changed <= began + kSettleTime;
  }

  // Reads the images of `folder`, whose path is `directory`, through `env`,
  // which names an image in an error. Both must outlive the reader.
  ImageReader(Env& env, Folder& folder, std::string directory);

  // Reads the image `name` into `*result`. Never throws: a failure is put
  // into result->error. Several threads may read at once. Returns how long
  // the image took to open and give its first piece: the storage's latency
  // (ReadAhead adds readers on it), whatever the image's size. Where
  // `keep_files` is false (a thread whose files others may not use, see
  // StartThread), an image whose size is too long to keep in memory is left
  // to the consumer (result->read_again). Where `timed` is false (one
  // reader alone, which nothing is added to), the latency is not measured
  // and zero is returned: a clock read costs as much as a tenth of what
  // tevgen adds to an image's system calls.
  std::chrono::steady_clock::duration Read(const std::string& name,
                                           ImageRecord* result,
                                           bool keep_files = true,
                                           bool timed = true) const;

  // On the consumer, before the record of `*image` is written: reads the
  // image `name` again where a thread left it (read_again), or where a size
  // not in memory is to be copied and the image changed since it was read
  // (an image read ahead may wait long). Never throws, as Read.
  void ReadAgainIfChanged(const std::string& name, ImageRecord* image) const;

 private:
  enum class Reading {
    kDone,
    kChanged,  // the image changed while it was read
    kRecent,   // it may have met a write (MayHaveMetAWrite)
  };
  // One reading of the image. Throws. Sets `*first_data`, unless null, to
  // when the first piece (or the open, where there is none) was done, and
  // for kRecent `*last_changed` to the image's last change.
  Reading ReadOnce(const std::string& name, ImageRecord* result,
                   bool keep_files,
                   std::chrono::steady_clock::time_point* first_data,
                   std::chrono::system_clock::time_point* last_changed) const;

  // Whether a reading that may have met a write waits `wait` for it: always
  // for a change from before the reader began, else from kSettleBudget.
  // Past the budget it counts as a change at once, so that an uploader who
  // keeps changing images costs each one reading more, not a wait.
  bool MayWait(std::chrono::system_clock::time_point last_changed,
               std::chrono::system_clock::duration wait) const;

  Env& env_;
  Folder& folder_;
  std::string directory_;
  const std::chrono::system_clock::time_point began_ =
      std::chrono::system_clock::now();
  mutable std::atomic<std::chrono::system_clock::rep> budget_left_{
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          kSettleBudget)
          .count()};
};

// Appends the size `span` of `image` to `*out` as the catalogue writes it
// (escaped), reading it from the image in pieces; calls flush(out) whenever
// `*out` has grown past `flush_size`. Throws Error when the image cannot be
// read, or with MessageId::kImageChanged when it changed since it was opened.
void CopyValue(ImageRecord& image, const ValueSpan& span, size_t flush_size,
               std::string* out, const std::function<void()>& flush);

}  // namespace tevgen

#endif  // TEVGEN_APP_IMAGE_READER_H_
