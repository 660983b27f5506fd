// What every platform's file system shares: the current file system, whole reads and the
// helpers for '/'-separated paths.
#include "engine/fs.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>

#include "engine/error.h"
#include "engine/fs_held.h"

namespace engine {
namespace {

// Read by every thread that uses the engine.
std::atomic<FileSystem*> g_current{nullptr};

struct Registry {
  std::mutex mutex;
  uint64_t next = 1;
  // By their paths as held: the folders above a path are found by its own components, however
  // many a run holds (it holds every data folder of an installation).
  std::multimap<std::string, held::Held> entries;
};

Registry& TheRegistry() {
  static Registry r;
  return r;
}

}  // namespace

namespace held {

std::string Lexical::Join(size_t n) const {
  std::string out = absolute ? "/" : "";
  for (size_t i = 0; i < n && i < parts.size(); ++i) {
    if (i > 0) out += '/';
    out += parts[i];
  }
  return out.empty() ? "." : out;
}

Lexical Split(const std::string& path) {
  Lexical l;
  l.absolute = !path.empty() && path[0] == '/';
  size_t at = 0;
  while (at <= path.size()) {
    size_t end = path.find('/', at);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(at, end - at);
    if (!part.empty() && part != ".") l.parts.push_back(part);
    at = end + 1;
  }
  return l;
}

std::vector<Held> Above(const std::string& dir) {
  const Lexical d = Split(dir);
  std::vector<Held> out;
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  if (r.entries.empty()) return out;
  for (size_t n = 0; n <= d.parts.size(); ++n) {
    auto [from, to] = r.entries.equal_range(d.Join(n));
    for (auto it = from; it != to; ++it) out.push_back(it->second);
  }
  return out;
}

uint64_t Add(const std::string& dir, FolderId id, bool no_links) {
  const Lexical l = Split(dir);
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  const std::string path = l.Join(l.parts.size());
  r.entries.emplace(path, Held{path, l.parts.size(), id, no_links, r.next});
  return r.next++;
}

void Drop(uint64_t id) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  std::erase_if(r.entries, [id](const auto& e) { return e.second.key == id; });
}

bool LinksRefusedIn(const std::string& dir) {
  const Lexical d = Split(dir);
  const std::string key = d.Join(d.parts.size());
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto [from, to] = r.entries.equal_range(key);
  return std::any_of(from, to, [](const auto& e) { return e.second.no_links; });
}

}  // namespace held

HeldFolder::HeldFolder(const std::string& dir) {
  auto id = held::IdentifyFolder(dir);
  if (!id) throw IoError("abrir la carpeta", dir, ENOTDIR);
  id_ = held::Add(dir, *id, false);
}

HeldFolder::~HeldFolder() { held::Drop(id_); }

void CheckHeldFolders(const std::string& dir) {
  for (const held::Held& h : held::Above(dir)) {
    auto now = held::IdentifyFolder(h.path);
    if (!now || !(*now == h.id)) ThrowReplacedDuringRun(h.path);
  }
}

void ThrowReplacedDuringRun(const std::string& path) {
  throw EngineError(err::kInvalidParam,
                    "Una carpeta o un fichero ha sido sustituido mientras se trabajaba en él (por un enlace "
                    "simbólico, otra carpeta u otro fichero). No se ha seguido ni se ha modificado nada a través "
                    "de él, y el proceso se ha detenido. Compruebe quién lo ha cambiado, déjelo como estaba y "
                    "vuelva a intentarlo.",
                    {CtxFile(path)});
}

PathFacts FileSystem::Inspect(const std::string& path) { return DefaultFileSystem()->Inspect(path); }

std::unique_ptr<FolderInUse> FileSystem::UseFolder(const std::string& dir) {
  return DefaultFileSystem()->UseFolder(dir);
}

FileSystem* CurrentFileSystem() {
  FileSystem* fs = g_current.load();
  return fs ? fs : DefaultFileSystem();
}

FileSystem* SetCurrentFileSystem(FileSystem* fs) {
  FileSystem* prev = CurrentFileSystem();
  g_current = fs;
  return prev;
}

std::optional<std::string> FileSystem::StoredName(const std::string& dir, const std::string& name) {
  if (Exists(JoinPath(dir, name))) return name;
  return std::nullopt;
}

void FileSystem::HardLink(const std::string& existing, const std::string& link) {
  (void)link;
  throw IoError("Este sistema de ficheros no admite enlaces duros.", existing);
}

FileId FileSystem::Identity(const std::string& path) {
  throw IoError("Este sistema de ficheros no da la identidad de sus ficheros.", path);
}

std::optional<uint64_t> FileSystem::FreeSpace(const std::string&) { return std::nullopt; }

void FileSystem::DropCachedPages(const std::string&) {}

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
