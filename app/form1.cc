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
  // Each image is read as txt_ReadAll reads it, but into one buffer that
  // serves every image, so that an image costs neither an allocation nor a
  // copy.
  FileBuffer image_buffer;
  // The folder and separator, to which each image's name is appended.
  std::string path = env_.JoinPath(directory_, "");
  const size_t folder_length = path.size();
  for (size_t index = 0; index < File1.ListCount(); ++index) {
    const std::string& name = File1.List(index);
    path.resize(folder_length);
    path += name;
    std::string_view image_text = ReadWholeFile(env_, path, &image_buffer);
    CatalogueRecord record;
    try {
      record = BuildRecord(name, image_text);
    } catch (const RecordError& e) {
      throw Error(path, e.what());
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
