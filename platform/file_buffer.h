// FileBuffer holds the bytes of one file read whole. Unlike std::string it
// does not zero the bytes it grows by, so a file is copied into memory only
// once; and a reader that reuses one FileBuffer for many files allocates
// only when a file is larger than any before it.
#ifndef TEVGEN_PLATFORM_FILE_BUFFER_H_
#define TEVGEN_PLATFORM_FILE_BUFFER_H_

#include <cstddef>
#include <memory>
#include <string_view>

namespace tevgen {

class FileBuffer {
 public:
  // Makes room for `size` bytes and returns where they go. What the buffer
  // held is lost; the new bytes are uninitialised until written.
  char* Prepare(size_t size) {
    if (size > capacity_) {
      data_ = std::make_unique_for_overwrite<char[]>(size);
      capacity_ = size;
    }
    size_ = size;
    return data_.get();
  }

  // Keeps only the first `size` bytes (a file that shrank while it was read).
  void Truncate(size_t size) {
    if (size < size_) size_ = size;
  }
  void Clear() { size_ = 0; }

  std::string_view view() const { return {data_.get(), size_}; }

 private:
  std::unique_ptr<char[]> data_;
  size_t capacity_ = 0;
  size_t size_ = 0;
};

}  // namespace tevgen

#endif  // TEVGEN_PLATFORM_FILE_BUFFER_H_
