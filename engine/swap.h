// Atomic replacement of a table's files (the table, its memo or blob file, its indexes).
//
// The new files are first written in the table's work folder (".actualiza-nuevo" beside it) under
// their final names, and made durable by the caller. CommitSwap then writes a journal that lists
// every replacement, makes it durable (from that instant the new table is the table), moves the
// old files aside, moves the new ones into place, and removes the old ones and the journal. A
// crash at any instant leaves either no journal (the old table is complete and untouched) or a
// complete journal, from which RecoverSwap finishes the replacement the next time the table is
// opened.
//
// The journal records, for each new file, its size and a checksum of its first block; recovery
// moves into place only regular files of one name (no link, hard link, pipe or folder) in the
// work folder that match it, and refuses any other journal untouched. A journal never removes
// the table's own file and always brings at least one new file. Journals of the earlier forms
// (without sizes and checksums, left by earlier versions of this program) are still finished,
// with every check but the match.
//
// The journal names files by their bare names only: a table's own files in the journal's folder
// and their new versions in the work folder of that folder. So a folder that was moved or copied
// after a crash recovers where it now is, and a journal that names anything else (another
// folder, another table's files) is refused without touching a file.
//
// Locks. The journal is locked from the moment it is written until it is removed, so a process
// that finds a journal it can lock knows that the swap's writer is gone. Recovery holds that lock
// and the table's exclusive lock; the writer holds the table exclusively from before the journal
// exists until after it is removed.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/fs.h"

namespace engine {

struct SwapEntry {
  std::string final_path;  // the file's name in the table's family, e.g. ".../Clientes.DBT"
  std::string new_path;    // its new content in the work folder, or "" when it is to be removed
};

// The hidden folder beside a table where its new files are written before the swap, and the
// name there of a file's new content (same name, so that a table's companions keep their names).
std::string SwapTempDir(const std::string& table_path);
std::string SwapTempPath(const std::string& final_path);
// The journal of a table's swap.
std::string SwapJournalPath(const std::string& table_path);

// Performs the swap; the caller holds the table exclusively (when it exists). Every entry must
// be a file of the table's family in its folder, with its new content (if any) at
// SwapTempPath(final_path). Throws EngineError; if it throws before the journal is durable,
// nothing has changed; after that, the next RecoverSwap completes it. A swap of a single file (a
// table of one file, created anew or replaced, with nothing else of its family to remove) writes
// no journal: its new file is renamed into place, over the old one, which is atomic, and the
// folder synced (a replacement only where kSingleFileSwapReplaces).
void CommitSwap(const std::string& table_path, const std::vector<SwapEntry>& entries);

// Whether a swap of a table of one file replaces an existing one by a rename, without a journal.
// Not on Windows, where a rename does not replace a file that is open (the table, which the
// swap's caller holds): there only a table created anew goes without a journal.
#ifdef _WIN32
inline constexpr bool kSingleFileSwapReplaces = false;
#else
inline constexpr bool kSingleFileSwapReplaces = true;
#endif

// Work that must be done before a swap on this thread changes a table's files: the record that
// a copy for an undo keeps of the files about to be replaced, say, completed beside the rebuild
// that comes before the swap. While the object lives, the first CommitSwap, RecoverSwap that
// finds a journal, or SetIndexRewriteMark on its thread runs the work before it touches
// anything; an exception from the work fails that call with nothing changed. The work runs once.
// It guards only changes made through those calls: a caller that also writes into a table's
// existing files must run the work itself first.
class BeforeSwap {
 public:
  explicit BeforeSwap(std::function<void()> work);
  ~BeforeSwap();
  BeforeSwap(const BeforeSwap&) = delete;
  BeforeSwap& operator=(const BeforeSwap&) = delete;
  // Runs the work of the innermost live object of this thread, unless it has run.
  static void RunPending();

 private:
  std::function<void()> work_;
  BeforeSwap* outer_;
};

// Finishes an interrupted swap of the table at table_path, if there is one, holding the journal's
// lock and the table's exclusive lock. Throws EngineError kTableInUse when a swap is running or
// the table is open elsewhere, kFileCorrupt when the journal is damaged or not valid (nothing is
// touched then). Returns true when it changed anything.
bool RecoverSwap(const std::string& table_path);

// Makes the table's work folder ready for new files: creates it when missing; refuses (with an
// error naming it) one that is a symbolic link or not a folder, whose files could land elsewhere.
// The folder stays in use (fs.h FolderInUse) while the result lives: no other process, nor
// another attempt of this one, removes it meanwhile, and its files are never reached through a
// link. Keep it until the swap is committed or the work discarded.
[[nodiscard]] std::unique_ptr<FolderInUse> PrepareSwapWorkFolder(const std::string& table_path);

// Removes the temporaries that a restructure left when it died before its journal existed. Call
// only while holding the table exclusively.
void RemoveSwapLeftovers(const std::string& table_path);

// The same after a failed attempt, before its error is reported: never throws (the error being
// reported is the one that matters; what cannot be removed now goes at the next attempt).
void DiscardSwapWork(const std::string& table_path) noexcept;

// True while a swap journal exists for the table (used after locking a table: a table whose
// swap is unfinished must not be read).
bool SwapPending(const std::string& table_path);

// The error for a table whose swap is under way (its writer holds the journal).
[[noreturn]] void ThrowSwapInProgress(const std::string& table_path);

// The error for an open that finds the table's swap unfinished and may not finish it itself
// (read-only or shared): a swap whose writer still holds the journal is under way; one whose
// writer is gone was interrupted, and the message says how to finish it.
[[noreturn]] void ThrowSwapPending(const std::string& table_path);

// What stands in the way of finishing the table's interrupted swap, for a check that only
// reads: "" when there is no journal or when it can be finished (a regular file, complete,
// naming only the table's own files); otherwise why the next open refuses the table instead.
std::string SwapJournalProblem(const std::string& table_path);

// The mark of a table whose rows change before its indexes are written anew (Paradox: the .PX
// and the secondary indexes follow the rows when the table is flushed). It is made durable
// before the first row changes and removed once the new indexes are swapped in; while it exists
// the indexes may not match the rows, and an exclusive open rebuilds them.
std::string IndexRewriteMarkPath(const std::string& table_path);
void SetIndexRewriteMark(const std::string& table_path);
void ClearIndexRewriteMark(const std::string& table_path);
bool IndexRewriteMarked(const std::string& table_path);

// Whether a bare file name can belong to the family of the table named `table_name` (its stem
// with one of the extensions a table's files have). Used to validate journals.
bool IsFamilyFileName(const std::string& table_name, const std::string& file_name);

}  // namespace engine
