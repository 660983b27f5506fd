// What every platform's file system shares: the current file system, whole reads and the
// helpers for '/'-separated paths.
#include "engine/fs.h"

#include "engine/error.h"

namespace engine {
namespace {

FileSystem* g_current = nullptr;

}  // namespace

FileSystem* CurrentFileSystem() { return g_current ? g_current : DefaultFileSystem(); }

FileSystem* SetCurrentFileSystem(FileSystem* fs) {
  FileSystem* prev = CurrentFileSystem();
  g_current = fs;
  return prev;
}

std::optional<std::string> FileSystem::StoredName(const std::string& dir, const std::string& name) {
  if (Exists(JoinPath(dir, name))) return name;
  return std::nullopt;
}

std::optional<uint64_t> FileSystem::FreeSpace(const std::string&) { return std::nullopt; }

std::unique_ptr<File> OpenExclusively(FileSystem& fs, const std::string& path, bool writable) {
  std::unique_ptr<File> f;
  try {
    f = fs.Open(path, writable ? OpenMode::kReadWriteUnshared : OpenMode::kRead);
  } catch (const EngineError& e) {
    if (e.code() == err::kTableInUse) return nullptr;  // open elsewhere without sharing it with us
    throw;
  }
  if (!f->TryLockExclusive()) return nullptr;
  return f;
}

void ReadExactly(File& f, uint64_t offset, void* buf, size_t n) {
  if (f.ReadAt(offset, buf, n) != n)
    throw EngineError(err::kFileCorrupt, "El fichero está truncado: faltan datos al final.",
                      {CtxFile(f.path())});
}

std::string ReadWholeFile(FileSystem& fs, const std::string& path) {
  auto f = fs.Open(path, OpenMode::kRead);
  uint64_t size = f->Size();
  std::string data(static_cast<size_t>(size), '\0');
  ReadExactly(*f, 0, data.data(), data.size());
  return data;
}

std::string JoinPath(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  if (dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

std::string DirName(const std::string& path) {
  auto p = path.find_last_of('/');
  if (p == std::string::npos) return "";
  if (p == 0) return "/";
  return path.substr(0, p);
}

std::string BaseName(const std::string& path) {
  auto p = path.find_last_of('/');
  return p == std::string::npos ? path : path.substr(p + 1);
}

}  // namespace engine
