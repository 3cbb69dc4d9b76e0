#include "app/image_reader.h"

#include <algorithm>

#include "app/catalogue_format.h"
#include "platform/error.h"

namespace tevgen {

ImageReader::ImageReader(Env& env, Folder& folder, std::string directory)
    : env_(env), folder_(folder), directory_(std::move(directory)) {}

void ImageReader::Read(const std::string& name, ImageRecord* result) const {
  try {
    AttributeScanner height(AttributeScan::Height(), kHeldValueLimit);
    AttributeScanner width(AttributeScan::Width(), kHeldValueLimit);
    // A missing image reads as empty text.
    std::unique_ptr<RandomAccessFile> file = folder_.OpenFile(name);
    char first_piece[kFirstPieceSize];
    std::unique_ptr<char[]> later_pieces;
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
      if (count == 0) break;
      std::string_view piece(buffer, count);
      if (!height.settled()) height.Feed(piece);
      if (!width.settled()) width.Feed(piece);
      offset += count;
    }
    height.Finish();
    width.Finish();
    try {
      // The height is checked first: the rule scans it before the width.
      height.CheckValue();
      width.CheckValue();
      result->record = MakeRecord(name, height.value(), width.value());
    } catch (const RecordError& e) {
      throw Error(env_.JoinPath(directory_, name), e.what());
    }
    result->height = {height.value_begin(), height.value_end(),
                      height.value_held()};
    result->width = {width.value_begin(), width.value_end(),
                     width.value_held()};
    if (!result->height.held || !result->width.held) {
      result->file = std::move(file);
    }
  } catch (...) {
    result->error = std::current_exception();
  }
}

void CopyValue(ImageRecord& image, const ValueSpan& span, size_t flush_size,
               std::string* out, const std::function<void()>& flush) {
  std::string piece(ImageReader::kPieceSize, '\0');
  for (uint64_t at = span.begin; at < span.end;) {
    size_t want =
        static_cast<size_t>(std::min<uint64_t>(piece.size(), span.end - at));
    size_t count = image.file->ReadAt(at, piece.data(), want);
    if (count == 0) break;  // The image shrank since it was scanned.
    AppendEscaped(std::string_view(piece.data(), count), out);
    if (out->size() >= flush_size) flush();
    at += count;
  }
}

}  // namespace tevgen
