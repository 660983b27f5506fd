#include "engine/database.h"

#include <map>
#include <mutex>

#include "engine/error.h"
#include "engine/fs.h"
#include "engine/path.h"
#include "engine/swap.h"

namespace engine {

namespace {
std::mutex g_mu;
std::map<std::string, std::unique_ptr<Database>>& Databases() {
  static auto* m = new std::map<std::string, std::unique_ptr<Database>>();
  return *m;
}
}  // namespace

Database* OpenDatabase(const std::string& name) {
  std::string dir;
  if (name.empty()) {
    dir = ".";
  } else if (auto as_written = AsWritten(name); as_written && CurrentFileSystem()->IsDirectory(*as_written)) {
    dir = *as_written;
  } else {
    auto resolved = ResolveExisting(name);
    if (!resolved || !CurrentFileSystem()->IsDirectory(*resolved))
      throw EngineError(err::kNoSuchFolder,
                        "La carpeta de datos no existe. Compruebe la ruta de la instalación.",
                        {CtxFolder(name)});
    dir = *resolved;
  }
  std::lock_guard<std::mutex> lock(g_mu);
  auto& dbs = Databases();
  auto it = dbs.find(dir);
  if (it != dbs.end()) return it->second.get();
  auto db = std::make_unique<Database>(name, dir);
  Database* p = db.get();
  dbs.emplace(dir, std::move(db));
  return p;
}

bool IsLiveDatabase(const Database* db) {
  std::lock_guard<std::mutex> lock(g_mu);
  for (auto& [dir, p] : Databases())
    if (p.get() == db) return true;
  return false;
}

std::string Database::TablePath(const std::string& table_name, TableFormat format_hint) const {
  std::string name = NormalizeSeparators(table_name);
  if (UpperExtension(name).empty())
    name += format_hint == TableFormat::kParadox ? ".DB" : ".DBF";
  std::string full = (!name.empty() && name[0] == '/') ? name : JoinPath(dir_, name);
  FileSystem& fs = *CurrentFileSystem();
  if (auto as_written = AsWritten(full); as_written && fs.IsRegularFile(*as_written)) return *as_written;
  auto p = ResolveForCreate(full);
  if (!p) return full;
  // A table that an interrupted swap moved aside is named by its journal, in the letter case the
  // swap used: that is the table, not a new one of another spelling.
  if (!fs.IsRegularFile(*p) && !SwapPending(*p)) {
    const std::string dir = DirName(*p).empty() ? "." : DirName(*p);
    const std::string want = BaseName(*p);
    for (const auto& e : fs.List(dir)) {
      const std::string suffix = ".diario";
      if (e.is_dir || e.name.size() <= suffix.size() + 1 || e.name[0] != '.' ||
          e.name.compare(e.name.size() - suffix.size(), suffix.size(), suffix) != 0)
        continue;
      const std::string table = e.name.substr(1, e.name.size() - 1 - suffix.size());
      if (SameNameIgnoringCase(table, want)) return JoinPath(DirName(*p), table);
    }
  }
  return *p;
}

bool Database::TableExists(const std::string& table_name, TableFormat format_hint) const {
  return CurrentFileSystem()->IsRegularFile(TablePath(table_name, format_hint));
}

TableFormat FormatFor(const std::string& path, TableTypeHint hint) {
  switch (hint) {
    case TableTypeHint::kParadox: return TableFormat::kParadox;
    case TableTypeHint::kDBase: return TableFormat::kDbase;
    case TableTypeHint::kFoxPro: return TableFormat::kFoxPro;
    case TableTypeHint::kDefault: break;
  }
  std::string ext = UpperExtension(path);
  if (ext == "DBF") {
    if (HasAnyCompanion(path, {"FPT", "CDX"})) return TableFormat::kFoxPro;
    return TableFormat::kDbase;
  }
  if (ext == "DB") return TableFormat::kParadox;
  if (ext.empty()) return TableFormat::kParadox;
  return TableFormat::kDbase;
}

}  // namespace engine
