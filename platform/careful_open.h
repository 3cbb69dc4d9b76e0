// Opening for reading what a path descriptor (O_PATH) holds, the last step
// of the careful open: the file judged by its descriptor's fstat is the file
// opened, whatever happened to its name since. Linux only.
//
// Linux reopens a descriptor only through procfs. Walking
// "/proc/thread-self/fd/N" from "/" for every image costs four name lookups
// and a link; each thread instead holds its own folder of descriptors
// (/proc/thread-self/fd, opened on first use, closed when the thread ends)
// and opens the one name "N" in it. The folder names the thread that opened
// it, whose table is looked up at each open, so it stays right when the
// thread takes a table of its own (StartThread). Where the folder cannot be
// held (no procfs, no descriptor left) the whole path is walked, which
// fails or succeeds as the open always did.
#ifndef TEVGEN_PLATFORM_CAREFUL_OPEN_H_
#define TEVGEN_PLATFORM_CAREFUL_OPEN_H_

namespace tevgen::posix {

// Opens the file that the calling thread's descriptor `path_fd` holds with
// `flags` (no O_CREAT); returns the new descriptor, or -1 with errno set.
int ReopenDescriptor(int path_fd, int flags);

}  // namespace tevgen::posix

#endif  // TEVGEN_PLATFORM_CAREFUL_OPEN_H_
