#include "engine/swap.h"

#include <memory>
#include <sstream>

#include "engine/codepage.h"
#include "engine/error.h"
#include "engine/fs.h"
#include "engine/path.h"

namespace engine {

namespace {

constexpr const char* kJournalMagic = "ACTUALIZA-SWAP 1";
constexpr const char* kOldSuffix = ".anterior";
constexpr const char* kNewSuffix = ".nuevo";

std::string Hidden(const std::string& path, const std::string& suffix) {
  return JoinPath(DirName(path), "." + BaseName(path) + suffix);
}

std::string OldPath(const std::string& final_path) { return Hidden(final_path, kOldSuffix); }

// Journal text: magic line, then per entry "final\tnew" lines; a final line "end" proves the
// journal complete (it is also renamed into place atomically).
std::string Encode(const std::vector<SwapEntry>& entries) {
  std::string s = std::string(kJournalMagic) + "\n";
  for (const auto& e : entries) s += e.final_path + "\t" + e.new_path + "\n";
  s += "end\n";
  return s;
}

bool Decode(const std::string& text, std::vector<SwapEntry>* out) {
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != kJournalMagic) return false;
  bool ended = false;
  while (std::getline(in, line)) {
    if (line == "end") {
      ended = true;
      break;
    }
    auto tab = line.find('\t');
    if (tab == std::string::npos) return false;
    out->push_back({line.substr(0, tab), line.substr(tab + 1)});
  }
  return ended;
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

}  // namespace

void RemoveSwapLeftovers(const std::string& table_path) {
  FileSystem& fs = *CurrentFileSystem();
  const std::string tmp = SwapTempDir(table_path);
  if (!fs.IsDirectory(tmp)) return;
  auto stem_of = [](const std::string& name) {
    auto dot = name.find_last_of('.');
    return FoldCase(dot == std::string::npos ? name : name.substr(0, dot));
  };
  const std::string stem = stem_of(BaseName(table_path));
  for (const auto& e : fs.List(tmp))
    if (!e.is_dir && stem_of(e.name) == stem) fs.Remove(JoinPath(tmp, e.name));
}

std::string SwapTempDir(const std::string& table_path) {
  return JoinPath(DirName(table_path).empty() ? "." : DirName(table_path), ".actualiza-nuevo");
}

std::string SwapTempPath(const std::string& final_path) {
  return JoinPath(SwapTempDir(final_path), BaseName(final_path));
}

std::string SwapJournalPath(const std::string& table_path) { return Hidden(table_path, ".diario"); }

bool SwapPending(const std::string& table_path) {
  return CurrentFileSystem()->Exists(SwapJournalPath(table_path));
}

void CommitSwap(const std::string& table_path, const std::vector<SwapEntry>& entries) {
  FileSystem& fs = *CurrentFileSystem();
  const std::string dir = DirName(table_path).empty() ? "." : DirName(table_path);
  const std::string journal = SwapJournalPath(table_path);
  const std::string journal_tmp = journal + kNewSuffix;

  // New files must be durable in their folder before the journal points at them.
  if (fs.IsDirectory(SwapTempDir(table_path))) fs.SyncDirectory(SwapTempDir(table_path));
  fs.SyncDirectory(dir);
  {
    auto f = fs.Open(journal_tmp, OpenMode::kCreate);
    std::string text = Encode(entries);
    f->WriteAt(0, text.data(), text.size());
    f->Sync();
  }
  fs.Rename(journal_tmp, journal);
  // The journal holds a lock while this process swaps, so that no other process recovers a swap
  // that is still running.
  auto lock = fs.Open(journal, OpenMode::kRead);
  lock->TryLockExclusive();
  fs.SyncDirectory(dir);  // commit point: from here on the new table is the table
  RollForward(fs, entries, dir);
  lock.reset();
  fs.Remove(journal);
  fs.RemoveEmptyDirectory(SwapTempDir(table_path));
  fs.SyncDirectory(dir);
}

bool RecoverSwap(const std::string& table_path) {
  FileSystem& fs = *CurrentFileSystem();
  const std::string dir = DirName(table_path).empty() ? "." : DirName(table_path);
  const std::string journal = SwapJournalPath(table_path);
  if (!fs.Exists(journal)) {
    // Nothing committed. A journal that was being written is incomplete by construction.
    bool changed = false;
    if (fs.Exists(journal + kNewSuffix)) {
      fs.Remove(journal + kNewSuffix);
      changed = true;
    }
    return changed;
  }
  auto lock = fs.Open(journal, OpenMode::kRead);
  if (!lock->TryLockExclusive())
    throw EngineError(err::kTableInUse,
                      "Otro programa está reestructurando la tabla en este momento. Espere a que termine y "
                      "vuelva a intentarlo.",
                      {CtxTable(table_path)});
  std::vector<SwapEntry> entries;
  std::string text = ReadWholeFile(fs, journal);
  if (!Decode(text, &entries))
    throw EngineError(err::kFileCorrupt,
                      "El diario de una reestructuración interrumpida está dañado; la tabla no se puede abrir "
                      "sin revisarla. Conserve una copia de la carpeta y avise al servicio técnico.",
                      {CtxTable(table_path), CtxFile(journal)});
  RollForward(fs, entries, dir);
  lock.reset();
  fs.Remove(journal);
  fs.SyncDirectory(dir);
  return true;
}

}  // namespace engine
