// The Windows file system. Paths arrive as UTF-8 with '/' separators and are handed to the wide
// (UTF-16) calls of the system, never to the narrow ones, whose bytes would be read in the ANSI
// code page of the machine. fs.cpp holds what this file shares with fs_posix.cpp.
// FileRenameInfoEx and its flags are declared for Windows 10; nothing here needs more than
// Windows Vista to load, and the rename falls back where they are missing.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00
#endif
#include <windows.h>
#include <shellapi.h>
// <windows.h> spells CreateDirectory as a macro for CreateDirectoryA/W; the interface's own
// member of that name must keep it.
#undef CreateDirectory

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cwchar>
#include <cstdlib>
#include <new>
#include <optional>
#include <vector>

#include "engine/error.h"
#include "engine/fs.h"
#include "engine/fs_held.h"

namespace engine {
namespace {

std::wstring Widen(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring out(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::string Narrow(const wchar_t* w, size_t len) {
  if (len == 0) return std::string();
  int n = ::WideCharToMultiByte(CP_UTF8, 0, w, static_cast<int>(len), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string out(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, w, static_cast<int>(len), out.data(), n, nullptr, nullptr);
  return out;
}

// The path as the wide calls take it; "" names the current folder.
std::wstring WidePath(const std::string& path) { return Widen(path.empty() ? std::string(".") : path); }

// The system's error codes that have a C equivalent are reported through it, so that both
// platforms word the common failures alike; the rest give the system's number.
int ErrnoOf(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
      return EACCES;
    case ERROR_WRITE_PROTECT:
      return EROFS;
    case ERROR_CRC:
    case ERROR_READ_FAULT:
    case ERROR_WRITE_FAULT:
    case ERROR_GEN_FAILURE:
    case ERROR_IO_DEVICE:
    case ERROR_NETNAME_DELETED:
    case ERROR_UNEXP_NET_ERR:
      return EIO;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_DIR_NOT_EMPTY:
      return ENOTEMPTY;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_TOO_MANY_OPEN_FILES:
      return EMFILE;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_NOT_SAME_DEVICE:
      return EXDEV;
    default:
      return 0;
  }
}

[[noreturn]] void ThrowSystem(const std::string& operation, const std::string& path, DWORD code) {
  if (code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION)
    throw EngineError(err::kTableInUse,
                      "El fichero está abierto en otro programa que no deja usarlo. Ciérrelo y vuelva a "
                      "intentarlo.",
                      {CtxFile(path)});
  if (int e = ErrnoOf(code)) throw IoError(operation, path, e);
  throw IoError("Error del sistema al " + operation + ": error de Windows número " + std::to_string(code) + ".", path);
}

// Locks are taken on one byte far past the end of any table the formats can hold, so that they
// keep other lockers out without keeping anyone's reads and writes of the data out (a Windows
// lock over the data itself would refuse reads and writes through every other handle, and a
// shared one even the holder's own writes).
constexpr uint64_t kLockOffset = 0x7FFFFFFF00000000ULL;

class WindowsFile final : public File {
 public:
  WindowsFile(std::string path, HANDLE h) : File(std::move(path)), h_(h) {}
  ~WindowsFile() override {
    if (held_) Release();
    ::CloseHandle(h_);
  }

  size_t ReadAt(uint64_t offset, void* buf, size_t n) override {
    size_t done = 0;
    while (done < n) {
      DWORD want = static_cast<DWORD>(std::min<size_t>(n - done, 1u << 30));
      OVERLAPPED ov = At(offset + done);
      DWORD got = 0;
      if (!::ReadFile(h_, static_cast<char*>(buf) + done, want, &got, &ov)) {
        DWORD e = ::GetLastError();
        if (e == ERROR_HANDLE_EOF) break;
        ThrowSystem("leer", path(), e);
      }
      if (got == 0) break;
      done += got;
    }
    return done;
  }

  void WriteAt(uint64_t offset, const void* buf, size_t n) override {
    size_t done = 0;
    while (done < n) {
      DWORD want = static_cast<DWORD>(std::min<size_t>(n - done, 1u << 30));
      OVERLAPPED ov = At(offset + done);
      DWORD put = 0;
      if (!::WriteFile(h_, static_cast<const char*>(buf) + done, want, &put, &ov))
        ThrowSystem("escribir", path(), ::GetLastError());
      if (put == 0) ThrowSystem("escribir", path(), ERROR_HANDLE_DISK_FULL);
      done += put;
    }
  }

  uint64_t Size() override {
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(h_, &size)) ThrowSystem("consultar el tamaño de", path(), ::GetLastError());
    return static_cast<uint64_t>(size.QuadPart);
  }

  void Truncate(uint64_t size) override {
    FILE_END_OF_FILE_INFO info;
    info.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    if (!::SetFileInformationByHandle(h_, FileEndOfFileInfo, &info, sizeof info))
      ThrowSystem("recortar", path(), ::GetLastError());
  }

  void Sync() override {
    if (!::FlushFileBuffers(h_)) ThrowSystem("asegurar en disco", path(), ::GetLastError());
  }

  bool TryLockShared() override { return Lock(false); }
  bool TryLockExclusive() override { return Lock(true); }
  void Unlock() override {
    if (held_) Release();
  }

  // The same file is the same volume and file index (Windows has no inode numbers in stat).
  bool StillAtPath() override {
    BY_HANDLE_FILE_INFORMATION mine, now;
    if (!::GetFileInformationByHandle(h_, &mine)) return false;
    HANDLE other = ::CreateFileW(WidePath(path()).c_str(), 0,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (other == INVALID_HANDLE_VALUE) return false;
    bool ok = ::GetFileInformationByHandle(other, &now);
    ::CloseHandle(other);
    return ok && mine.dwVolumeSerialNumber == now.dwVolumeSerialNumber &&
           mine.nFileIndexHigh == now.nFileIndexHigh && mine.nFileIndexLow == now.nFileIndexLow;
  }

 private:
  static OVERLAPPED At(uint64_t offset) {
    OVERLAPPED ov;
    std::memset(&ov, 0, sizeof ov);
    ov.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return ov;
  }

  // A held lock changes kind by being released and taken anew, as flock does elsewhere.
  bool Lock(bool exclusive) {
    if (held_) {
      if (exclusive == exclusive_) return true;
      Release();
    }
    OVERLAPPED ov = At(kLockOffset);
    DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
    if (!::LockFileEx(h_, flags, 0, 1, 0, &ov)) {
      DWORD e = ::GetLastError();
      if (e == ERROR_LOCK_VIOLATION || e == ERROR_IO_PENDING || e == ERROR_SHARING_VIOLATION) return false;
      ThrowSystem("bloquear", path(), e);
    }
    held_ = true;
    exclusive_ = exclusive;
    return true;
  }

  void Release() {
    OVERLAPPED ov = At(kLockOffset);
    ::UnlockFileEx(h_, 0, 1, 0, &ov);
    held_ = false;
  }

  HANDLE h_;
  bool held_ = false;
  bool exclusive_ = false;
};

// The class of FileRenameInfoEx in the system's numbering (the compiler's headers declare it only
// under a version test that no _WIN32_WINNT value passes).
constexpr auto kFileRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);

// Renames an open handle of `from` with FileRenameInfoEx: POSIX semantics (a target that is open
// is replaced, its holders keep the old file) and replacement of an existing target. The system's
// error code, ERROR_SUCCESS when done.
DWORD PosixRename(const std::string& from, const std::string& to) {
  // Write access lets the rename be flushed to disk; a folder, a read-only file and a file that
  // this program holds unshared (kReadWriteUnshared: a table being swapped) are renamed without
  // it.
  const std::wstring source = Widen(from);
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  bool writable = true;
  HANDLE h = ::CreateFileW(source.c_str(), DELETE | SYNCHRONIZE | GENERIC_WRITE, share, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE &&
      (::GetLastError() == ERROR_ACCESS_DENIED || ::GetLastError() == ERROR_SHARING_VIOLATION)) {
    writable = false;
    h = ::CreateFileW(source.c_str(), DELETE | SYNCHRONIZE, share, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                      nullptr);
  }
  if (h == INVALID_HANDLE_VALUE) return ::GetLastError();
  const std::wstring target = Widen(to);
  std::vector<char> buf(sizeof(FILE_RENAME_INFO) + (target.size() + 1) * sizeof(wchar_t), 0);
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buf.data());
  info->Flags = FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
  std::memcpy(info->FileName, target.c_str(), (target.size() + 1) * sizeof(wchar_t));
  DWORD e = ERROR_SUCCESS;
  if (!::SetFileInformationByHandle(h, kFileRenameInfoEx, info, static_cast<DWORD>(buf.size()))) e = ::GetLastError();
  // The rename is durable once the file's metadata is flushed, as MOVEFILE_WRITE_THROUGH makes it.
  if (e == ERROR_SUCCESS && writable) ::FlushFileBuffers(h);
  ::CloseHandle(h);
  return e;
}

DWORD Attributes(const std::string& path) { return ::GetFileAttributesW(WidePath(path).c_str()); }

// A handle to a file or folder for its attributes, the path's last component not followed when
// `no_follow` (a reparse point is opened itself). INVALID_HANDLE_VALUE when it cannot be opened.
// Without delete sharing, nobody renames or removes what it names while it is open.
HANDLE OpenForFacts(const std::string& path, bool no_follow, bool share_delete) {
  return ::CreateFileW(WidePath(path).c_str(), FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | (share_delete ? FILE_SHARE_DELETE : 0), nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | (no_follow ? FILE_FLAG_OPEN_REPARSE_POINT : 0),
                       nullptr);
}

held::FolderId IdOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return {info.dwVolumeSerialNumber, (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

bool IsPlainFolder(const BY_HANDLE_FILE_INFORMATION& info) {
  return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// The folders of a path held for the length of one operation, as fs.h's HeldFolder says: each
// held folder above it opened and checked to be the one held, and every folder below the
// innermost one checked not to be a reparse point; all opened without delete sharing, so that
// none of them is renamed or replaced until the operation is done (Windows has no openat: the
// operation then goes by the path, which these handles keep naming the same folders).
class FolderGuard {
 public:
  explicit FolderGuard(const std::string& dir) {
    size_t depth = 0;
    for (const held::Held& h : held::Above(dir)) {
      HANDLE f = Keep(OpenForFacts(h.path, false, false));
      BY_HANDLE_FILE_INFORMATION info;
      if (f == INVALID_HANDLE_VALUE || !::GetFileInformationByHandle(f, &info) || !(IdOf(info) == h.id))
        ThrowReplacedDuringRun(h.path);
      depth = h.depth;
    }
    if (handles_.empty()) return;
    const held::Lexical d = held::Split(dir);
    for (size_t i = depth; i < d.parts.size(); ++i) {
      const std::string at = d.Join(i + 1);
      HANDLE f = Keep(OpenForFacts(at, true, false));
      BY_HANDLE_FILE_INFORMATION info;
      if (f == INVALID_HANDLE_VALUE) {
        DWORD e = ::GetLastError();
        if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) return;  // the operation reports it
        ThrowSystem("abrir la carpeta", at, e);
      }
      if (!::GetFileInformationByHandle(f, &info) || !IsPlainFolder(info)) ThrowReplacedDuringRun(at);
    }
  }
  ~FolderGuard() {
    for (HANDLE h : handles_) ::CloseHandle(h);
  }
  FolderGuard(const FolderGuard&) = delete;
  FolderGuard& operator=(const FolderGuard&) = delete;

 private:
  HANDLE Keep(HANDLE h) {
    if (h != INVALID_HANDLE_VALUE) handles_.push_back(h);
    return h;
  }
  std::vector<HANDLE> handles_;
};

// The folders of two paths, for an operation that names a file in each (a rename, a link); within
// one folder (as a swap's journal and its moves aside are), that folder is checked and held once.
class FolderGuardPair {
 public:
  FolderGuardPair(const std::string& from, const std::string& to) : from_(DirName(from)) {
    if (DirName(to) != DirName(from)) to_.emplace(DirName(to));
  }

 private:
  FolderGuard from_;
  std::optional<FolderGuard> to_;
};

// A folder in use: a handle without delete sharing, which makes every removal of it fail while it
// is open. The last holder removes it when it is empty.
class WindowsFolderInUse final : public FolderInUse {
 public:
  WindowsFolderInUse(std::string path, HANDLE h, uint64_t held) : path_(std::move(path)), h_(h), held_(held) {}
  ~WindowsFolderInUse() override {
    held::Drop(held_);
    ::CloseHandle(h_);
    ::RemoveDirectoryW(WidePath(path_).c_str());  // fails, as it should, when not empty or in use
  }

 private:
  std::string path_;
  HANDLE h_;
  uint64_t held_;
};

class WindowsFileSystem final : public FileSystem {
 public:
  std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override {
    DWORD access = GENERIC_READ | GENERIC_WRITE;
    DWORD disposition = OPEN_EXISTING;
    switch (mode) {
      case OpenMode::kRead: access = GENERIC_READ; break;
      case OpenMode::kReadWrite:
      case OpenMode::kReadWriteUnshared: break;
      case OpenMode::kCreate: disposition = CREATE_ALWAYS; break;
      case OpenMode::kCreateExclusive: disposition = CREATE_NEW; break;
    }
    FolderGuard guard(DirName(path));
    DWORD attrs = Attributes(path);
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY))
      throw IoError("abrir", path, EISDIR);
    // New files, and every file of a folder in use (the work folder), are never reached through
    // a reparse point: an existing file there is replaced only when it is a file of its own.
    const bool no_links = mode == OpenMode::kCreate || mode == OpenMode::kCreateExclusive ||
                          held::LinksRefusedIn(DirName(path));
    const DWORD flags = FILE_ATTRIBUTE_NORMAL | (no_links ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    bool truncate = false;
    if (mode == OpenMode::kCreate) disposition = CREATE_NEW;
    // Others may read, write, rename and remove the file while we hold it open, as on POSIX
    // systems; the engine's locks say who may change it. A program that opened the file without
    // sharing it makes this open fail at once, and that is reported as a file in use. An unshared
    // open (a table about to be restructured) shares only renames and removals, which its swap
    // does through the path: it fails the same way while anyone has the file open for reading or
    // writing, host programs that take no lock included, and keeps them out while it lasts.
    const DWORD share = mode == OpenMode::kReadWriteUnshared ? FILE_SHARE_DELETE
                                                             : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE h = ::CreateFileW(Widen(path).c_str(), access, share, nullptr, disposition, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE && mode == OpenMode::kCreate && ::GetLastError() == ERROR_FILE_EXISTS) {
      h = ::CreateFileW(Widen(path).c_str(), access, share, nullptr, OPEN_EXISTING, flags, nullptr);
      truncate = true;
    }
    if (h == INVALID_HANDLE_VALUE) ThrowSystem("abrir", path, ::GetLastError());
    if (no_links) {
      BY_HANDLE_FILE_INFORMATION info;
      if (!::GetFileInformationByHandle(h, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
          (truncate && info.nNumberOfLinks != 1)) {
        ::CloseHandle(h);
        ThrowReplacedDuringRun(path);
      }
    }
    if (::GetFileType(h) != FILE_TYPE_DISK) {
      ::CloseHandle(h);
      throw IoError("No es un fichero normal (es una tubería o un dispositivo) y no se abre; compruebe que el "
                    "fichero es el de la tabla.",
                    path);
    }
    auto file = std::make_unique<WindowsFile>(path, h);
    if (truncate) file->Truncate(0);
    return file;
  }

  PathFacts Inspect(const std::string& path) override {
    PathFacts f;
    DWORD a = Attributes(path);
    if (a == INVALID_FILE_ATTRIBUTES) return f;
    f.exists = true;
    f.link = (a & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    f.directory = !f.link && (a & FILE_ATTRIBUTE_DIRECTORY);
    f.regular = !f.link && !(a & FILE_ATTRIBUTE_DIRECTORY) && !(a & FILE_ATTRIBUTE_DEVICE);
    HANDLE h = OpenForFacts(path, true, true);
    BY_HANDLE_FILE_INFORMATION info;
    if (h != INVALID_HANDLE_VALUE && ::GetFileInformationByHandle(h, &info)) {
      f.links = info.nNumberOfLinks;
      f.size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
      if (f.regular && ::GetFileType(h) != FILE_TYPE_DISK) f.regular = false;
    }
    if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
    return f;
  }

  std::unique_ptr<FolderInUse> UseFolder(const std::string& dir) override {
    FolderGuard guard(DirName(dir));
    // Its last holder may remove it between our creation and our open: then it is made again.
    for (int attempt = 0;; ++attempt) {
      if (!::CreateDirectoryW(WidePath(dir).c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS)
        ThrowSystem("crear la carpeta", dir, ::GetLastError());
      HANDLE h = ::CreateFileW(WidePath(dir).c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
      if (h == INVALID_HANDLE_VALUE) {
        DWORD e = ::GetLastError();
        if ((e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND || e == ERROR_ACCESS_DENIED) && attempt < 1000)
          continue;  // removed meanwhile (a folder being removed refuses opens until it is gone)
        ThrowSystem("abrir la carpeta", dir, e);
      }
      BY_HANDLE_FILE_INFORMATION info;
      if (!::GetFileInformationByHandle(h, &info) || !IsPlainFolder(info)) {
        ::CloseHandle(h);
        ThrowReplacedDuringRun(dir);
      }
      return std::make_unique<WindowsFolderInUse>(dir, h, held::Add(dir, IdOf(info), true));
    }
  }

  bool Exists(const std::string& path) override { return Attributes(path) != INVALID_FILE_ATTRIBUTES; }
  bool IsDirectory(const std::string& path) override {
    DWORD a = Attributes(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
  }
  bool IsRegularFile(const std::string& path) override {
    DWORD a = Attributes(path);
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY) && !(a & FILE_ATTRIBUTE_DEVICE);
  }
  // Symbolic links and junctions are both reparse points.
  bool IsSymlink(const std::string& path) override {
    DWORD a = Attributes(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT);
  }

  std::string RealPath(const std::string& path) override {
    HANDLE h = ::CreateFileW(WidePath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) ThrowSystem("resolver la ruta de", path, ::GetLastError());
    std::wstring out(MAX_PATH, L'\0');
    DWORD n = ::GetFinalPathNameByHandleW(h, out.data(), static_cast<DWORD>(out.size()), FILE_NAME_NORMALIZED);
    if (n >= out.size()) {
      out.resize(n + 1);
      n = ::GetFinalPathNameByHandleW(h, out.data(), static_cast<DWORD>(out.size()), FILE_NAME_NORMALIZED);
    }
    DWORD e = ::GetLastError();
    ::CloseHandle(h);
    if (n == 0 || n >= out.size()) ThrowSystem("resolver la ruta de", path, e);
    out.resize(n);
    // "\\?\C:\..." and "\\?\UNC\server\share\..." become "C:/..." and "//server/share/...".
    if (out.rfind(L"\\\\?\\UNC\\", 0) == 0) out = L"\\\\" + out.substr(8);
    else if (out.rfind(L"\\\\?\\", 0) == 0) out = out.substr(4);
    for (auto& c : out)
      if (c == L'\\') c = L'/';
    return Narrow(out.data(), out.size());
  }

  std::vector<DirEntry> List(const std::string& dir) override {
    FolderGuard guard(dir);
    WIN32_FIND_DATAW fd;
    std::wstring pattern = WidePath(dir) + L"\\*";
    HANDLE h = ::FindFirstFileW(pattern.c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) {
      DWORD e = ::GetLastError();
      if (e == ERROR_FILE_NOT_FOUND) return {};  // an empty folder (a drive's root has no "." entry)
      ThrowSystem("leer la carpeta", dir, e);
    }
    std::vector<DirEntry> out;
    do {
      std::string name = Narrow(fd.cFileName, std::wcslen(fd.cFileName));
      if (name == "." || name == "..") continue;
      // A reparse point or a device is not taken for a file here: it is asked about when it matters.
      const DWORD a = fd.dwFileAttributes;
      out.push_back({name, (a & FILE_ATTRIBUTE_DIRECTORY) != 0,
                     (a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) == 0});
    } while (::FindNextFileW(h, &fd));
    DWORD e = ::GetLastError();
    ::FindClose(h);
    if (e != ERROR_NO_MORE_FILES) ThrowSystem("leer la carpeta", dir, e);
    return out;
  }

  // FindFirstFileW with a name and no wildcards finds it as CreateFileW would, and reports it as
  // stored. Drive names ("C:") and names with wildcards are not looked up that way.
  std::optional<std::string> StoredName(const std::string& dir, const std::string& name) override {
    const std::string path = JoinPath(dir, name);
    if (!name.empty() && (name.back() == ':' || name.find_first_of("*?") != std::string::npos))
      return Exists(path) ? std::optional<std::string>(name) : std::nullopt;
    WIN32_FIND_DATAW fd;
    HANDLE h = ::FindFirstFileW(WidePath(path).c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return std::nullopt;
    ::FindClose(h);
    return Narrow(fd.cFileName, std::wcslen(fd.cFileName));
  }

  // Replaces the target as rename() does elsewhere, even while the target is open (the engine
  // holds a table open while it swaps its files), and only returns once the change is on disk.
  // The POSIX rename of Windows 10 and later does that; where the volume or the system does not
  // have it, MoveFileExW replaces a target that nobody holds open.
  void Rename(const std::string& from, const std::string& to) override {
    FolderGuardPair guard(from, to);
    DWORD e = PosixRename(from, to);
    if (e == ERROR_SUCCESS) return;
    if (e != ERROR_INVALID_PARAMETER && e != ERROR_NOT_SUPPORTED && e != ERROR_INVALID_FUNCTION &&
        e != ERROR_CALL_NOT_IMPLEMENTED)
      ThrowSystem("renombrar a " + to, from, e);
    if (!::MoveFileExW(Widen(from).c_str(), Widen(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
      ThrowSystem("renombrar a " + to, from, ::GetLastError());
  }

  void Remove(const std::string& path) override {
    FolderGuard guard(DirName(path));
    if (::DeleteFileW(Widen(path).c_str())) return;
    DWORD e = ::GetLastError();
    if (e != ERROR_FILE_NOT_FOUND && e != ERROR_PATH_NOT_FOUND) ThrowSystem("borrar", path, e);
  }

  void CreateDirectory(const std::string& path) override {
    FolderGuard guard(DirName(path));
    if (::CreateDirectoryW(Widen(path).c_str(), nullptr)) return;
    DWORD e = ::GetLastError();
    if (e != ERROR_ALREADY_EXISTS) ThrowSystem("crear la carpeta", path, e);
  }

  // A folder held in use by anyone (WindowsFolderInUse) refuses the removal, as does one not empty.
  void RemoveEmptyDirectory(const std::string& path) override {
    FolderGuard guard(DirName(path));
    if (!(Attributes(path) & FILE_ATTRIBUTE_REPARSE_POINT)) ::RemoveDirectoryW(Widen(path).c_str());
  }

  void HardLink(const std::string& existing, const std::string& link) override {
    FolderGuardPair guard(existing, link);
    if (!::CreateHardLinkW(WidePath(link).c_str(), WidePath(existing).c_str(), nullptr))
      ThrowSystem("enlazar como " + link, existing, ::GetLastError());
  }

  FileId Identity(const std::string& path) override {
    HANDLE h = ::CreateFileW(WidePath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) ThrowSystem("leer la identidad de", path, ::GetLastError());
    BY_HANDLE_FILE_INFORMATION info;
    const BOOL ok = ::GetFileInformationByHandle(h, &info);
    const DWORD code = ::GetLastError();
    ::CloseHandle(h);
    if (!ok) ThrowSystem("leer la identidad de", path, code);
    return {info.dwVolumeSerialNumber, (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
  }

  // Windows has no way to flush a folder; MOVEFILE_WRITE_THROUGH already made renames durable.
  void SyncDirectory(const std::string&) override {}
  std::optional<uint64_t> FreeSpace(const std::string& path) override {
    ULARGE_INTEGER available;
    if (!::GetDiskFreeSpaceExW(WidePath(path).c_str(), &available, nullptr, nullptr)) return std::nullopt;
    return static_cast<uint64_t>(available.QuadPart);
  }
};

}  // namespace

FileSystem* DefaultFileSystem() {
  static WindowsFileSystem fs;
  return &fs;
}

std::optional<held::FolderId> held::IdentifyFolder(const std::string& dir) {
  HANDLE h = OpenForFacts(dir, false, true);
  if (h == INVALID_HANDLE_VALUE) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION info;
  bool ok = ::GetFileInformationByHandle(h, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  ::CloseHandle(h);
  if (!ok) return std::nullopt;
  return IdOf(info);
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  ::SetConsoleOutputCP(CP_UTF8);
  int n = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &n);
  if (!wide) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> out;
  for (int i = 0; i < n; ++i) out.push_back(Narrow(wide[i], std::wcslen(wide[i])));
  ::LocalFree(wide);
  return out;
}

// Large pages need a privilege that programs here do not hold: plain memory.
void* AllocateLarge(size_t n) {
  void* p = std::malloc(n > 0 ? n : 1);
  if (!p) throw std::bad_alloc();
  return p;
}

}  // namespace engine
