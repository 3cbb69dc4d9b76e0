#include "app/image_reader.h"

#include <algorithm>
#include <thread>

#include "app/catalogue_format.h"
#include "platform/error.h"

namespace tevgen {
namespace {

// How often an image is read before a change while it is read stops the
// run.
constexpr int kReadAttempts = 2;

// Whether `piece` is NUL bytes only, as a hole reads. Real text rarely
// starts and ends with NUL, so that is looked at first.
bool IsNulOnly(std::string_view piece) {
  return !piece.empty() && piece.front() == '\0' && piece.back() == '\0' &&
         piece.find_first_not_of('\0') == std::string_view::npos;
}

}  // namespace

ImageReader::ImageReader(Env& env, Folder& folder, std::string directory)
    : env_(env), folder_(folder), directory_(std::move(directory)) {}

std::chrono::steady_clock::duration ImageReader::Read(const std::string& name,
                                                      ImageRecord* result,
                                                      bool keep_files,
                                                      bool timed) const {
  std::chrono::steady_clock::time_point started;
  if (timed) started = std::chrono::steady_clock::now();
  auto first_data = started;
  try {
    bool waited = false;
    // The storage's latency is the first reading's: a wait for a change to
    // settle is not the storage's.
    auto later_data = started;
    for (int changes = 0, readings = 0;; ++readings) {
      std::chrono::system_clock::time_point last_changed;
      Reading reading = ReadOnce(name, result, keep_files,
                                 !timed          ? nullptr
                                 : readings == 0 ? &first_data
                                                 : &later_data,
                                 &last_changed);
      if (reading == Reading::kDone) break;
      *result = ImageRecord();
      // The first recent read waits until a write that began with the
      // change would be done, and costs no attempt; the next is a change.
      if (reading == Reading::kRecent && !waited &&
          MayWait(last_changed, last_changed + kSettleTime -
                                    std::chrono::system_clock::now())) {
        waited = true;
        std::this_thread::sleep_until(last_changed + kSettleTime);
        continue;
      }
      if (++changes == kReadAttempts) {
        throw Error(env_.JoinPath(directory_, name), MessageId::kImageChanged);
      }
    }
  } catch (...) {
    result->error = std::current_exception();
  }
  return first_data - started;
}

bool ImageReader::MayWait(std::chrono::system_clock::time_point last_changed,
                          std::chrono::system_clock::duration wait) const {
  if (last_changed < began_ || wait.count() <= 0) return true;
  return budget_left_.fetch_sub(wait.count()) >= wait.count();
}

void ImageReader::ReadAgainIfChanged(const std::string& name,
                                     ImageRecord* image) const {
  if (!image->read_again) {
    try {
      if (image->error || !image->file || !image->file->ChangedSinceOpened()) {
        return;
      }
    } catch (...) {
      image->error = std::current_exception();
      return;
    }
  }
  *image = ImageRecord();
  Read(name, image, true, false);
}

ImageReader::Reading ImageReader::ReadOnce(
    const std::string& name, ImageRecord* result, bool keep_files,
    std::chrono::steady_clock::time_point* first_data,
    std::chrono::system_clock::time_point* last_changed) const {
  auto began = std::chrono::system_clock::now();
  AttributeScanner height(AttributeScan::Height(), kValueInMemoryLimit);
  AttributeScanner width(AttributeScan::Width(), kValueInMemoryLimit);
  // A missing image reads as empty text.
  std::unique_ptr<RandomAccessFile> file = folder_.OpenFile(name);
  if (!file && first_data) *first_data = std::chrono::steady_clock::now();
  char first_piece[kFirstPieceSize];
  std::unique_ptr<char[]> later_pieces;
  int pieces = 0;  // with data, or holes
  for (uint64_t offset = 0; file && !(height.settled() && width.settled());) {
    char* buffer = first_piece;
    size_t size = kFirstPieceSize;
    if (offset > 0) {
      if (!later_pieces) {
        later_pieces = std::make_unique_for_overwrite<char[]>(kPieceSize);
      }
      buffer = later_pieces.get();
      size = kPieceSize;
    }
    size_t count = file->ReadAt(offset, buffer, size);
    if (offset == 0 && first_data) {
      *first_data = std::chrono::steady_clock::now();
    }
    if (count == 0) break;
    ++pieces;
    std::string_view piece(buffer, count);
    offset += count;
    if (IsNulOnly(piece)) {
      // Perhaps a hole: it goes on, as NUL, up to the next data.
      uint64_t data = file->SkipHole(offset);
      ++pieces;
      height.FeedNuls(count + (data - offset));
      width.FeedNuls(count + (data - offset));
      offset = data;
      continue;
    }
    if (!height.settled()) height.Feed(piece);
    if (!width.settled()) width.Feed(piece);
    // A short read that reaches the size the image had when it was opened
    // is its end: asking again would only be told so, at the cost of a
    // system call for every small image.
    if (count < size && offset >= file->Size()) break;
  }
  if (pieces > 1 && file->ChangedSinceOpened()) return Reading::kChanged;
  if (file && MayHaveMetAWrite(file->LastChanged(), began)) {
    *last_changed = file->LastChanged();
    return Reading::kRecent;
  }
  height.Finish();
  width.Finish();
  try {
    // The height is checked first: the rule scans it before the width.
    height.CheckValue();
    width.CheckValue();
    result->record = MakeRecord(name, height.value(), width.value());
  } catch (const RecordError& e) {
    throw Error(env_.JoinPath(directory_, name), e.message());
  }
  result->height = {height.value_begin(), height.value_end(),
                    height.value_in_memory()};
  result->width = {width.value_begin(), width.value_end(),
                   width.value_in_memory()};
  if (!result->height.in_memory || !result->width.in_memory) {
    if (!keep_files) {
      *result = ImageRecord();
      result->read_again = true;
      return Reading::kDone;
    }
    result->file = std::move(file);
    result->path = env_.JoinPath(directory_, name);
  }
  return Reading::kDone;
}

void CopyValue(ImageRecord& image, const ValueSpan& span, size_t flush_size,
               std::string* out, const std::function<void()>& flush) {
  auto changed = [&] { return Error(image.path, MessageId::kImageChanged); };
  std::string piece(ImageReader::kPieceSize, '\0');
  // The value is read with the "." that ends it, which must still be where
  // the scan found it, and no "." before.
  for (uint64_t at = span.begin; at <= span.end;) {
    size_t want = static_cast<size_t>(
        std::min<uint64_t>(piece.size(), span.end + 1 - at));
    size_t count = image.file->ReadAt(at, piece.data(), want);
    if (count == 0) throw changed();  // shorter than when it was scanned
    std::string_view part(piece.data(), count);
    std::string_view value = part.substr(
        0, static_cast<size_t>(std::min<uint64_t>(count, span.end - at)));
    if (value.find('.') != std::string_view::npos ||
        (value.size() < count && part[value.size()] != '.')) {
      throw changed();
    }
    AppendEscaped(value, out);
    if (out->size() >= flush_size) flush();
    at += count;
    if (IsNulOnly(part)) {
      // NUL is left out of the catalogue: a hole adds nothing.
      at = image.file->SkipHole(at);
      if (at > span.end) throw changed();  // the "." fell into a hole
    }
  }
  if (image.file->ChangedSinceOpened()) throw changed();
}

}  // namespace tevgen
