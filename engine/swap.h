// Atomic replacement of a table's files (the table, its memo or blob file, its indexes).
//
// The new files are first written beside the old ones under temporary names and made durable by
// the caller. CommitSwap then writes a journal that lists every replacement, makes it durable
// (from that instant the new table is the table), moves the old files aside, moves the new ones
// into place, and removes the old ones and the journal. A crash at any instant leaves either no
// journal (the old table is complete and untouched) or a complete journal, from which
// RecoverSwap finishes the replacement the next time the table is opened.
//
// The journal is locked while a swap runs, so another process that finds it either waits for
// nothing (it reports the table as busy) or, when the lock is free, finishes the interrupted swap.
#pragma once

#include <string>
#include <vector>

namespace engine {

struct SwapEntry {
  std::string final_path;  // the file's name in the table's family, e.g. ".../Clientes.DBT"
  std::string new_path;    // the new content, or "" when the file is to be removed
};

// The hidden folder beside a table where its new files are written before the swap, and the
// name there of a file's new content (same name, so that a table's companions keep their names).
std::string SwapTempDir(const std::string& table_path);
std::string SwapTempPath(const std::string& final_path);
// The journal of a table's swap.
std::string SwapJournalPath(const std::string& table_path);

// Performs the swap. Throws EngineError; if it throws before the journal is durable, nothing has
// changed; after that, the next RecoverSwap completes it.
void CommitSwap(const std::string& table_path, const std::vector<SwapEntry>& entries);

// Finishes an interrupted swap of the table at table_path, if there is one. Throws EngineError
// kTableInUse when another process is swapping right now. Returns true when it changed anything.
bool RecoverSwap(const std::string& table_path);

// Removes the temporaries that a restructure left when it died before its journal existed. Call
// only while holding the table exclusively.
void RemoveSwapLeftovers(const std::string& table_path);

// True while a swap journal exists for the table (used after locking a table: a table whose
// swap is unfinished must not be read).
bool SwapPending(const std::string& table_path);

}  // namespace engine
