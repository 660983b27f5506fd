// The POSIX file system: the real one on Linux and other Unix systems (fs_windows.cpp is the one
// for Windows; fs.cpp holds what both share).
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "engine/error.h"
#include "engine/fs.h"
#include "engine/fs_held.h"
#include "engine/late_close.h"
#include "engine/pooled_thread.h"

namespace engine {
namespace {

// A descriptor closed when it goes.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& o) noexcept : fd_(o.release()) {}
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      reset();
      fd_ = o.release();
    }
    return *this;
  }
  ~Fd() { reset(); }
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  int release() {
    int f = fd_;
    fd_ = -1;
    return f;
  }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

held::FolderId IdOf(const struct stat& st) {
  return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

// Descriptors of the held folders last worked in, kept open so that each operation below one
// starts from it instead of opening the folder again. Few are kept (a run holds every data folder
// it checked, far more than it should keep open); one found again is used only after its path is
// checked to name it still.
class HeldDescriptors {
 public:
  // The descriptor of the held folder `h`, opened by its path and checked when it is not kept;
  // nullptr when it cannot be opened or is not the folder held.
  std::shared_ptr<const Fd> For(const held::Held& h) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto it = kept_.begin(); it != kept_.end(); ++it)
        if (it->first == h.key) {
          auto fd = it->second;
          std::rotate(kept_.begin(), it, it + 1);  // the latest first
          return fd;
        }
    }
    auto f = std::make_shared<Fd>(::open(h.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st;
    if (!f->ok() || ::fstat(f->get(), &st) != 0 || !(IdOf(st) == h.id)) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    kept_.insert(kept_.begin(), {h.key, f});
    if (kept_.size() > kKept) kept_.pop_back();
    return f;
  }

 private:
  static constexpr size_t kKept = 8;
  std::mutex mutex_;
  std::vector<std::pair<uint64_t, std::shared_ptr<const Fd>>> kept_;
};

HeldDescriptors& Kept() {
  static HeldDescriptors k;
  return k;
}

// A folder's descriptor for one operation: opened for it, or borrowed from a held folder (kept
// open by `keep` for as long as this lives).
class FolderFd {
 public:
  FolderFd() = default;
  explicit FolderFd(Fd own) : own_(std::move(own)), fd_(own_.get()) {}
  explicit FolderFd(std::shared_ptr<const Fd> keep) : keep_(std::move(keep)), fd_(keep_->get()) {}
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  // A descriptor of the folder of its own (a borrowed one is opened anew: a listing moves the
  // position of the open file it reads).
  Fd Detach() {
    if (own_.ok()) {
      fd_ = -1;
      return std::move(own_);
    }
    return Fd(::openat(fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  }

 private:
  Fd own_;
  std::shared_ptr<const Fd> keep_;
  int fd_ = -1;
};

// The descriptor of the folder `dir`, reached as fs.h's HeldFolder says: the innermost held folder
// above it (or itself) checked to be, by its path, the folder held; its descriptor, kept
// open while it is held, is where the operation starts (a folder replaced after the check is
// then not the one worked in: the operation stays in the folder held); from there down one folder
// at a time, never through a link. Without a held folder above, the folder the path names. A
// failure to open throws IoError with `verb`, or with `quiet` gives an empty descriptor; a folder
// found replaced always throws.
FolderFd OpenFolder(const std::string& dir, const char* verb, bool quiet = false) {
  FolderFd at;
  size_t depth = 0;
  const std::vector<held::Held> above = held::Above(dir);
  const size_t deepest = above.empty() ? 0 : above.back().depth;
  // Only the innermost one is checked and opened: that its path still leads to it says that no
  // folder above it was replaced either (a folder has one path; checking the folders above, which
  // follows links too, would find no more). Holds repeat (the run's, a step's, a swap's): every
  // hold of that one path is checked against one look at what the path names now.
  const held::Held* innermost = nullptr;
  struct stat st;
  for (const held::Held& h : above) {
    if (h.depth < deepest) continue;
    if (!innermost && ::stat(h.path.c_str(), &st) != 0) ThrowReplacedDuringRun(h.path);
    if (!(IdOf(st) == h.id)) ThrowReplacedDuringRun(h.path);
    innermost = &h;
  }
  if (innermost) {
    depth = innermost->depth;
    auto fd = Kept().For(*innermost);
    if (!fd) ThrowReplacedDuringRun(innermost->path);
    at = FolderFd(std::move(fd));
  }
  if (!at.ok()) {
    Fd f(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!f.ok() && !quiet) throw IoError(verb, dir, errno);
    return FolderFd(std::move(f));
  }
  const held::Lexical d = held::Split(dir);
  for (size_t i = depth; i < d.parts.size(); ++i) {
    Fd next(::openat(at.get(), d.parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next.ok()) {
      if (errno == ELOOP || errno == ENOTDIR) ThrowReplacedDuringRun(d.Join(i + 1));
      if (quiet) return FolderFd(std::move(next));
      throw IoError(verb, d.Join(i + 1), errno);
    }
    at = FolderFd(std::move(next));
  }
  return at;
}

// The folders of two paths, for an operation that names a file in each (a rename, a link); within
// one folder (as a swap's journal and its moves aside are), that folder is reached once.
class FolderPair {
 public:
  FolderPair(const std::string& from, const std::string& to, const char* verb)
      : from_(OpenFolder(DirName(from), verb)),
        to_(DirName(to) == DirName(from) ? FolderFd() : OpenFolder(DirName(to), verb)) {}
  int from() const { return from_.get(); }
  int to() const { return to_.ok() ? to_.get() : from_.get(); }

 private:
  FolderFd from_, to_;
};

// Whether `name` in the folder `dir` still names the folder open as `fd`.
bool SameEntry(int dir, const std::string& name, int fd) {
  struct stat a, b;
  return ::fstat(fd, &a) == 0 && ::fstatat(dir, name.c_str(), &b, AT_SYMLINK_NOFOLLOW) == 0 && IdOf(a) == IdOf(b);
}

// A folder in use: a shared flock on it, which its removal (an exclusive one, never waited for)
// respects. Its last holder removes it when it is empty.
class PosixFolderInUse final : public FolderInUse {
 public:
  PosixFolderInUse(FolderFd parent, Fd folder, std::string name, uint64_t held)
      : parent_(std::move(parent)), folder_(std::move(folder)), name_(std::move(name)), held_(held) {}
  ~PosixFolderInUse() override {
    held::Drop(held_);
    if (::flock(folder_.get(), LOCK_EX | LOCK_NB) == 0 && SameEntry(parent_.get(), name_, folder_.get()))
      ::unlinkat(parent_.get(), name_.c_str(), AT_REMOVEDIR);  // fails, as it should, when not empty
  }

 private:
  FolderFd parent_;
  Fd folder_;
  std::string name_;
  uint64_t held_;
};

// The early flushes (File::StartFlush) under way in this process, waited for before a fork: a
// child never inherits a file whose flush runs on a thread it does not have.
class EarlyFlushes {
 public:
  // Registered once, after the pool's own handlers, so that at a fork (whose handlers run last
  // registered first) the flushes end before the pool puts its idle threads away.
  static EarlyFlushes& Get() {
    static EarlyFlushes* all = [] {
      PooledThread([] {}).join();  // the pool, and its handlers, first
      auto* e = new EarlyFlushes;  // never destroyed: a file may be closed after static objects go
      ::pthread_atfork([] { Get().WaitNone(); }, nullptr, nullptr);
      return e;
    }();
    return *all;
  }
  void Begin() {
    std::lock_guard<std::mutex> hold(mu_);
    ++running_;
  }
  void End() {
    std::lock_guard<std::mutex> hold(mu_);
    if (--running_ == 0) none_.notify_all();
  }
  void WaitNone() {
    std::unique_lock<std::mutex> hold(mu_);
    none_.wait(hold, [this] { return running_ == 0; });
  }

 private:
  std::mutex mu_;
  std::condition_variable none_;
  int running_ = 0;
};

class PosixFile final : public File {
 public:
  // `st` is what the open learned of the file (its status through the new descriptor).
  PosixFile(std::string path, int fd, bool writable, const struct stat& st)
      : File(std::move(path)), fd_(fd), writable_(writable), id_(IdOf(st)),
        reached_(static_cast<uint64_t>(st.st_size)) {}
  ~PosixFile() override {
    if (flushing_.joinable()) flushing_.join();
    if (fd_ < 0) return;
    // Closing also drops any flock held by this descriptor. The last close of a large file that
    // has lost its name frees its cached pages, which takes a while: done off this thread. (Only
    // a file opened to write is asked, and only one that was or was made large enough: the table
    // a rebuild replaces is one, and the many files opened only to read or kept small are spared
    // the question. A file another program made larger meanwhile is closed here, as any other.)
    struct stat st;
    if (writable_ && reached_ >= late_close::kMinBytes && ::fstat(fd_, &st) == 0 && st.st_nlink == 0 &&
        static_cast<uint64_t>(st.st_size) >= late_close::kMinBytes)
      late_close::Close(fd_);
    else
      ::close(fd_);
  }

  size_t ReadAt(uint64_t offset, void* buf, size_t n) override {
    size_t done = 0;
    while (done < n) {
      ssize_t r = ::pread(fd_, static_cast<char*>(buf) + done, n - done,
                          static_cast<off_t>(offset + done));
      if (r < 0) {
        if (errno == EINTR) continue;
        throw IoError("leer", path(), errno);
      }
      if (r == 0) break;
      done += static_cast<size_t>(r);
    }
    return done;
  }

  void WriteAt(uint64_t offset, const void* buf, size_t n) override {
    size_t done = 0;
    while (done < n) {
      ssize_t r = ::pwrite(fd_, static_cast<const char*>(buf) + done, n - done,
                           static_cast<off_t>(offset + done));
      if (r < 0) {
        if (errno == EINTR) continue;
        throw IoError("escribir", path(), errno);
      }
      done += static_cast<size_t>(r);
    }
    reached_ = std::max(reached_, offset + n);
  }

  uint64_t Size() override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) throw IoError("consultar el tamaño de", path(), errno);
    return static_cast<uint64_t>(st.st_size);
  }

  void Truncate(uint64_t size) override {
    if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) throw IoError("recortar", path(), errno);
    reached_ = std::max(reached_, size);
  }

  void Sync() override {
    if (flushing_.joinable()) flushing_.join();
    // An early flush that failed may have lost written pages: no later sync can promise them.
    if (flush_errno_ != 0) throw IoError("asegurar en disco", path(), flush_errno_);
    if (::fsync(fd_) != 0) throw IoError("asegurar en disco", path(), errno);
  }

  void StartFlush() override {
    if (flushing_busy_.load()) return;  // the next one, or the Sync, takes in what follows
    if (flushing_.joinable()) flushing_.join();
    EarlyFlushes& all = EarlyFlushes::Get();
    flushing_busy_ = true;
    all.Begin();
    try {
      flushing_ = PooledThread([this, &all] {
        if (::fdatasync(fd_) != 0 && flush_errno_ == 0) flush_errno_ = errno;
        flushing_busy_ = false;
        all.End();
      });
    } catch (...) {  // no thread (or memory) to spare: the Sync does it all
      flushing_busy_ = false;
      all.End();
    }
  }

  // The pages of the file that are in the cache and clean go; dirty ones are written first.
  void DropCache() {
#ifdef POSIX_FADV_DONTNEED
    (void)::posix_fadvise(fd_, 0, 0, POSIX_FADV_DONTNEED);
#endif
  }

  void StartWriteback(uint64_t offset, uint64_t n) override {
#ifdef SYNC_FILE_RANGE_WRITE
    // Starts the writing of those pages without waiting for it; a failure shows at the Sync.
    (void)::sync_file_range(fd_, static_cast<off_t>(offset), static_cast<off_t>(n), SYNC_FILE_RANGE_WRITE);
#else
    (void)offset;
    (void)n;
#endif
  }

  // Two kinds of advisory lock are in use on this platform: flock (BSD) and POSIX record locks
  // (fcntl, lockf). They do not see each other, so a table is locked with both: an flock and a
  // whole-file open-file-description record lock, which, like flock, belongs to this open file
  // and not to the process.
  bool TryLockShared() override { return Lock(LOCK_SH, F_RDLCK); }
  bool TryLockExclusive() override { return Lock(LOCK_EX, F_WRLCK); }
  void Unlock() override {
    struct flock fl = WholeFile(F_UNLCK);
    ::fcntl(fd_, F_OFD_SETLK, &fl);
    ::flock(fd_, LOCK_UN);
  }

  // The open file's identity never changes: it is the one its open read.
  bool StillAtPath() override {
    struct stat b;
    if (::stat(path().c_str(), &b) != 0) return false;
    return IdOf(b) == id_;
  }

 private:
  static struct flock WholeFile(short type) {
    struct flock fl;
    std::memset(&fl, 0, sizeof fl);
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;  // to the end of the file, however it grows
    return fl;
  }

  bool Lock(int how, short record) {
    for (;;) {
      if (::flock(fd_, how | LOCK_NB) == 0) break;
      if (errno == EINTR) continue;
      if (errno == EWOULDBLOCK) return false;
      throw IoError("bloquear", path(), errno);
    }
    bool held = false;
    try {
      held = RecordLock(record);
    } catch (...) {
      ::flock(fd_, LOCK_UN);
      throw;
    }
    if (!held) ::flock(fd_, LOCK_UN);
    return held;
  }

  // The record lock. A write lock needs a file open for writing; a file open only for reading
  // that is to be held alone asks whether any record lock is held and then takes a read lock,
  // which keeps every later writer out.
  bool RecordLock(short type) {
    if (type == F_WRLCK && !writable_) {
      struct flock probe = WholeFile(F_WRLCK);
      if (::fcntl(fd_, F_OFD_GETLK, &probe) != 0) throw IoError("bloquear", path(), errno);
      if (probe.l_type != F_UNLCK) return false;
      type = F_RDLCK;
    }
    struct flock fl = WholeFile(type);
    for (;;) {
      if (::fcntl(fd_, F_OFD_SETLK, &fl) == 0) return true;
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EACCES) return false;
      // A file system without record locks (some network shares): the flock still holds.
      if (errno == ENOLCK || errno == EOPNOTSUPP || errno == ENOSYS) return true;
      throw IoError("bloquear", path(), errno);
    }
  }
  int fd_;
  bool writable_;
  held::FolderId id_;  // device and file number
  uint64_t reached_;   // the largest size known: at the open, or reached by this file's writes
  // The last early flush (StartFlush), whether it still runs, and the error of one that failed
  // (written by its thread, read once it is joined).
  PooledThread flushing_;
  std::atomic<bool> flushing_busy_{false};
  int flush_errno_ = 0;
};

class PosixFileSystem final : public FileSystem {
 public:
  std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override {
    int flags = O_CLOEXEC;
    switch (mode) {
      case OpenMode::kRead: flags |= O_RDONLY; break;
      case OpenMode::kReadWrite:
      case OpenMode::kReadWriteUnshared: flags |= O_RDWR; break;
      case OpenMode::kCreate: flags |= O_RDWR | O_CREAT | O_EXCL; break;
      case OpenMode::kCreateExclusive: flags |= O_RDWR | O_CREAT | O_EXCL; break;
    }
    const std::string dir = DirName(path), name = BaseName(path);
    FolderFd folder = OpenFolder(dir, "abrir", true);
    if (!folder.ok()) throw IoError("abrir", path, errno);
    // New files, and every file of a folder in use (the work folder), are never reached through
    // a link.
    const bool no_links = mode == OpenMode::kCreate || mode == OpenMode::kCreateExclusive || held::LinksRefusedIn(dir);
    if (no_links) flags |= O_NOFOLLOW;
    // Opened without waiting: a pipe named like a table would otherwise block the open until
    // some writer came; it is refused below, like every file that is not a regular one.
    auto open_at = [&](int how) {
      int fd;
      do {
        fd = ::openat(folder.get(), name.c_str(), how | O_NONBLOCK, 0666);
      } while (fd < 0 && errno == EINTR);
      return fd;
    };
    int fd = open_at(flags);
    bool truncate = false;
    if (fd < 0 && errno == EEXIST && mode == OpenMode::kCreate) {
      // An existing file is replaced only when it is a file of its own, emptied below.
      fd = open_at((flags & ~(O_CREAT | O_EXCL)));
      truncate = true;
    }
    if (fd < 0) {
      if (errno == ELOOP && no_links) ThrowReplacedDuringRun(path);
      throw IoError("abrir", path, errno);
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
      int e = errno;
      ::close(fd);
      throw IoError("abrir", path, e);
    }
    if (truncate && (!S_ISREG(st.st_mode) || st.st_nlink != 1)) {
      ::close(fd);
      ThrowReplacedDuringRun(path);
    }
    if (!S_ISREG(st.st_mode)) {
      ::close(fd);
      if (S_ISDIR(st.st_mode)) throw IoError("abrir", path, EISDIR);
      throw IoError("No es un fichero normal (es una tubería o un dispositivo) y no se abre; compruebe que el "
                    "fichero es el de la tabla.",
                    path);
    }
    if (truncate && ::ftruncate(fd, 0) != 0) {
      int e = errno;
      ::close(fd);
      throw IoError("recortar", path, e);
    }
    // Reads and writes wait as usual from here on. The file's status flags are known, since it was
    // just opened with them: O_NONBLOCK is the only one, so it is cleared without asking for
    // them first. It is cleared at all, although local file systems of Linux ignore it on a
    // regular file, because not every file system does (FUSE and network file systems pass it
    // on, and other systems may honour it): a read that failed for not waiting would be an error.
    ::fcntl(fd, F_SETFL, 0);
    return std::make_unique<PosixFile>(path, fd, mode != OpenMode::kRead, st);
  }

  bool Exists(const std::string& path) override {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
  }
  bool IsDirectory(const std::string& path) override {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }
  bool IsRegularFile(const std::string& path) override {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  }

  bool IsSymlink(const std::string& path) override {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
  }

  std::string RealPath(const std::string& path) override {
    char* r = ::realpath(path.empty() ? "." : path.c_str(), nullptr);
    if (!r) throw IoError("resolver la ruta de", path, errno);
    std::string out = r;
    std::free(r);
    return out;
  }

  PathFacts Inspect(const std::string& path) override {
    PathFacts f;
    struct stat st;
    if (::lstat(path.empty() ? "." : path.c_str(), &st) != 0) return f;
    f.exists = true;
    f.link = S_ISLNK(st.st_mode);
    f.regular = S_ISREG(st.st_mode);
    f.directory = S_ISDIR(st.st_mode);
    f.links = static_cast<uint64_t>(st.st_nlink);
    f.size = static_cast<uint64_t>(st.st_size);
    return f;
  }

  std::vector<DirEntry> List(const std::string& dir) override {
    Fd folder = OpenFolder(dir, "leer la carpeta").Detach();
    if (!folder.ok()) throw IoError("leer la carpeta", dir, errno);
    std::vector<DirEntry> out;
    // The kind the folder records is enough but for links (followed here) and file systems that
    // record none.
    auto add = [&](int at_fd, const char* name, unsigned char type) {
      if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return;
      bool is_dir = type == DT_DIR, is_file = type == DT_REG;
      if (type == DT_LNK || type == DT_UNKNOWN) {
        struct stat st;
        const bool found = ::fstatat(at_fd, name, &st, 0) == 0;
        is_dir = found && S_ISDIR(st.st_mode);
        is_file = found && S_ISREG(st.st_mode);
      }
      out.push_back({name, is_dir, is_file});
    };
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 30))
    // Read straight from the descriptor: fdopendir would first ask again for the folder's status
    // and flags, and set a flag it already has (three calls a listing, for nothing the open has
    // not settled). A failed read is an error here, not the end of the folder.
    alignas(struct dirent64) char buf[32768];
    for (;;) {
      const ssize_t n = ::getdents64(folder.get(), buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throw IoError("leer la carpeta", dir, errno);
      if (n == 0) break;
      for (ssize_t at = 0; at < n;) {
        unsigned short length;
        unsigned char type;
        std::memcpy(&length, buf + at + offsetof(struct dirent64, d_reclen), sizeof length);
        std::memcpy(&type, buf + at + offsetof(struct dirent64, d_type), sizeof type);
        if (length == 0 || at + length > n) throw IoError("leer la carpeta", dir, EIO);
        add(folder.get(), buf + at + offsetof(struct dirent64, d_name), type);
        at += length;
      }
    }
#else
    DIR* d = ::fdopendir(folder.get());
    if (!d) throw IoError("leer la carpeta", dir, errno);
    folder.release();  // closedir closes it
    while (struct dirent* e = ::readdir(d)) add(::dirfd(d), e->d_name, e->d_type);
    ::closedir(d);
#endif
    return out;
  }

  void Rename(const std::string& from, const std::string& to) override {
    FolderPair f(from, to, "renombrar");
    if (::renameat(f.from(), BaseName(from).c_str(), f.to(), BaseName(to).c_str()) != 0)
      throw IoError("renombrar a " + to, from, errno);
  }

  void Remove(const std::string& path) override {
    FolderFd folder = OpenFolder(DirName(path), "borrar", true);
    if (!folder.ok()) {
      if (errno == ENOENT) return;  // no folder, no file
      throw IoError("borrar", path, errno);
    }
    if (::unlinkat(folder.get(), BaseName(path).c_str(), 0) != 0 && errno != ENOENT) throw IoError("borrar", path, errno);
  }

  void CreateDirectory(const std::string& path) override {
    FolderFd folder = OpenFolder(DirName(path), "crear la carpeta");
    if (::mkdirat(folder.get(), BaseName(path).c_str(), 0777) != 0 && errno != EEXIST)
      throw IoError("crear la carpeta", path, errno);
  }

  // Not a link, and not while anyone holds it in use (an exclusive flock that is not waited for).
  void RemoveEmptyDirectory(const std::string& path) override {
    FolderFd parent = OpenFolder(DirName(path), "borrar la carpeta", true);
    if (!parent.ok()) return;
    const std::string name = BaseName(path);
    Fd folder(::openat(parent.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder.ok() || ::flock(folder.get(), LOCK_EX | LOCK_NB) != 0) return;
    if (SameEntry(parent.get(), name, folder.get())) ::unlinkat(parent.get(), name.c_str(), AT_REMOVEDIR);
  }

  std::unique_ptr<FolderInUse> UseFolder(const std::string& dir) override {
    FolderFd parent = OpenFolder(DirName(dir), "crear la carpeta");
    const std::string name = BaseName(dir);
    // Its last holder may remove it between our creation and our lock: then it is made again.
    for (int attempt = 0;; ++attempt) {
      if (::mkdirat(parent.get(), name.c_str(), 0777) != 0 && errno != EEXIST) throw IoError("crear la carpeta", dir, errno);
      Fd folder(::openat(parent.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!folder.ok()) {
        if (errno == ELOOP || errno == ENOTDIR) ThrowReplacedDuringRun(dir);
        if (errno == ENOENT && attempt < 1000) continue;
        throw IoError("abrir la carpeta", dir, errno);
      }
      int rc;
      do {
        rc = ::flock(folder.get(), LOCK_SH);
      } while (rc != 0 && errno == EINTR);
      // A file system without flock keeps the folder unguarded, as it was.
      if (rc != 0 && errno != EOPNOTSUPP && errno != ENOLCK && errno != ENOSYS) throw IoError("bloquear", dir, errno);
      if (!SameEntry(parent.get(), name, folder.get())) {
        if (attempt < 1000) continue;
        ThrowReplacedDuringRun(dir);
      }
      struct stat st;
      if (::fstat(folder.get(), &st) != 0) throw IoError("abrir la carpeta", dir, errno);
      uint64_t held = held::Add(dir, IdOf(st), true);
      return std::make_unique<PosixFolderInUse>(std::move(parent), std::move(folder), name, held);
    }
  }

  // Both names reached as any other operation reaches them: a held folder replaced (by a link, say)
  // is refused, not followed.
  void HardLink(const std::string& existing, const std::string& link) override {
    FolderPair f(existing, link, "enlazar");
    if (::linkat(f.from(), BaseName(existing).c_str(), f.to(), BaseName(link).c_str(), 0) != 0)
      throw IoError("enlazar como " + link, existing, errno);
  }

  FileId Identity(const std::string& path) override {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) throw IoError("leer la identidad de", path, errno);
    return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  }

  void SyncDirectory(const std::string& dir) override {
    FolderFd folder = OpenFolder(dir, "abrir la carpeta");
    int rc = ::fsync(folder.get());
    int e = errno;
    if (rc != 0 && e != EINVAL) throw IoError("asegurar en disco la carpeta", dir, e);
  }
  std::optional<uint64_t> FreeSpace(const std::string& path) override {
    struct statvfs v;
    if (::statvfs(path.empty() ? "." : path.c_str(), &v) != 0) return std::nullopt;
    return static_cast<uint64_t>(v.f_bavail) * static_cast<uint64_t>(v.f_frsize);
  }
  void DropCachedPages(const std::string& path) override {
    try {
      std::unique_ptr<File> f = Open(path, OpenMode::kRead);  // by the same checks as any open
      static_cast<PosixFile&>(*f).DropCache();
    } catch (const EngineError&) {
      // A hint: a file that cannot be opened keeps its pages.
    }
  }
};

}  // namespace

FileSystem* DefaultFileSystem() {
  static PosixFileSystem fs;
  return &fs;
}

std::optional<held::FolderId> held::IdentifyFolder(const std::string& dir) {
  struct stat st;
  if (::stat(dir.empty() ? "." : dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
  return IdOf(st);
}

// Arguments arrive here as the bytes they were given, UTF-8 on every system we run on.
std::vector<std::string> ProgramArguments(int argc, char** argv) { return std::vector<std::string>(argv, argv + argc); }

void* AllocateLarge(size_t n) {
  constexpr size_t kLargePage = 2u << 20;
  void* p = nullptr;
  if (n >= kLargePage) {
    size_t whole = (n + kLargePage - 1) / kLargePage * kLargePage;
    p = std::aligned_alloc(kLargePage, whole);
#ifdef MADV_HUGEPAGE
    if (p) ::madvise(p, whole, MADV_HUGEPAGE);  // a hint: where large pages are off, nothing changes
#endif
  } else {
    p = std::malloc(n > 0 ? n : 1);
  }
  if (!p) throw std::bad_alloc();
  return p;
}

}  // namespace engine
