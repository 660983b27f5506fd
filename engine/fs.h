// File-system layer. Every byte the engine reads or writes, every rename, removal, listing and
// lock goes through a FileSystem, so that tests can substitute one that fails or "crashes" at a
// chosen operation, and so that porting to another platform means writing one implementation.
//
// Errors are reported by throwing IoError (see error.h), whose text names the path and the
// operating system's reason. Paths are UTF-8 strings with '/' separators; higher layers (path.h)
// turn the host application's names ("C:\...", "\" separators, other letter cases) into them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace engine {

// Whether File::StartFlush starts anything on this platform (POSIX: an fdatasync on another
// thread). On Windows a flush on another thread would hold up the writes through the same handle
// while it runs, so there it does nothing, and writers that count on it keep to their plain way.
#ifdef _WIN32
inline constexpr bool kStartsFlushes = false;
#else
inline constexpr bool kStartsFlushes = true;
#endif

// An open file. Offsets are 64-bit throughout. Not thread-safe; one owner at a time.
class File {
 public:
  virtual ~File() = default;
  // Reads up to n bytes at offset; returns the number read (less than n only at end of file).
  virtual size_t ReadAt(uint64_t offset, void* buf, size_t n) = 0;
  // Writes all n bytes at offset, growing the file when needed.
  virtual void WriteAt(uint64_t offset, const void* buf, size_t n) = 0;
  virtual uint64_t Size() = 0;
  virtual void Truncate(uint64_t size) = 0;
  // Makes everything written so far durable (fsync).
  virtual void Sync() = 0;
  // A hint, for writers of large files: the n bytes at offset are written and will not change
  // before the next Sync, which the system may start putting on disk now (so that the Sync has
  // less left to wait for). Promises nothing and reports nothing: only Sync makes data durable.
  virtual void StartWriteback(uint64_t offset, uint64_t n) {
    (void)offset;
    (void)n;
  }
  // A hint, for a writer of a large file that goes on computing between its writes: what is
  // written so far starts to become durable now, on another thread, so that the next Sync has
  // less left to wait for. That Sync waits for it and reports its failure; only Sync promises.
  virtual void StartFlush() {}
  // Advisory locks, tried without waiting: false when another holder conflicts. A shared lock
  // admits other shared holders; an exclusive lock admits none. Holders are open files, so two
  // File objects of one process on the same path conflict like two processes do. Every kind of
  // advisory lock the platform has is taken, so that programs locking with any of them are seen.
  virtual bool TryLockShared() = 0;
  virtual bool TryLockExclusive() = 0;
  virtual void Unlock() = 0;
  // True while this open file still refers to what the path names (not renamed over or removed).
  virtual bool StillAtPath() = 0;
  const std::string& path() const { return path_; }

 protected:
  explicit File(std::string path) : path_(std::move(path)) {}

 private:
  std::string path_;
};

enum class OpenMode {
  kRead,           // existing file, read only
  kReadWrite,      // existing file, read and write
  // Existing file, read and write, shared with nobody who reads or writes it: on Windows no other
  // open of it for reading or writing succeeds while this one lasts, in this process or another,
  // and this open fails as a file in use when such an open is already there (renames and
  // removals are still allowed). Elsewhere, which has no such sharing modes, as kReadWrite.
  kReadWriteUnshared,
  // Create or truncate, read and write. Never through a link: a symbolic link (or reparse point),
  // a file with other hard links, a folder or a pipe found at the path is not touched, and the
  // open fails with the error of a file replaced during the run (ThrowReplacedDuringRun).
  kCreate,
  kCreateExclusive // create; fails if anything, a link included, is at the path
};

// What a path names itself: its last component is not followed when it is a link.
struct PathFacts {
  bool exists = false;
  bool link = false;       // a symbolic link (on Windows any reparse point: links and junctions)
  bool regular = false;    // a regular file (not a link, folder, pipe or device)
  bool directory = false;  // a folder (not a link to one)
  uint64_t links = 0;      // the names the file has (hard links); 1 for a file of its own
  uint64_t size = 0;
};

// A folder kept in use by this process for as long as the object lives (the work folder of the
// swaps). Another process, or another holder in this one, never removes it meanwhile:
// RemoveEmptyDirectory leaves a folder in use alone. Files are reached in it without following
// links. When the last holder lets go, the folder is removed if it is empty.
class FolderInUse {
 public:
  virtual ~FolderInUse() = default;
};

// What tells two paths of one file apart from two files: the volume and the file's number on it
// (device and inode on POSIX). Equal for two hard links of one file.
struct FileId {
  uint64_t volume = 0;
  uint64_t index = 0;
  friend bool operator==(const FileId&, const FileId&) = default;
};

struct DirEntry {
  std::string name;  // bytes as stored on disk
  bool is_dir = false;  // a folder, or a link to one
  bool is_file = false;  // known to be a regular file (or a link to one); false when not known
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  virtual std::unique_ptr<File> Open(const std::string& path, OpenMode mode) = 0;
  virtual bool Exists(const std::string& path) = 0;       // file or folder
  virtual bool IsDirectory(const std::string& path) = 0;
  virtual bool IsRegularFile(const std::string& path) = 0;
  // Whether the path's last component is itself a symbolic link (not followed).
  virtual bool IsSymlink(const std::string& path) = 0;
  // What the path names itself, not followed when it is a link. The default asks the machine's
  // own file system (DefaultFileSystem), which is what a test file system that wraps it wants.
  virtual PathFacts Inspect(const std::string& path);
  // The absolute path with every symbolic link, "." and ".." resolved; IoError when some part of
  // it does not exist (a link that points nowhere included).
  virtual std::string RealPath(const std::string& path) = 0;
  virtual std::vector<DirEntry> List(const std::string& dir) = 0;
  // The name under which the file system finds `name` in `dir`, spelt as it is stored; nullopt
  // when it finds nothing. Where names are told apart by letter case (POSIX) that is `name`
  // itself when it exists; on Windows, which finds names without regard to case and to trailing
  // dots and blanks, it is the stored spelling.
  virtual std::optional<std::string> StoredName(const std::string& dir, const std::string& name);
  // Atomically replaces `to` with `from` (POSIX rename semantics).
  virtual void Rename(const std::string& from, const std::string& to) = 0;
  virtual void Remove(const std::string& path) = 0;       // a file; missing is not an error
  virtual void CreateDirectory(const std::string& path) = 0;  // existing is not an error
  // Removes an empty folder; a missing or non-empty one, one that some FolderInUse holds (in
  // this process or another) and a link are left as they are, without error.
  virtual void RemoveEmptyDirectory(const std::string& path) = 0;
  // Creates the folder when missing and keeps it in use (see FolderInUse). A link or a file at
  // the path is refused (ThrowReplacedDuringRun). The default uses DefaultFileSystem().
  virtual std::unique_ptr<FolderInUse> UseFolder(const std::string& dir);
  // Makes renames, creations and removals inside dir durable.
  virtual void SyncDirectory(const std::string& dir) = 0;
  // Gives the existing file `existing` a second name `link` (a hard link: one file, two names;
  // `link` must not exist). Throws IoError where the file system has no such links (FAT, some
  // shares) or they cannot join the two folders; the default has none.
  virtual void HardLink(const std::string& existing, const std::string& link);
  // The identity of the file at path (symbolic links followed); throws IoError when it cannot be
  // read. The default throws.
  virtual FileId Identity(const std::string& path);
  // The bytes this program may still write on the volume that holds `path` (an existing file or
  // folder); nullopt where the system cannot tell.
  virtual std::optional<uint64_t> FreeSpace(const std::string& path);
  // A hint for a file this program will not read again soon (a copy kept for an undo, say): the
  // system may drop the file's pages from its cache, so that their memory serves the files the
  // program goes on to write instead of new memory. Promises nothing and reports nothing; data
  // not yet durable is never lost by it. The default does nothing (the cache of Windows manages
  // itself, and a test file system has none).
  virtual void DropCachedPages(const std::string& path);
};

// The real file system of this machine.
FileSystem* DefaultFileSystem();

// A folder that a run has validated, held by its identity (device and file number, as the path
// named it then, links resolved) while this object lives. Every file the engine creates, opens,
// renames or removes below a held folder, and every listing and sync of one, is then reached
// from a handle to that folder, checked to be the same folder (on POSIX the handles of the last
// few held folders worked in are kept open, and the path checked against the held identity for
// each operation), and from there one folder at a time without following links (openat/renameat/unlinkat on POSIX; on Windows
// handles checked not to be reparse points, held without delete sharing while the operation
// runs so that nobody renames the folders meanwhile). A folder found replaced (by a link, or by
// another folder) stops the operation with ThrowReplacedDuringRun naming it, before anything is
// touched. Paths are matched as written ('/' separators, "." and repeated separators ignored),
// so hold a folder under the spelling the engine is given. Holds nest and may repeat.
class HeldFolder {
 public:
  explicit HeldFolder(const std::string& dir);  // IoError when dir is not an existing folder
  ~HeldFolder();
  HeldFolder(const HeldFolder&) = delete;
  HeldFolder& operator=(const HeldFolder&) = delete;

 private:
  uint64_t id_;
};

// Checks that every held folder that is `dir` or above it is still the folder held (by its path,
// links followed); ThrowReplacedDuringRun naming the first that is not. The operations check it
// themselves, race-free; this tells a caller early, before a step begins, with the reason.
void CheckHeldFolders(const std::string& dir);

// The error for a folder or file found replaced during the run (a link, another folder or file
// put in its place), naming it: nothing there was followed or changed.
[[noreturn]] void ThrowReplacedDuringRun(const std::string& path);

// The file system the engine uses; tests swap it for one that injects faults.
FileSystem* CurrentFileSystem();
// Installs fs (not owned; nullptr restores the default) and returns the previous one.
FileSystem* SetCurrentFileSystem(FileSystem* fs);

// Opens an existing file (kReadWriteUnshared when `writable`, else kRead) and takes its exclusive
// lock; nullptr when someone else keeps it: a lock, or on Windows an open for reading or writing.
// What an exclusive open of a table does before it changes the table's files.
std::unique_ptr<File> OpenExclusively(FileSystem& fs, const std::string& path, bool writable);

// Reads exactly n bytes at offset or throws a "truncated file" error naming the file.
void ReadExactly(File& f, uint64_t offset, void* buf, size_t n);
// Reads a whole (small) file into memory.
std::string ReadWholeFile(FileSystem& fs, const std::string& path);

// The program's command-line arguments (argv[0] included) in UTF-8, the encoding of every path
// the engine takes. On Windows they are read from the wide command line, since argv there holds
// them in the machine's ANSI code page, and the console is set to show UTF-8 output.
std::vector<std::string> ProgramArguments(int argc, char** argv);

// Uninitialized memory for a large working buffer (tens of megabytes, filled once and read a
// few times, as the index build's entry lists). Where the system can back it with large pages
// it is asked to, which spares most of the cost of touching fresh memory. Freed with std::free;
// throws std::bad_alloc when there is not enough.
void* AllocateLarge(size_t n);

// Path helpers for '/'-separated paths.
std::string JoinPath(const std::string& dir, const std::string& name);
std::string DirName(const std::string& path);   // "" when there is no '/'
std::string BaseName(const std::string& path);

}  // namespace engine
