// The POSIX file system: the real one on Linux and other Unix systems (fs_windows.cpp is the one
// for Windows; fs.cpp holds what both share).
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "engine/error.h"
#include "engine/fs.h"

namespace engine {
namespace {

class PosixFile final : public File {
 public:
  PosixFile(std::string path, int fd, bool writable) : File(std::move(path)), fd_(fd), writable_(writable) {}
  ~PosixFile() override {
    if (fd_ >= 0) ::close(fd_);  // closing also drops any flock held by this descriptor
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
  }

  uint64_t Size() override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) throw IoError("consultar el tamaño de", path(), errno);
    return static_cast<uint64_t>(st.st_size);
  }

  void Truncate(uint64_t size) override {
    if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) throw IoError("recortar", path(), errno);
  }

  void Sync() override {
    if (::fsync(fd_) != 0) throw IoError("asegurar en disco", path(), errno);
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

  bool StillAtPath() override {
    struct stat a, b;
    if (::fstat(fd_, &a) != 0) return false;
    if (::stat(path().c_str(), &b) != 0) return false;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
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
};

class PosixFileSystem final : public FileSystem {
 public:
  std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override {
    int flags = O_CLOEXEC;
    switch (mode) {
      case OpenMode::kRead: flags |= O_RDONLY; break;
      case OpenMode::kReadWrite:
      case OpenMode::kReadWriteUnshared: flags |= O_RDWR; break;
      case OpenMode::kCreate: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
      case OpenMode::kCreateExclusive: flags |= O_RDWR | O_CREAT | O_EXCL; break;
    }
    // Opened without waiting: a pipe named like a table would otherwise block the open until
    // some writer came; it is refused below, like every file that is not a regular one.
    int fd;
    do {
      fd = ::open(path.c_str(), flags | O_NONBLOCK, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) throw IoError("abrir", path, errno);
    struct stat st;
    if (::fstat(fd, &st) != 0) {
      int e = errno;
      ::close(fd);
      throw IoError("abrir", path, e);
    }
    if (!S_ISREG(st.st_mode)) {
      ::close(fd);
      if (S_ISDIR(st.st_mode)) throw IoError("abrir", path, EISDIR);
      throw IoError("No es un fichero normal (es una tubería o un dispositivo) y no se abre; compruebe que el "
                    "fichero es el de la tabla.",
                    path);
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return std::make_unique<PosixFile>(path, fd, mode != OpenMode::kRead);
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

  std::vector<DirEntry> List(const std::string& dir) override {
    DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
    if (!d) throw IoError("leer la carpeta", dir, errno);
    std::vector<DirEntry> out;
    while (struct dirent* e = ::readdir(d)) {
      std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      out.push_back({name, IsDirectory(JoinPath(dir, name))});
    }
    ::closedir(d);
    return out;
  }

  void Rename(const std::string& from, const std::string& to) override {
    if (::rename(from.c_str(), to.c_str()) != 0) throw IoError("renombrar a " + to, from, errno);
  }

  void Remove(const std::string& path) override {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) throw IoError("borrar", path, errno);
  }

  void CreateDirectory(const std::string& path) override {
    if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) throw IoError("crear la carpeta", path, errno);
  }

  void RemoveEmptyDirectory(const std::string& path) override { ::rmdir(path.c_str()); }

  void SyncDirectory(const std::string& dir) override {
    int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) throw IoError("abrir la carpeta", dir, errno);
    int rc = ::fsync(fd);
    int e = errno;
    ::close(fd);
    if (rc != 0 && e != EINVAL) throw IoError("asegurar en disco la carpeta", dir, e);
  }
  std::optional<uint64_t> FreeSpace(const std::string& path) override {
    struct statvfs v;
    if (::statvfs(path.empty() ? "." : path.c_str(), &v) != 0) return std::nullopt;
    return static_cast<uint64_t>(v.f_bavail) * static_cast<uint64_t>(v.f_frsize);
  }
};

}  // namespace

FileSystem* DefaultFileSystem() {
  static PosixFileSystem fs;
  return &fs;
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
