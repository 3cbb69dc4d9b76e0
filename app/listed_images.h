// ReadListedImages reads the images of a listed folder as a catalogue run
// reads them: through the Folder the run listed, each image by ImageReader,
// several at once within the files the process may still open, each read again
// where it changed while it waited. The run and the check (check.h) both read
// through it, so that the check sees exactly what a run would see, and a
// rule a run stops on reaches the check as the same Error.
#ifndef TEVGEN_APP_LISTED_IMAGES_H_
#define TEVGEN_APP_LISTED_IMAGES_H_

#include <cstddef>
#include <functional>
#include <string>

#include "app/file_list.h"
#include "app/image_reader.h"
#include "platform/env.h"

namespace tevgen {

// Calls use(index, image) for every image of `list` (the listing of
// `folder`, opened from `directory`) in list order, up to `jobs` images
// read at once. A failed image carries its Error in image.error: `use`
// decides whether it stops the walk. An image whose size is too long to
// keep in memory has its file open (image.file) for as long as `use` runs.
// What `use` throws ends the walk, after the reads under way have ended.
void ReadListedImages(
    Env& env, Folder& folder, const std::string& directory,
    const FileListBox& list, unsigned jobs,
    const std::function<void(size_t index, ImageRecord& image)>& use);

}  // namespace tevgen

#endif  // TEVGEN_APP_LISTED_IMAGES_H_
