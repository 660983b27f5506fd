#include "engine/swap.h"

#include <memory>
#include <sstream>

#include "engine/codepage.h"
#include "engine/error.h"
#include "engine/fs.h"
#include "engine/path.h"

namespace engine {

namespace {

constexpr const char* kJournalMagic = "ACTUALIZA-SWAP 2";
constexpr const char* kOldSuffix = ".anterior";
constexpr const char* kNewSuffix = ".nuevo";

std::string FolderOf(const std::string& path) { return DirName(path).empty() ? "." : DirName(path); }

std::string Hidden(const std::string& path, const std::string& suffix) {
  std::string name(1, '.');
  name += BaseName(path);
  name += suffix;
  return JoinPath(DirName(path), name);
}

std::string OldPath(const std::string& final_path) { return Hidden(final_path, kOldSuffix); }

std::string StemOf(const std::string& name) {
  auto dot = name.find_last_of('.');
  return FoldCase(dot == std::string::npos ? name : name.substr(0, dot));
}

// A journal's entries by bare name: `final_name` in the journal's folder, `new_name` ("" for a
// removal) in its work folder.
struct NamedEntry {
  std::string final_name, new_name;
};

std::string Encode(const std::vector<NamedEntry>& entries) {
  std::string s = std::string(kJournalMagic) + "\n";
  for (const auto& e : entries) s += e.final_name + "\t" + e.new_name + "\n";
  s += "end\n";
  return s;
}

enum class Decoded { kOk, kDamaged, kNotValid };

constexpr const char* kFirstJournalMagic = "ACTUALIZA-SWAP 1";

// Reads a journal and checks that it names nothing but files of its own table: a complete
// journal whose every name is a bare name of the family, and whose new file (when there is one)
// has the same name in the work folder. Journals of the first version held paths as their writer
// spelled them; one is taken only when each path names the journal's own folder (or its work
// folder) exactly as `table_path` does, and is then read as bare names.
Decoded Decode(const std::string& text, const std::string& table_path, std::vector<NamedEntry>* out) {
  const std::string table_name = BaseName(table_path);
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line)) return Decoded::kDamaged;
  const bool first_version = line == kFirstJournalMagic;
  if (line != kJournalMagic && !first_version)
    return line.rfind("ACTUALIZA-SWAP ", 0) == 0 ? Decoded::kNotValid : Decoded::kDamaged;
  // A first-version path in the given folder, as a bare name ("" when it is elsewhere).
  auto bare = [&](const std::string& path, const std::string& folder) {
    return DirName(path) == folder ? BaseName(path) : std::string();
  };
  bool ended = false, valid = true;
  while (std::getline(in, line)) {
    if (line == "end") {
      ended = true;
      break;
    }
    auto tab = line.find('\t');
    if (tab == std::string::npos) return Decoded::kDamaged;
    NamedEntry e{line.substr(0, tab), line.substr(tab + 1)};
    if (first_version) {
      e.final_name = bare(e.final_name, DirName(table_path));
      if (!e.new_name.empty()) {
        e.new_name = bare(e.new_name, SwapTempDir(table_path));
        if (e.new_name.empty()) valid = false;
      }
    }
    if (!IsFamilyFileName(table_name, e.final_name)) valid = false;
    if (!e.new_name.empty() && e.new_name != e.final_name) valid = false;
    out->push_back(e);
  }
  if (!ended || in.peek() != std::char_traits<char>::eof()) return Decoded::kDamaged;
  if (!valid || out->empty()) return Decoded::kNotValid;
  return Decoded::kOk;
}

std::vector<SwapEntry> Resolve(const std::string& table_path, const std::vector<NamedEntry>& named) {
  const std::string dir = DirName(table_path);
  const std::string work = SwapTempDir(table_path);
  std::vector<SwapEntry> out;
  for (const auto& e : named)
    out.push_back({JoinPath(dir, e.final_name), e.new_name.empty() ? "" : JoinPath(work, e.new_name)});
  return out;
}

void RollForward(FileSystem& fs, const std::vector<SwapEntry>& entries, const std::string& dir) {
  // Move every old file aside (once), then every new file into place. Each step is skipped when
  // an earlier, interrupted run already did it, so this can run any number of times.
  for (const auto& e : entries) {
    bool new_ready = e.new_path.empty() || fs.Exists(e.new_path);
    if (new_ready && fs.Exists(e.final_path) && !fs.Exists(OldPath(e.final_path)))
      fs.Rename(e.final_path, OldPath(e.final_path));
  }
  for (const auto& e : entries) {
    if (!e.new_path.empty() && fs.Exists(e.new_path)) fs.Rename(e.new_path, e.final_path);
  }
  fs.SyncDirectory(dir);
  for (const auto& e : entries) fs.Remove(OldPath(e.final_path));
}

[[noreturn]] void ThrowHeldElsewhere(const std::string& table_path) {
  throw EngineError(err::kTableInUse,
                    "No se puede terminar la reestructuración interrumpida de la tabla: está abierta en otro "
                    "programa. Ciérrelo y vuelva a intentarlo.",
                    {CtxTable(table_path)});
}

// Opens and locks exclusively the file at path for recovery; nullptr when there is none.
std::unique_ptr<File> LockForRecovery(FileSystem& fs, const std::string& path, const std::string& table_path) {
  if (!fs.IsRegularFile(path)) return nullptr;
  auto f = fs.Open(path, OpenMode::kReadWrite);
  if (!f->TryLockExclusive() || !f->StillAtPath()) ThrowHeldElsewhere(table_path);
  return f;
}

}  // namespace

bool IsFamilyFileName(const std::string& table_name, const std::string& file_name) {
  if (file_name.empty() || file_name == "." || file_name == "..") return false;
  for (unsigned char c : file_name)
    if (c < 0x20 || c == 0x7F || c == '/' || c == '\\' || c == ':') return false;
  if (file_name.find('.') == std::string::npos || StemOf(file_name) != StemOf(table_name)) return false;
  const std::string ext = UpperExtension(file_name);
  static const char* const kKnown[] = {"DBF", "DBT", "MDX", "DB", "MB", "PX", "VAL"};
  for (const char* k : kKnown)
    if (ext == k) return true;
  // Paradox secondary indexes: .Xnn and .Ynn.
  auto alnum = [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z'); };
  return ext.size() == 3 && (ext[0] == 'X' || ext[0] == 'Y') && alnum(ext[1]) && alnum(ext[2]);
}

void PrepareSwapWorkFolder(const std::string& table_path) {
  FileSystem& fs = *CurrentFileSystem();
  const std::string work = SwapTempDir(table_path);
  if (fs.IsSymlink(work) || (fs.Exists(work) && !fs.IsDirectory(work)))
    throw EngineError(err::kInvalidParam,
                      "La carpeta de trabajo de las reestructuraciones es un enlace simbólico o no es una carpeta, "
                      "y los ficheros nuevos de la tabla podrían ir a parar a otro sitio; no se usa. Quítela (no la "
                      "crea ni la usa nadie más que este programa) y vuelva a intentarlo.",
                      {CtxTable(table_path), CtxFile(work)});
  fs.CreateDirectory(work);
}

void RemoveSwapLeftovers(const std::string& table_path) {
  FileSystem& fs = *CurrentFileSystem();
  const std::string journal_tmp = SwapJournalPath(table_path) + kNewSuffix;
  if (fs.Exists(journal_tmp)) fs.Remove(journal_tmp);  // a journal whose writing never finished
  const std::string tmp = SwapTempDir(table_path);
  if (fs.IsSymlink(tmp) || !fs.IsDirectory(tmp)) return;  // not ours: never emptied
  const std::string stem = StemOf(BaseName(table_path));
  for (const auto& e : fs.List(tmp))
    if (!e.is_dir && StemOf(e.name) == stem) fs.Remove(JoinPath(tmp, e.name));
  fs.RemoveEmptyDirectory(tmp);
}

void DiscardSwapWork(const std::string& table_path) noexcept {
  try {
    RemoveSwapLeftovers(table_path);
  } catch (...) {
    // Left for the next attempt, which removes them before it starts.
  }
}

std::string SwapTempDir(const std::string& table_path) { return JoinPath(FolderOf(table_path), ".actualiza-nuevo"); }

std::string SwapTempPath(const std::string& final_path) {
  return JoinPath(SwapTempDir(final_path), BaseName(final_path));
}

std::string SwapJournalPath(const std::string& table_path) { return Hidden(table_path, ".diario"); }

std::string IndexRewriteMarkPath(const std::string& table_path) { return Hidden(table_path, ".reindexar"); }

void SetIndexRewriteMark(const std::string& table_path) {
  FileSystem& fs = *CurrentFileSystem();
  fs.Open(IndexRewriteMarkPath(table_path), OpenMode::kCreate)->Sync();
  fs.SyncDirectory(FolderOf(table_path));  // durable before the first row changes
}

void ClearIndexRewriteMark(const std::string& table_path) {
  FileSystem& fs = *CurrentFileSystem();
  fs.Remove(IndexRewriteMarkPath(table_path));
  fs.SyncDirectory(FolderOf(table_path));
}

bool IndexRewriteMarked(const std::string& table_path) {
  return CurrentFileSystem()->Exists(IndexRewriteMarkPath(table_path));
}

bool SwapPending(const std::string& table_path) {
  return CurrentFileSystem()->Exists(SwapJournalPath(table_path));
}

void ThrowSwapInProgress(const std::string& table_path) {
  throw EngineError(err::kTableInUse,
                    "No se puede usar ahora: la tabla se está actualizando; inténtelo de nuevo cuando termine.",
                    {CtxTable(table_path), CtxFile(SwapJournalPath(table_path))});
}

void CommitSwap(const std::string& table_path, const std::vector<SwapEntry>& entries) {
  FileSystem& fs = *CurrentFileSystem();
  const std::string dir = FolderOf(table_path);
  const std::string journal = SwapJournalPath(table_path);
  const std::string journal_tmp = journal + kNewSuffix;
  const std::string table_name = BaseName(table_path);

  std::vector<NamedEntry> named;
  for (const auto& e : entries) {
    NamedEntry n{BaseName(e.final_path), e.new_path.empty() ? "" : BaseName(e.new_path)};
    if (FolderOf(e.final_path) != dir || !IsFamilyFileName(table_name, n.final_name) ||
        (!e.new_path.empty() && e.new_path != SwapTempPath(e.final_path)))
      throw EngineError(err::kInvalidParam, "Un fichero de la sustitución no pertenece a la tabla.",
                        {CtxTable(table_path), CtxFile(e.final_path)});
    named.push_back(n);
  }
  if (fs.Exists(journal)) ThrowSwapInProgress(table_path);

  // New files must be durable in their folder before the journal points at them.
  if (fs.IsDirectory(SwapTempDir(table_path))) fs.SyncDirectory(SwapTempDir(table_path));
  fs.SyncDirectory(dir);
  // The journal is locked before it gets its name, so that nobody can take it for the journal of
  // a dead swap while this one runs.
  std::unique_ptr<File> lock = fs.Open(journal_tmp, OpenMode::kCreate);
  if (!lock->TryLockExclusive()) ThrowSwapInProgress(table_path);
  std::string text = Encode(named);
  lock->WriteAt(0, text.data(), text.size());
  lock->Sync();
  fs.Rename(journal_tmp, journal);
  fs.SyncDirectory(dir);  // commit point: from here on the new table is the table
  RollForward(fs, entries, dir);
  fs.Remove(journal);  // still locked: whoever opened it meanwhile finds it gone once it locks
  fs.SyncDirectory(dir);
  lock.reset();
  fs.RemoveEmptyDirectory(SwapTempDir(table_path));
}

bool RecoverSwap(const std::string& table_path) {
  FileSystem& fs = *CurrentFileSystem();
  const std::string dir = FolderOf(table_path);
  const std::string journal = SwapJournalPath(table_path);
  if (!fs.Exists(journal)) return false;  // nothing committed
  if (fs.IsSymlink(journal) || fs.IsSymlink(SwapTempDir(table_path)))
    throw EngineError(err::kFileCorrupt,
                      "El diario de una reestructuración interrumpida no es válido: él o la carpeta de trabajo de "
                      "la tabla es un enlace simbólico. No se ha "
                      "tocado ningún fichero; la tabla no se puede abrir sin revisarla. Conserve una copia de la "
                      "carpeta y avise al servicio técnico.",
                      {CtxTable(table_path), CtxFile(journal)});
  auto lock = fs.Open(journal, OpenMode::kRead);
  if (!lock->TryLockExclusive()) ThrowSwapInProgress(table_path);
  // The swap's writer removes its journal before it lets go of it: one that is gone now was
  // finished by its writer.
  if (!lock->StillAtPath()) return false;

  std::vector<NamedEntry> named;
  std::string text = ReadWholeFile(fs, journal);
  switch (Decode(text, table_path, &named)) {
    case Decoded::kOk: break;
    case Decoded::kDamaged:
      throw EngineError(err::kFileCorrupt,
                        "El diario de una reestructuración interrumpida está dañado; la tabla no se puede abrir "
                        "sin revisarla. Conserve una copia de la carpeta y avise al servicio técnico.",
                        {CtxTable(table_path), CtxFile(journal)});
    case Decoded::kNotValid:
      throw EngineError(err::kFileCorrupt,
                        "El diario de una reestructuración interrumpida no es válido: nombra ficheros que no son de "
                        "esta tabla o de su carpeta. No se ha tocado ningún fichero; la tabla no se puede abrir "
                        "sin revisarla. Conserve una copia de la carpeta y avise al servicio técnico.",
                        {CtxTable(table_path), CtxFile(journal)});
  }
  // Nobody may have the table open while its files change: lock it, where it is and where the
  // interrupted swap moved it aside.
  auto held = LockForRecovery(fs, table_path, table_path);
  auto held_aside = LockForRecovery(fs, OldPath(table_path), table_path);
  RollForward(fs, Resolve(table_path, named), dir);
  fs.Remove(journal);
  fs.SyncDirectory(dir);
  held.reset();
  held_aside.reset();
  lock.reset();
  fs.RemoveEmptyDirectory(SwapTempDir(table_path));
  return true;
}

std::string SwapJournalProblem(const std::string& table_path) {
  FileSystem& fs = *CurrentFileSystem();
  const std::string journal = SwapJournalPath(table_path);
  if (!fs.Exists(journal)) return "";
  if (fs.IsSymlink(journal) || fs.IsSymlink(SwapTempDir(table_path)))
    return "El diario de una reestructuración interrumpida no es válido: él o la carpeta de trabajo de la tabla es "
           "un enlace simbólico.";
  std::vector<NamedEntry> named;
  switch (Decode(ReadWholeFile(fs, journal), table_path, &named)) {
    case Decoded::kOk: return "";
    case Decoded::kDamaged: return "El diario de una reestructuración interrumpida está dañado.";
    case Decoded::kNotValid:
      return "El diario de una reestructuración interrumpida no es válido: nombra ficheros que no son de esta tabla "
             "o de su carpeta.";
  }
  return "";
}

}  // namespace engine
