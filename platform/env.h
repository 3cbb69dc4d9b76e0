// Env is the operating system as the program sees it: the program's own
// folder, the listing of a folder, reading files, replacing a file in one
// atomic step, and creating temporary files. It knows files and folders,
// never what they are for. Everything above this layer is the same on every
// platform; env_linux.cc and env_windows.cc implement it, MemoryEnv
// (memory_env.h) stands in for it in tests, and FaultEnv (fault_env.h)
// wraps any of them to make chosen calls fail. env_contract_test.cc holds
// all of them to this contract.
//
// Paths are byte strings: on Linux the raw bytes of the name, on Windows
// UTF-8 (converted to UTF-16 at the system call).
//
// A failure is thrown as Error (error.h): it names the path concerned and
// the operation that failed, with the system's words for why. A file that
// does not exist is not a failure: the openers report it by returning
// nullptr.
//
// An "ordinary file" is a file of data: on Linux a regular file (links
// followed), not a folder, FIFO, device or socket; on Windows a file that is
// not a folder or a device. A file is "hidden" when its name begins with
// ".", and on Windows also when it is marked hidden or system. Listings
// leave hidden files out (the "._<name>" files that copies from a Mac leave
// hold metadata, not content); on Windows a file marked hidden or system
// is not read either, while one only named so is. A hidden file is still
// replaced like any other: a catalogue the user marked hidden stays so.
//
// Thread safety: the methods of an Env, and OpenFile of a Folder, may be
// called from several threads at once (readers open images while the run
// goes on). ListFiles and NewReplacementFile of a Folder, a
// RandomAccessFile and a ReplacementFile are used by one thread at a time.
// Nothing that an Env opened may outlive it.
//
// Files and the threads StartThread starts: a file opened on such a thread
// is used only on that thread, and closed there; what was read from it is
// handed over, never the file (as ImageReader does for a reader that is
// not the run's own thread). A file opened before the thread started may
// be used on it too. On Linux each started thread has its own table of
// open files, a copy of its starter's as it starts: a file it opens does
// not exist on the other threads, and the same number there may be another
// file. Elsewhere a file may pass between threads, but the program keeps
// the rule everywhere, so that code above Env holds on every system. The
// table is worth the rule: with one table shared, each open and close
// takes its lock and every open relative to the folder counts a reference
// on one descriptor that both processors pass to and fro; a warm run cost
// about 3% more processor time without it (doc/performance.md).
//
// A Folder and its folder moved: a run opens its folder once and lists,
// reads and replaces through that one Folder. On Linux the Folder holds
// the folder it opened: it lists it, opens its files and stages and renames
// a replacement in it (and in the folder a link named like the replaced
// file leads to, reached from it) wherever it is moved or renamed to; a
// folder put at its path afterwards is never touched through it. On
// Windows the Folder holds a handle that does not share deletion, so that
// the folder itself cannot be renamed or removed while it is open (the
// rename is refused; where another program already has it open with the
// right to rename it, the Folder must allow that too). A folder above it
// may still be renamed where the file system allows that (Wine does; the
// program does not rely on NTFS refusing it), and the Folder joins names
// to its path: so its listing and its replacement first check that the
// folder at the path is the one held (volume and file index) and throw
// Error ("another folder took the folder's place during the run") where it
// is not, while a file is read from whatever folder stands at the path
// then. MemoryEnv has no way to move a folder; its Folder joins names to its
// path.
#ifndef TEVGEN_PLATFORM_ENV_H_
#define TEVGEN_PLATFORM_ENV_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tevgen {

// A file open for reading, at any offset. The destructor closes it, on
// every path.
class RandomAccessFile {
 public:
  virtual ~RandomAccessFile() = default;

  // The file's size when it was opened.
  virtual uint64_t Size() = 0;

  // Reads up to `n` bytes from `offset` into `buffer` and returns how many
  // were read; 0 means the end of the file. Throws Error when the read
  // fails.
  virtual size_t ReadAt(uint64_t offset, char* buffer, size_t n) = 0;

  // Where the data at or after `offset` begins: past a hole of a sparse
  // file (bytes that read as NUL without being stored), at the end of the
  // file when only a hole follows. `offset` itself where it holds data or
  // the system cannot tell. Never throws.
  virtual uint64_t SkipHole(uint64_t offset) = 0;

  // Whether the file changed since it was opened, as far as the system
  // tells by its size and its modification time, and on Linux its change
  // time. Costs a system call. Throws Error when the system cannot say.
  virtual bool ChangedSinceOpened() = 0;

  // When the file last changed, by the system's clock, as it was when
  // opened: on Linux its change time, which no user can set. The kernel
  // sets it when a write begins, before the data is copied, so a read that
  // began soon after may have met a write still under way (see
  // ImageReader). The epoch where the system does not tell.
  virtual std::chrono::system_clock::time_point LastChanged() { return {}; }
};

// The new content of a file, staged beside it under a temporary, hidden
// name. The file it replaces stays exactly as it was until Commit() puts
// the new one in its place; destroying a ReplacementFile that was not
// committed removes the staged bytes and leaves nothing behind. A process
// stages one file at a time: on Linux a stop signal removes that one.
class ReplacementFile {
 public:
  virtual ~ReplacementFile() = default;

  // Appends `data` to the staged content. Throws Error (for example when the
  // disk is full).
  virtual void Append(std::string_view data) = 0;

  // Forces the staged content to disk and puts it in place of the target in
  // one atomic step, so that a crash at any moment leaves either the old file
  // or the complete new one. On Linux the folder is then forced to disk, so
  // that the new name lasts too; a failure there (FileAction::kSyncFolder,
  // naming the folder) comes after the file was replaced. Any other failure
  // leaves the target unchanged, and the staged bytes go with the object.
  // Throws Error.
  virtual void Commit() = 0;
};

// Decides whether a listed name is wanted; called before any other work is
// spent on the entry.
using NameFilter = std::function<bool(std::string_view name)>;

// A folder opened once (Env::OpenFolder), through which a run lists it,
// reads its files by name (many of them, possibly from several threads at
// once) and replaces one. How it stays the folder it opened when the
// folder is moved is said at the top. ListFiles and NewReplacementFile are
// called by one thread at a time; a ReplacementFile may outlive its Folder.
class Folder {
 public:
  virtual ~Folder() = default;

  // The names (without folder) of the folder's ordinary files that `keep`
  // accepts, in no particular order; hidden files are left out. On Linux
  // links are followed and dangling ones left out, but a link that may not
  // be followed (see Env::OpenFolder) is listed, so that reading it says
  // why. Throws Error ("cannot list the folder") when it cannot be listed.
  virtual std::vector<std::string> ListFiles(const NameFilter& keep) = 0;

  // Opens the file `name` of the folder as Env::OpenFile opens a path, with
  // the same results and errors (which name the file's full path).
  virtual std::unique_ptr<RandomAccessFile> OpenFile(std::string_view name) = 0;

  // Starts the replacement of the folder's file `name`. Throws Error when
  // the folder does not allow a new file, or the existing file is not an
  // ordinary one or may not be replaced: it is read-only, or its access
  // control list denies it (on Linux writing it, on Windows reading and
  // deleting it, as replacing it does). These are found here, before
  // anything is written.
  //
  // The new file keeps what the old one carries beside its bytes: on Linux
  // the permission bits (mode & 0777, never setuid, setgid or sticky) and,
  // as far as the running user may set them, owner and group; on Windows
  // its attributes (hidden, say), access control list and creation time.
  //
  // On Linux, where `name` is a symbolic link, the file it leads to is
  // replaced (staged and renamed in that file's folder, held open) and the
  // link stays, by the rule Env::OpenFolder gives (else Error). There the
  // staged name fits wherever `name` fits; on Windows it is `name` with
  // about twenty characters more (".", a process id, a count, ".tmp"),
  // which must fit too. An existing file that is not an ordinary one is
  // never replaced. On both systems, staged files that killed processes
  // left beside the target are removed; a live process's one stays. On
  // Linux only in this folder itself (not in a folder a link leads to), and
  // only exact staged names of files of the running user (for root, also
  // of the folder's owner); the staged names this Folder's listing saw are
  // taken from it while the folder has not changed since, so that a large
  // folder is not listed twice.
  virtual std::unique_ptr<ReplacementFile> NewReplacementFile(
      const std::string& name) = 0;
};

class Env {
 public:
  virtual ~Env() = default;

  // The Env of the running system; lives as long as the program.
  static Env& Default();

  // The folder that holds the running executable, without a trailing
  // separator (except at a root, which keeps its own).
  virtual std::string ProgramDirectory() = 0;

  // `directory` and `name` joined with the Env's first separator, without
  // doubling one that `directory` already ends with. The one join of every
  // Env: each says only its separators.
  std::string JoinPath(std::string_view directory, std::string_view name);

  // The characters that end a folder's name in a path, the one joined with
  // first: "/" on Linux and in MemoryEnv, "\\/" on Windows.
  virtual std::string_view Separators() const = 0;

  // `directory` opened (OpenFolder) and listed (Folder::ListFiles), for a
  // caller that only lists it.
  std::vector<std::string> ListFiles(const std::string& directory,
                                     const NameFilter& keep);

  // Opens `directory`, resolved once, for listing, reading and replacing
  // its files through the Folder. Throws Error ("cannot list the folder":
  // the run's first use of it) when it cannot be opened, is not a folder,
  // or on Linux may not be listed by the rule below.
  //
  // On Linux every path (this folder's, a file's, the replaced file's) is
  // resolved one name at a time from the folder held open before it, and
  // judged on what was opened, never on a path looked up again. A folder
  // is shared when it belongs to a user other than root and the running
  // one, or its group, others or another user its access control list
  // names may write it. A link binds the rest of its
  // way to the rights of whoever could have put it there: its owner when
  // that is neither root nor the running user; for root's or the running
  // user's link in a shared folder, the folder's owner, or everybody where
  // group or others may write it. Past it every folder must be searchable
  // and a file read readable by them; a file replaced (or, when there is
  // none, its folder) and a folder listed must be theirs. From a folder of
  // another user the way goes on only into that user's folders. In a shared
  // folder a file with more than one name is used only when the folder's
  // writers could read it, and nothing is opened for reading before it is
  // known to be an ordinary file that may be read. Anything else throws
  // Error ("not following a link of user N to a file of user M", "not
  // entering a folder of user M in a folder of user N", "not following a
  // hard link to a file of user N"). In a shared folder a replacement puts
  // the new file only in place of a file of the owner the old one had (or
  // under a name still free); a first file made by root in another user's
  // folder is given to that user.
  virtual std::unique_ptr<Folder> OpenFolder(const std::string& directory) = 0;

  // How many more files the process may hold open at once, beside those it
  // holds now: on Linux the open-file limit (RLIMIT_NOFILE) less the
  // descriptors in use; on Windows, whose handles have no such limit, the
  // largest size_t.
  virtual size_t OpenFileRoom() = 0;

  // Opens the file at `path` for reading; returns nullptr when there is no
  // ordinary file there, or on Windows one marked hidden or system. Throws
  // Error when the file exists but cannot be opened, or on Linux may not be
  // followed (see OpenFolder). On Windows a file that another program holds
  // (a virus scanner checking a new copy) is waited for about two seconds,
  // as Commit waits for the file it replaces.
  virtual std::unique_ptr<RandomAccessFile> OpenFile(
      const std::string& path) = 0;

  // `directory` opened (OpenFolder) and the replacement of its file `name`
  // started (Folder::NewReplacementFile), for a caller that only replaces.
  std::unique_ptr<ReplacementFile> NewReplacementFile(
      const std::string& directory, const std::string& name);

  // The system's folder for temporary files, ending with a separator.
  // Throws Error when the system cannot say.
  virtual std::string TempDirectory() = 0;

  // Creates a new, empty file with a unique name that begins with `prefix`
  // in `directory` (which ends with a separator) and returns its full path.
  // On Windows only the prefix's first three characters are used (the rule
  // of GetTempFileNameA, which makes the file); the program's prefix,
  // "txt", has three. The caller owns the file. Throws Error when no file
  // could be created.
  virtual std::string CreateUniqueFile(const std::string& directory,
                                       std::string_view prefix) = 0;
};

// For the Envs: `directory` and `name` joined by separators[0], which is not
// added when `directory` is empty or already ends with one of `separators`.
std::string JoinPathWith(std::string_view directory, std::string_view name,
                         std::string_view separators);

// For the Envs: the folder part of a path separated by "/": "/" for a file
// at the root, "." for a bare name.
std::string FolderOf(std::string_view path);

// Whether the program was found through PATH, as a shell finds an
// installed program, rather than started by its path as a copy dropped
// into a folder is (double-clicked, ./tevgen, /srv/clipart/tevgen):
// `invoked`, the name it was started by (argv[0]), holds none of
// `separators`, or `program_folder` or the folder `invoked` names is one of
// `path_folders` by `same_folder`. A name alone is how a shell starts what it
// found through PATH (and cmd what it found in the working folder, which is
// then the program's folder too); PowerShell gives the whole path of what it
// found, hence the folders.
bool FoundThroughPath(
    std::string_view invoked, std::string_view separators,
    const std::string& program_folder,
    const std::vector<std::string>& path_folders,
    const std::function<bool(const std::string&, const std::string&)>&
        same_folder);

// The absolute folders of a PATH value whose entries are separated by
// `separator`, quotes around an entry taken away (Windows allows them).
// Empty and relative entries are left out: they name the working folder or
// one below it, never an installed program's.
std::vector<std::string> SearchPathFolders(std::string_view path,
                                           char separator);

// The folder a run catalogues when none is named: the folder that holds
// the program for a copy started by its path, the working folder for a
// program found through PATH (FoundThroughPath), so that an installed
// program catalogues where its user stands, as command-line programs do,
// never the system's folder of programs. `invoked` is argv[0]. Throws
// Error as Env::ProgramDirectory does.
std::string DefaultDirectory(Env& env, std::string_view invoked);

// The program's arguments, without the program's name. On Windows they are
// taken from the wide command line and given as UTF-8.
std::vector<std::string> ProgramArguments(int argc, char** argv);

// The user's language as the system tells it: on Linux the first of
// LC_ALL, LC_MESSAGES and LANG that is set ("de_DE.UTF-8"), on Windows the
// user interface language ("de", "en").
std::string UserLanguageTag();

// Sets up the process before anything else runs. On Linux a file-size
// limit or a closed pipe then makes the write fail with an error, which the
// program reports, instead of killing it by a signal; and the system's
// error texts come in the language of the program's messages (German from
// the user's German locale, else English), never in a third.
void PrepareProcess();

// Makes the system's error texts from here on English, whatever the user's
// language: for output that must read the same in every language (the
// check's JSON lines). Call it before any thread starts.
void SystemTextsInEnglish();

// Starts a thread running `work`, as std::thread does (and throws as it
// does), on another processor than the calling thread's where the thread
// may run on one. Linux puts a new thread on its parent's processor, and
// where the parent keeps that busy the thread waits there until the
// scheduler moves it: in half of the runs on two cores, for about a
// millisecond of a 30 ms run. The thread keeps the whole set of processors
// it may run on. On Linux it also gets a table of open files of its own, a
// copy of the caller's as it starts, so that threads that open and close
// files do not contend for one table: a file it opens is not open in other
// threads, which must never be handed it (see the rule at the top).
std::thread StartThread(std::function<void()> work);

// Console output: `text` for a console, a file or a pipe. On Windows, text
// to a file or a pipe has CR LF line ends and the console's code page. For
// someone who double-clicked the program, `box` (or `text` when it is
// empty) is shown in a message box titled `title`: on Windows when there is
// no console (tevgen.exe), or when the console closes as the program ends
// (tevgen.com, double-clicked). WriteStandardOutput throws Error when the
// text cannot be written (a full disk, a closed pipe).
void WriteStandardOutput(std::string_view text, std::string_view title,
                         std::string_view box = {});
void WriteStandardError(std::string_view text, std::string_view title,
                        std::string_view box = {});

// Whether WriteStandardOutput would show its text in a message box (on
// Windows without a console, or alone on the console that closes as the
// program ends), so that a caller with a long report gives it once, cut to
// what a box shows, rather than in pieces that would each be a box.
bool StandardOutputIsBox();

}  // namespace tevgen

#endif  // TEVGEN_PLATFORM_ENV_H_
