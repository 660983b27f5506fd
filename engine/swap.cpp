#include "engine/swap.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <sstream>

#include "engine/codepage.h"
#include "engine/error.h"
#include "engine/fs.h"
#include "engine/path.h"

namespace engine {

namespace {

constexpr const char* kJournalMagic = "ACTUALIZA-SWAP 3";
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

// What a journal records of a new file so that recovery moves only the swap's own files: its
// size and a checksum (64-bit FNV-1a) of its first block.
struct Mark {
  uint64_t size = 0, sum = 0;
  bool operator==(const Mark&) const = default;
};
constexpr size_t kMarkedBlock = 4096;

// A journal's entries by bare name: `final_name` in the journal's folder, `new_name` ("" for a
// removal) in its work folder; `mark` is known for journals of the current form.
struct NamedEntry {
  std::string final_name, new_name;
  std::optional<Mark> mark;
};

std::string Hex(uint64_t v) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out(16, '0');
  for (int i = 15; i >= 0; --i, v >>= 4) out[static_cast<size_t>(i)] = kDigits[v & 15];
  return out;
}

std::optional<uint64_t> ParseNumber(const std::string& s, int base) {
  if (s.empty() || s.size() > 20) return std::nullopt;
  uint64_t v = 0;
  for (char c : s) {
    int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : 99;
    if (d >= base || v > (UINT64_MAX - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base)) return std::nullopt;
    v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
  }
  return v;
}

// The mark of the file at path; nullopt when it is not a regular file of one name (a link, a
// hard link, a pipe, a folder or nothing), which is never a file the swap wrote.
std::optional<Mark> MarkOf(FileSystem& fs, const std::string& path) {
  const PathFacts facts = fs.Inspect(path);
  if (!facts.regular || facts.links != 1) return std::nullopt;
  auto f = fs.Open(path, OpenMode::kRead);
  Mark m;
  m.size = f->Size();
  std::string block(static_cast<size_t>(std::min<uint64_t>(m.size, kMarkedBlock)), '\0');
  ReadExactly(*f, 0, block.data(), block.size());
  m.sum = 0xcbf29ce484222325ULL;
  for (unsigned char c : block) m.sum = (m.sum ^ c) * 0x100000001b3ULL;
  return m;
}

std::string Encode(const std::vector<NamedEntry>& entries) {
  // Appended piece by piece: GCC 12 at -O3 warns of an overlap in `"\t" + std::string&&`.
  std::string s = std::string(kJournalMagic) + "\n";
  for (const auto& e : entries) {
    s += e.final_name;
    s += '\t';
    s += e.new_name;
    if (e.mark) {
      s += '\t';
      s += std::to_string(e.mark->size);
      s += '\t';
      s += Hex(e.mark->sum);
    }
    s += '\n';
  }
  s += "end\n";
  return s;
}

enum class Decoded { kOk, kDamaged, kNotValid };

constexpr const char* kFirstJournalMagic = "ACTUALIZA-SWAP 1";
constexpr const char* kSecondJournalMagic = "ACTUALIZA-SWAP 2";

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
  const bool marked = line == kJournalMagic;
  if (!marked && !first_version && line != kSecondJournalMagic)
    return line.rfind("ACTUALIZA-SWAP ", 0) == 0 ? Decoded::kNotValid : Decoded::kDamaged;
  // A first-version path in the given folder, as a bare name ("" when it is elsewhere).
  auto bare = [&](const std::string& path, const std::string& folder) {
    return DirName(path) == folder ? BaseName(path) : std::string();
  };
  bool ended = false, valid = true, brings_new = false;
  while (std::getline(in, line)) {
    if (line == "end") {
      ended = true;
      break;
    }
    auto tab = line.find('\t');
    if (tab == std::string::npos) return Decoded::kDamaged;
    NamedEntry e{line.substr(0, tab), line.substr(tab + 1), std::nullopt};
    if (marked && !e.new_name.empty()) {
      // "name <tab> size <tab> checksum" for a new file.
      auto t1 = e.new_name.find('\t');
      auto t2 = t1 == std::string::npos ? t1 : e.new_name.find('\t', t1 + 1);
      if (t2 == std::string::npos) return Decoded::kDamaged;
      auto size = ParseNumber(e.new_name.substr(t1 + 1, t2 - t1 - 1), 10);
      auto sum = ParseNumber(e.new_name.substr(t2 + 1), 16);
      if (!size || !sum) return Decoded::kDamaged;
      e.mark = Mark{*size, *sum};
      e.new_name.resize(t1);
    }
    if (first_version) {
      e.final_name = bare(e.final_name, DirName(table_path));
      if (!e.new_name.empty()) {
        e.new_name = bare(e.new_name, SwapTempDir(table_path));
        if (e.new_name.empty()) valid = false;
      }
    }
    if (!IsFamilyFileName(table_name, e.final_name)) valid = false;
    brings_new |= !e.new_name.empty();
    // The table's own file is replaced, never removed.
    if (e.new_name.empty() && FoldCase(e.final_name) == FoldCase(table_name)) valid = false;
    if (!e.new_name.empty() && e.new_name != e.final_name) valid = false;
    out->push_back(e);
  }
  if (!ended || in.peek() != std::char_traits<char>::eof()) return Decoded::kDamaged;
  if (!valid || !brings_new) return Decoded::kNotValid;
  return Decoded::kOk;
}

// The first new file that a journal names and the swap did not write: a new file (or, once moved
// into place, the table's file of that name) that is not a regular file of one name, or that
// does not match what the journal recorded of it. "" when every one is the swap's own.
std::string NotOwnFile(FileSystem& fs, const std::vector<NamedEntry>& named, const std::vector<SwapEntry>& entries) {
  for (size_t i = 0; i < entries.size(); ++i) {
    const SwapEntry& e = entries[i];
    if (e.new_path.empty()) continue;
    const std::string& at = fs.Inspect(e.new_path).exists ? e.new_path : e.final_path;
    auto mark = MarkOf(fs, at);
    if (!mark || (named[i].mark && !(*mark == *named[i].mark))) return at;
  }
  return "";
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

// Whether the swap brings one new file and nothing else, to a name where nothing is or a regular
// file is (a table of one file), with nothing at the moved-aside name of an interrupted swap.
bool IsSingleFile(FileSystem& fs, const std::vector<SwapEntry>& entries) {
  if (entries.size() != 1 || entries[0].new_path.empty()) return false;
  const PathFacts at = fs.Inspect(entries[0].final_path);
  return (!at.exists || (kSingleFileSwapReplaces && at.regular)) && !fs.Inspect(OldPath(entries[0].final_path)).exists;
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

std::unique_ptr<FolderInUse> PrepareSwapWorkFolder(const std::string& table_path) {
  FileSystem& fs = *CurrentFileSystem();
  const std::string work = SwapTempDir(table_path);
  const PathFacts at = fs.Inspect(work);  // the name itself, a link not followed
  if (at.link || (at.exists && !at.directory))
    throw EngineError(err::kInvalidParam,
                      "La carpeta de trabajo de las reestructuraciones es un enlace simbólico o no es una carpeta, "
                      "y los ficheros nuevos de la tabla podrían ir a parar a otro sitio; no se usa. Quítela (no la "
                      "crea ni la usa nadie más que este programa) y vuelva a intentarlo.",
                      {CtxTable(table_path), CtxFile(work)});
  return fs.UseFolder(work);
}

void RemoveSwapLeftovers(const std::string& table_path) {
  FileSystem& fs = *CurrentFileSystem();
  const std::string journal_tmp = SwapJournalPath(table_path) + kNewSuffix;
  if (fs.Exists(journal_tmp)) fs.Remove(journal_tmp);  // a journal whose writing never finished
  const std::string tmp = SwapTempDir(table_path);
  if (!fs.Inspect(tmp).directory) return;  // none, or not ours (a link, a file): never emptied
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

namespace {
// The innermost BeforeSwap of this thread. A plain pointer: objects of a thread with destructors
// of their own are not destroyed safely at its end everywhere (MinGW's threads).
thread_local BeforeSwap* tls_before_swap = nullptr;
}  // namespace

BeforeSwap::BeforeSwap(std::function<void()> work) : work_(std::move(work)), outer_(tls_before_swap) {
  tls_before_swap = this;
}

BeforeSwap::~BeforeSwap() { tls_before_swap = outer_; }

void BeforeSwap::RunPending() {
  BeforeSwap* b = tls_before_swap;
  if (!b || !b->work_) return;
  std::function<void()> work = std::move(b->work_);
  b->work_ = nullptr;
  work();
}

void SetIndexRewriteMark(const std::string& table_path) {
  BeforeSwap::RunPending();
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
                    "No se puede usar ahora: otro programa está cambiando la estructura de la tabla en este momento; "
                    "inténtelo de nuevo cuando termine.",
                    {CtxTable(table_path), CtxFile(SwapJournalPath(table_path))});
}

void ThrowSwapPending(const std::string& table_path) {
  FileSystem& fs = *CurrentFileSystem();
  const std::string journal = SwapJournalPath(table_path);
  if (const std::string problem = SwapJournalProblem(table_path); !problem.empty())
    throw EngineError(err::kFileCorrupt,
                      "No se puede usar: un cambio de estructura de la tabla quedó interrumpido y no se puede "
                      "terminar (" + problem + "). No se ha tocado ningún fichero; conserve una copia de la carpeta "
                      "y avise al servicio técnico.",
                      {CtxTable(table_path), CtxFile(journal)});
  // A journal that its writer no longer holds is the journal of a dead swap.
  if (fs.IsRegularFile(journal) && fs.Open(journal, OpenMode::kRead)->TryLockExclusive())
    throw EngineError(err::kTableInUse,
                      "No se puede usar ahora: un cambio de estructura de la tabla se interrumpió antes de terminar. "
                      "Para terminarlo, cierre la tabla en los demás programas y vuelva a ejecutar la actualización "
                      "(o ejecute «tabla check --terminar» con esta tabla).",
                      {CtxTable(table_path), CtxFile(journal)});
  ThrowSwapInProgress(table_path);
}

std::string SwapJournalProblem(const std::string& table_path) {
  FileSystem& fs = *CurrentFileSystem();
  const std::string journal = SwapJournalPath(table_path);
  if (!fs.IsSymlink(journal) && !fs.Exists(journal)) return "";
  if (fs.IsSymlink(journal) || fs.IsSymlink(SwapTempDir(table_path)))
    return "el diario o la carpeta de trabajo de la tabla es un enlace simbólico";
  if (!fs.IsRegularFile(journal)) return "el diario no es un fichero normal (es una carpeta, una tubería o un dispositivo)";
  std::vector<NamedEntry> named;
  switch (Decode(ReadWholeFile(fs, journal), table_path, &named)) {
    case Decoded::kOk: return "";
    case Decoded::kDamaged: return "el diario está dañado";
    case Decoded::kNotValid: return "el diario nombra ficheros que no son de esta tabla o de su carpeta";
  }
  return "";
}

void CommitSwap(const std::string& table_path, const std::vector<SwapEntry>& entries) {
  BeforeSwap::RunPending();
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
    // What recovery checks before it moves the file into place: the file written, no other.
    if (!e.new_path.empty()) {
      n.mark = MarkOf(fs, e.new_path);
      if (!n.mark) ThrowReplacedDuringRun(e.new_path);
    }
    named.push_back(n);
  }
  HeldFolder held(dir);  // every rename below is made in this very folder
  if (fs.Exists(journal)) ThrowSwapInProgress(table_path);
  if (IsSingleFile(fs, entries)) {
    // One file, new or replacing the table's only one: its rename into place (over the old file)
    // is atomic, so it needs no journal; the folder's sync makes it durable (its contents the
    // caller made durable). The old file goes with the rename.
    fs.Rename(entries[0].new_path, entries[0].final_path);
    fs.SyncDirectory(dir);
    fs.RemoveEmptyDirectory(SwapTempDir(table_path));  // one a crash leaves goes at the next open
    return;
  }

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
  BeforeSwap::RunPending();
  HeldFolder held_folder(dir);  // every file checked and moved below is in this very folder
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
  const std::vector<SwapEntry> entries = Resolve(table_path, named);
  const std::string not_own = NotOwnFile(fs, named, entries);
  if (!not_own.empty())
    throw EngineError(err::kFileCorrupt,
                      "El diario de una reestructuración interrumpida no es válido: uno de los ficheros nuevos que "
                      "anota no es el que escribió la reestructuración (es un enlace, una tubería, un fichero con "
                      "otros nombres o uno distinto del anotado). No se ha tocado ningún fichero; la tabla no se "
                      "puede abrir sin revisarla. Conserve una copia de la carpeta y avise al servicio técnico.",
                      {CtxTable(table_path), CtxFile(journal), CtxFile(not_own)});
  // Nobody may have the table open while its files change: lock it, where it is and where the
  // interrupted swap moved it aside.
  auto held = LockForRecovery(fs, table_path, table_path);
  auto held_aside = LockForRecovery(fs, OldPath(table_path), table_path);
  RollForward(fs, entries, dir);
  fs.Remove(journal);
  fs.SyncDirectory(dir);
  held.reset();
  held_aside.reset();
  lock.reset();
  fs.RemoveEmptyDirectory(SwapTempDir(table_path));
  return true;
}

}  // namespace engine
