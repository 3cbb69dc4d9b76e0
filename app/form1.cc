#include "app/form1.h"

#include "app/catalogue_format.h"
#include "app/catalogue_record.h"
#include "app/image_reader.h"
#include "app/listed_images.h"
#include "platform/error.h"
#include "textfile/temp_file.h"
#include "textfile/text_readers.h"

namespace tevgen {
namespace {

// The catalogue is handed to the file in pieces of about this size, so that
// a large folder costs few writes and little memory.
constexpr size_t kWriteChunk = 256 * 1024;

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
  // The folder is resolved once: listed, read and replaced through
  // `folder`, so that a folder put in its place meanwhile is never mixed in.
  std::unique_ptr<Folder> folder = env_.OpenFolder(directory_);
  File1.SetPath(*folder);
  std::unique_ptr<ReplacementFile> catalogue = OnCatalogue(
      [&] { return folder->NewReplacementFile(std::string(kCatalogueName)); });

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
  // `catalogue`, declared first, removes its staged file last, once the
  // reads have ended (ReadListedImages waits for them, also on an error).
  // An image stops the run only by an Error of its reading (image.error)
  // or of CopyValue: tevgen --check (check.h) takes the same two as its
  // findings, so a rule that stops the run belongs there, not here.
  ReadListedImages(
      env_, *folder, directory_, File1, jobs_, [&](size_t, ImageRecord& image) {
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
      });
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
