#include "app/form1.h"

#include "app/catalogue_format.h"
#include "app/catalogue_record.h"
#include "platform/error.h"
#include "textfile/temp_file.h"
#include "textfile/text_readers.h"

namespace tevgen {
namespace {

// The catalogue is handed to the file in pieces of about this size, so that
// a large folder costs few writes and little memory.
constexpr size_t kWriteChunk = 256 * 1024;

}  // namespace

Form1::Form1(Env& env, std::string directory)
    : env_(env), directory_(std::move(directory)) {}

void Form1::Form_Load() {
  File1.SetPath(env_, directory_);
  std::unique_ptr<ReplacementFile> catalogue =
      env_.NewReplacementFile(directory_, std::string(kCatalogueName));

  std::string pending;
  pending.reserve(kWriteChunk + 4096);
  AppendCatalogueHead(&pending);
  // Each image is read as txt_ReadAll reads it, but by name in the folder,
  // held open, and into one buffer that serves every image: an image costs
  // no lookup of the folder's path, no allocation and no copy.
  std::unique_ptr<Folder> folder = env_.OpenFolder(directory_);
  FileBuffer image_buffer;
  for (size_t index = 0; index < File1.ListCount(); ++index) {
    const std::string& name = File1.List(index);
    folder->ReadFile(name, &image_buffer);
    CatalogueRecord record;
    try {
      record = BuildRecord(name, image_buffer.view());
    } catch (const RecordError& e) {
      throw Error(env_.JoinPath(directory_, name), e.what());
    }
    AppendRecordLines(record, &pending);
    if (pending.size() >= kWriteChunk) {
      catalogue->Append(pending);
      pending.clear();
    }
  }
  AppendCatalogueTail(&pending);
  catalogue->Append(pending);
  catalogue->Commit();
  unloaded_ = true;
}

std::string Form1::txt_ReadAll(std::string sFilename) {
  return ReadWholeFile(env_, sFilename);
}

std::string Form1::txt_ReadLine(std::string sFilename, int32_t LineToRead) {
  return ReadNumberedLine(env_, sFilename, LineToRead);
}

std::string Form1::txt_GetTempFile() { return CreateTempFile(env_, sTempPath); }

}  // namespace tevgen
